// Clocked oscillators: clock edges, the range multiplier, the clocked square's width limits,
// freezing with the clock memory, the random generators counted in edges, and patch files.
#include "OscillatorTestSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>

TEST(Clocked, NewModuleCountsTwoEdges)
{
    TSheetFixture f;
    auto *osc = f.Add<TKorClSaw>();
    EXPECT_EQ(osc->Range(), 1);
    EXPECT_EQ(osc->UnitLabel()->Text(), "e0");
    EXPECT_EQ(osc->SyncLabel()->Text(), "clk");
    EXPECT_EQ(osc->FindComponent(QStringLiteral("Sync")), osc->SyncInput());
    EXPECT_EQ(osc->FreqKnob()->Min(), 1);
    EXPECT_EQ(osc->FreqKnob()->Max(), 250);
    EXPECT_EQ(osc->FreqKnob()->Step(), 1);
    EXPECT_EQ(osc->KnobFreqValue(), 2);
    EXPECT_EQ(osc->BasePeriod(), 2);
    EXPECT_TRUE(osc->Running());
}

TEST(Clocked, RangeMultipliesTheKnobAtOnce)
{
    struct TCase {
        const char *Name;
        int32_t Range, Knob, BasePeriod;
        const char *Unit;
    };
    const std::vector<TCase> cases = {
        {"TimesOne", 1, 250, 250, "e0"},
        {"TimesHundred", 2, 2, 200, "e2"},
        {"TimesTenThousand", 3, 250, 2500000, "e4"},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *osc = f.Add<TKorClSine>();
        osc->SetKnobFreqValue(c.Knob);
        osc->SetRange(c.Range);
        EXPECT_EQ(osc->KnobFreqValue(), c.Knob); // the knob's range does not follow Range
        EXPECT_EQ(osc->FreqKnob()->Max(), 250);
        EXPECT_EQ(osc->BasePeriod(), c.BasePeriod);
        EXPECT_EQ(osc->UnitLabel()->Text(), c.Unit);
    }

    TSheetFixture f;
    auto *osc = f.Add<TKorClSine>();
    TKorPushButton *button = osc->RangeButton();
    const std::vector<std::pair<int32_t, int32_t>> cycle = {{2, 200}, {3, 20000}, {1, 2}};
    for (const auto &[range, base] : cycle) {
        button->OnClick()(button);
        EXPECT_EQ(osc->Range(), range);
        EXPECT_EQ(osc->BasePeriod(), base);
    }
}

// The longest clocked periods times the modulation scale leave 32 bits; modulation must still
// work there instead of raising on every edge.
TEST(Clocked, ModulatingTheLongestPeriodsDoesNotOverflow)
{
    struct TCase {
        const char *Name;
        int32_t Fm;
        int32_t Period;
    };
    const std::vector<TCase> cases = {
        {"Unmodulated", 0, 2500000},
        {"DoubleSpeed", 1000, 1250000},
        {"HalfSpeed", -500, 5000000},
        {"SlowestSaturatesAtTheLongestCounter", -1000, 2147483647},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *osc = f.Add<TKorClSquare>();
        osc->SetKnobFreqValue(250);
        osc->SetRange(3);
        Feed(*f.Sheet, osc->FmInput(), c.Fm);
        Feed(*f.Sheet, osc->PwInput(), 1000); // the widest pulse: (1000 + 1000) x period
        TFeed clock = Feed(*f.Sheet, osc->SyncInput(), 0);
        clock.Set(1000);
        ASSERT_NO_THROW(Tick(*f.Sheet));
        EXPECT_EQ(osc->Period(), c.Period);
        EXPECT_EQ(osc->Counter(), 1);
        EXPECT_EQ(osc->Out()->Value(), osc->Amplitude()) << "counter 1 lies inside the pulse";
    }
}

TEST(Clocked, BothEdgesAdvanceAndSteadyLevelsDoNot)
{
    struct TCase {
        const char *Name;
        int32_t Knob;
        std::vector<int32_t> Clock, Counter; // per tick
    };
    const std::vector<TCase> cases = {
        {"SteadyZero", 10, {0, 0, 0, 0}, {0, 0, 0, 0}},
        {"SteadyHighAfterItsRise", 10, {1000, 1000, 1000, 1000}, {1, 1, 1, 1}},
        {"AlternatingEveryTick", 10, {1000, 0, 1000, 0}, {1, 2, 3, 4}},
        {"NegativeAndZeroAreLow", 10, {-5, 0, -5, 3, -1, 7}, {0, 0, 0, 1, 2, 3}},
        {"SquareClockOnePeriodPerCycle", 2, {1000, 1000, 0, 0, 1000, 1000, 0}, {1, 1, 0, 0, 1, 1, 0}},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *osc = f.Add<TKorClSaw>();
        osc->SetKnobFreqValue(c.Knob);
        TFeed clock = Feed(*f.Sheet, osc->SyncInput(), 0);
        std::vector<int32_t> counters;
        for (int32_t level : c.Clock) {
            clock.Set(level);
            Tick(*f.Sheet);
            counters.push_back(osc->Counter());
        }
        EXPECT_EQ(counters, c.Counter);
    }
}

