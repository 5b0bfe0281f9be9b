// Free-running oscillators: periods and ranges, modulation, waveforms and lamp, sync, the run
// button, the random generators, and the published properties through a patch file.
#include "OscillatorTestSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <set>

TEST(Oscillator, NewModuleStartsInMillisecondsAndRunning)
{
    TSheetFixture f;
    auto *osc = f.Add<TKorSine>();
    EXPECT_EQ(osc->Range(), 1);
    EXPECT_EQ(osc->UnitLabel()->Text(), "ms");
    EXPECT_EQ(osc->SyncLabel()->Text(), "snc");
    EXPECT_EQ(osc->FreqKnob()->Min(), 60);
    EXPECT_EQ(osc->FreqKnob()->Max(), 4500);
    EXPECT_EQ(osc->FreqKnob()->Step(), 30);
    EXPECT_EQ(osc->KnobFreqValue(), 500);
    EXPECT_EQ(osc->BasePeriod(), 25);
    EXPECT_EQ(osc->Period(), 50); // until the first tick applies the base period
    EXPECT_TRUE(osc->Running());
    EXPECT_TRUE(osc->IsSymmetric());
    EXPECT_EQ(osc->Out()->SignalKind(), TSignalKind::Symmetric);
    EXPECT_EQ(osc->SyncInput()->SignalKind(), TSignalKind::Logic);
    Tick(*f.Sheet);
    EXPECT_EQ(osc->Period(), 25);
    EXPECT_EQ(osc->Counter(), 1);
}

TEST(Oscillator, BasePeriodPerRangeAndKnob)
{
    struct TCase {
        const char *Name;
        int32_t Range, Knob, BasePeriod;
    };
    const std::vector<TCase> cases = {
        {"MsLowest", 1, 60, 3},
        {"MsTieRoundsToEven", 1, 90, 4},
        {"MsHighest", 1, 4500, 225},
        {"SecondsLowest", 2, 2, 100},
        {"SecondsHighest", 2, 150, 7500},
        {"MinutesLowest", 3, 1, 3000},
        {"MinutesHighest", 3, 250, 750000},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *osc = f.Add<TKorSaw>();
        osc->SetRange(c.Range);
        osc->SetKnobFreqValue(c.Knob);
        EXPECT_EQ(osc->KnobFreqValue(), c.Knob);
        EXPECT_EQ(osc->BasePeriod(), c.BasePeriod);
        Tick(*f.Sheet);
        EXPECT_EQ(osc->Period(), c.BasePeriod);
    }
}

TEST(Oscillator, RangeButtonCyclesAndClampsTheKnob)
{
    TSheetFixture f;
    auto *osc = f.Add<TKorSquare>();
    TKorPushButton *button = osc->RangeButton();
    auto click = [&] {
        button->SetDown(true); // as a press leaves it; the click releases it again
        button->OnClick()(button);
        EXPECT_FALSE(button->Down());
    };
    click();
    EXPECT_EQ(osc->Range(), 2);
    EXPECT_EQ(osc->UnitLabel()->Text(), " s");
    EXPECT_EQ(osc->KnobFreqValue(), 150);
    EXPECT_EQ(osc->BasePeriod(), 7500);
    EXPECT_EQ(osc->FreqKnob()->Step(), 1);
    click();
    EXPECT_EQ(osc->Range(), 3);
    EXPECT_EQ(osc->UnitLabel()->Text(), " m");
    EXPECT_EQ(osc->KnobFreqValue(), 150);
    EXPECT_EQ(osc->BasePeriod(), 450000);
    click();
    EXPECT_EQ(osc->Range(), 1);
    EXPECT_EQ(osc->UnitLabel()->Text(), "ms");
    EXPECT_EQ(osc->KnobFreqValue(), 150);
    EXPECT_EQ(osc->BasePeriod(), 8); // 7.5 rounds to the even 8

    // A range outside 1 .. 3 is kept but leaves knob and period; the button brings it back.
    osc->SetRange(5);
    EXPECT_EQ(osc->Range(), 5);
    EXPECT_EQ(osc->FreqKnob()->Max(), 4500);
    osc->SetKnobFreqValue(1000);
    EXPECT_EQ(osc->BasePeriod(), 8);
    click();
    EXPECT_EQ(osc->Range(), 3);
    EXPECT_EQ(osc->BasePeriod(), 250 * 3000);
}

