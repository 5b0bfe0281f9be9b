// Helpers for the oscillator tests: feeding an input so the module sees the value at the next
// tick, and recording one period of output and lamp indexed by the counter.
#pragma once

#include "LibraryTestSupport.h"

#include <string>
#include <vector>

// The test source runs after the oscillator within a tick, so the input is also set at once.
struct TFeed {
    TDrive Source;
    TKorInput *Input;
    void Set(int32_t v)
    {
        Source.Set(v);
        Input->SetValue(v);
    }
};

inline TFeed Feed(TKorDrawSheet &sheet, TKorInput *input, int32_t v)
{
    TFeed feed{Drive(sheet, input, v), input};
    feed.Set(v);
    return feed;
}

// Out and the lamp ('*' lit, '.' dark) for each counter value 0 .. period - 1.
struct TCycle {
    std::vector<int32_t> Out;
    std::string Lamp;
};

// Runs `period` steps, each one tick; a clock, when given, flips its level before each tick.
inline TCycle RecordCycle(TKorDrawSheet &sheet, TKorOscillator &osc, int32_t period, TFeed *clock = nullptr)
{
    TCycle cycle{std::vector<int32_t>(size_t(period)), std::string(size_t(period), '?')};
    for (int i = 0; i < period; ++i) {
        if (clock)
            clock->Set(clock->Input->Value() > 0 ? 0 : 1000);
        Tick(sheet);
        cycle.Out[size_t(osc.Counter())] = osc.Out()->Value();
        cycle.Lamp[size_t(osc.Counter())] = osc.Lamp()->On() ? '*' : '.';
    }
    return cycle;
}
