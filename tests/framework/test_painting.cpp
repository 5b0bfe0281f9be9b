// Painting of sheets, modules, connectors and cables into an image; the recursion guards of
// painting; repaints asked for from another thread; and the allocation-free tick.
#include <gtest/gtest.h>

#include "AllocationCounter.h"
#include "TestHost.h"
#include "TestModules.h"

#include <QCoreApplication>
#include <QImage>
#include <QPainter>
#include <QThread>
#include <thread>

namespace {

// "#rrggbb" of a pixel or of a colour setting, so mismatches read as colours.
std::string Hex(TColor c)
{
    return ToQColor(c).name().toStdString();
}
std::string Px(const QImage &img, int x, int y)
{
    return QColor(img.pixel(x, y)).name().toStdString();
}

constexpr TColor Black = 0x000000, White = 0xFFFFFF, Silver = 0xC0C0C0, Red = 0x0000FF, Blue = 0xFF0000,
                 Purple = 0x800080, Green = 0x00FF00;

// A probed module that counts its own Paint calls.
class TCountingModule : public TKorTestProbed {
public:
    void Paint(QPainter &Canvas) override
    {
        ++ModulePaints;
        TKorTestProbed::Paint(Canvas);
    }
    int ModulePaints = 0;
};

class PaintSheet : public ::testing::Test, public TSheetFixture {
protected:
    void SetUp() override { ResetColorSettings(); }