TEST(Oscillator, FrequencyAndAmplitudeModulation)
{
    struct TCase {
        const char *Name;
        int32_t Fm, Am;
        int32_t Period, Amplitude;
    };
    // Base period 25 (knob 500), amplitude setting 752.
    const std::vector<TCase> cases = {
        {"FullUpHalvesTieToEven", 1000, 1000, 12, 752},
        {"HalfDownDoubles", -500, 500, 50, 376},
        {"FullDownGivesTheLongestPeriod", -1000, -1000, 25000, -752},
        {"BelowFullDownIsTheSame", -3000, 0, 25000, 0},
        {"AmTruncatesTowardZero", 0, -333, 25, -250},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *osc = f.Add<TKorSine>();
        osc->SetKnobAmpValue(752);
        Feed(*f.Sheet, osc->FmInput(), c.Fm);
        Feed(*f.Sheet, osc->AmInput(), c.Am);
        Tick(*f.Sheet);
        EXPECT_EQ(osc->Period(), c.Period);
        EXPECT_EQ(osc->Amplitude(), c.Amplitude);
    }

    TSheetFixture f;
    auto *osc = f.Add<TKorSine>();
    Feed(*f.Sheet, osc->AmInput(), 3000000); // 3 000 000 x 750 does not fit 32 bits
    EXPECT_THROW(Tick(*f.Sheet), EIntOverflow);
}

TEST(Oscillator, WaveformsAndLampOverOnePeriod)
{
    struct TCase {
        const char *Name;
        bool Sine, Symmetric;
        std::vector<int32_t> Out; // for counter 0 .. 3
        const char *Lamp;
    };
    // Period 4, amplitude 752.
    const std::vector<TCase> cases = {
        {"SineSymmetric", true, true, {0, 752, 0, -752}, ".*.."},
        {"SineAsymmetric", true, false, {376, 752, 376, 0}, ".*.."},
        {"SawSymmetric", false, true, {-752, -376, 0, 376}, "...*"},
        {"SawAsymmetricLampAboveHalf", false, false, {0, 188, 376, 564}, "...*"},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        TKorOscillator *osc = c.Sine ? static_cast<TKorOscillator *>(f.Add<TKorSine>()) : f.Add<TKorSaw>();
        osc->SetKnobFreqValue(80);
        osc->SetKnobAmpValue(752);
        osc->SetButSymDown(c.Symmetric);
        EXPECT_EQ(osc->Out()->SignalKind(), c.Symmetric ? TSignalKind::Symmetric : TSignalKind::Asymmetric);
        const TCycle cycle = RecordCycle(*f.Sheet, *osc, 4);
        EXPECT_EQ(cycle.Out, c.Out);
        EXPECT_EQ(cycle.Lamp, c.Lamp);
    }
}

TEST(Square, WidthAndPulseWidthModulation)
{
    struct TCase {
        const char *Name;
        int32_t Knob, Width;
        std::optional<int32_t> Pw;
        std::string High; // 'H' where the output is high, per counter value
    };
    const std::vector<TCase> cases = {
        {"Width99Period3AlwaysHigh", 60, 99, {}, "HHH"},
        {"Width1Period50RaisedToOne", 1000, 1, {}, "HH" + std::string(48, 'L')},
        {"HalfWidthIncludesTheEdge", 200, 50, {}, "HHHHHHLLLL"},
        {"PwCentreIsTheKnob", 200, 50, 0, "HHHLLLLLLL"},       // Round(2.5) = 2
        {"PwFullUpDoublesTheSpan", 200, 50, 1000, "HHHHHHLLLL"}, // Round(10 x 0.5)
        {"PwFullDownRaisedToOne", 80, 50, -1000, "HHLL"},
    };
    for (const TCase &c : cases) {
        for (bool symmetric : {true, false}) {
            SCOPED_TRACE(std::string(c.Name) + (symmetric ? " symmetric" : " asymmetric"));
            TSheetFixture f;
            auto *osc = f.Add<TKorSquare>();
            osc->SetKnobFreqValue(c.Knob);
            osc->SetKnobWidthValue(c.Width);
            osc->SetButSymDown(symmetric);
            if (c.Pw)
                Feed(*f.Sheet, osc->PwInput(), *c.Pw);
            const int32_t period = int32_t(c.High.size());
            const TCycle cycle = RecordCycle(*f.Sheet, *osc, period);
            for (int32_t k = 0; k < period; ++k) {
                const bool high = c.High[size_t(k)] == 'H';
                EXPECT_EQ(cycle.Out[size_t(k)], high ? 750 : symmetric ? -750 : 0) << "counter " << k;
                EXPECT_EQ(cycle.Lamp[size_t(k)], high ? '*' : '.') << "counter " << k;
            }
        }
    }
}

