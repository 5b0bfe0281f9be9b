// The scope: its panel, when sweeps start and end, where each sample lands and how wide the
// trace is drawn, the sense and its overflow, sweeps run from another thread; the morph: its
// panel, the crossfade with and without a select cable, extrapolation and its overflow; both
// saved and loaded, and their ticks without allocation.
#include "AllocationCounter.h"
#include "LibraryTestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace {

constexpr int32_t Int32Max = std::numeric_limits<int32_t>::max();

// The scope's ticks driven directly: each Step sets both inputs and runs one Execute, so
// tick numbers in the tests are exact.
class ScopeTest : public ::testing::Test {
protected:
    void Step(int32_t trigger, int32_t input = 0)
    {
        S->Trig()->SetValue(trigger);
        S->Inp()->SetValue(input);
        S->Execute();
    }
    QPoint Point(int32_t i) const { return S->Graph()->GetPoint(i); }

    TSheetFixture F;
    TKorScope *S = F.Add<TKorScope>();
};

TEST_F(ScopeTest, PanelIsFourRowsWithAGraphAsWideAsItsPoints)
{
    EXPECT_EQ(S->Width(), 250);
    EXPECT_EQ(S->Height(), 200);
    TKorGraphSheet *g = S->Graph();
    EXPECT_EQ(QRect(g->Left(), g->Top(), g->Width(), g->Height()), QRect(45, 25, 190, 160));
    EXPECT_EQ(g->Count(), 190);
    EXPECT_EQ(g->YScale(), 1000);

    struct TPlace {
        const char *Name;
        QPoint At;
        uint8_t Kind;
    };
    for (const TPlace &p : {TPlace{"Inp", {9, 85}, Symmetric}, TPlace{"Trig", {9, 105}, Logic}}) {
        auto *in = qobject_cast<TKorInput *>(S->FindComponent(QString::fromLatin1(p.Name)));
        ASSERT_NE(in, nullptr) << p.Name;
        EXPECT_EQ(QPoint(in->Left(), in->Top()), p.At) << p.Name;
        EXPECT_EQ(in->SignalKind(), p.Kind) << p.Name;
        EXPECT_EQ(in->Value(), 0) << p.Name;
    }

    TKorKnob *knob = S->SenseKnob();
    EXPECT_EQ(QPoint(knob->Left(), knob->Top()), QPoint(8, 45));
    EXPECT_EQ(knob->Min(), 0);
    EXPECT_EQ(knob->Max(), 10000);
    EXPECT_EQ(knob->Step(), 40);
    ASSERT_NE(knob->Viewer(), nullptr);
    EXPECT_EQ(QPoint(knob->Viewer()->Left(), knob->Viewer()->Top()), QPoint(5, 25));
    EXPECT_EQ(knob->Viewer()->Text(), "1000");
    EXPECT_EQ(S->SenseValue(), 1000);
    EXPECT_EQ(S->Sense(), 1000);

    // The published value is the knob: clamped into its range, copied for the tick.
    for (auto [set, expected] : {std::pair{2000, 2000}, {20000, 10000}, {-5, 0}}) {
        S->SetSenseValue(set);
        EXPECT_EQ(S->SenseValue(), expected) << set;
        EXPECT_EQ(S->Sense(), expected) << set;
        EXPECT_EQ(knob->Viewer()->Text(), QString::number(expected)) << set;
    }
}

TEST_F(ScopeTest, UnwiredTriggerNeverSweeps)
{
    TDrive in = Drive(*F.Sheet, S->Inp());
    std::vector<QPoint> before;
    for (int32_t i = 0; i < S->Graph()->Count(); ++i)
        before.push_back(Point(i));
    for (int t = 0; t < 500; ++t) {
        in.Set(t % 2 ? 1000 : -1000);
        Tick(*F.Sheet);
        ASSERT_FALSE(S->Sweeping()) << "tick " << t;
    }
    for (int32_t i = 0; i < S->Graph()->Count(); ++i)
        EXPECT_EQ(Point(i), before[size_t(i)]) << "point " << i;
}