TEST(Clocked, WaveformsMatchTheFreeRunningOnes)
{
    struct TCase {
        const char *Name;
        bool Sine, Symmetric;
        std::vector<int32_t> Out; // for counter 0 .. 3
        const char *Lamp;
    };
    // Period 4 edges, amplitude 752; the output holds between edges.
    const std::vector<TCase> cases = {
        {"SineSymmetric", true, true, {0, 752, 0, -752}, ".*.."},
        {"SawAsymmetric", false, false, {0, 188, 376, 564}, "...*"},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        TKorOscillator *osc = c.Sine ? static_cast<TKorOscillator *>(f.Add<TKorClSine>()) : f.Add<TKorClSaw>();
        osc->SetKnobFreqValue(4);
        osc->SetKnobAmpValue(752);
        osc->SetButSymDown(c.Symmetric);
        TFeed clock = Feed(*f.Sheet, osc->SyncInput(), 0);
        const TCycle cycle = RecordCycle(*f.Sheet, *osc, 4, &clock);
        EXPECT_EQ(cycle.Out, c.Out);
        EXPECT_EQ(cycle.Lamp, c.Lamp);
        const int32_t held = osc->Out()->Value();
        Tick(*f.Sheet, 3); // no edge
        EXPECT_EQ(osc->Out()->Value(), held);
    }
}

TEST(ClSquare, WidthKeepsTwoStepsHighAndOneLow)
{
    struct TCase {
        const char *Name;
        int32_t Knob, Width;
        std::optional<int32_t> Pw;
        std::string High; // 'H' where the output is high, per counter value
    };
    const std::vector<TCase> cases = {
        {"Width99Period10LowAtNineOnly", 10, 99, {}, "HHHHHHHHHL"},
        {"Width1Period10RaisedToOne", 10, 1, {}, "HHLLLLLLLL"},
        {"PwFullUpStillLowAtTheEnd", 10, 99, 1000, "HHHHHHHHHL"},
        {"PwFullDownRaisedToOne", 10, 50, -1000, "HHLLLLLLLL"},
        {"Period1AlwaysHigh", 1, 50, {}, "H"},
        {"Period2WidthZeroAllowed", 2, 1, {}, "HL"},
        {"Period3WidthOneAtMost", 3, 99, 1000, "HHL"},
    };
    for (const TCase &c : cases) {
        for (bool symmetric : {true, false}) {
            SCOPED_TRACE(std::string(c.Name) + (symmetric ? " symmetric" : " asymmetric"));
            TSheetFixture f;
            auto *osc = f.Add<TKorClSquare>();
            osc->SetKnobFreqValue(c.Knob);
            osc->SetKnobWidthValue(c.Width);
            osc->SetButSymDown(symmetric);
            if (c.Pw)
                Feed(*f.Sheet, osc->PwInput(), *c.Pw);
            TFeed clock = Feed(*f.Sheet, osc->SyncInput(), 0);
            const int32_t period = int32_t(c.High.size());
            const TCycle cycle = RecordCycle(*f.Sheet, *osc, period, &clock);
            for (int32_t k = 0; k < period; ++k) {
                const bool high = c.High[size_t(k)] == 'H';
                EXPECT_EQ(cycle.Out[size_t(k)], high ? 750 : symmetric ? -750 : 0) << "counter " << k;
                EXPECT_EQ(cycle.Lamp[size_t(k)], high ? '*' : '.') << "counter " << k;
            }
        }
    }
}

TEST(Clocked, ReleasedRunButtonFreezesWithTheClockLevel)
{
    struct TCase {
        const char *Name;
        std::vector<int32_t> WhileFrozen;
        int32_t AfterPress;
        int32_t Counter; // after the first tick with the button pressed again
    };
    // Frozen after a rise to 1000 with the counter at 1.
    const std::vector<TCase> cases = {
        {"LevelChangedWhileFrozenIsAnEdge", {0, 0}, 0, 2},
        {"LevelBackWhereItWasIsNoEdge", {0, 1000, 0, 1000}, 1000, 1},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *osc = f.Add<TKorClSaw>();
        osc->SetKnobFreqValue(10);
        TFeed clock = Feed(*f.Sheet, osc->SyncInput(), 1000);
        Tick(*f.Sheet);
        ASSERT_EQ(osc->Counter(), 1);
        const int32_t out = osc->Out()->Value();

        osc->SetButtonDown(false);
        for (int32_t level : c.WhileFrozen) {
            clock.Set(level);
            Tick(*f.Sheet);
            EXPECT_EQ(osc->Counter(), 1);
            EXPECT_EQ(osc->Out()->Value(), out);
        }
        osc->SetButtonDown(true);
        clock.Set(c.AfterPress);
        Tick(*f.Sheet);
        EXPECT_EQ(osc->Counter(), c.Counter);
    }
}