// The longest periods after FM, 750 000 000 ticks free-running and the largest counter
// clocked, times the width leave 32 bits; every tick must still run, wired or not.
TEST(Square, WidthsOfTheLongestModulatedPeriodsDoNotOverflow)
{
    struct TCase {
        const char *Name;
        bool Clocked;
        std::optional<int32_t> Pw;
        int32_t Period;
        std::string High; // 'H' where the output is high, for counters 1, 2, 3
    };
    const std::vector<TCase> cases = {
        {"SquareUnwired", false, {}, 750000000, "HHH"},
        {"SquareWidest", false, 1000, 750000000, "HHH"},
        {"SquareNarrowest", false, -1000, 750000000, "HLL"},
        {"ClSquareUnwired", true, {}, 2147483647, "HHH"},
        {"ClSquareWidest", true, 1000, 2147483647, "HHH"},
        {"ClSquareNarrowest", true, -1000, 2147483647, "HLL"},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        TKorOscillator *osc = nullptr;
        TKorInput *pw = nullptr;
        if (c.Clocked) {
            auto *square = f.Add<TKorClSquare>();
            square->SetKnobWidthValue(99);
            osc = square;
            pw = square->PwInput();
        } else {
            auto *square = f.Add<TKorSquare>();
            square->SetKnobWidthValue(99);
            osc = square;
            pw = square->PwInput();
        }
        osc->SetRange(3);
        osc->SetKnobFreqValue(250);
        Feed(*f.Sheet, osc->FmInput(), -1000);
        if (c.Pw)
            Feed(*f.Sheet, pw, *c.Pw);
        TFeed clock = Feed(*f.Sheet, osc->SyncInput(), 0);
        for (int k = 1; k <= 3; ++k) {
            if (c.Clocked)
                clock.Set(k % 2 ? 1000 : 0);
            ASSERT_NO_THROW(Tick(*f.Sheet)) << "tick " << k;
            EXPECT_EQ(osc->Period(), c.Period);
            ASSERT_EQ(osc->Counter(), k);
            EXPECT_EQ(osc->Out()->Value(), c.High[size_t(k - 1)] == 'H' ? 750 : -750) << "counter " << k;
        }
    }
}

TEST(Square, AsymmetricLampUsesHalfTheAmplitude)
{
    // With a negative amplitude the low level 0 lies above A div 2 and lights the lamp.
    TSheetFixture f;
    auto *osc = f.Add<TKorSquare>();
    osc->SetKnobFreqValue(80);
    osc->SetKnobAmpValue(-600);
    osc->SetButSymDown(false);
    const TCycle cycle = RecordCycle(*f.Sheet, *osc, 4);
    EXPECT_EQ(cycle.Out, (std::vector<int32_t>{-600, -600, -600, 0}));
    EXPECT_EQ(cycle.Lamp, "...*");
}

// Amplitude times counter leaves 32 bits from counter 2 147 484 on, inside the longest periods
// of both saws; the asymmetric wave must run on there.
TEST(Saw, AsymmetricWavePastCounter2147483DoesNotOverflow)
{
    struct TCase {
        const char *Name;
        bool Clocked;
        int32_t Period, Last; // Last: the output at the last counter, 1000 x counter / period
    };
    constexpr int32_t Steps = 2147490;
    const std::vector<TCase> cases = {
        {"SawSlowedByFm", false, 750000000, 3}, // 2.863
        {"ClSaw", true, 2500000, 859},          // 858.996
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        TKorOscillator *osc = c.Clocked ? static_cast<TKorOscillator *>(f.Add<TKorClSaw>()) : f.Add<TKorSaw>();
        osc->SetRange(3);
        osc->SetKnobFreqValue(250);
        osc->SetKnobAmpValue(1000);
        osc->SetButSymDown(false);
        if (!c.Clocked)
            Feed(*f.Sheet, osc->FmInput(), -1000);
        TFeed clock = Feed(*f.Sheet, osc->SyncInput(), 0);
        int32_t low = 1000, high = 0;
        try {
            for (int32_t k = 1; k <= Steps; ++k) {
                if (c.Clocked)
                    clock.Set(k % 2 ? 1000 : 0);
                Tick(*f.Sheet);
                low = std::min(low, osc->Out()->Value());
                high = std::max(high, osc->Out()->Value());
            }
        } catch (const std::exception &e) {
            FAIL() << e.what() << " at counter " << osc->Counter();
        }
        EXPECT_EQ(osc->Period(), c.Period);
        EXPECT_EQ(osc->Counter(), Steps);
        EXPECT_EQ(osc->Out()->Value(), c.Last);
        EXPECT_EQ(low, 0);
        EXPECT_EQ(high, c.Last) << "a rising wave within 0 .. amplitude";
    }
}

