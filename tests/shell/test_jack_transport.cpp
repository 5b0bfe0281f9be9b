// Following the JACK transport, on a dummy server of the test's own. A client of the test's plays
// the transport's timebase master with a known tempo and meter and notes, cycle by cycle, where
// the transport stands; what the clock captures at a deadline is held against that.
#include "JackRevival.h"
#include "JackTestServer.h"
#include "JackTransportClock.h"
#include "MidiServices.h"

#include <jack/jack.h>
#include <jack/transport.h>

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>

namespace {

using TSteady = std::chrono::steady_clock;

// One cycle as the test's client saw it.
struct TSeen {
    TSteady::time_point Start; // the cycle's first frame
    jack_nframes_t Frame = 0;  // the transport's frame then
    jack_transport_state_t State = JackTransportStopped;
    double NsPerFrame = 0;
    unsigned Cycles = 0; // seen so far
};

// The test's own JACK client: notes each cycle, and as timebase master (when given a tempo)
// tells bars, beats and ticks worked out from the frame at `Bpm` in bars of `BeatsPerBar`.
class TTestMaster {
public:
    TTestMaster(double bpm, float beatsPerBar) : Bpm(bpm), BeatsPerBar(beatsPerBar)
    {
        std::lock_guard lock(JackClientsLock());
        JackOpeningAge();
        FClient = jack_client_open("korvane-test-master", JackNoStartServer, nullptr);
        if (!FClient)
            return;
        Rate = jack_get_sample_rate(FClient);
        Period = jack_get_buffer_size(FClient);
        jack_set_process_callback(FClient, &TTestMaster::Process, this);
        jack_activate(FClient);
        if (bpm > 0)
            jack_set_timebase_callback(FClient, 0, &TTestMaster::Timebase, this);
    }
    ~TTestMaster()
    {
        std::lock_guard lock(JackClientsLock());
        if (FClient)
            JackCloseClient(FClient, true);
    }

    jack_client_t *Client() const { return FClient; }

    // The last cycle seen, once `after` cycles are seen (bounded).
    TSeen Next(unsigned after = 0)
    {
        TSeen seen;
        WaitFor([&] {
            std::lock_guard lock(FLock);
            seen = FSeen;
            return seen.Cycles > after;
        });
        return seen;
    }

    // The beat the master gives `frame`.
    double BeatOf(double frame) const { return frame / Rate * Bpm / 60; }
    double BeatsPerFrame() const { return Bpm / 60 / Rate; }

    const double Bpm;
    const float BeatsPerBar;
    double Rate = 0;
    double Period = 0;

private:
    static int Process(jack_nframes_t frames, void *arg)
    {
        auto *self = static_cast<TTestMaster *>(arg);
        jack_position_t pos;
        const jack_transport_state_t state = jack_transport_query(self->FClient, &pos);
        jack_nframes_t first;
        jack_time_t start, next;
        float periodUs;
        jack_get_cycle_times(self->FClient, &first, &start, &next, &periodUs);
        const auto ago = std::chrono::microseconds(int64_t(jack_get_time()) - int64_t(start));
        std::lock_guard lock(self->FLock);
        self->FSeen = {TSteady::now() - ago, pos.frame, state, double(next - start) * 1000 / frames,
                       self->FSeen.Cycles + 1};
        return 0;
    }

    static void Timebase(jack_transport_state_t, jack_nframes_t, jack_position_t *pos, int, void *arg)
    {
        auto *self = static_cast<TTestMaster *>(arg);
        const double beats = self->BeatOf(pos->frame);
        const double bar = std::floor(beats / self->BeatsPerBar);
        const double inBar = beats - bar * self->BeatsPerBar;
        pos->valid = JackPositionBBT;
        pos->bar = int32_t(bar) + 1;
        pos->beat = int32_t(inBar) + 1;
        pos->ticks_per_beat = 1920;
        pos->tick = int32_t((inBar - std::floor(inBar)) * pos->ticks_per_beat);
        pos->bar_start_tick = bar * self->BeatsPerBar * pos->ticks_per_beat;
        pos->beats_per_bar = self->BeatsPerBar;
        pos->beat_type = 4;
        pos->beats_per_minute = self->Bpm;
    }

