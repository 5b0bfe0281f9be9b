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

#include <cmath>
#include <thread>

namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

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
    const double rate = FReceiver->Rate();
    const auto start = TSteady::now() + 50ms;
    std::vector<std::chrono::microseconds> late(Notes);
    std::vector<jack_nframes_t> dueFrame(Notes);
    for (int k = 0; k < Notes; ++k) {
        const auto deadline = start + k * Grid;
        std::this_thread::sleep_until(deadline + std::chrono::microseconds(k * 7919 % 900));
        late[k] = std::chrono::duration_cast<std::chrono::microseconds>(TSteady::now() - deadline);
        TMidiSendTime due(deadline);
        FOut->PutShort(0x90, uint8_t(k), 100);
        dueFrame[k] = FReceiver->FrameOf(deadline);
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
    const double latency = FReceiver->Period() + JackLateTickMargin.count() * rate / 1e6;
    const double gridFrames = std::chrono::duration<double>(Grid).count() * rate;
    const auto judge = [&](int k) { return note[k] != nullptr && late[k] + 100us <= JackLateTickMargin; };
    int judged = 0;
    for (int k = 0; k < Notes; ++k) {
        if (!judge(k))
            continue;
        ++judged;
        EXPECT_NEAR(double(note[k]->Frame - dueFrame[k]), latency, 2.0) << "note " << k;
        // Intervals, not distances from the first note: the server's frames may drift against
        // the system's clock (the dummy driver's do, by a frame or so a second).
        if (k > 0 && judge(k - 1))
            EXPECT_NEAR(double(note[k]->Frame - note[k - 1]->Frame), gridFrames, 2.0) << "note " << k;
    }
    EXPECT_GE(judged, Notes / 2) << "the machine was too busy to judge the grid";
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
        ASSERT_GT(n, previous) << "in order";
        ASSERT_TRUE(n == previous + 1 || FReceiver->Xruns() > 0) << "none lost: " << previous << " then " << n;
        if (i > 0)
            ASSERT_GE(int32_t(heard[i].Frame - heard[i - 1].Frame), 0) << n;
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

TEST_F(MidiJackTiming, InputReachesThePortAtTheTimeOfItsFrame)
{
    // jack_midiseq plays key 60 at the start of every 23 936 frames (498.67 ms), 93 and a half
    // 256-frame cycles: a port fed once per cycle would see 496 and 501.33 ms, each interval
    // 2.67 ms off.
    const double loopMs = 23936 / 48.0;
    FJack.Start("jack_midiseq", {"seq", "23936", "0", "60", "2000"});
    ASSERT_TRUE(WaitFor([&] { return FServices->InGetNumDevs() > 0; }, 10000));
    TMidiInput in(nullptr, FServices);
    std::vector<uint32_t> noteOns; // ms since the port started, as the port stamps them
    in.SetOnMidiInput([&](QObject *) {
        if (auto e = in.GetMidiEvent(); e && e->MidiMessage == 0x90 && e->Data2 > 0)
            noteOns.push_back(e->Time);
    });
    in.SetProductName("seq:out");
    ASSERT_TRUE(in.Open());
    in.Start();
    ASSERT_TRUE(WaitFor([&] { return noteOns.size() >= 9; }, 15000)) << noteOns.size();
    in.Stop();
    in.Close();
    // Whole milliseconds, so within 1.5 ms; a busy machine may wake the delivering thread late
    // now and then, so three intervals in four must hold.
    int kept = 0;
    for (size_t i = 1; i < noteOns.size(); ++i)
        kept += std::abs(double(noteOns[i] - noteOns[i - 1]) - loopMs) <= 1.5 ? 1 : 0;
    EXPECT_GE(kept * 4, int(noteOns.size() - 1) * 3) << kept << " of " << noteOns.size() - 1 << " intervals";
}

} // namespace