TEST(Oscillator, SyncRestartsOnRisingEdgesOnly)
{
    struct TCase {
        const char *Name;
        int32_t Knob;
        std::vector<int32_t> Sync, Counter; // per tick
    };
    const std::vector<TCase> cases = {
        {"HeldLevelResetsOnce", 200, {0, 0, 1000, 1000, 1000, 0, 5, -1, 1}, {1, 2, 0, 1, 2, 3, 0, 1, 0}},
        {"EdgeOnTheWrappingTick", 80, {0, 0, 0, 1, 1}, {1, 2, 3, 0, 1}},
        {"NegativeLevelsAreLow", 200, {-5, -5, 0, -5}, {1, 2, 3, 4}},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *osc = f.Add<TKorSaw>();
        osc->SetKnobFreqValue(c.Knob);
        TFeed sync = Feed(*f.Sheet, osc->SyncInput(), 0);
        std::vector<int32_t> counters;
        for (int32_t s : c.Sync) {
            sync.Set(s);
            Tick(*f.Sheet);
            counters.push_back(osc->Counter());
        }
        EXPECT_EQ(counters, c.Counter);
    }
}

TEST(Oscillator, ReleasedRunButtonFreezesEverything)
{
    TSheetFixture f;
    auto *osc = f.Add<TKorSaw>();
    osc->SetKnobFreqValue(200);
    TFeed sync = Feed(*f.Sheet, osc->SyncInput(), 0);
    Tick(*f.Sheet, 8);
    const int32_t out = osc->Out()->Value();
    const bool lamp = osc->Lamp()->On();
    ASSERT_TRUE(lamp);

    osc->SetButtonDown(false);
    EXPECT_FALSE(osc->Running());
    sync.Set(1000); // ignored while frozen: not even remembered
    Tick(*f.Sheet, 5);
    EXPECT_EQ(osc->Counter(), 8);
    EXPECT_EQ(osc->Out()->Value(), out);
    EXPECT_EQ(osc->Lamp()->On(), lamp);

    osc->SetButtonDown(true);
    Tick(*f.Sheet);
    EXPECT_EQ(osc->Counter(), 0); // the level seen as a rising edge only now
    Tick(*f.Sheet);
    EXPECT_EQ(osc->Counter(), 1);
}

TEST(Random, DrawsOncePerPeriodWithinTheAmplitude)
{
    struct TCase {
        const char *Name;
        bool Symmetric;
    };
    for (const TCase &c : std::vector<TCase>{{"Symmetric", true}, {"Asymmetric", false}}) {
        SCOPED_TRACE(c.Name);
        RandSeed(7);
        TSheetFixture f;
        auto *osc = f.Add<TKorRandom>();
        osc->SetKnobFreqValue(100); // period 5
        osc->SetKnobColor(0);       // raised to 1 percent
        osc->SetButSymDown(c.Symmetric);
        int32_t lowest = 0, highest = 0, previous = 0;
        for (int i = 0; i < 500; ++i) {
            Tick(*f.Sheet);
            const int32_t out = osc->Out()->Value();
            if (osc->Counter() != 0) {
                EXPECT_EQ(out, previous) << "tick " << i;
            }
            lowest = std::min(lowest, out);
            highest = std::max(highest, out);
            previous = out;
        }
        EXPECT_LE(highest, 750);
        EXPECT_GT(highest, 500);
        EXPECT_EQ(lowest < -500, c.Symmetric);
        EXPECT_GE(lowest, c.Symmetric ? -750 : 0);
    }
}

