// Numbers and small helpers every module relies on: grid snapping, checked arithmetic,
// rounding, short MIDI packing, the bounds check and the signal-kind colours.
#include "Modules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

struct SnapCase {
    const char *name;
    QPoint in, grid, out;
};

TEST(Basics, SnapToGridRoundsToTheNearestCellTruncatingTowardZero)
{
    const SnapCase cases[] = {
        {"124 stays in column 0", {124, 0}, {250, 50}, {0, 0}},
        {"125 moves to column 1", {125, 0}, {250, 50}, {250, 0}},
        {"-130 truncates toward zero", {-130, 0}, {250, 50}, {0, 0}},
        {"-200 still truncates to 0", {-200, 0}, {250, 50}, {0, 0}},
        {"-375 reaches column -1", {-375, 0}, {250, 50}, {-250, 0}},
        {"top 24 stays in row 0", {0, 24}, {250, 50}, {0, 0}},
        {"top 25 moves to row 1", {0, 25}, {250, 50}, {0, 50}},
        {"step 1 keeps every pixel", {37, -3}, {1, 1}, {37, -3}},
        {"step 0 leaves the axis alone", {37, 26}, {0, 50}, {37, 50}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(SnapToGrid(c.in, c.grid), c.out) << c.name;
}

TEST(Basics, SnapToGridRaisesInsteadOfWrapping)
{
    EXPECT_THROW(SnapToGrid({std::numeric_limits<int32_t>::max(), 0}, {250, 50}), EIntOverflow);
}

TEST(Basics, CheckedArithmeticRaisesOnOverflowOnly)
{
    constexpr int32_t Max = std::numeric_limits<int32_t>::max(), Min = std::numeric_limits<int32_t>::min();
    EXPECT_EQ(Checked::Add(Max - 1, 1), Max);
    EXPECT_EQ(Checked::Sub(Min + 1, 1), Min);
    EXPECT_EQ(Checked::Mul(-46341, 46340), -2147441940);
    EXPECT_EQ(Checked::Div(-7, 2), -3); // truncates toward zero
    EXPECT_THROW(Checked::Add(Max, 1), EIntOverflow);
    EXPECT_THROW(Checked::Sub(Min, 1), EIntOverflow);
    EXPECT_THROW(Checked::Mul(65536, 32768), EIntOverflow);
    EXPECT_THROW(Checked::Div(Min, -1), EIntOverflow);
    EXPECT_THROW(Checked::Div(1, 0), EZeroDivide);
    try {
        Checked::Add(Max, Max);
        FAIL() << "no overflow raised";
    } catch (const EIntOverflow &e) {
        EXPECT_EQ(e.Message(), "Integer overflow");
    }
}

TEST(Basics, RoundGoesHalfToEven)
{
    const std::pair<double, int32_t> cases[] = {
        {0.5, 0}, {1.5, 2}, {2.5, 2}, {3.5, 4}, {-0.5, 0}, {-1.5, -2}, {-2.5, -2}, {2.4999, 2}, {-2.6, -3},
        {2147483647.4, 2147483647}, {-2147483648.4, -2147483647 - 1},
    };
    for (const auto &[x, expected] : cases)
        EXPECT_EQ(Round(x), expected) << x;
    EXPECT_THROW(Round(2147483647.5), EIntOverflow); // rounds to 2^31
    EXPECT_THROW(Round(-2147483649.0), EIntOverflow);
    EXPECT_THROW(Round(std::nan("")), EIntOverflow);
    for (double far : {4503599627370497.0, -1e18, 1e300, HUGE_VAL, -HUGE_VAL})
        EXPECT_THROW(Round(far), EIntOverflow) << far;
}

TEST(Basics, ShortMidiMessagesPackAndUnpack)
{
    static_assert(MakeShortMsg(3, 9, 60, 100) == 0x643C93);
    EXPECT_EQ(SplitShortMsg(0x643C93), (TShortMsgParts{3, 9, 60, 100}));
    // Data bytes lose their top bit; the command keeps the whole status byte's high nibble.
    EXPECT_EQ(SplitShortMsg(0x00FF80FF), (TShortMsgParts{15, 15, 0, 127}));
    // Channel and command are masked to four bits when packing.
    EXPECT_EQ(MakeShortMsg(0x13, 0x1B, 7, 127), 0x7F07B3u);
    EXPECT_EQ(MakeShortMsg(0, 14, 0, 64), 0x4000E0u);
}

TEST(Basics, CheckBoundsNamesWhereAndWhat)
{
    EXPECT_NO_THROW(CheckBounds(4, 0, 4, "Where", "p"));
    EXPECT_NO_THROW(CheckBounds(0, 0, 4, "Where", "p"));
    try {
        CheckBounds(5, 0, 4, "TDrawSheet.FreeModule( anIndex: Integer)", "anIndex");
        FAIL() << "no assertion raised";
    } catch (const EAssertionFailed &e) {
        EXPECT_TRUE(e.Message().startsWith(
            "TDrawSheet.FreeModule( anIndex: Integer) : Parameter anIndex (5) out of bounds [0,4] (Modules, line "))
            << e.Message().toStdString();
    }
}

TEST(Basics, SignalKindsPickTheirColourSettings)
{
    ResetColorSettings();
    EXPECT_EQ(SignalKindColor(Symmetric), 0x800080u);
    EXPECT_EQ(SignalKindColor(Asymmetric), 0xFF0000u);
    EXPECT_EQ(SignalKindColor(Logic), 0xFFFFFFu);
    EXPECT_EQ(SignalKindColor(Neuron), 0x808080u);
    EXPECT_EQ(SignalKindColor(4), 0x800080u) << "an unknown kind shows the symmetric colour";
    AsymmetricColor = 0x123456;
    EXPECT_EQ(SignalKindColor(Asymmetric), 0x123456u);
    ResetColorSettings();
    EXPECT_EQ(ToQColor(0x0000FF), QColor(255, 0, 0)) << "red lives in the low byte";
    EXPECT_EQ(ToQColor(0xFF0000), QColor(0, 0, 255));
}

} // namespace
