// Korvane's own JACK output, heard by a client that stamps every event with its frame: notes
// sent on a tick grid keep the grid however late each tick woke, one constant latency behind;
// a flood of 10 000 messages a second keeps its order; system-exclusive messages arrive whole,
// and one longer than JACK carries is refused with the reason. And input reaches the port at
// the time of its frame, not all of a cycle's events at once.
#include "JackReceiver.h"
#include "JackTestServer.h"
#include "MidiIn.h"
#include "MidiOut.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <pthread.h>
#include <sched.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

// Real-time scheduling for the calling thread while it lives, where the user may have it.
class TRealtime {
public:
    TRealtime()
    {
        pthread_getschedparam(pthread_self(), &FPolicy, &FParam);
        sched_param urgent{};
        urgent.sched_priority = 12;
        (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &urgent);
    }
    ~TRealtime() { pthread_setschedparam(pthread_self(), FPolicy, &FParam); }
    TRealtime(const TRealtime &) = delete;
    TRealtime &operator=(const TRealtime &) = delete;

private:
    int FPolicy = SCHED_OTHER;
    sched_param FParam{};
};

class MidiJackTiming : public testing::Test {
protected:
    void SetUp() override
    {
        if (!FJack.WhyNot().empty())
            GTEST_SKIP() << FJack.WhyNot();
        FReceiver = std::make_unique<TJackReceiver>();
        ASSERT_TRUE(FReceiver->Ready());
        FServices = CreateJackMidiServices();
        ASSERT_EQ(FServices->Problem(), "");
        FOut = std::make_unique<TMidiOutput>(nullptr, FServices);
        FOut->SetProductName(QString::fromStdString(FReceiver->PortName()));
        ASSERT_TRUE(FOut->Open());
    }

    bool Received(size_t count) { return WaitFor([&] { return FReceiver->Count() >= count; }, 15000); }
    // All `count` events, or as many as came once the server overran a cycle (which can lose a
    // cycle's events, whoever sent them) and nothing more came for a while.
    std::vector<TReceivedEvent> Heard(size_t count)
    {
        size_t last = 0;
        WaitFor(
            [&] {
                const size_t now = FReceiver->Count();
                if (now >= count)
                    return true;
                if (FReceiver->Xruns() > 0 && now == last)
                    return true;
                last = now;
                QThread::msleep(300);
                return false;
            },
            15000);
        std::vector<TReceivedEvent> heard = FReceiver->Events();
        EXPECT_TRUE(heard.size() == count || FReceiver->Xruns() > 0)
            << heard.size() << " of " << count << " events arrived, and the server overran no cycle";
        return heard;
    }

    TJackServer FJack{{"-r", "48000", "-p", "256"}};
    std::unique_ptr<TJackReceiver> FReceiver;
    std::shared_ptr<TMidiServices> FServices;
    std::unique_ptr<TMidiOutput> FOut;
};

TEST_F(MidiJackTiming, NotesKeepTheirTickGridAndOneLatencyHoweverLateTheTickWoke)
{
    // 7 ms apart, so that the notes fall at every place of the 5.33 ms cycles; each tick wakes
    // up to 0.9 ms late, as a busy machine's would.
    constexpr int Notes = 60;
    constexpr auto Grid = 7ms;
    const auto start = TSteady::now() + 50ms;
    std::vector<std::chrono::microseconds> late(Notes);
    std::vector<int64_t> dueUs(Notes);
    std::vector<int> overruns(Notes); // cycles the server overran before each note was handed over
    // The ticks come from a thread as urgent as Korvane's timer thread, where the user may.
    const TRealtime urgent;
    for (int k = 0; k < Notes; ++k) {
        const auto deadline = start + k * Grid;
        std::this_thread::sleep_until(deadline + std::chrono::microseconds(k * 7919 % 900));
        {
            TMidiSendTime due(deadline);
            FOut->PutShort(0x90, uint8_t(k), 100);
        }
        // When the message was handed over: a thread put aside after waking is later still.
        late[k] = std::chrono::duration_cast<std::chrono::microseconds>(TSteady::now() - deadline);
        dueUs[k] = TJackReceiver::TimeOf(deadline);
        overruns[k] = FReceiver->Xruns();
    }
    // Each note by its number; a tick that woke later than the margin may miss its cycle, so
    // only the others are judged.
    const std::vector<TReceivedEvent> heard = Heard(Notes);
    std::vector<const TReceivedEvent *> note(Notes, nullptr);
    int previous = -1;
    for (const TReceivedEvent &e : heard) {
        ASSERT_EQ(e.Bytes.size(), 3u);
        const int k = e.Bytes[1];
        ASSERT_GT(k, previous) << "in order";
        note[k] = &e;
        previous = k;
    }
    // Each note one cycle and the margin after its deadline, in the server's time of its frame
    // and as long as the server measured that cycle (on a busy machine a server that falls
    // behind stretches its cycles): the grid is kept however late each tick woke. Within three
    // frames: a message plays at the frame its time falls in, and Korvane's mapping of times to
    // frames and the server's mapping back (each smoothed over the cycles' jittery starts) may
    // each round a frame apart on a busy machine; a missed cycle would be a whole period off.
    const double within = 3e6 / FReceiver->Rate();
    // Nor is a note whose cycle the server may have overrun, which it tells a little later:
    // one with an overrun told between the note before it and three notes (21 ms) after.
    const int overrunsAtEnd = FReceiver->Xruns();
    // Nor one carried by a cycle the server stretched by more than 1 %: a dummy server without
    // real-time priority on a busy machine falls behind real time and then has no frame left
    // for a deadline, so what comes is played as soon as it can be, not by the grid.
    const double periodUs = 1e6 * FReceiver->Period() / FReceiver->Rate();
    const auto judge = [&](int k) {
        const int before = overruns[std::max(k - 1, 0)], after = k + 3 < Notes ? overruns[k + 3] : overrunsAtEnd;
        return note[k] != nullptr && late[k] + 100us <= JackLateTickMargin && before == after &&
               std::abs(double(note[k]->CycleUs) - periodUs) <= periodUs / 100;
    };
    int judged = 0;
    for (int k = 0; k < Notes; ++k)
        judged += judge(k) ? 1 : 0;
    if (judged < Notes / 2)
        GTEST_SKIP() << "the machine was too busy to judge the grid: the server kept time in " << judged << " of "
                     << Notes << " notes' cycles";
    for (int k = 0; k < Notes; ++k) {
        if (!judge(k))
            continue;
        EXPECT_NEAR(double(note[k]->Us - dueUs[k]), double(note[k]->CycleUs + JackLateTickMargin.count()), within)
            << "note " << k << " heard in a cycle of " << note[k]->CycleUs << " us";
    }
}

