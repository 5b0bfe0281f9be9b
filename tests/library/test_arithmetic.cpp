// Arithmetic modules: the constant's immediate output, the amplifier's clip limit, rounding and
// overflow, the multiplier's product, the divider's quotient and zero divisor, and the knob
// settings kept in patch files.
#include "LibraryTestSupport.h"
#include "PatchFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <limits>

namespace {

constexpr int32_t Int32Min = std::numeric_limits<int32_t>::min();
constexpr int32_t Int32Max = std::numeric_limits<int32_t>::max();

// A value reaches an input through its cable at the end of the first tick; the module reads
// it on the second.
constexpr int SettleTicks = 2;

TEST(Constant, OutputsItsKnobAtOnceWithoutTicking)
{
    TSheetFixture f;
    auto *c = f.Add<TKorConstant>();
    EXPECT_EQ(c->Out()->Value(), 750) << "a new constant";

    struct Row {
        const char *Name;
        int32_t Set, Out;
    };
    const std::vector<Row> rows = {
        {"inside the range", -300, -300},
        {"above the range", 5000, 1000},
        {"below the range", -5000, -1000},
    };
    for (const Row &r : rows) {
        c->SetKnobAmpValue(r.Set);
        EXPECT_EQ(c->Out()->Value(), r.Out) << r.Name;
        EXPECT_EQ(c->KnobAmpValue(), r.Out) << r.Name;
    }
}

TEST(Amplifier, ClipKnobAtZeroCutsEverythingOffAndSaysOff)
{
    TSheetFixture f;
    auto *a = f.Add<TKorAmplifier>();
    EXPECT_EQ(a->ClipKnob()->Viewer()->Text(), "Off") << "a new amplifier";
    TDrive in = Drive(*f.Sheet, a->In());
    for (int32_t v : {1000, -1000, 7}) {
        in.Set(v);
        Tick(*f.Sheet, SettleTicks);
        EXPECT_EQ(a->Out()->Value(), 0) << "In = " << v;
    }
    a->SetKnobClipValue(300);
    EXPECT_EQ(a->ClipKnob()->Viewer()->Text(), "300");
    Tick(*f.Sheet);
    EXPECT_EQ(a->Out()->Value(), 5) << "7 x 750 / 1000 = 5.25";
    a->SetKnobClipValue(0);
    EXPECT_EQ(a->ClipKnob()->Viewer()->Text(), "Off");
}

TEST(Amplifier, ClipLimitFromInClipIsItsMagnitudeAndOverridesTheKnob)
{
    struct Row {
        const char *Name;
        int32_t In, InClip, ClipKnob, Out;
    };
    const std::vector<Row> rows = {
        {"above the negative limit", 1000, -300, 0, 225},
        {"below it", -1000, -300, 0, -225},
        {"within it", 100, -300, 0, 75},
        {"knob above the limit is ignored", 1000, -300, 1000, 225},
        {"positive limit", -1000, 300, 1000, -225},
        {"cable carrying 0 cuts off despite the knob", 1000, 0, 1000, 0},
        {"most negative limit", -40, Int32Min, 0, -30},
    };
    for (const Row &r : rows) {
        TSheetFixture f;
        auto *a = f.Add<TKorAmplifier>();
        a->SetKnobClipValue(r.ClipKnob);
        Drive(*f.Sheet, a->In(), r.In);
        Drive(*f.Sheet, a->InClip(), r.InClip);
        Tick(*f.Sheet, SettleTicks);
        EXPECT_EQ(a->Out()->Value(), r.Out) << r.Name;
    }
}

TEST(Amplifier, RoundsHalfToEvenAndRaisesOnOverflow)
{
    struct Row {
        const char *Name;
        int32_t In, Amplitude, Out;
    };
    const std::vector<Row> rows = {
        {"0.5 to 0", 1, 500, 0},    {"1.5 to 2", 3, 500, 2},    {"2.5 to 2", 5, 500, 2},
        {"-0.5 to 0", -1, 500, 0},  {"-1.5 to -2", -3, 500, -2}, {"-2.5 to -2", -5, 500, -2},
        {"gain of ten", 999, 10000, 9990}, {"inverting", 999, -10000, -9990},
    };
    for (const Row &r : rows) {
        TSheetFixture f;
        auto *a = f.Add<TKorAmplifier>();
        a->SetKnobClipValue(1000);
        a->SetKnobAmpValue(r.Amplitude);
        Drive(*f.Sheet, a->In(), r.In);
        Tick(*f.Sheet, SettleTicks);
        EXPECT_EQ(a->Out()->Value(), r.Out) << r.Name;
    }

    TSheetFixture f;
    auto *a = f.Add<TKorAmplifier>();
    a->SetKnobAmpValue(10000);
    Drive(*f.Sheet, a->In(), 1'000'000);
    Drive(*f.Sheet, a->InClip(), 1'000'000);
    Tick(*f.Sheet);
    EXPECT_THROW(Tick(*f.Sheet), EIntOverflow) << "1000000 x 10000 leaves 32 bits";
}

// A multiplier or divider with both inputs driven and the amplitude knob set, after settling.
template <class M>
int32_t Settle(int32_t in1, int32_t in2, int32_t amplitude)
{
    TSheetFixture f;
    auto *m = f.Add<M>();
    m->SetKnobAmpValue(amplitude);
    Drive(*f.Sheet, m->In1(), in1);
    Drive(*f.Sheet, m->In2(), in2);
    Tick(*f.Sheet, SettleTicks);
    return m->Out()->Value();
}

struct TTwoInputRow {
    const char *Name;
    int32_t In1, In2, Amplitude, Out;
};

TEST(Multiplier, ProductPerMilleRoundedHalfToEven)
{
    const std::vector<TTwoInputRow> rows = {
        {"full scale squared", 1000, 1000, 750, 750},
        {"negative second input", 1000, -1000, 750, -750},
        {"negative amplitude", -1000, -1000, -1000, -1000},
        {"0.5 to 0", 1, 500'000, 1, 0},
        {"1.5 to 2", 3, 1000, 500, 2},
        {"2.5 to 2", 5, 1000, 500, 2},
        {"-2.5 to -2", -5, 1000, 500, -2},
    };
    for (const TTwoInputRow &r : rows)
        EXPECT_EQ(Settle<TKorMultiplier>(r.In1, r.In2, r.Amplitude), r.Out) << r.Name;
}

TEST(Multiplier, RaisesWhenEitherProductOverflows)
{
    struct Row {
        const char *Name;
        int32_t In1, In2;
    };
    const std::vector<Row> rows = {
        {"In1 x amplitude overflows although In2 is 0", 3'000'000, 0},
        {"that times In2 overflows", 1000, 3'000'000},
    };
    for (const Row &r : rows)
        EXPECT_THROW(Settle<TKorMultiplier>(r.In1, r.In2, 1000), EIntOverflow) << r.Name;
}

TEST(Divider, ZeroDivisorGivesFullScaleBySignOfIn1)
{
    const std::vector<TTwoInputRow> rows = {
        {"positive", 1, 0, 750, 1000},
        {"negative", -5000, 0, 750, -1000},
        {"both zero", 0, 0, 750, 0},
        {"amplitude plays no part", 1, 0, -1000, 1000},
    };
    for (const TTwoInputRow &r : rows)
        EXPECT_EQ(Settle<TKorDivider>(r.In1, r.In2, r.Amplitude), r.Out) << r.Name;
}

TEST(Divider, QuotientOfOneGivesTheAmplitude)
{
    const std::vector<TTwoInputRow> rows = {
        {"equal inputs", 1000, 1000, 750, 750},
        {"equal negative inputs", -300, -300, 1000, 1000},
        {"half", -500, 1000, 1000, -500},
        {"large quotients are kept", 1000, 1, 750, 750'000},
        {"negative amplitude inverts", 1, 3, -1000, -333},
        {"2.5 to 2", 1, 4, 10, 2},
        {"7.5 to 8", 3, 4, 10, 8},
        {"-2.5 to -2", -1, 4, 10, -2},
        {"exact tie although 7 / 6 is not exact", 7, 6, 105, 122},
        {"held at the upper 32-bit limit", Int32Max, 1, 1000, Int32Max},
        {"held at the lower 32-bit limit", Int32Min, 1, 1000, Int32Min},
        {"most negative over -1", Int32Min, -1, 1, Int32Max},
    };
    for (const TTwoInputRow &r : rows)
        EXPECT_EQ(Settle<TKorDivider>(r.In1, r.In2, r.Amplitude), r.Out) << r.Name;
}

TEST(ConstantToDividerPatch, KnobSettingsSurviveSaveAndLoad)
{
    RegisterModuleClasses({&ClassOf<TKorConstant>(), &ClassOf<TKorAmplifier>(), &ClassOf<TKorMultiplier>(),
                           &ClassOf<TKorDivider>()});
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("arithmetic.slt");
    {
        TSheetFixture f;
        f.Add<TKorConstant>(0, 0)->SetKnobAmpValue(-300);
        auto *amp = f.Add<TKorAmplifier>(0, 50);
        amp->SetKnobAmpValue(-2000);
        amp->SetKnobClipValue(500);
        f.Add<TKorMultiplier>(0, 100)->SetKnobAmpValue(-1000);
        f.Add<TKorDivider>(0, 150)->SetKnobAmpValue(100);
        SaveSheetToFile(*f.Sheet, path);
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("    KnobAmpValue = -2000\r\n    KnobClipValue = 500\r\n"))
        << "the amplifier's settings in declaration order";
    TOwned<TKorDrawSheet> sheet = ReadSheetFromFile(path);
    sheet->ResolveConnections();
    ASSERT_EQ(sheet->ModuleCount(), 4);
    auto *constant = qobject_cast<TKorConstant *>(sheet->Modules(0));
    auto *amp = qobject_cast<TKorAmplifier *>(sheet->Modules(1));
    auto *mul = qobject_cast<TKorMultiplier *>(sheet->Modules(2));
    auto *div = qobject_cast<TKorDivider *>(sheet->Modules(3));
    ASSERT_TRUE(constant && amp && mul && div);
    ASSERT_FALSE(qobject_cast<TKorDivider *>(mul));

    EXPECT_EQ(constant->KnobAmpValue(), -300);
    EXPECT_EQ(constant->Out()->Value(), -300) << "loading moves the knob, which sets Out";
    EXPECT_EQ(amp->KnobAmpValue(), -2000);
    EXPECT_EQ(amp->KnobClipValue(), 500);
    EXPECT_EQ(mul->KnobAmpValue(), -1000);
    EXPECT_EQ(div->KnobAmpValue(), 100);

    // The loaded amplitudes reach the per-tick work, not only the knobs.
    Drive(*sheet, amp->In(), 1000);
    Drive(*sheet, mul->In1(), 1000);
    Drive(*sheet, mul->In2(), 1000);
    Drive(*sheet, div->In1(), 500);
    Drive(*sheet, div->In2(), 1000);
    Tick(*sheet, SettleTicks);
    EXPECT_EQ(amp->Out()->Value(), -1000) << "clipped to 500, times -2";
    EXPECT_EQ(mul->Out()->Value(), -1000);
    EXPECT_EQ(div->Out()->Value(), 50);
}

} // namespace
