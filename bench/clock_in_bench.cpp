// How still ClockIn's Tempo holds at a steady incoming clock, and how soon it follows a change:
// the module as it is (a least-squares line through up to 16 beats of clocks, cut back when the
// sender moves, stamps in microseconds where the host has them) beside the earlier measure (the
// mean of the last 24 intervals between millisecond stamps, computed here as it was). Senders
// at a steady tempo whose clocks are each off their grid by a jitter: evenly spread
// within +-J, normal with a spread of J, or with now and then a clock 10 ms late. Spread is the
// largest minus the smallest figure shown over a run after its first 16 beats (worst of the
// seeds), sd the standard deviation of the figure; both in beats per minute. Measured and
// printed, never asserted. Run: build/bench/clock_in_bench (built with -DKORVANE_BENCH=ON).
#include "ClockModules.h"
#include "MoreMods.h"

#include <QApplication>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int Seeds = 20;
constexpr int Clocks = 5000;
constexpr int Settle = TClockPeriod::Capacity;

enum class TJitter { Even, Normal, EvenWithLate };

struct TSender {
    const char *Name;
    TJitter Kind;
    double JitterMs;
    bool MicrosecondStamps; // the new measure's stamps; the earlier one always had whole ms
};

// Arrival times (us) of a sender's clocks: `bpm` up to clock `changeAt`, `bpmAfter` from there.
std::vector<int64_t> Arrivals(const TSender &s, int seed, double bpm, double bpmAfter = 0, int changeAt = Clocks)
{
    std::mt19937 rng{uint32_t(seed)};
    std::normal_distribution<double> normal(0, 1);
    std::vector<int64_t> us;
    double grid = 1e6;
    for (int i = 0; i < Clocks; ++i) {
        grid += 60e6 / (i < changeAt ? bpm : bpmAfter) / TKorClockIn::ClocksPerBeat;
        double jitter = s.Kind == TJitter::Normal ? normal(rng) : (double(rng()) / 4294967296.0 * 2 - 1);
        jitter *= s.JitterMs * 1000;
        if (s.Kind == TJitter::EvenWithLate && rng() % 200 == 0)
            jitter += 10000;
        us.push_back(int64_t(std::floor(grid + jitter)));
    }
    return us;
}

// The earlier measure: tenths of a beat per minute from the last 24 intervals of ms stamps.
std::vector<int32_t> OldTempo(const std::vector<int64_t> &us)
{
    std::array<int64_t, 25> ring{};
    int held = 0, newest = 0;
    std::vector<int32_t> tempo;
    for (int64_t t : us) {
        newest = (newest + 1) % 25;
        ring[size_t(newest)] = t / 1000;
        held = std::min(held + 1, 25);
        const int64_t span = ring[size_t(newest)] - ring[size_t((newest - (held - 1) + 25) % 25)];
        tempo.push_back(held < 2 || span <= 0 ? 0
                                              : int32_t((600000 * int64_t(held - 1) + span * 12) / (span * 24)));
    }
    return tempo;
}

// The module: started, then one tick after each clock.
std::vector<int32_t> NewTempo(const std::vector<int64_t> &us, bool microseconds)
{
    TOwned<TKorDrawSheet> sheet = CreateOwned<TKorDrawSheet>();
    auto *in = Create<TKorClockIn>(sheet.get());
    const auto stamp = [&](int64_t t) {
        if (microseconds)
            SetMidiArrivalTimeUs(t);
        else
            SetMidiArrivalTime(t / 1000);
    };
    stamp(us.front());
    in->ShortMidiIn(MidiStart);
    std::vector<int32_t> tempo;
    for (int64_t t : us) {
        stamp(t);
        in->ShortMidiIn(MidiTimingClock);
        sheet->Execute();
        tempo.push_back(in->OutTempo()->Value());
    }
    return tempo;
}

// The line's own figure before the module rounds it to tenths: the same stamps through a
// TClockPeriod of the bench's, in beats per minute.
std::vector<double> LineTempo(const std::vector<int64_t> &us, bool microseconds)
{
    TClockPeriod line;
    std::vector<double> bpm;
    for (int64_t t : us) {
        line.Add(microseconds ? t : t / 1000 * 1000);
        bpm.push_back(line.Period() > 0 ? 60e6 / TKorClockIn::ClocksPerBeat / line.Period() : 0);
    }
    return bpm;
}

std::vector<double> Bpm(const std::vector<int32_t> &tenths)
{
    std::vector<double> bpm;
    for (int32_t t : tenths)
        bpm.push_back(t / 10.0);
    return bpm;
}

struct TStill {
    double Spread = 0, Sd = 0; // beats per minute; spread the worst seed's, sd the mean
};