    jack_client_t *FClient = nullptr;
    std::mutex FLock;
    TSeen FSeen;
};

// What the clock says at `deadline`, as a tick then would ask; nullopt when it says nothing.
std::optional<TSessionPosition> CaptureAt(TKorSessionClock &clock, TSteady::time_point deadline, double quantum)
{
    const TMidiSendTime tick(deadline);
    TSessionPosition at;
    if (!clock.Capture(quantum, at))
        return std::nullopt;
    return at;
}

// How far `phase` lies from `expected` on a circle of `quantum` beats.
double PhaseError(double phase, double expected, double quantum)
{
    const double d = std::fmod(std::abs(phase - expected), quantum);
    return std::min(d, quantum - d);
}

class JackTransport : public ::testing::Test {
protected:
    // Beats within a few frames' worth: the clock and the test read the same cycle times of the
    // server, so only the master's whole ticks, reading two clocks side by side and carrying a
    // later cycle back to the test's part them. A period late (1024 frames) is far outside.
    double Tolerance(const TTestMaster &master) const { return 32 * master.BeatsPerFrame() + 1.0 / 1920; }
};

TEST_F(JackTransport, FollowsTheMastersBeatsAndTempoWhileRolling)
{
    TJackServer jack;
    if (!jack.WhyNot().empty())
        GTEST_SKIP() << jack.WhyNot();
    TTestMaster master(90, 3);
    ASSERT_NE(master.Client(), nullptr);
    jack_transport_start(master.Client());
    QString problem = QStringLiteral("unset");
    const std::unique_ptr<TKorSessionClock> clock = CreateJackTransportClock(&problem);
    EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
    EXPECT_EQ(clock->Name(), QStringLiteral("JACK transport"));
    ASSERT_TRUE(WaitFor([&] { return CaptureAt(*clock, TSteady::now(), 3).has_value(); }));
    const double tolerance = Tolerance(master);
    // Judged once the transport has rolled a few cycles: in the cycle it starts, a capture was
    // once seen a period behind the master (not mended yet).
    master.Next(master.Next().Cycles + 8);

    // At cycles a second apart: the captures follow the master as it goes on at its tempo, at
    // the cycle's first frame and carried on from it to deadlines ahead, as a tick asks.
    for (int round = 0; round < 3; ++round) {
        const TSeen seen = master.Next();
        ASSERT_EQ(seen.State, JackTransportRolling);
        for (const double aheadMs : {0.0, 3.0, 40.0}) {
            SCOPED_TRACE(testing::Message() << "round " << round << ", " << aheadMs << " ms after the cycle");
            const double expected = master.BeatOf(seen.Frame + aheadMs * 1e6 / seen.NsPerFrame);
            for (const double quantum : {3.0, 4.0, 1.0}) {
                const auto at = CaptureAt(
                    *clock, seen.Start + std::chrono::nanoseconds(int64_t(aheadMs * 1e6)), quantum);
                ASSERT_TRUE(at);
                EXPECT_NEAR(at->Beat, expected, tolerance) << "quantum " << quantum;
                EXPECT_LT(PhaseError(at->Phase, std::fmod(expected, quantum), quantum), tolerance)
                    << "quantum " << quantum << ", phase " << at->Phase;
                EXPECT_GE(at->Phase, 0);
                EXPECT_LT(at->Phase, quantum);
                EXPECT_DOUBLE_EQ(at->Tempo, 90);
                EXPECT_TRUE(at->Playing);
            }
        }
        // A second at least, whatever the machine makes of a sleep: the master's own frames.
        master.Next(seen.Cycles + unsigned(master.Rate / master.Period));
    }
}

TEST_F(JackTransport, StoppedTransportHoldsTheBarItWasPlacedAt)
{
    TJackServer jack;
    if (!jack.WhyNot().empty())
        GTEST_SKIP() << jack.WhyNot();
    TTestMaster master(90, 3);
    ASSERT_NE(master.Client(), nullptr);
    // Bar 3, beat 3 and a half: 8.5 beats from the start.
    const double beat = 8.5;
    jack_transport_locate(master.Client(), jack_nframes_t(std::lround(beat * 60 / 90 * master.Rate)));
    const std::unique_ptr<TKorSessionClock> clock = CreateJackTransportClock();
    ASSERT_TRUE(WaitFor([&] {
        const auto at = CaptureAt(*clock, TSteady::now(), 3);
        return at && std::abs(at->Beat - beat) < 0.01;
    })) << "the clock never saw the bar the transport was placed at";

    struct TCase {
        double Quantum, Phase;
    };
    for (const TCase c : {TCase{3, 2.5}, TCase{4, 0.5}, TCase{2, 0.5}, TCase{1, 0.5}, TCase{16, 8.5}}) {
        // It stands still: a deadline a second ahead finds it where it was.
        for (const auto deadline : {TSteady::now(), TSteady::now() + std::chrono::seconds(1)}) {
            const auto at = CaptureAt(*clock, deadline, c.Quantum);
            ASSERT_TRUE(at);
            EXPECT_NEAR(at->Beat, beat, 1.0 / 1920) << "quantum " << c.Quantum;
            EXPECT_NEAR(at->Phase, c.Phase, 1.0 / 1920) << "quantum " << c.Quantum;
            EXPECT_FALSE(at->Playing);
            EXPECT_DOUBLE_EQ(at->Tempo, 90);
        }
    }
}

TEST_F(JackTransport, StartsAndStopsTheTransportAndCountsFramesWithoutAMaster)
{
    TJackServer jack;
    if (!jack.WhyNot().empty())
        GTEST_SKIP() << jack.WhyNot();
    TTestMaster others(0, 4); // no timebase master: nobody tells bars and beats
    ASSERT_NE(others.Client(), nullptr);
    const std::unique_ptr<TKorSessionClock> clock = CreateJackTransportClock();
    ASSERT_TRUE(WaitFor([&] { return CaptureAt(*clock, TSteady::now(), 4).has_value(); }));
    EXPECT_FALSE(CaptureAt(*clock, TSteady::now(), 4)->Playing);

    // A request from the tick thread reaches the transport every client shares.
    {
        const TMidiSendTime tick(TSteady::now());
        clock->RequestPlaying(true);
    }
    ASSERT_TRUE(WaitFor([&] { return others.Next().State == JackTransportRolling; }));
    const TSeen seen = others.Next(others.Next().Cycles + 2);
    const auto at = CaptureAt(*clock, seen.Start, 4);
    ASSERT_TRUE(at);
    EXPECT_TRUE(at->Playing);
    EXPECT_DOUBLE_EQ(at->Tempo, JackUnmeasuredTempo);
    const double expected = seen.Frame / others.Rate * JackUnmeasuredTempo / 60;
    const double tolerance = 32 / others.Rate * JackUnmeasuredTempo / 60;
    EXPECT_NEAR(at->Beat, expected, tolerance);
    EXPECT_LT(PhaseError(at->Phase, std::fmod(expected, 4), 4), tolerance);

    clock->RequestPlaying(false);
    ASSERT_TRUE(WaitFor([&] { return others.Next().State == JackTransportStopped; }));
    ASSERT_TRUE(WaitFor([&] {
        const auto now = CaptureAt(*clock, TSteady::now(), 4);
        return now && !now->Playing;
    }));
}

TEST_F(JackTransport, FollowsNothingWithoutAServerAndTakesOneUpAsItComesAndGoes)
{
    TJackServer jack;
    if (!jack.WhyNot().empty())
        GTEST_SKIP() << jack.WhyNot();
    ASSERT_TRUE(jack.StopServer());
    QString problem;
    const std::unique_ptr<TKorSessionClock> clock = CreateJackTransportClock(&problem);
    EXPECT_FALSE(problem.isEmpty());
    TSessionPosition at{1, 0.5, 100, true};
    const TSessionPosition before = at;
    EXPECT_FALSE(clock->Capture(4, at));
    EXPECT_EQ(at.Beat, before.Beat);
    EXPECT_EQ(at.Phase, before.Phase);
    EXPECT_EQ(at.Tempo, before.Tempo);
    EXPECT_EQ(at.Playing, before.Playing);
    clock->RequestPlaying(true); // nothing to ask: no harm
    clock->RequestTempo(140);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        ASSERT_TRUE(jack.StartServer());
        EXPECT_TRUE(WaitFor([&] { return CaptureAt(*clock, TSteady::now(), 4).has_value(); }, 15000))
            << "the server that started is not followed";
        ASSERT_TRUE(jack.StopServer());
        EXPECT_TRUE(WaitFor([&] { return !CaptureAt(*clock, TSteady::now(), 4).has_value(); }, 5000))
            << "the server that stopped is still followed";
    }
    // Gone with no server to let its client go to.
}

} // namespace