TEST_F(ScopeTest, SweepFromTickTWritesPointIAtTickTPlusIAndEndsAtTPlus190OnPointZero)
{
    constexpr int T = 7;
    // The input at tick k is 100 + k, so every point tells which tick wrote it.
    int k = 0;
    for (; k < T; ++k)
        Step(0, 100 + k);
    for (; k < T + 190; ++k) {
        Step(1000, 100 + k);
        ASSERT_TRUE(S->Sweeping()) << "tick " << k;
        ASSERT_EQ(Point(k - T), QPoint(k - T, 100 + k)) << "tick " << k;
    }
    const QPoint last = Point(189);
    Step(1000, 100 + k); // tick T + 190
    EXPECT_FALSE(S->Sweeping());
    EXPECT_EQ(Point(0), QPoint(0, 100 + T + 190)) << "the completing tick still draws, at point 0";
    EXPECT_EQ(Point(189), last);
    EXPECT_EQ(Point(1), QPoint(1, 100 + T + 1)) << "the trace stays";

    // Held high it never starts again; the trace keeps what the sweep drew.
    for (int more = 0; more < 400; ++more)
        Step(1000, -5);
    EXPECT_FALSE(S->Sweeping());
    EXPECT_EQ(Point(100), QPoint(100, 100 + T + 100));
}

// Which ticks start a sweep, for a trigger pattern over a number of ticks.
struct TTriggerCase {
    const char *Name;
    std::function<int32_t(int tick)> Trigger;
    int Ticks;
    std::vector<int> Starts;
};

TEST_F(ScopeTest, SweepsStartOnARisingEdgeOutsideASweepOnly)
{
    const std::vector<TTriggerCase> cases = {
        {"always low", [](int) { return 0; }, 600, {}},
        {"always negative", [](int) { return -1000; }, 600, {}},
        {"held high from the first tick", [](int) { return 1000; }, 600, {0}},
        {"rising at tick 3 and held", [](int t) { return t >= 3 ? 1000 : 0; }, 600, {3}},
        {"falls and rises again during the sweep, then stays high",
         [](int t) { return t == 50 ? 0 : 1000; }, 600, {0}},
        {"one-tick pulses 200 ticks apart", [](int t) { return t % 200 == 0 ? 1000 : 0; }, 600, {0, 200, 400}},
        {"one-tick pulses 191 ticks apart: the first tick after completion",
         [](int t) { return t % 191 == 0 ? 1000 : 0; }, 600, {0, 191, 382, 573}},
        {"a pulse on the completing tick is part of the sweep",
         [](int t) { return t % 190 == 0 ? 1000 : 0; }, 600, {0, 380}},
        {"1 is high, and -1000 counts as low", [](int t) { return t < 10 ? -1000 : 1; }, 300, {10}},
        {"1 is already high: rising on to 1000 is no new edge", [](int t) { return t < 10 ? 1 : 1000; }, 300, {0}},
    };
    for (const TTriggerCase &c : cases) {
        TSheetFixture f;
        auto *s = f.Add<TKorScope>();
        std::vector<int> starts;
        for (int t = 0; t < c.Ticks; ++t) {
            const bool was = s->Sweeping();
            s->Trig()->SetValue(c.Trigger(t));
            s->Execute();
            if (!was && s->Sweeping())
                starts.push_back(t);
        }
        EXPECT_EQ(starts, c.Starts) << c.Name;
    }
}

TEST_F(ScopeTest, RetriggeringAfterCompletionRedrawsFromPointZero)
{
    Step(1000, 1);
    for (int t = 1; t < 191; ++t)
        Step(0, 1);
    ASSERT_FALSE(S->Sweeping());
    Step(1000, 2);
    EXPECT_TRUE(S->Sweeping());
    EXPECT_EQ(Point(0), QPoint(0, 2));
    EXPECT_EQ(Point(1), QPoint(1, 1)) << "the rest of the old trace until the sweep gets there";
    Step(0, 3);
    EXPECT_EQ(Point(1), QPoint(1, 3));
}

