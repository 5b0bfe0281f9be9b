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
#include <random>
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

TEST(ClockIn, TempoFromTheClocksOfTheRun)
{
    struct TCase {
        const char *Name;
        std::vector<int64_t> Intervals; // ms between clocks after start
        int32_t Tempo;
    };
    std::vector<int64_t> slower(24, 20);
    for (int i = 0; i < 12; ++i)
        slower.push_back(30); // a jump from 125 to 83.3 beats per minute: the old clocks are let go
    std::vector<int64_t> rounded; // 120 beats per minute, stamped in whole milliseconds
    for (int k = 0; k < 24; ++k)
        rounded.push_back(std::llround((k + 1) * 500.0 / 24) - std::llround(k * 500.0 / 24));
    const std::vector<TCase> cases = {
        {"one interval", {20}, 1250},
        {"steady 100", std::vector<int64_t>(40, 25), 1000},
        {"a slowing clock", slower, 833},
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

// A sender's clocks: `count` of them at `bpm` from the grid point `gridUs` on (which moves on),
// each off its grid point by a jitter drawn evenly from +-jitterUs, every `lateEvery`th one
// (0: none) 10 ms late besides, stamped in whole milliseconds (truncated, as a host with a
// millisecond clock does) when `wholeMs`.
void SenderClocks(std::vector<int64_t> &times, double &gridUs, int count, double bpm, double jitterUs, bool wholeMs,
                  std::mt19937 &rng, int lateEvery = 0)
{
    const double periodUs = 60e6 / bpm / TKorClockIn::ClocksPerBeat;
    for (int i = 0; i < count; ++i) {
        gridUs += periodUs;
        double jitter = (double(rng()) / 4294967296.0 * 2 - 1) * jitterUs; // the same on any library
        if (lateEvery > 0 && i % lateEvery == lateEvery - 1)
            jitter += 10000;
        const auto us = int64_t(std::floor(gridUs + jitter));
        times.push_back(wholeMs ? us / 1000 * 1000 : us);
    }
}

// Starts `in` and hands it `times`, one tick after each clock; the tempo each tick showed.
std::vector<int32_t> TempoPerClock(TSheetFixture &f, TKorClockIn &in, const std::vector<int64_t> &times)
{
    SetMidiArrivalTimeUs(times.empty() ? 0 : times.front());
    in.ShortMidiIn(MidiStart);
    std::vector<int32_t> tempo;
    for (int64_t us : times) {
        SetMidiArrivalTimeUs(us);
        in.ShortMidiIn(MidiTimingClock);
        Tick(*f.Sheet);
        tempo.push_back(in.OutTempo()->Value());
    }
    return tempo;
}

std::pair<int32_t, int32_t> Range(const std::vector<int32_t> &v, size_t from, size_t to)
{
    const auto [lo, hi] = std::minmax_element(v.begin() + long(from), v.begin() + long(to));
    return {*lo, *hi};
}

// At these jitters the figure settles to a tenth within five beats of the first clock.
constexpr size_t Settled = 8 * TKorClockIn::ClocksPerBeat;

TEST(ClockIn, TempoHoldsStillUnderJitter)
{
    struct TCase {
        double Bpm, JitterMs;
        bool WholeMs;
        int LateEvery; // a clock 10 ms late now and then, as from a sender that stalled
    };
    const std::vector<TCase> cases = {
        {120, 0, true, 0},    {120, 1, true, 0},   {120, 2, true, 0},     {120, 3, true, 0},
        {97.3, 2, true, 0},   {176.5, 3, true, 0}, {120, 0.3, false, 0},  {120, 1, true, 97},
        {120, 0.1, false, 61},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.Bpm << " bpm, jitter +-" << c.JitterMs << " ms"
                                        << (c.WholeMs ? ", whole ms" : ", us") << ", late every " << c.LateEvery);
        std::mt19937 rng(1234);
        std::vector<int64_t> times;
        double grid = 5e6;
        SenderClocks(times, grid, int(Settled) + 2000, c.Bpm, c.JitterMs * 1000, c.WholeMs, rng, c.LateEvery);
        TSheetFixture f;
        auto *in = f.Add<TKorClockIn>();
        const std::vector<int32_t> tempo = TempoPerClock(f, *in, times);
        const auto [lo, hi] = Range(tempo, Settled, tempo.size());
        EXPECT_LE(hi - lo, 1) << lo << " .. " << hi;
        EXPECT_LE(std::abs(lo - c.Bpm * 10), 1.0) << lo;
        EXPECT_LE(std::abs(hi - c.Bpm * 10), 1.0) << hi;
    }
}

TEST(ClockIn, TempoFollowsAChangeWithinTwoBeats)
{
    struct TCase {
        double From, To, JitterMs;
    };
    const std::vector<TCase> cases = {
        {120, 140, 0}, {120, 140, 1}, {120, 140, 2}, {120, 140, 3}, {140, 120, 3}, {120, 60, 2}, {100, 102, 1},
    };
    constexpr int Before = int(Settled) + 200;
    constexpr size_t TwoBeats = 2 * TKorClockIn::ClocksPerBeat;
    for (const TCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.From << " to " << c.To << " bpm, jitter +-" << c.JitterMs << " ms");
        std::mt19937 rng(99);
        std::vector<int64_t> times;
        double grid = 1e6;
        SenderClocks(times, grid, Before, c.From, c.JitterMs * 1000, true, rng);
        SenderClocks(times, grid, int(Settled) + 1000, c.To, c.JitterMs * 1000, true, rng);
        TSheetFixture f;
        auto *in = f.Add<TKorClockIn>();
        const std::vector<int32_t> tempo = TempoPerClock(f, *in, times);
        // Two beats after the change the tempo is within half a beat per minute of the new one
        // and stays there; once the window refilled it holds as still as before the change.
        const auto [lo, hi] = Range(tempo, Before + TwoBeats - 1, tempo.size());
        EXPECT_GE(lo, c.To * 10 - 5);
        EXPECT_LE(hi, c.To * 10 + 5);
        const auto [settledLo, settledHi] = Range(tempo, Before + Settled, tempo.size());
        EXPECT_LE(settledHi - settledLo, 1) << settledLo << " .. " << settledHi;
        const auto [beforeLo, beforeHi] = Range(tempo, Settled, Before);
        EXPECT_LE(beforeHi - beforeLo, 1) << beforeLo << " .. " << beforeHi;
    }
}