TEST(ClRandom, DrawsOnlyOnEdgesStartingAPeriod)
{
    RandSeed(5);
    TSheetFixture f;
    auto *osc = f.Add<TKorClRandom>();
    osc->SetKnobFreqValue(3);
    osc->SetKnobColor(0);
    osc->SetButSymDown(false);
    TFeed clock = Feed(*f.Sheet, osc->SyncInput(), 0);
    int32_t previous = 0, highest = 0, draws = 0;
    for (int i = 0; i < 600; ++i) {
        clock.Set(i / 2 % 2 ? 0 : 1000); // an edge every second tick, the first at once
        const int32_t counter = osc->Counter();
        Tick(*f.Sheet);
        const int32_t out = osc->Out()->Value();
        const bool drawn = osc->Counter() == 0 && osc->Counter() != counter;
        if (!drawn) {
            EXPECT_EQ(out, previous) << "tick " << i;
        }
        draws += drawn;
        EXPECT_GE(out, 0) << "tick " << i;
        highest = std::max(highest, out);
        previous = out;
    }
    EXPECT_EQ(draws, 100); // 300 edges, period 3
    EXPECT_GT(highest, 500);
}

TEST(ClRndPulse, PulseLengthsCountEdges)
{
    RandSeed(9);
    TSheetFixture f;
    auto *osc = f.Add<TKorClRndPulse>();
    osc->SetKnobFreqValue(4);
    TFeed clock = Feed(*f.Sheet, osc->SyncInput(), 0);
    std::map<int32_t, int> lengths; // in ticks
    int32_t previous = osc->Out()->Value();
    int sinceToggle = -1;
    for (int i = 0; i < 4000; ++i) {
        clock.Set(i / 2 % 2 ? 1000 : 0); // an edge every second tick
        Tick(*f.Sheet);
        const int32_t out = osc->Out()->Value();
        if (sinceToggle >= 0)
            ++sinceToggle;
        if (out != previous) {
            EXPECT_EQ(std::abs(out), 750);
            if (sinceToggle > 0)
                ++lengths[sinceToggle];
            sinceToggle = 0;
        }
        previous = out;
    }
    // 1 .. 4 edges of two ticks each.
    std::vector<int32_t> seen;
    for (const auto &[length, count] : lengths) {
        seen.push_back(length);
        EXPECT_GT(count, 100) << "length " << length;
    }
    EXPECT_EQ(seen, (std::vector<int32_t>{2, 4, 6, 8}));
}

TEST(Clocked, PublishedPropertiesSurviveAPatchFile)
{
    RegisterModuleClasses({&ClassOf<TKorClSquare>(), &ClassOf<TKorClSine>(), &ClassOf<TKorClSaw>(),
                           &ClassOf<TKorClRandom>(), &ClassOf<TKorClRndPulse>()});
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("clocked.korvane"));
    {
        TSheetFixture f;
        auto *square = f.Add<TKorClSquare>(0, 0);
        square->SetRange(3);
        square->SetKnobFreqValue(250);
        square->SetKnobAmpValue(-500);
        square->SetButtonDown(false);
        square->SetButSymDown(false);
        square->SetKnobWidthValue(30);
        auto *random = f.Add<TKorClRandom>(0, 50);
        random->SetKnobColor(7);
        SaveSheetToFile(*f.Sheet, file);
    }
    TOwned<TKorDrawSheet> sheet = ReadSheetFromFile(file);
    ASSERT_EQ(sheet->ModuleCount(), 2);
    auto *square = qobject_cast<TKorClSquare *>(sheet->Modules(0));
    auto *random = qobject_cast<TKorClRandom *>(sheet->Modules(1));
    ASSERT_TRUE(square && random);
    EXPECT_EQ(square->Range(), 3);
    EXPECT_EQ(square->UnitLabel()->Text(), "e4");
    EXPECT_EQ(square->SyncLabel()->Text(), "clk");
    EXPECT_EQ(square->KnobFreqValue(), 250);
    EXPECT_EQ(square->BasePeriod(), 2500000);
    EXPECT_EQ(square->KnobAmpValue(), -500);
    EXPECT_FALSE(square->Running());
    EXPECT_FALSE(square->ButSymDown());
    EXPECT_EQ(square->KnobWidthValue(), 30);
    EXPECT_EQ(random->KnobColor(), 7);
    EXPECT_TRUE(random->ButtonDown());
}