TEST_F(ScopeTest, SenseScalesPerMilleTruncatingTowardZero)
{
    struct TRow {
        int32_t Input, Sense, Y;
    };
    const std::vector<TRow> rows = {
        {700, 1000, 700},   {-999, 1000, -999},   {1000, 10000, 10000},   {-1000, 10000, -10000},
        {7, 40, 0},         {-3, 500, -1},        {-7, 200, -1},          {1000, 0, 0},
        {214748, 10000, 2147480}, {-214748, 10000, -2147480},
    };
    for (const TRow &r : rows) {
        S->SetSenseValue(r.Sense);
        Step(0);
        Step(1000, r.Input);
        EXPECT_EQ(Point(0).y(), r.Y) << r.Input << " x " << r.Sense;
        // Finish the sweep so the next row starts one.
        for (int t = 0; t < 190; ++t)
            Step(1000);
        ASSERT_FALSE(S->Sweeping());
    }
}

TEST_F(ScopeTest, OverflowingProductRaisesAndLeavesTheTraceAlone)
{
    S->SetSenseValue(10000);
    Step(1000, 5);
    const QPoint first = Point(0), second = Point(1);
    for (int32_t input : {214749, -214749, Int32Max}) {
        S->Inp()->SetValue(input);
        EXPECT_THROW(S->Execute(), EIntOverflow) << input;
        EXPECT_EQ(Point(0), first);
        EXPECT_EQ(Point(1), second);
    }
    // Out of a running sheet too: the value arrives in the second tick.
    S->Inp()->SetValue(0);
    Drive(*F.Sheet, S->Inp(), Int32Max);
    Tick(*F.Sheet);
    EXPECT_THROW(Tick(*F.Sheet), EIntOverflow);
}

TEST_F(ScopeTest, ASweepSpansTheGraphFromItsLeftToItsRightEdge)
{
    Step(1000, 0);
    for (int t = 1; t < 190; ++t)
        Step(1000, 0);
    TKorGraphSheet *g = S->Graph();
    EXPECT_EQ(g->ScaleX(0), 1);
    EXPECT_EQ(g->ScaleX(189), g->Width() - 1);
    std::set<int32_t> columns;
    for (int32_t i = 0; i < g->Count(); ++i) {
        if (i > 0) {
            EXPECT_GE(g->ScaleX(i), g->ScaleX(i - 1)) << "point " << i;
        }
        columns.insert(g->ScaleX(i));
    }
    for (int32_t c = 1; c < g->Width(); ++c)
        EXPECT_TRUE(columns.count(c)) << "no gap in the trace at column " << c;
}

TEST_F(ScopeTest, SweepOnAnotherThreadRepaintsOnTheSheetsThread)
{
    S->Trig()->SetValue(1000);
    S->Inp()->SetValue(500);
    F.Host.Invalidated.clear();
    std::thread tick([this] {
        for (int t = 0; t < 190; ++t)
            S->Execute();
    });
    tick.join();
    EXPECT_TRUE(F.Host.Invalidated.empty()) << "nothing reaches the host from the tick thread";
    QCoreApplication::sendPostedEvents(F.Sheet.get());
    ASSERT_FALSE(F.Host.Invalidated.empty());
    TRect damaged = F.Host.Invalidated.front().first;
    for (auto [r, erase] : F.Host.Invalidated)
        damaged = damaged.United(r);
    for (QThread *t : F.Host.InvalidatedOnThread)
        EXPECT_EQ(t, F.Sheet->thread());
    // Every pixel of the new trace lies in the repainted area (sheet coordinates).
    TKorGraphSheet *g = S->Graph();
    for (int32_t i : {0, 95, 189}) {
        const QPoint pixel(S->Left() + g->Left() + g->ScaleX(i), S->Top() + g->Top() + g->ScaleY(i));
        EXPECT_TRUE(damaged.Contains(pixel)) << "point " << i;
    }
}

