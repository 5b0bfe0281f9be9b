// The frames of JACK's cycles on its clock, worked out from the cycles' callbacks: a server
// simulated cycle by cycle (its cycles' true starts, and callbacks that begin some time after)
// with the disturbances of a studio. After each, the reckoning must be right again within a
// second and stay where it was before: no lasting shift of the note grid.
#include "JackFrameClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

namespace {

constexpr double Rate = 48000;
constexpr uint32_t Period = 256;
constexpr double UsPerFrame = 1e6 / Rate;
constexpr double PeriodUs = Period * UsPerFrame; // 5 333 us
constexpr int CyclesPerSecond = int(Rate / Period);

// One cycle as the server runs it and as the client's callback sees it.
struct TSimCycle {
    uint32_t FirstFrame;
    double TrueStartUs; // when the cycle's first frame really is, on JACK's clock
    double BeganUs;     // when the callback began
};

// A deterministic spread of delays.
class TDelays {
public:
    // Uniform in [lo, hi).
    double Next(double lo, double hi)
    {
        FState = FState * 6364136223846793005ULL + 1442695040888963407ULL;
        return lo + (hi - lo) * double(FState >> 11) / double(1ULL << 53);
    }

private:
    uint64_t FState = 42;
};

struct TScenario {
    const char *Name;
    // Cycle k of 20 s; the disturbance comes at cycle 5 s in.
    std::function<TSimCycle(int k, TDelays &delays)> Cycle;
    // Cycles skipped by the server or by a stopped client: not seen at all.
    std::function<bool(int k)> Missed = [](int) { return false; };
    double SpreadUs = 40; // how far the reckoning may stray once settled
};

constexpr int DisturbedAt = 5 * CyclesPerSecond;
constexpr double Base = 1e9; // JACK's clock when the run began

// Callbacks that begin 5 to 40 us after their cycles, as on a quiet machine.
double Quiet(TDelays &d) { return d.Next(5, 40); }

TSimCycle Plain(int k, TDelays &d, double shiftUs = 0, double ppm = 0)
{
    const double start = Base + k * PeriodUs * (1 + ppm * 1e-6) + (k >= DisturbedAt ? shiftUs : 0);
    return {uint32_t(k) * Period, start, start + Quiet(d)};
}

TEST(JackFrameClock, RightAgainWithinASecondOfEveryDisturbanceAndNoLastingShift)
{
    const int stallCycles = int(std::ceil(50'000 / PeriodUs)); // a 50 ms stop of the process
    const std::vector<TScenario> scenarios = {
        {"undisturbed", [](int k, TDelays &d) { return Plain(k, d); }},
        {"frames 200 ppm slower than the clock", [](int k, TDelays &d) { return Plain(k, d, 0, 200); }},
        {"the process stood still 50 ms: cycles missed, then callbacks in a burst",
         [=](int k, TDelays &d) {
             TSimCycle c = Plain(k, d);
             // The cycles that passed meanwhile are called back to back once it runs again.
             const int resumed = DisturbedAt + stallCycles;
             if (k >= resumed && k < resumed + 4)
                 c.BeganUs = Base + (resumed + 4) * PeriodUs + (k - resumed) * 30.0;
             return c;
         },
         [=](int k) { return k >= DisturbedAt && k < DisturbedAt + stallCycles; }},
        {"an overrun: the frames go on, the cycles begin 40 ms later",
         [](int k, TDelays &d) { return Plain(k, d, 40'000); }},
        {"the cycles begin 3 ms earlier", [](int k, TDelays &d) { return Plain(k, d, -3'000); }},
        {"a new server: frames from 0 again and a new phase",
         [](int k, TDelays &d) {
             TSimCycle c = Plain(k, d, 7'777);
             if (k >= DisturbedAt)
                 c.FirstFrame = uint32_t(k - DisturbedAt) * Period;
             return c;
         }},
        {"a busy machine: one callback in four 0.2 to 3 ms late",
         [](int k, TDelays &d) {
             TSimCycle c = Plain(k, d);
             if (d.Next(0, 1) < 0.25)
                 c.BeganUs += d.Next(200, 3000);
             return c;
         },
         [](int) { return false; }, 50},
    };
    for (const TScenario &s : scenarios) {
        SCOPED_TRACE(s.Name);
        TJackFrameClock clock;
        TDelays delays;
        // How far the reckoned start lies from the true one, before the disturbance (its
        // last second) and from a second after it.
        std::vector<double> before, after;
        double worstPerFrame = 0;
        for (int k = 0; k < 20 * CyclesPerSecond; ++k) {
            const TSimCycle c = s.Cycle(k, delays);
            if (s.Missed(k))
                continue;
            clock.Cycle(c.FirstFrame, Period, int64_t(std::llround(c.BeganUs)), UsPerFrame);
            const double off = clock.StartUs() - c.TrueStartUs;
            if (k >= DisturbedAt - CyclesPerSecond && k < DisturbedAt)
                before.push_back(off);
            if (k >= DisturbedAt + CyclesPerSecond) {
                after.push_back(off);
                worstPerFrame = std::max(worstPerFrame, std::abs(clock.UsPerFrame() - UsPerFrame) / UsPerFrame);
            }
        }
        ASSERT_FALSE(before.empty());
        ASSERT_FALSE(after.empty());
        const auto [lo, hi] = std::minmax_element(after.begin(), after.end());
        EXPECT_LE(*hi - *lo, s.SpreadUs) << "the reckoning strays by " << *lo << " .. " << *hi << " us";
        std::sort(before.begin(), before.end());
        std::sort(after.begin(), after.end());
        EXPECT_NEAR(after[after.size() / 2], before[before.size() / 2], 20) << "the grid moved for good";
        EXPECT_LT(worstPerFrame, 0.01) << "a frame's length is off by " << worstPerFrame * 100 << " %";
    }
}

} // namespace
