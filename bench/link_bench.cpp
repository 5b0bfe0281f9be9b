// Clock pulses of the Link module following a real Link session at 137 beats per minute, whose
// tempo another peer set (a clock every 60 / 137 / 24 s = 18 248 us):
//  1. real time: ticks woken at their deadlines (sleep_until, as the timer does) 1 ms apart
//     for 20 s, through the page control's tick as the program runs it;
//  2. simulated deadlines: ten minutes of ticks 1, 5 and 20 ms apart, run as fast as they go,
//     each read at its own deadline ahead of now.
// Printed: the intervals between the deadlines of the ticks whose Clock output pulsed (count,
// mean, standard deviation, minimum, maximum), and how many clocks the session passed. Measured,
// never asserted. Runs in a network namespace of its own with only loopback, so that Link's
// discovery stays on this machine.
#include "LinkClock.h"
#include "MidiServices.h"
#include "MoreMods.h"
#include "PageControl.h"
#include "PrivateNetwork.h"
#include "Slot.h"

#include <ableton/Link.hpp>

#include <QApplication>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

constexpr double Tempo = 137;

struct TRun {
    std::vector<double> IntervalsUs;
    double ClocksPassed = 0;
};

void Report(const char *what, const TRun &run)
{
    const std::vector<double> &v = run.IntervalsUs;
    double sum = 0, lo = v.empty() ? 0 : v.front(), hi = lo;
    for (double x : v) {
        sum += x;
        lo = std::min(lo, x);
        hi = std::max(hi, x);
    }
    const double mean = v.empty() ? 0 : sum / double(v.size());
    double square = 0;
    for (double x : v)
        square += (x - mean) * (x - mean);
    const double deviation = v.size() > 1 ? std::sqrt(square / double(v.size() - 1)) : 0;
    std::printf("%-34s pulses=%zu clocks_passed=%.0f mean_us=%.1f sd_us=%.1f min_us=%.0f max_us=%.0f\n", what,
                v.size() + 1, run.ClocksPassed, mean, deviation, lo, hi);
}

// Runs `ticks` ticks `period` apart from `start`; `wait`: each at its deadline in real time.
TRun Run(TKorModulePageControl &pages, TKorLink &link, TKorSessionClock &clock, steady_clock::time_point start,
         microseconds period, int64_t ticks, bool wait)
{
    TRun run;
    run.IntervalsUs.reserve(size_t(ticks));
    TSessionPosition first, last;
    std::optional<steady_clock::time_point> previous;
    for (int64_t n = 0; n < ticks; ++n) {
        const steady_clock::time_point deadline = start + n * period;
        if (wait)
            std::this_thread::sleep_until(deadline);
        TMidiSendTime due(deadline);
        pages.Execute();
        if (link.OutClock()->Value() == 1000) {
            if (previous)
                run.IntervalsUs.push_back(double(duration_cast<nanoseconds>(deadline - *previous).count()) / 1000);
            previous = deadline;
        }
        if (n == 0)
            clock.Capture(4, first);
        if (n == ticks - 1)
            clock.Capture(4, last);
    }
    run.ClocksPassed = std::floor(last.Beat * 24) - std::floor(first.Beat * 24);
    return run;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string network = privatenet::Enter();
    if (!network.empty() || !privatenet::OnlyLoopback()) {
        std::fprintf(stderr, "link_bench: no network of its own: %s\n", network.c_str());
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    RegisterLibraryModules();

    // Another program sets the session's tempo; Korvane joins it.
    ableton::Link peer(Tempo);
    peer.enable(true);
    const std::unique_ptr<TKorSessionClock> clock = CreateLinkClock();
    for (int i = 0; i < 1000 && peer.numPeers() == 0; ++i)
        std::this_thread::sleep_for(10ms);
    ableton::Link::SessionState state = peer.captureAppSessionState();
    state.setTempo(Tempo, peer.clock().micros());
    peer.commitAppSessionState(state);
    std::this_thread::sleep_for(500ms);
    SetSessionClock(clock.get());

    TKorModulePageControl pages;
    TKorSlot *slot = pages.NewSlot(QStringLiteral("Bench"));
    auto *link = Create<TKorLink>(slot->Sheet());
    TSessionPosition at;
    {
        TMidiSendTime due(steady_clock::now());
        clock->Capture(4, at);
    }
    std::printf("peers=%zu session_tempo=%.3f ideal_clock_interval_us=%.1f\n", peer.numPeers(), at.Tempo,
                60e6 / Tempo / 24);

    Report("real time, 1 ms ticks, 20 s", Run(pages, *link, *clock, steady_clock::now() + 10ms, 1ms, 20000, true));
    for (const auto period : {1000us, 5000us, 20000us}) {
        const std::string what = "simulated, " + std::to_string(period.count() / 1000) + " ms ticks, 10 min";
        // A fresh module: the last tick of the run before is no tick before this one.
        link = Create<TKorLink>(slot->Sheet());
        link->SetTop(60);
        Report(what.c_str(), Run(pages, *link, *clock, steady_clock::now() + 10ms, period, 600000000 / period.count(), false));
    }
    SetSessionClock(nullptr);
    return 0;
}