// Sets the banks directly (the morph reads them whether wired or not); the select input is
// wired only when a value is given, through a source that needs two ticks to arrive.
class MorphTest : public ::testing::Test {
protected:
    void Run(int32_t first, int32_t second, std::optional<int32_t> select)
    {
        for (int k = 1; k <= TKorMorph::PairCount; ++k) {
            M->First(k)->SetValue(first);
            M->Second(k)->SetValue(second);
        }
        if (select) {
            if (!Select)
                Select = Drive(*F.Sheet, M->Select());
            Select->Set(*select);
            Tick(*F.Sheet, 2);
        } else {
            M->Execute();
        }
    }

    TSheetFixture F;
    TKorMorph *M = F.Add<TKorMorph>();
    std::optional<TDrive> Select;
};

TEST_F(MorphTest, PanelIsTwoRowsOfSymmetricConnectorsAtZero)
{
    EXPECT_EQ(M->Width(), 250);
    EXPECT_EQ(M->Height(), 100);
    struct TPlace {
        QString Name;
        TKorConnector::TDirection Direction;
        QPoint At;
    };
    std::vector<TPlace> places;
    using D = TKorConnector::TDirection;
    for (int k = 1; k <= 11; ++k) {
        const int32_t x = 8 + 20 * (k - 1);
        places.push_back({QStringLiteral("In1_%1").arg(k), D::Input, {x, 23}});
        places.push_back({QStringLiteral("In2_%1").arg(k), D::Input, {x, 48}});
        places.push_back({QStringLiteral("Out_%1").arg(k), D::Output, {x, 73}});
    }
    places.push_back({QStringLiteral("InSelect"), D::Input, {228, 48}});
    int connectors = 0;
    for (int i = 0; i < M->ComponentCount(); ++i) {
        auto *c = qobject_cast<TKorConnector *>(M->Components(i));
        if (!c)
            continue;
        ++connectors;
        EXPECT_EQ(c->SignalKind(), Symmetric) << c->objectName().toStdString();
        EXPECT_EQ(c->Value(), 0) << c->objectName().toStdString();
    }
    EXPECT_EQ(connectors, int(places.size()));
    for (const TPlace &p : places) {
        auto *c = qobject_cast<TKorConnector *>(M->FindComponent(p.Name));
        ASSERT_NE(c, nullptr) << p.Name.toStdString();
        EXPECT_EQ(c->Direction(), p.Direction) << p.Name.toStdString();
        EXPECT_EQ(QPoint(c->Left(), c->Top()), p.At) << p.Name.toStdString();
    }
}

TEST_F(MorphTest, CrossfadesByTheSelectInputRoundingHalfToEven)
{
    struct TRow {
        const char *Name;
        int32_t First, Second;
        std::optional<int32_t> Select;
        int32_t Out;
    };
    const std::vector<TRow> rows = {
        {"unwired: 1.5 rounds to 2", 3, 0, std::nullopt, 2},
        {"unwired: 2.5 rounds to 2", 5, 0, std::nullopt, 2},
        {"unwired: -1.5 rounds to -2", -3, 0, std::nullopt, -2},
        {"unwired: opposite full scales cancel", 1000, -1000, std::nullopt, 0},
        {"+1000: the first bank", 777, -5, 1000, 777},
        {"-1000: the second bank", 777, -5, -1000, -5},
        {"wired at 0: the mean", 3, 0, 0, 2},
        {"+500: three quarters of the first", 1000, 0, 500, 750},
        {"+3000 extrapolates beyond the first", 100, 40, 3000, 160},
        {"-3000 extrapolates beyond the second", 100, 40, -3000, -20},
        {"+1000 passes the largest value", Int32Max, 0, 1000, Int32Max},
    };
    for (const TRow &r : rows) {
        Run(r.First, r.Second, r.Select);
        for (int k = 1; k <= TKorMorph::PairCount; ++k)
            ASSERT_EQ(M->Out(k)->Value(), r.Out) << r.Name << ", Out_" << k;
    }
}