    // The whole sheet painted into a black 600 x 200 image, optionally clipped.
    QImage Render(const QRect &clip = {})
    {
        QImage img(600, 200, QImage::Format_RGB32);
        img.fill(Qt::black);
        QPainter p(&img);
        if (!clip.isNull())
            p.setClipRect(clip);
        Sheet->PaintAll(p);
        p.end();
        return img;
    }
};

TEST_F(PaintSheet, ModuleBodyEdgesAndProbeLandOnTheirPixels)
{
    auto *m = Add<TKorTestProbed>(250, 50);
    ASSERT_EQ(m->BoundsRect(), (TRect{250, 50, 500, 100}));
    const QImage img = Render();

    // Probe at sheet (350, 60), 30 x 20; its fill reaches far beyond its bounds.
    struct {
        int x, y;
        TColor expected;
        const char *what;
    } const cases[] = {
        {400, 55, Silver, "body beside the title"},
        {450, 90, Silver, "body lower right"},
        {350, 60, Red, "probe top-left pixel"},
        {379, 60, Red, "probe top-right pixel"},
        {350, 79, Red, "probe bottom-left pixel"},
        {379, 79, Red, "probe bottom-right pixel"},
        {349, 70, Silver, "one left of the probe"},
        {380, 70, Silver, "one right of the probe"},
        {365, 59, Silver, "one above the probe"},
        {365, 80, Silver, "one below the probe"},
        {250, 75, White, "raised left edge"},
        {400, 50, White, "raised top edge"},
        {499, 75, Black, "right outline"},
        {400, 99, Black, "bottom outline"},
        {249, 75, Black, "left of the module"},
        {400, 49, Black, "above the module"},
        {400, 100, Black, "below the module"},
        {500, 75, Black, "right of the module"},
        {100, 150, Black, "far from any module"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Px(img, c.x, c.y), Hex(c.expected)) << c.what << " at (" << c.x << ", " << c.y << ")";
    EXPECT_EQ(m->Probe->Paints, 1);
}

TEST_F(PaintSheet, ClipDecidesWhichModulesAndDetailsPaint)
{
    auto *a = Add<TCountingModule>(0, 0);   // probe at (100, 10): inside the clip
    auto *b = Add<TCountingModule>(250, 0); // body partly inside, probe at (350, 10) outside
    auto *c = Add<TCountingModule>(0, 100); // wholly outside
    const QImage img = Render(QRect(90, 0, 200, 60)); // x 90..289, y 0..59

    EXPECT_EQ(a->ModulePaints, 1);
    EXPECT_EQ(a->Probe->Paints, 1);
    EXPECT_EQ(b->ModulePaints, 1);
    EXPECT_EQ(b->Probe->Paints, 0) << "a detail outside the clip must not be asked to paint";
    EXPECT_EQ(c->ModulePaints, 0) << "a module outside the clip must not be asked to paint";
    EXPECT_EQ(c->Probe->Paints, 0);

    EXPECT_EQ(Px(img, 110, 20), Hex(Red));
    EXPECT_EQ(Px(img, 260, 25), Hex(Silver)) << "part of a module inside the clip";
    EXPECT_EQ(Px(img, 50, 25), Hex(Black)) << "left of the clip";
    EXPECT_EQ(Px(img, 300, 25), Hex(Black)) << "right of the clip";
    EXPECT_EQ(Px(img, 50, 125), Hex(Black)) << "module below the clip";
}

TEST_F(PaintSheet, ModuleBeingCreatedIsInvisibleUntilPlaced)
{
    auto *m = Add<TKorTestProbed>(0, 0);
    m->SetBeingCreated(true);
    QImage img = Render();
    EXPECT_EQ(m->Probe->Paints, 0);
    EXPECT_EQ(Px(img, 50, 40), Hex(Black));

    m->SetBeingCreated(false);
    img = Render();
    EXPECT_EQ(m->Probe->Paints, 1);
    EXPECT_EQ(Px(img, 50, 40), Hex(Silver));
}

// Source Out centre (227, 27) to through In centre (17, 127): the segment passes exactly
// through (206, 37) over the source body, (122, 77) in the gap and (38, 117) over the through.
TEST_F(PaintSheet, CableIsDrawnOverModulesInItsStartConnectorsColour)
{
    struct {
        bool startAtOutput;
        TColor expected;
    } const cases[] = {{true, Purple}, {false, Blue}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.startAtOutput ? "cable drawn from the output" : "cable drawn from the input");
        Sheet->DeleteAllModules();
        auto *src = Add<TKorTestSource>(0, 0);
        auto *thr = Add<TKorTestThrough>(0, 100);
        src->Out->SetKind(Symmetric); // purple; the input stays asymmetric (blue)
        if (c.startAtOutput)
            Sheet->ToggleConnection(src->Out, thr->In);
        else
            Sheet->ToggleConnection(thr->In, src->Out);
        ASSERT_EQ(Sheet->CableCount(), 1);

        const QImage img = Render();
        EXPECT_EQ(Px(img, 206, 37), Hex(c.expected)) << "over the source body";
        EXPECT_EQ(Px(img, 122, 77), Hex(c.expected)) << "in the gap";
        EXPECT_EQ(Px(img, 38, 117), Hex(c.expected)) << "over the through body";
        EXPECT_EQ(Px(img, 216, 37), Hex(Silver)) << "source body beside the cable";
        EXPECT_EQ(Px(img, 132, 77), Hex(Black)) << "gap beside the cable";
    }
}

TEST_F(PaintSheet, LineOverlayIsDrawnInItsColour)
{
    Sheet->ToggleOverlay(TOverlayShape::Line({10, 150}, {200, 150}, 0x008000));
    QImage img(600, 200, QImage::Format_RGB32);
    img.fill(Qt::black);
    QPainter p(&img);
    Sheet->PaintOverlay(p);
    p.end();
    EXPECT_EQ(Px(img, 100, 150), Hex(TColor(0x008000)));
    EXPECT_EQ(Px(img, 100, 151), Hex(Black));
    EXPECT_EQ(Px(img, 205, 150), Hex(Black));
}

// Each connector painted alone into a green 15 x 15 image: the ring shows the kind colour,
// the inner dot is black until a cable arrives, the output's square corners are filled.
TEST_F(PaintSheet, ConnectorDotShowsWhetherItIsWired)
{
    auto *src = Add<TKorTestSource>(0, 0);
    auto *wired = Add<TKorTestThrough>(0, 50);
    auto *loose = Add<TKorTestThrough>(0, 100);
    Sheet->ToggleConnection(src->Out, wired->In);

    struct {
        TKorConnector *connector;
        const char *what;
        TColor centre, corner;
    } const cases[] = {
        {wired->In, "wired input", Purple, Green},
        {loose->In, "unwired input", Black, Green},
        {src->Out, "wired output", Purple, Purple},
        {wired->Out, "unwired output", Black, Purple},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        c.connector->SetKind(Symmetric);
        QImage img(15, 15, QImage::Format_RGB32);
        img.fill(ToQColor(Green));
        QPainter p(&img);
        c.connector->Paint(p);
        p.end();
        EXPECT_EQ(Px(img, 7, 7), Hex(c.centre)) << "dot centre";
        EXPECT_EQ(Px(img, 7, 9), Hex(c.centre)) << "dot below the centre";
        EXPECT_EQ(Px(img, 7, 2), Hex(Purple)) << "ring between outline and dot";
        EXPECT_EQ(Px(img, 1, 1), Hex(c.corner)) << "corner";
    }
}

// A detail that, while painting, tries to paint again what is already being painted.
class TReentrantProbe : public TKorTestProbe {
public:
    enum class TReentry { None, OwnerDetails, WholeSheet } Reentry = TReentry::None;
    void Paint(QPainter &Canvas) override
    {
        TKorTestProbe::Paint(Canvas);
        if (Reentry == TReentry::OwnerDetails)
            static_cast<TKorCustomModule *>(Owner())->PaintDetails(Canvas);
        else if (Reentry == TReentry::WholeSheet)
            Sheet()->PaintAll(Canvas);
    }
};

TEST_F(PaintSheet, RecursivePaintingFailsAndLeavesTheGuardsCleared)
{
    auto *m = Add<TKorTestProbed>(0, 0);
    auto *loop = m->AddDetail<TReentrantProbe>(150, 10, QStringLiteral("Loop"));
    loop->SetWidth(10);
    loop->SetHeight(10);

    for (auto reentry : {TReentrantProbe::TReentry::OwnerDetails, TReentrantProbe::TReentry::WholeSheet}) {
        SCOPED_TRACE(reentry == TReentrantProbe::TReentry::OwnerDetails ? "owner's details" : "whole sheet");
        loop->Reentry = reentry;
        try {
            Render();
            ADD_FAILURE() << "recursive painting went unnoticed";
        } catch (const EAssertionFailed &e) {
            const QString msg = e.Message();
            EXPECT_TRUE(msg.startsWith(QStringLiteral("Oops ... recursion ..."))) << msg.toStdString();
            EXPECT_TRUE(msg.contains(QStringLiteral("(Modules, line "))) << msg.toStdString();
        }

        loop->Reentry = TReentrantProbe::TReentry::None;
        const int before = m->Probe->Paints;
        QImage img;
        ASSERT_NO_THROW(img = Render());
        EXPECT_EQ(m->Probe->Paints, before + 1);
        EXPECT_EQ(Px(img, 110, 20), Hex(Red));
    }
}

// Repaint requests from another thread reach the host only through the sheet's own thread,
// as one flush however many arrive.
class PaintFromOtherThread : public ::testing::Test, public TSheetFixture {
protected:
    template <class F>
    void OnOtherThread(F f)
    {
        std::thread t(f);
        t.join();
    }
};

TEST_F(PaintFromOtherThread, SingleRequestArrivesOnTheSheetsThread)
{
    auto *m = Add<TKorTestProbed>(250, 50);
    Host.Invalidated.clear();
    Host.InvalidatedOnThread.clear();
    const int updates = Host.UpdatesNow;

    OnOtherThread([&] {
        m->Invalidate();
        Sheet->Update();
    });
    EXPECT_TRUE(Host.Invalidated.empty()) << "the host was called from the other thread";
    EXPECT_EQ(Host.UpdatesNow, updates);

    QCoreApplication::processEvents();
    ASSERT_EQ(Host.Invalidated.size(), 1u);
    EXPECT_EQ(Host.Invalidated[0].first, (TRect{250, 50, 500, 100}));
    EXPECT_FALSE(Host.Invalidated[0].second);
    EXPECT_EQ(Host.InvalidatedOnThread[0], QThread::currentThread());
    EXPECT_EQ(Host.UpdatesNow, updates + 1);
}

TEST_F(PaintFromOtherThread, ManyRequestsCollapseIntoOneFlushEachRound)
{
    auto *a = Add<TKorTestProbed>(0, 0);
    auto *b = Add<TKorTestProbed>(250, 100);
    Host.Invalidated.clear();
    Host.InvalidatedOnThread.clear();
    const int updates = Host.UpdatesNow;

    // Two rounds: a flush must leave the sheet ready to queue the next one.
    struct {
        TRect extra;
        TRect united;
    } const rounds[] = {
        {{600, 20, 610, 30}, {0, 0, 610, 150}},
        {{-5, 160, 5, 170}, {-5, 0, 500, 170}},
    };
    for (size_t r = 0; r < std::size(rounds); ++r) {
        SCOPED_TRACE(r);
        OnOtherThread([&] {
            Sheet->InvalidateArea(rounds[r].extra, true); // the later requests do not erase
            for (int i = 0; i < 100; ++i) {
                a->Invalidate();
                b->Invalidate();
                Sheet->Update();
            }
        });
        EXPECT_EQ(Host.Invalidated.size(), r);

        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        ASSERT_EQ(Host.Invalidated.size(), r + 1);
        EXPECT_EQ(Host.Invalidated[r].first, rounds[r].united);
        EXPECT_TRUE(Host.Invalidated[r].second) << "one erasing request makes the flush erase";
        EXPECT_EQ(Host.InvalidatedOnThread[r], QThread::currentThread());
        EXPECT_EQ(Host.UpdatesNow, updates + int(r) + 1);
    }
}

// A patch of ten sources and ten pass-throughs with twenty cables, fan-in and a chain.
class TickAllocation : public ::testing::Test, public TSheetFixture {
protected:
    void SetUp() override
    {
        for (int i = 0; i < 10; ++i) {
            Sources[i] = Add<TKorTestSource>(0, 50 * i);
            Sources[i]->Next = i + 1;
        }
        for (int i = 0; i < 10; ++i)
            Throughs[i] = Add<TKorTestThrough>(250, 50 * i);
        for (int i = 0; i < 10; ++i)
            Sheet->ToggleConnection(Sources[i]->Out, Throughs[i]->In);
        for (int i = 1; i <= 5; ++i) // fan-in: T0 sums S0 .. S5
            Sheet->ToggleConnection(Sources[i]->Out, Throughs[0]->In);
        for (int i = 0; i < 5; ++i) // chain: T(i+1) adds T(i)
            Sheet->ToggleConnection(Throughs[i]->Out, Throughs[i + 1]->In);
        ASSERT_EQ(Sheet->CableCount(), 20);
        for (int i = 0; i < 3; ++i)
            Sheet->Execute();
    }
    TKorTestSource *Sources[10] = {};
    TKorTestThrough *Throughs[10] = {};
};

TEST_F(TickAllocation, CounterSeesAnAllocation)
{
    AllocationCounter::Start();
    int *volatile p = new int(7);
    const std::size_t counted = AllocationCounter::Stop();
    delete p;
    EXPECT_EQ(counted, 1u);
}

TEST_F(TickAllocation, ExecuteAndPropagateAllocateNothing)
{
    AllocationCounter::Start();
    for (int i = 0; i < 500; ++i)
        Sheet->Execute();
    EXPECT_EQ(AllocationCounter::Stop(), 0u) << "sheet ticks";

    AllocationCounter::Start();
    for (int i = 0; i < 500; ++i)
        Sheet->Connections().Propagate();
    EXPECT_EQ(AllocationCounter::Stop(), 0u) << "cable propagation";

    // The ticks did real work: T0 sums six sources, T1 adds its source to T0.
    EXPECT_EQ(Throughs[0]->In->Value(), 1 + 2 + 3 + 4 + 5 + 6);
    EXPECT_EQ(Throughs[1]->In->Value(), 2 + 21);
    EXPECT_EQ(Throughs[9]->In->Value(), 10);
}

} // namespace