void Add(TStill &s, const std::vector<double> &bpm)
{
    const auto [lo, hi] = std::minmax_element(bpm.begin() + Settle, bpm.end());
    s.Spread = std::max(s.Spread, *hi - *lo);
    double sum = 0, squares = 0;
    for (auto t = bpm.begin() + Settle; t != bpm.end(); ++t) {
        sum += *t;
        squares += *t * *t;
    }
    const double n = double(bpm.end() - bpm.begin() - Settle);
    s.Sd += std::sqrt(std::max(0.0, squares / n - (sum / n) * (sum / n))) / Seeds;
}

// How many clocks after `from` the tempo stays within `tenths` of `bpm` for good (the worst seed
// so far in `worst`); -1 when it still strays in the last beat of the run.
int Within(const std::vector<int32_t> &tempo, int from, double bpm, int tenths, int worst)
{
    int last = from;
    for (int i = from; i < int(tempo.size()); ++i)
        if (std::abs(tempo[size_t(i)] - bpm * 10) > tenths)
            last = i + 1;
    if (worst < 0 || last > int(tempo.size()) - TKorClockIn::ClocksPerBeat)
        return -1;
    return std::max(worst, last - from);
}

std::string Shown(int clocks)
{
    return clocks < 0 ? std::string("never") : std::to_string(clocks);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    RegisterLibraryModules();

    const std::vector<TSender> senders = {
        {"even +-0 ms (stamps only)", TJitter::Even, 0, false},
        {"even +-1 ms", TJitter::Even, 1, false},
        {"even +-2 ms", TJitter::Even, 2, false},
        {"even +-3 ms", TJitter::Even, 3, false},
        {"normal 0.5 ms", TJitter::Normal, 0.5, false},
        {"normal 0.5 ms, us stamps", TJitter::Normal, 0.5, true},
        {"normal 0.1 ms, us stamps", TJitter::Normal, 0.1, true},
        {"even +-1 ms, 1 in 200 late 10 ms", TJitter::EvenWithLate, 1, false},
    };
    for (const double bpm : {120.0, 133.37}) {
        std::printf("Steady %.2f BPM, %d seeds x %d clocks, the first %d of each left out (BPM); \"line\": the "
                    "new figure before rounding to tenths\n",
                    bpm, Seeds, Clocks, Settle);
        std::printf("%-36s %11s %7s %11s %7s %12s %8s\n", "sender", "old spread", "old sd", "new spread", "new sd",
                    "line spread", "line sd");
        for (const TSender &s : senders) {
            TStill old, now, line;
            for (int seed = 0; seed < Seeds; ++seed) {
                const std::vector<int64_t> us = Arrivals(s, seed, bpm);
                Add(old, Bpm(OldTempo(us)));
                Add(now, Bpm(NewTempo(us, s.MicrosecondStamps)));
                Add(line, LineTempo(us, s.MicrosecondStamps));
            }
            std::printf("%-36s %11.1f %7.3f %11.1f %7.3f %12.4f %8.4f\n", s.Name, old.Spread, old.Sd, now.Spread,
                        now.Sd, line.Spread, line.Sd);
        }
        std::printf("\n");
    }

    std::printf("After start: clocks until the tempo stays within 0.1 BPM of 120 (worst seed)\n");
    std::printf("%-36s %8s %8s\n", "sender", "old", "new");
    for (const TSender &s : senders) {
        int old = 0, now = 0;
        for (int seed = 0; seed < Seeds; ++seed) {
            const std::vector<int64_t> us = Arrivals(s, seed, 120);
            old = Within(OldTempo(us), 0, 120, 1, old);
            now = Within(NewTempo(us, s.MicrosecondStamps), 0, 120, 1, now);
        }
        std::printf("%-36s %8s %8s\n", s.Name, Shown(old).c_str(), Shown(now).c_str());
    }

    constexpr int ChangeAt = 1000;
    std::printf("\nA step at clock %d, settled before: clocks until the tempo stays within 0.5 BPM (worst seed)\n",
                ChangeAt);
    std::printf("%-36s %10s %8s %8s\n", "sender", "step", "old", "new");
    for (const TSender &s : senders) {
        if (s.Kind != TJitter::Even)
            continue;
        for (const auto &[from, to] : {std::pair{120.0, 140.0}, std::pair{120.0, 100.0}}) {
            int old = 0, now = 0;
            for (int seed = 0; seed < Seeds; ++seed) {
                const std::vector<int64_t> us = Arrivals(s, seed, from, to, ChangeAt);
                old = Within(OldTempo(us), ChangeAt, to, 5, old);
                now = Within(NewTempo(us, s.MicrosecondStamps), ChangeAt, to, 5, now);
            }
            char step[32];
            std::snprintf(step, sizeof step, "%.0f->%.0f", from, to);
            std::printf("%-36s %10s %8s %8s\n", s.Name, step, Shown(old).c_str(), Shown(now).c_str());
        }
    }
    return 0;
}
