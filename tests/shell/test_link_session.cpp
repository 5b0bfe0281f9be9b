// Korvane's Link source beside a second Link peer, on loopback only (the runner's own network):
// the peers find each other; tempo, start and stop travel both ways; both read the same phase
// at the same moment, and a tick's deadline is read at its own time; the whole program, in the
// window and headless, follows a session and hands it the patch's tempo.
#include "Dialogs.h"
#include "FrmMain.h"
#include "LinkClock.h"
#include "LoopbackMidi.h"
#include "MoreMods.h"
#include "MidiServices.h"
#include "PrivateNetwork.h"
#include "Slot.h"
#include "WindowDoubles.h"

#include <ableton/Link.hpp>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <functional>

extern std::string PrivateNetworkProblem;

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()> &done, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(5);
    }
    return true;
}

// What the tick thread reads: the position at a deadline `ahead` of now.
TSessionPosition At(TKorSessionClock &clock, double quantum, steady_clock::duration ahead = {})
{
    TMidiSendTime due(steady_clock::now() + ahead);
    TSessionPosition at;
    EXPECT_TRUE(clock.Capture(quantum, at));
    return at;
}

double PeerTempo(ableton::Link &peer)
{
    return peer.captureAppSessionState().tempo();
}

// The distance of two phases around a quantum.
double PhaseDistance(double a, double b, double quantum)
{
    const double d = std::fmod(std::abs(a - b), quantum);
    return std::min(d, quantum - d);
}

class LinkSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Link announces itself on every interface that is up: only where loopback is all.
        if (!PrivateNetworkProblem.empty() || !privatenet::OnlyLoopback())
            GTEST_SKIP() << "no network of the test's own: " << PrivateNetworkProblem;
        Peer.enableStartStopSync(true);
        Peer.enable(true);
    }
    // Korvane's source and the peer in one session.
    void Join(TKorSessionClock *&clock)
    {
        Source = CreateLinkClock();
        clock = Source.get();
        ASSERT_TRUE(WaitUntil([&] { return Peer.numPeers() == 1; }, 10000)) << "the peers never met over loopback";
    }

    ableton::Link Peer{100.0};
    std::unique_ptr<TKorSessionClock> Source;
};

TEST_F(LinkSession, PeersOnLoopbackShareTempoAndStartAndStopBothWays)
{
    TKorSessionClock *clock = nullptr;
    Join(clock);
    EXPECT_EQ(clock->Name(), "Ableton Link");

    { // The tick asks at its deadline ...
        TMidiSendTime due(steady_clock::now());
        clock->RequestTempo(137);
    }
    EXPECT_TRUE(WaitUntil([&] { return std::abs(PeerTempo(Peer) - 137) < 0.01; }, 5000)) << PeerTempo(Peer);
    // ... and reads what another program sets.
    ableton::Link::SessionState state = Peer.captureAppSessionState();
    state.setTempo(90, Peer.clock().micros());
    Peer.commitAppSessionState(state);
    EXPECT_TRUE(WaitUntil([&] { return std::abs(At(*clock, 4).Tempo - 90) < 0.01; }, 5000)) << At(*clock, 4).Tempo;

    EXPECT_FALSE(At(*clock, 4).Playing);
    {
        TMidiSendTime due(steady_clock::now());
        clock->RequestPlaying(true);
    }
    EXPECT_TRUE(At(*clock, 4).Playing) << "started at this very deadline";
    EXPECT_TRUE(WaitUntil([&] { return Peer.captureAppSessionState().isPlaying(); }, 5000));
    state = Peer.captureAppSessionState();
    state.setIsPlaying(false, Peer.clock().micros());
    Peer.commitAppSessionState(state);
    EXPECT_TRUE(WaitUntil([&] { return !At(*clock, 4).Playing; }, 5000));
}

TEST_F(LinkSession, BothPeersReadOnePhaseAndADeadlineIsReadAtItsOwnTime)
{
    TKorSessionClock *clock = nullptr;
    Join(clock);
    ASSERT_TRUE(WaitUntil([&] { return std::abs(At(*clock, 4).Tempo - PeerTempo(Peer)) < 0.001; }, 5000));
    const double tempo = At(*clock, 4).Tempo;
    for (const auto ahead : {0ms, 40ms, 250ms}) {
        SCOPED_TRACE(ahead.count());
        // Taken one after the other: the peer's moment a few microseconds later at most.
        const TSessionPosition ours = At(*clock, 4, ahead);
        const double theirs = Peer.captureAppSessionState().phaseAtTime(Peer.clock().micros() + ahead, 4);
        EXPECT_LT(PhaseDistance(ours.Phase, theirs, 4), 0.001) << ours.Phase << " and " << theirs;
    }
    // Two deadlines half a second apart are half a second of beats apart, however soon they
    // are read one after the other.
    const double now = At(*clock, 4).Beat, later = At(*clock, 4, 500ms).Beat;
    EXPECT_NEAR(later - now, tempo / 120, 0.001);
}

