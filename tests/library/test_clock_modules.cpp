// MIDI clock modules: the clock output sends one timing clock per rising edge and start, stop
// or continue on run changes; the clock input turns clocks, start, stop and continue into
// pulses, beats, run state and a tempo; panels and saved settings.
#include "AllocationCounter.h"
#include "OscillatorTestSupport.h"
#include "PatchFile.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

namespace {

// The real-time messages a module sent since the last call, as letters: c clock, s start,
// k continue, p stop; anything else as '?'.
std::string TakeRealTime(TTestHost &host)
{
    std::string sent;
    for (const auto &[sender, msg] : host.MidiShort) {
        switch (msg) {
        case MidiTimingClock: sent += 'c'; break;
        case MidiStart: sent += 's'; break;
        case MidiContinue: sent += 'k'; break;
        case MidiStop: sent += 'p'; break;
        default: sent += '?'; break;
        }
    }
    host.MidiShort.clear();
    return sent;
}

TEST(ClockOut, AClockedSquareSendsOneTimingClockPerRisingEdge)
{
    TSheetFixture f;
    auto *square = f.Add<TKorClSquare>();
    square->SetKnobFreqValue(5); // a period of five clock edges: uneven highs and lows
    auto *out = f.Add<TKorClockOut>();
    f.Sheet->ToggleConnection(square->Out(), out->InClock());
    TFeed clock = Feed(*f.Sheet, square->SyncInput(), 0);

    std::string rises, sent;
    int32_t last = square->Out()->Value();
    for (int tick = 0; tick < 200; ++tick) {
        clock.Set(clock.Input->Value() > 0 ? 0 : 1000);
        Tick(*f.Sheet);
        const int32_t now = square->Out()->Value();
        rises += now >= 1 && last < 1 ? 'c' : '.';
        last = now;
        const std::string messages = TakeRealTime(f.Host);
        // The cable delays the square by one tick; start goes out with the very first tick.
        sent += tick == 0 ? (messages == "s" ? "." : "!" + messages) : messages.empty() ? "." : messages;
    }
    ASSERT_GE(std::count(rises.begin(), rises.end(), 'c'), 20);
    EXPECT_EQ(sent.substr(1), rises.substr(0, rises.size() - 1));
}

TEST(ClockOut, RunEdgesSendStartStopOrContinue)
{
    struct TCase {
        const char *Name;
        bool Wired, Continue;
        std::vector<int32_t> Run; // the run input per tick
        std::string Sent;         // what each tick sent, '.' for nothing
    };
    const std::vector<TCase> cases = {
        {"unwired: start at the first tick", false, false, {0, 0, 0}, "s.."},
        {"unwired with continue", false, true, {0, 0}, "k."},
        {"wired: each edge once", true, false, {0, 1000, 1000, 0, 0, 1, 0}, "..s.p.sp"},
        {"wired with continue", true, true, {1000, 0, 1000}, ".kpk"},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *out = f.Add<TKorClockOut>();
        out->SetButtonContinueDown(c.Continue);
        std::optional<TFeed> run;
        if (c.Wired)
            run = Feed(*f.Sheet, out->InRun(), 0);
        std::string sent;
        if (c.Wired) { // the run input reads low on the first tick
            Tick(*f.Sheet);
            const std::string first = TakeRealTime(f.Host);
            sent += first.empty() ? "." : first;
        }
        for (int32_t level : c.Run) {
            if (run)
                run->Set(level);
            Tick(*f.Sheet);
            const std::string m = TakeRealTime(f.Host);
            sent += m.empty() ? "." : m;
        }
        EXPECT_EQ(sent, c.Sent);
        EXPECT_EQ(out->Lamp()->On(), out->Running());
    }
}

TEST(ClockOut, StopsWhenItsSheetStopsOrItIsFreedAndStartsAgain)
{
    TSheetFixture f;
    auto *out = f.Add<TKorClockOut>();
    Tick(*f.Sheet);
    EXPECT_EQ(TakeRealTime(f.Host), "s");
    f.Sheet->SetActive(false);
    EXPECT_EQ(TakeRealTime(f.Host), "p");
    f.Sheet->SetActive(true);
    Tick(*f.Sheet);
    EXPECT_EQ(TakeRealTime(f.Host), "s");
    Free(out);
    EXPECT_EQ(TakeRealTime(f.Host), "p");
}

// One message for a clock input, arriving at `ms`.
void Arrive(TKorClockIn &in, uint8_t status, int64_t ms)
{
    SetMidiArrivalTime(ms);
    in.ShortMidiIn(status);
}

TEST(ClockIn, PulsesBeatsRunAndTempoTickByTick)
{
    // Clocks 20 ms apart (125 beats per minute), one tick between two clocks.
    TSheetFixture f;
    auto *in = f.Add<TKorClockIn>();
    struct TRow {
        int Tick;
        int32_t Clock, Beat, Run, Tempo;
    };
    std::vector<TRow> seen;
    int64_t ms = 0;
    int clocks = 0;
    const auto tick = [&](int t) {
        Tick(*f.Sheet);
        seen.push_back({t, in->OutClock()->Value(), in->OutBeat()->Value(), in->OutRun()->Value(),
                        in->OutTempo()->Value()});
    };
    int t = 0;
    Arrive(*in, MidiTimingClock, ms); // a clock before any start: a pulse, no beat, no tempo
    tick(t++);
    Arrive(*in, MidiStart, ms);
    for (; clocks < 30; ++clocks) {
        Arrive(*in, MidiTimingClock, ms += 20);
        tick(t++);
        tick(t++);
    }
    Arrive(*in, MidiStop, ms);
    tick(t++);
    Arrive(*in, MidiTimingClock, ms += 20); // clocks go on while stopped
    tick(t++);
    Arrive(*in, MidiContinue, ms);
    for (int i = 0; i < 20; ++i) { // 18 more make the 48th clock of the run; the 49th is a beat
        Arrive(*in, MidiTimingClock, ms += 20);
        tick(t++);
    }
    const std::vector<TRow> expected = {
        {0, 1000, 0, 0, 0},        // before start
        {1, 1000, 1000, 1000, 0},  // the first clock after start is the first beat; no tempo yet
        {2, 0, 0, 1000, 0},
        {3, 1000, 0, 1000, 1250},
        {47, 1000, 0, 1000, 1250},  // clock 24 of the run
        {49, 1000, 1000, 1000, 1250}, // clock 25: the second beat
        {50, 0, 0, 1000, 1250},
        {61, 0, 0, 0, 0},          // stopped
        {62, 1000, 0, 0, 0},       // a clock while stopped: a pulse only
        {63, 1000, 0, 1000, 0},    // continued: clock 31 of the run, the tempo measured afresh
        {64, 1000, 0, 1000, 1250},
        {80, 1000, 0, 1000, 1250}, // clock 48
        {81, 1000, 1000, 1000, 1250}, // clock 49: the third beat
    };
    for (const TRow &row : expected) {
        SCOPED_TRACE("tick " + std::to_string(row.Tick));
        ASSERT_LT(size_t(row.Tick), seen.size());
        const TRow &s = seen[size_t(row.Tick)];
        EXPECT_EQ(s.Clock, row.Clock);
        EXPECT_EQ(s.Beat, row.Beat);
        EXPECT_EQ(s.Run, row.Run);
        EXPECT_EQ(s.Tempo, row.Tempo);
    }
    int beats = 0;
    for (const TRow &s : seen)
        beats += s.Beat > 0;
    EXPECT_EQ(beats, 3);
}

TEST(ClockIn, TempoIsTheMeanOfTheLastTwentyFourIntervals)
{
    struct TCase {
        const char *Name;
        std::vector<int64_t> Intervals; // ms between clocks after start
        int32_t Tempo;
    };
    std::vector<int64_t> slower(24, 20);
    for (int i = 0; i < 12; ++i)
        slower.push_back(30); // the last 24: twelve of 20 ms and twelve of 30 ms
    std::vector<int64_t> rounded; // 120 beats per minute, stamped in whole milliseconds
    for (int k = 0; k < 24; ++k)
        rounded.push_back(std::llround((k + 1) * 500.0 / 24) - std::llround(k * 500.0 / 24));
    const std::vector<TCase> cases = {
        {"one interval", {20}, 1250},
        {"steady 100", std::vector<int64_t>(40, 25), 1000},
        {"a slowing clock", slower, 1000},
        {"rounded stamps", rounded, 1200},
        {"no interval yet", {}, 0},
        {"all at once", {0, 0}, 0},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *in = f.Add<TKorClockIn>();
        int64_t ms = 1000;
        Arrive(*in, MidiStart, ms);
        Arrive(*in, MidiTimingClock, ms);
        for (int64_t step : c.Intervals)
            Arrive(*in, MidiTimingClock, ms += step);
        Tick(*f.Sheet);
        EXPECT_EQ(in->OutTempo()->Value(), c.Tempo);
    }
}

TEST(ClockModules, PanelsAndSavedSettings)
{
    TSheetFixture f;
    auto *out = f.Add<TKorClockOut>();
    auto *in = f.Add<TKorClockIn>(0, 50);
    EXPECT_EQ(out->FindComponent(QStringLiteral("Clock")), out->InClock());
    EXPECT_EQ(out->FindComponent(QStringLiteral("Run")), out->InRun());
    EXPECT_EQ(out->InClock()->SignalKind(), Logic);
    EXPECT_EQ(in->FindComponent(QStringLiteral("Tempo")), in->OutTempo());
    EXPECT_EQ(in->OutBeat()->SignalKind(), Logic);
    EXPECT_FALSE(out->ButtonContinueDown());
    out->SetButtonContinueDown(true);

    QTemporaryDir dir;
    const QString file = dir.filePath("clock.korvane");
    SaveSheetToFile(*f.Sheet, file);
    TOwned<TKorDrawSheet> loaded = ReadSheetFromFile(file);
    ASSERT_EQ(loaded->ModuleCount(), 2);
    auto *again = qobject_cast<TKorClockOut *>(loaded->Modules(0));
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(again->ButtonContinueDown());
    EXPECT_EQ(loaded->Modules(1)->ClassName(), "TKorClockIn");
}

TEST(ClockModules, TicksAllocateNothing)
{
    TSheetFixture f;
    auto *out = f.Add<TKorClockOut>();
    auto *in = f.Add<TKorClockIn>(0, 50);
    f.Sheet->ToggleConnection(in->OutClock(), out->InClock());
    f.Sheet->ToggleConnection(in->OutRun(), out->InRun());
    Arrive(*in, MidiStart, 0);
    Tick(*f.Sheet, 2);
    f.Host.MidiShort.reserve(1000);
    AllocationCounter::Start();
    for (int i = 0; i < 100; ++i) {
        if (i % 2 == 0)
            Arrive(*in, MidiTimingClock, i * 10);
        Tick(*f.Sheet);
    }
    EXPECT_EQ(AllocationCounter::Stop(), 0u);
    EXPECT_EQ(TakeRealTime(f.Host), "s" + std::string(50, 'c'));
}

} // namespace
