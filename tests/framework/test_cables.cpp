// Cables: making and breaking them, the per-tick transport with its one tick of delay,
// fan-in summation, overflow, and cables lost with their modules.
#include "Modules.h"
#include "TestHost.h"
#include "TestModules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

namespace {

TEST(Cables, EveryCableDelaysByOneTickWhateverTheModuleOrder)
{
    // A -> B -> C, with the three modules in every run order.
    std::array<int, 3> order{0, 1, 2};
    do {
        auto sheet = CreateOwned<TKorDrawSheet>();
        TKorTestSource *a = nullptr;
        TKorTestThrough *b = nullptr, *c = nullptr;
        for (int which : order) {
            if (which == 0)
                a = Create<TKorTestSource>(sheet.get());
            else if (which == 1)
                b = Create<TKorTestThrough>(sheet.get());
            else
                c = Create<TKorTestThrough>(sheet.get());
        }
        sheet->ToggleConnection(a->Out, b->In);
        sheet->ToggleConnection(b->Out, c->In);
        SCOPED_TRACE(testing::Message() << order[0] << order[1] << order[2]);

        a->Next = 7;
        sheet->Execute(); // tick t: A computes 7, the cable delivers it to B at the end
        EXPECT_EQ(b->In->Value(), 7);
        EXPECT_EQ(c->In->Value(), 0);
        sheet->Execute(); // tick t + 1: B passes it on
        EXPECT_EQ(c->In->Value(), 7);
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(Cables, InputsSumEveryCableThatReachesThem)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *a = Create<TKorTestSource>(sheet.get());
    auto *b = Create<TKorTestSource>(sheet.get());
    auto *c = Create<TKorTestThrough>(sheet.get());
    auto *d = Create<TKorTestThrough>(sheet.get());
    sheet->ToggleConnection(a->Out, c->In);
    sheet->ToggleConnection(c->In, b->Out); // drawn from the input: same meaning
    sheet->ToggleConnection(a->Out, d->In); // one output feeds several inputs
    a->Next = 300;
    b->Next = -1000;
    sheet->Execute();
    EXPECT_EQ(c->In->Value(), -700);
    EXPECT_EQ(d->In->Value(), 300);
    sheet->Execute();
    EXPECT_EQ(c->Out->Value(), -700) << "the module sees the sum one tick later";
    EXPECT_EQ(c->In->Value(), -700) << "inputs are cleared before summing, not accumulated";
}

TEST(Cables, CablesBetweenTwoInputsSumAndBetweenTwoOutputsCarryNothing)
{
    // Files may hold such cables; the mouse never makes them.
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *src = Create<TKorTestSource>(sheet.get());
    auto *x = Create<TKorTestThrough>(sheet.get());
    auto *y = Create<TKorTestThrough>(sheet.get());
    sheet->Connections().Toggle(src->Out, y->In);
    sheet->Connections().Toggle(x->In, y->In); // x.In takes y.In as it stands in the pass
    sheet->Connections().Toggle(src->Out, x->Out);
    src->Next = 5;
    x->Out->SetValue(11);
    sheet->Execute();
    EXPECT_EQ(y->In->Value(), 5);
    EXPECT_EQ(x->In->Value(), 5);
    EXPECT_EQ(x->Out->Value(), 0) << "x's own Execute wrote its output; the output cable added nothing";
}

TEST(Cables, OverflowingSumRaisesAndKeepsThePartialSums)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *big = Create<TKorTestSource>(sheet.get());
    auto *one = Create<TKorTestSource>(sheet.get());
    auto *target = Create<TKorTestThrough>(sheet.get());
    auto *later = Create<TKorTestThrough>(sheet.get());
    sheet->ToggleConnection(big->Out, target->In);
    sheet->ToggleConnection(one->Out, target->In);
    sheet->ToggleConnection(one->Out, later->In);
    big->Next = 2147483647;
    one->Next = 1;
    later->In->SetValue(99);
    EXPECT_THROW(sheet->Execute(), EIntOverflow);
    EXPECT_EQ(target->In->Value(), 2147483647) << "the sum up to the failing cable stays";
    EXPECT_EQ(later->In->Value(), 0) << "cleared, but the cables after the failing one are not summed";
}

TEST(Cables, ToggleBreaksACableDrawnInEitherDirection)
{
    for (bool reverse : {false, true}) {
        SCOPED_TRACE(reverse ? "broken from the input" : "broken from the output");
        TSheetFixture f;
        auto *src = f.Add<TKorTestSource>();
        auto *dst = f.Add<TKorTestThrough>(250);
        f.Sheet->ToggleConnection(src->Out, dst->In);
        EXPECT_EQ(src->Out->ConnectionCount(), 1);
        EXPECT_TRUE(dst->In->IsConnected());
        EXPECT_EQ(f.Sheet->Connections().IndexOfPair(src->Out, dst->In), 0);
        EXPECT_EQ(f.Sheet->Connections().IndexOfPair(dst->In, src->Out), -1) << "pairs are ordered";
        src->Next = 42;
        f.Sheet->Execute();
        ASSERT_EQ(dst->In->Value(), 42);

        if (reverse)
            f.Sheet->ToggleConnection(dst->In, src->Out);
        else
            f.Sheet->ToggleConnection(src->Out, dst->In);
        EXPECT_EQ(f.Sheet->CableCount(), 0);
        EXPECT_EQ(dst->In->Value(), 0) << "an input whose cable goes reads 0";
        EXPECT_EQ(src->Out->ConnectionCount(), 0);
        EXPECT_EQ(dst->In->ConnectionCount(), 0);
        ASSERT_EQ(f.Host.Made.size(), 1u);
        ASSERT_EQ(f.Host.Lost.size(), 1u);
        EXPECT_EQ(f.Host.Lost[0].first, reverse ? static_cast<TKorConnector *>(dst->In) : src->Out)
            << "reported as the caller passed it";
    }
}

TEST(Cables, DeletingAModuleReportsEachLostCableOnceAndLeavesNoneBehind)
{
    TSheetFixture f;
    auto *src = f.Add<TKorTestSource>();
    auto *mid = f.Add<TKorTestThrough>(250);
    auto *dst = f.Add<TKorTestThrough>(500);
    auto *other = f.Add<TKorTestSource>(0, 50);
    f.Sheet->ToggleConnection(src->Out, mid->In);
    f.Sheet->ToggleConnection(other->Out, mid->In);
    f.Sheet->ToggleConnection(mid->Out, dst->In);
    f.Sheet->ToggleConnection(other->Out, dst->In); // untouched by the deletion
    dst->In->SetValue(123);
    TKorConnector *midIn = mid->In, *midOut = mid->Out;

    f.Sheet->FreeModule(1);

    ASSERT_EQ(f.Host.Lost.size(), 3u);
    for (const auto &[from, to] : f.Host.Lost)
        EXPECT_TRUE(to == midIn || to == midOut || from == midIn || from == midOut);
    // Reported as they were: the ends are named before the cable goes.
    EXPECT_EQ(f.Host.Lost[0], std::make_pair(static_cast<TKorConnector *>(other->Out), midIn));
    ASSERT_EQ(f.Sheet->CableCount(), 1);
    EXPECT_EQ(f.Sheet->CableFrom(0), other->Out);
    EXPECT_EQ(f.Sheet->CableTo(0), dst->In);
    EXPECT_EQ(other->Out->ConnectionCount(), 1);
    EXPECT_EQ(dst->In->Value(), 0);
    EXPECT_EQ(f.Sheet->ModuleCount(), 3);
    other->Next = 4;
    f.Sheet->Execute();
    EXPECT_EQ(dst->In->Value(), 4);
}

TEST(Cables, RemoveConnectionsOfWorksFromTheLastCableDown)
{
    TSheetFixture f;
    auto *src = f.Add<TKorTestSource>();
    auto *a = f.Add<TKorTestThrough>(250);
    auto *b = f.Add<TKorTestThrough>(500);
    f.Sheet->ToggleConnection(src->Out, a->In);
    f.Sheet->ToggleConnection(b->In, src->Out);
    f.Sheet->RemoveConnectionsOf(src->Out);
    using P = std::pair<TKorConnector *, TKorConnector *>;
    EXPECT_EQ(f.Host.Lost, (std::vector<P>{{b->In, src->Out}, {src->Out, a->In}}));
    EXPECT_EQ(f.Sheet->CableCount(), 0);
}

TEST(Cables, ClipboardSheetsWithoutHostMakeCablesSilently)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *src = Create<TKorTestSource>(sheet.get());
    auto *dst = Create<TKorTestThrough>(sheet.get());
    sheet->ToggleConnection(src->Out, dst->In);
    sheet->ToggleConnection(src->Out, nullptr); // no target: nothing
    EXPECT_EQ(sheet->CableCount(), 1);
    Free(dst);
    EXPECT_EQ(sheet->CableCount(), 0);
    EXPECT_EQ(src->Out->ConnectionCount(), 0);
}

} // namespace