TEST_F(MidiJackTiming, AFloodOfTenThousandMessagesASecondKeepsItsOrder)
{
    // Ten controller messages on each 1 ms tick for a second; the numbers count through them.
    constexpr int Ticks = 1000, PerTick = 10;
    const auto start = TSteady::now() + 20ms;
    for (int t = 0; t < Ticks; ++t) {
        const auto deadline = start + t * 1ms;
        std::this_thread::sleep_until(deadline);
        TMidiSendTime due(deadline);
        for (int i = 0; i < PerTick; ++i) {
            const int n = t * PerTick + i;
            FOut->PutShort(0xB0, uint8_t(n & 0x7F), uint8_t(n >> 7));
        }
    }
    const std::vector<TReceivedEvent> heard = Heard(Ticks * PerTick);
    int previous = -1;
    for (size_t i = 0; i < heard.size(); ++i) {
        ASSERT_EQ(heard[i].Bytes.size(), 3u);
        const int n = heard[i].Bytes[1] | heard[i].Bytes[2] << 7;
        // A cycle the server overran may hand the receiver a late client's buffer of the cycle
        // before once more: numbers heard already come again. Anything else is out of order.
        if (n <= previous && FReceiver->Xruns() > 0)
            continue;
        ASSERT_GT(n, previous) << "in order (" << FReceiver->Xruns() << " overruns)";
        ASSERT_TRUE(n == previous + 1 || FReceiver->Xruns() > 0) << "none lost: " << previous << " then " << n;
        // The receiver stamps frames from its own cycle's start: a cycle the server overran
        // on a busy machine can misplace its stamps, so frames are judged only without one.
        if (i > 0 && FReceiver->Xruns() == 0) {
            ASSERT_GE(int32_t(heard[i].Frame - heard[i - 1].Frame), 0) << n;
        }
        previous = n;
    }
}

TEST_F(MidiJackTiming, SystemExclusiveArrivesWholeAndOneTooLongIsRefusedWithTheReason)
{
    const std::vector<uint8_t> shortOne = SysexOf(6), longOne = SysexOf(8000);
    FOut->PutLong(shortOne.data(), uint16_t(shortOne.size()));
    FOut->PutShort(0x90, 60, 100);
    FOut->PutLong(longOne.data(), uint16_t(longOne.size()));
    ASSERT_TRUE(Received(3));
    const std::vector<TReceivedEvent> heard = FReceiver->Events();
    EXPECT_EQ(heard[0].Bytes, shortOne);
    EXPECT_EQ(heard[1].Bytes, (std::vector<uint8_t>{0x90, 60, 100}));
    EXPECT_EQ(heard[2].Bytes, longOne);

    // JACK's MIDI buffers hold 32 KB: the longest message a port sends cannot pass.
    const std::vector<uint8_t> tooLong = SysexOf(65535);
    try {
        FOut->PutLong(tooLong.data(), uint16_t(tooLong.size()));
        ADD_FAILURE() << "a message longer than JACK carries was taken";
    } catch (const EMidiOutputError &e) {
        EXPECT_TRUE(e.Message().contains("65535 bytes is longer than JACK's MIDI buffer")) << e.Message().toStdString();
    }
    FOut->PutShort(0x80, 60, 0);
    ASSERT_TRUE(Received(4)) << "the port goes on";
    EXPECT_EQ(FReceiver->Events()[3].Bytes, (std::vector<uint8_t>{0x80, 60, 0}));
}