TEST(Random, ColourSmoothsAndItsModulationIsClamped)
{
    struct TCase {
        const char *Name;
        int32_t Color;
        std::optional<int32_t> ColorMod;
        int32_t MaxStep; // largest change of one draw from k percent of the previous value
        bool Frozen;     // k = 100: the output keeps its start value 0
    };
    const std::vector<TCase> cases = {
        {"Colour90", 90, {}, 76, false},
        {"ModulatedTo45", 90, 500, 413, false},
        {"ModulationAboveHundredHolds", 99, 2000, 0, true},
        {"NegativeModulationIsOnePercent", 99, -1000, 743, false},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        RandSeed(11);
        TSheetFixture f;
        auto *osc = f.Add<TKorRandom>();
        osc->SetKnobFreqValue(60); // period 3
        osc->SetKnobColor(c.Color);
        if (c.ColorMod)
            Feed(*f.Sheet, osc->ColorInput(), *c.ColorMod);
        const double keep = c.ColorMod ? std::clamp(*c.ColorMod * c.Color / 1000, 1, 100) / 100.0 : c.Color / 100.0;
        int32_t previous = 0, largestStep = 0;
        for (int i = 0; i < 300; ++i) {
            Tick(*f.Sheet);
            if (osc->Counter() != 0)
                continue;
            const int32_t out = osc->Out()->Value();
            largestStep = std::max(largestStep, int32_t(std::lround(std::abs(out - previous * keep))));
            previous = out;
        }
        EXPECT_LE(largestStep, c.MaxStep);
        // The draws do reach near the limit unless the colour holds the output.
        EXPECT_EQ(largestStep > c.MaxStep * 3 / 4, !c.Frozen);
    }
}

TEST(RndPulse, PulseLengthsCoverOneToThePeriod)
{
    for (bool symmetric : {true, false}) {
        SCOPED_TRACE(symmetric ? "symmetric" : "asymmetric");
        RandSeed(3);
        TSheetFixture f;
        auto *osc = f.Add<TKorRndPulse>();
        osc->SetKnobFreqValue(100); // period 5
        osc->SetButSymDown(symmetric);
        std::map<int32_t, int> lengths;
        std::set<int32_t> levels;
        int32_t previous = osc->Out()->Value();
        int sinceToggle = -1; // the first toggle starts the first measured pulse
        for (int i = 0; i < 3000; ++i) {
            Tick(*f.Sheet);
            const int32_t out = osc->Out()->Value();
            if (sinceToggle >= 0)
                ++sinceToggle;
            if (out != previous) {
                if (sinceToggle > 0)
                    ++lengths[sinceToggle];
                sinceToggle = 0;
                levels.insert(out);
            }
            previous = out;
        }
        EXPECT_EQ(levels, (symmetric ? std::set<int32_t>{-750, 750} : std::set<int32_t>{0, 750}));
        ASSERT_EQ(lengths.size(), 5u);
        EXPECT_EQ(lengths.begin()->first, 1);
        EXPECT_EQ(lengths.rbegin()->first, 5);
        for (const auto &[length, count] : lengths)
            EXPECT_GT(count, 100) << "length " << length; // roughly uniform over ~ 1000 pulses
    }
}

TEST(Oscillator, PublishedPropertiesSurviveAPatchFile)
{
    RegisterModuleClasses({&ClassOf<TKorSquare>(), &ClassOf<TKorSine>(), &ClassOf<TKorSaw>(), &ClassOf<TKorRandom>(),
                           &ClassOf<TKorRndPulse>()});
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("osc.korvane"));
    {
        TSheetFixture f;
        auto *square = f.Add<TKorSquare>(0, 0);
        square->SetRange(3);
        square->SetKnobFreqValue(10); // below the millisecond minimum of a new module
        square->SetKnobAmpValue(-500);
        square->SetButtonDown(false);
        square->SetButSymDown(false);
        square->SetKnobWidthValue(20);
        auto *random = f.Add<TKorRandom>(0, 50);
        random->SetKnobColor(7);
        SaveSheetToFile(*f.Sheet, file);
    }
    TOwned<TKorDrawSheet> sheet = ReadSheetFromFile(file);
    ASSERT_EQ(sheet->ModuleCount(), 2);
    auto *square = qobject_cast<TKorSquare *>(sheet->Modules(0));
    auto *random = qobject_cast<TKorRandom *>(sheet->Modules(1));
    ASSERT_TRUE(square && random);
    EXPECT_EQ(square->Range(), 3);
    EXPECT_EQ(square->UnitLabel()->Text(), " m");
    EXPECT_EQ(square->KnobFreqValue(), 10);
    EXPECT_EQ(square->BasePeriod(), 30000);
    EXPECT_EQ(square->KnobAmpValue(), -500);
    EXPECT_FALSE(square->ButtonDown());
    EXPECT_FALSE(square->Running());
    EXPECT_FALSE(square->ButSymDown());
    EXPECT_EQ(square->Out()->SignalKind(), TSignalKind::Asymmetric);
    EXPECT_EQ(square->KnobWidthValue(), 20);
    EXPECT_EQ(random->KnobColor(), 7);
    EXPECT_EQ(random->Range(), 1);
    EXPECT_TRUE(random->ButtonDown());
}