TEST_F(MorphTest, EachOutputFollowsItsOwnPair)
{
    for (int32_t select : {1000, -1000}) {
        if (!Select)
            Select = Drive(*F.Sheet, M->Select());
        Select->Set(select);
        for (int k = 1; k <= TKorMorph::PairCount; ++k) {
            M->First(k)->SetValue(10 * k);
            M->Second(k)->SetValue(-10 * k);
        }
        Tick(*F.Sheet, 2);
        for (int k = 1; k <= TKorMorph::PairCount; ++k)
            EXPECT_EQ(M->Out(k)->Value(), select > 0 ? 10 * k : -10 * k) << "select " << select << ", Out_" << k;
    }
}

TEST_F(MorphTest, ExtrapolationBeyondThirtyTwoBitsRaises)
{
    Run(0, 0, 3000);
    M->First(1)->SetValue(2000000000);
    EXPECT_THROW(M->Execute(), EIntOverflow);
    M->First(1)->SetValue(-2000000000);
    EXPECT_THROW(M->Execute(), EIntOverflow);
}

TEST(ScopeMorphTick, SweepsAndCrossfadesAllocateNothing)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *scope = Create<TKorScope>(sheet.get());
    auto *morph = Create<TKorMorph>(sheet.get());
    // The morph feeds the scope and, through a select cable, itself.
    sheet->ToggleConnection(morph->Out(1), scope->Inp());
    sheet->ToggleConnection(morph->Out(2), morph->Select());
    scope->Trig()->SetValue(1000);
    morph->First(1)->SetValue(800);
    morph->Second(2)->SetValue(-600);
    Tick(*sheet, 10);
    AllocationCounter::Start();
    for (int t = 0; t < 400; ++t) {
        morph->First(1)->SetValue(t * 3);
        scope->Trig()->SetValue(t % 200 < 100 ? 1000 : 0);
        sheet->Execute();
    }
    EXPECT_EQ(AllocationCounter::Stop(), 0u);
}

TEST(ScopeMorphPatch, SenseAndCablesRoundTrip)
{
    TSheetFixture f;
    auto *morph = f.Add<TKorMorph>();
    auto *scope = f.Add<TKorScope>(250);
    scope->SetSenseValue(2480);
    f.Sheet->ToggleConnection(morph->Out(11), scope->Inp());
    f.Sheet->ToggleConnection(morph->Out(1), morph->Select());

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("scope.korvane"));
    SaveSheetToFile(*f.Sheet, path);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.split(QRegularExpression(QStringLiteral("\r?\n"))).contains(QStringLiteral("    SenseValue = 2480")))
        << text.toStdString();

    TOwned<TKorDrawSheet> loaded = ReadSheetFromFile(path);
    loaded->ResolveConnections();
    ASSERT_EQ(loaded->ModuleCount(), 2);
    auto *m = qobject_cast<TKorMorph *>(loaded->Modules(0));
    auto *s = qobject_cast<TKorScope *>(loaded->Modules(1));
    ASSERT_TRUE(m && s);
    EXPECT_EQ(s->SenseValue(), 2480);
    EXPECT_EQ(s->Sense(), 2480);
    EXPECT_EQ(s->Height(), 200);
    EXPECT_EQ(s->Graph()->Count(), 190);
    EXPECT_EQ(m->Height(), 100);
    EXPECT_EQ(loaded->CableCount(), 2);
    EXPECT_TRUE(s->Inp()->IsConnected());
    EXPECT_TRUE(m->Select()->IsConnected());

    // A loaded pair runs: the morph's mean reaches the scope, scaled by the sense.
    m->First(11)->SetValue(100);
    s->Trig()->SetValue(1000);
    Tick(*loaded, 3);
    EXPECT_EQ(s->Graph()->GetPoint(2).y(), 50 * 2480 / 1000);
}

} // namespace