TEST(ClockIn, StartAndContinueMeasureTheTempoAfresh)
{
    for (const uint8_t resume : {MidiStart, MidiContinue}) {
        SCOPED_TRACE(resume == MidiStart ? "start" : "continue");
        TSheetFixture f;
        auto *in = f.Add<TKorClockIn>();
        std::mt19937 rng(7);
        std::vector<int64_t> times;
        double grid = 0;
        SenderClocks(times, grid, 600, 120, 2000, true, rng);
        const std::vector<int32_t> first = TempoPerClock(f, *in, times);
        EXPECT_NEAR(first.back(), 1200, 1);

        // Stopped for a while; clocks at 90 beats per minute go on meanwhile and after.
        Arrive(*in, MidiStop, times.back() / 1000);
        times.clear();
        grid += 3e6;
        SenderClocks(times, grid, 30, 90, 0, false, rng);
        for (size_t i = 0; i < 10; ++i) {
            SetMidiArrivalTimeUs(times[i]);
            in->ShortMidiIn(MidiTimingClock);
        }
        SetMidiArrivalTimeUs(times[10]);
        in->ShortMidiIn(resume);
        std::vector<int32_t> tempo;
        for (size_t i = 10; i < times.size(); ++i) {
            SetMidiArrivalTimeUs(times[i]);
            in->ShortMidiIn(MidiTimingClock);
            Tick(*f.Sheet);
            tempo.push_back(in->OutTempo()->Value());
        }
        // Nothing of the earlier run or of the pause: 0 until the second clock, then the new
        // tempo straight away.
        EXPECT_EQ(tempo[0], 0);
        for (size_t i = 1; i < tempo.size(); ++i)
            EXPECT_NEAR(tempo[i], 900, 1) << "clock " << i;
    }
}

TEST(ClockIn, SongPositionSetsTheBeat)
{
    struct TCase {
        const char *Name;
        uint8_t Lsb, Msb;
        uint8_t Resume;
        int BeatAt; // which clock after the resume (1 the first) brings the first Beat pulse
    };
    const std::vector<TCase> cases = {
        {"the top", 0, 0, MidiContinue, 1},
        {"one beat in", 4, 0, MidiContinue, 1},
        {"a sixteenth in", 1, 0, MidiContinue, 19},
        {"half a beat in", 2, 0, MidiContinue, 13},
        {"three sixteenths in", 3, 0, MidiContinue, 7},
        {"far in: 255 sixteenths", 0x7F, 0x01, MidiContinue, 7},
        {"the highest position", 0x7F, 0x7F, MidiContinue, 7},
        {"start goes to the top", 1, 0, MidiStart, 1},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *in = f.Add<TKorClockIn>();
        // A run that stopped inside a beat, as the sender's did before it moved elsewhere.
        f.Sheet->MidiInShort(MidiStart);
        for (int i = 0; i < 30; ++i)
            f.Sheet->MidiInShort(MidiTimingClock);
        f.Sheet->MidiInShort(MidiStop);
        Tick(*f.Sheet);
        // Packed as the host packs what its input port hands over.
        f.Sheet->MidiInShort(MakeShortMsg(MidiSongPosition & 15, MidiSongPosition >> 4, c.Lsb, c.Msb));
        f.Sheet->MidiInShort(c.Resume);
        std::vector<int> beats;
        for (int clock = 1; clock <= 72; ++clock) {
            f.Sheet->MidiInShort(MidiTimingClock);
            Tick(*f.Sheet);
            if (in->OutBeat()->Value() > 0)
                beats.push_back(clock);
        }
        EXPECT_EQ(beats, (std::vector<int>{c.BeatAt, c.BeatAt + 24, c.BeatAt + 48}));
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
        if (i == 51)
            in->ShortMidiIn(MakeShortMsg(MidiSongPosition & 15, MidiSongPosition >> 4, 3, 0));
        Tick(*f.Sheet);
    }
    EXPECT_EQ(AllocationCounter::Stop(), 0u);
    EXPECT_EQ(TakeRealTime(f.Host), "s" + std::string(50, 'c'));
}

} // namespace