TEST_F(MidiJackTiming, AMessageTooLongIsRefusedAlsoWhenSentBeforeThePortsFirstCycle)
{
    // Sent the moment the port opened, most likely before its first cycle, which used to take
    // it and drop it without a word.
    const std::vector<uint8_t> tooLong = SysexOf(65535), fits = SysexOf(1000);
    FOut->Close();
    ASSERT_TRUE(FOut->Open());
    EXPECT_THROW(FOut->PutLong(tooLong.data(), uint16_t(tooLong.size())), EMidiOutputError);
    FOut->PutLong(fits.data(), uint16_t(fits.size()));
    ASSERT_TRUE(Received(1));
    EXPECT_EQ(FReceiver->Events()[0].Bytes, fits) << "only the message that fits plays";
}

TEST_F(MidiJackTiming, WhatWasSentPlaysBeforeThePortCloses)
{
    // As a stop does: all notes off on every channel, and the port closed at once.
    std::vector<std::vector<uint8_t>> sent;
    for (uint8_t channel = 0; channel < 16; ++channel) {
        FOut->PutShort(uint8_t(0xB0 + channel), 123, 0);
        sent.push_back({uint8_t(0xB0 + channel), 123, 0});
    }
    EXPECT_TRUE(FOut->Close());
    ASSERT_TRUE(Received(sent.size())) << FReceiver->Count() << " heard";
    std::vector<std::vector<uint8_t>> heard;
    for (const TReceivedEvent &e : FReceiver->Events())
        heard.push_back(e.Bytes);
    EXPECT_EQ(std::vector(heard.begin(), heard.begin() + long(sent.size())), sent);
}

TEST_F(MidiJackTiming, InputReachesThePortAtTheTimeOfItsFrame)
{
    // jack_midiseq plays key 60 at the start of every 23 936 frames, 93 and a half 256-frame
    // cycles, so every other note lies half a cycle (2.67 ms) into its cycle. The test's own
    // client hears the same notes and tells the time of each one's frame.
    FJack.Start("jack_midiseq", {"seq", "23936", "0", "60", "2000"});
    ASSERT_TRUE(WaitFor([&] { return FServices->InGetNumDevs() > 0; }, 10000));
    ASSERT_EQ(FJack.Run("jack_connect", {"seq:out", QString::fromStdString(FReceiver->PortName())}), 0);
    TMidiInput in(nullptr, FServices);
    std::vector<uint32_t> noteOns; // ms since the port started, as the port stamps them
    in.SetOnMidiInput([&](QObject *) {
        if (auto e = in.GetMidiEvent(); e && e->MidiMessage == 0x90 && e->Data2 > 0)
            noteOns.push_back(e->Time);
    });
    in.SetProductName("seq:out");
    ASSERT_TRUE(in.Open());
    const TSteady::time_point started = TSteady::now();
    in.Start();
    ASSERT_TRUE(WaitFor([&] { return noteOns.size() >= 9; }, 15000)) << noteOns.size();
    in.Stop();
    in.Close();
    // The time of each note's frame, in ms since the port started.
    std::vector<double> frameMs;
    for (const TReceivedEvent &e : FReceiver->Events())
        if (e.Bytes.size() == 3 && e.Bytes[0] == 0x90 && e.Bytes[2] > 0)
            frameMs.push_back(std::chrono::duration<double, std::milli>(TJackReceiver::SteadyOf(e.Us) - started).count());
    ASSERT_FALSE(frameMs.empty());
    // How long after its frame's time each note reached the port. A port fed once per cycle
    // would take every other note 2.67 ms before its time, and one that held notes back a
    // cycle would take none on time. Later is the machine's doing: a busy one wakes the
    // delivering thread late. The stamps are whole milliseconds, so within 1.5 ms.
    std::vector<double> after;
    for (const uint32_t ms : noteOns) {
        double nearest = frameMs.front();
        for (const double t : frameMs)
            if (std::abs(t - ms) < std::abs(nearest - ms))
                nearest = t;
        after.push_back(ms - nearest);
    }
    const std::string shown = ::testing::PrintToString(after);
    EXPECT_GE(*std::min_element(after.begin(), after.end()), -1.5) << "a note came before its time: " << shown;
    EXPECT_LE(*std::min_element(after.begin(), after.end()), 1.5) << "no note came on time: " << shown;
}

} // namespace