// Sets a Constant's knob to `value` on a slot with a Link module, its output into InTempo.
TKorLink *PatchWithTempo(TKorSlot &slot, int32_t value)
{
    auto *follower = Create<TKorLink>(slot.Sheet());
    auto *constant = Create<TKorConstant>(slot.Sheet());
    constant->SetTop(60);
    constant->SetKnobAmpValue(value);
    slot.Sheet()->ToggleConnection(constant->Out(), follower->InTempo());
    return follower;
}

TEST_F(LinkSession, TheWindowWithLinkOnFollowsTheSessionAndHandsItThePatchsTempo)
{
    TQuiet quiet;
    SetDialogs(&quiet);
    QTemporaryDir dir;
    TMainWindowOptions options;
    options.SettingsFile = dir.filePath("korvane.INI");
    options.Midi = std::make_shared<TLoopbackMidi>();
    options.SaveSettings = false;
    options.Link = true;
    options.TimeSource = std::make_unique<TStillTime>();
    {
        TFormMain w(std::move(options));
        ASSERT_NE(w.SessionSource(), nullptr);
        EXPECT_EQ(SessionClock(), w.SessionSource());
        ASSERT_TRUE(WaitUntil([&] { return Peer.numPeers() == 1; }, 10000));
        TKorLink *follower = PatchWithTempo(*w.PageControl()->NewSlot("Link"), 952);
        EXPECT_EQ(follower->SourceLabel()->Text(), "Ableton Link");
        // The constant's value reaches InTempo one tick later; a tempo of 95.2 goes out.
        EXPECT_TRUE(WaitUntil([&] {
            w.Tick();
            return std::abs(PeerTempo(Peer) - 95.2) < 0.01;
        }, 5000)) << PeerTempo(Peer);
        ableton::Link::SessionState state = Peer.captureAppSessionState();
        state.setIsPlaying(true, Peer.clock().micros());
        Peer.commitAppSessionState(state);
        EXPECT_TRUE(WaitUntil([&] {
            w.Tick();
            return follower->OutRun()->Value() == 1000;
        }, 5000));
        EXPECT_EQ(follower->OutTempo()->Value(), 952);
        // Turned off, the module rests and says so.
        w.SetLink(false);
        w.Tick();
        EXPECT_EQ(follower->OutRun()->Value(), 0);
        EXPECT_EQ(follower->SourceLabel()->Text(), "Link off");
        EXPECT_TRUE(WaitUntil([&] { return Peer.numPeers() == 0; }, 10000)) << "Korvane left the session";
        w.close();
    }
    EXPECT_EQ(SessionClock(), nullptr);
    SetDialogs(nullptr);
}

TEST_F(LinkSession, AHeadlessRunWithLinkJoinsAndSetsThePatchsTempo)
{
    QTemporaryDir dir;
    const QString patch = dir.filePath("tempo.korvane");
    {
        TKorModulePageControl pages;
        TKorSlot *slot = pages.NewSlot("Tempo");
        PatchWithTempo(*slot, 876);
        slot->SaveToFile(patch);
    }
    QProcess korvane;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", dir.path()); // the settings of a run of its own
    korvane.setProcessEnvironment(env);
    korvane.start(QStringLiteral(KORVANE_PROGRAM), {"--headless", "--link", "--midi-api", "loopback", patch});
    ASSERT_TRUE(korvane.waitForStarted(5000));
    EXPECT_TRUE(WaitUntil([&] { return std::abs(PeerTempo(Peer) - 87.6) < 0.01; }, 15000)) << PeerTempo(Peer);
    ::kill(pid_t(korvane.processId()), SIGTERM);
    ASSERT_TRUE(korvane.waitForFinished(15000));
    EXPECT_EQ(korvane.exitCode(), 0);
    EXPECT_TRUE(korvane.readAllStandardError().contains("; following Ableton Link;"));
}

} // namespace
