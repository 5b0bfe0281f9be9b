// A slot as the user meets it: the mouse on its canvas selects, drags and wires modules,
// clicks arrive after the mouse event, and the canvas paints the patch; saving and loading.
#include "Editor.h"
#include "EditorTestSupport.h"
#include "TestModules.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QScrollBar>
#include <QTemporaryDir>

namespace {

using SlotTest = ShownSlotTest;

TEST_F(SlotTest, BandSelectsWhatItTouchesAndAClickOnEmptySheetDeselects)
{
    auto *a = Add<TKorTestSource>(0, 0);
    auto *b = Add<TKorTestSource>(250, 100);
    std::vector<QObject *> clicks;
    Slot.OnClick = [&](QObject *sender) { clicks.push_back(sender); };

    // From below-right of a, up to its last pixel row and column: one pixel of overlap.
    DragMouse(Canvas(), {300, 70}, {249, 49});
    EXPECT_TRUE(a->Selected());
    EXPECT_FALSE(b->Selected());
    DragMouse(Canvas(), {300, 70}, {250, 50});
    EXPECT_FALSE(a->Selected()) << "a band that stops a pixel short selects nothing";

    Slot.Sheet()->SelectAll();
    QCoreApplication::processEvents(); // the bands' own click reports
    clicks.clear();
    DragMouse(Canvas(), {700, 400}, {700, 400});
    EXPECT_FALSE(a->Selected());
    EXPECT_FALSE(b->Selected());
    EXPECT_TRUE(clicks.empty()) << "the click report waits for the event loop";
    QCoreApplication::processEvents();
    EXPECT_EQ(clicks, std::vector<QObject *>{Slot.Sheet()});
}

TEST_F(SlotTest, ControlClickTogglesAndPressingAGroupMemberDragsTheGroup)
{
    auto *a = Add<TKorTestSource>(0, 0);
    auto *b = Add<TKorTestSource>(0, 100);
    auto *idle = Add<TKorTestSource>(500, 200);
    DragMouse(Canvas(), {150, 30}, {150, 30}, Qt::LeftButton, Qt::ControlModifier);
    DragMouse(Canvas(), {150, 130}, {150, 130}, Qt::LeftButton, Qt::ControlModifier);
    ASSERT_TRUE(a->Selected() && b->Selected());
    DragMouse(Canvas(), {150, 130}, {150, 130}, Qt::LeftButton, Qt::ControlModifier);
    EXPECT_FALSE(b->Selected()) << "control-click toggles";
    DragMouse(Canvas(), {150, 130}, {150, 130}, Qt::LeftButton, Qt::ControlModifier);

    DragMouse(Canvas(), {150, 30}, {410, 80}); // a plain press on a member keeps the group
    EXPECT_EQ(QPoint(a->Left(), a->Top()), QPoint(250, 50));
    EXPECT_EQ(QPoint(b->Left(), b->Top()), QPoint(250, 150));
    EXPECT_EQ(QPoint(idle->Left(), idle->Top()), QPoint(500, 200));
    EXPECT_TRUE(Slot.Sheet()->Overlay().empty());
}

TEST_F(SlotTest, CablesAreDrawnAndRemovedByDragging)
{
    auto *src = Add<TKorTestSource>(0, 0);
    auto *dst = Add<TKorTestThrough>(250, 100);
    using TPair = std::pair<TKorConnector *, TKorConnector *>;
    std::vector<TPair> made, lost;
    Slot.OnConnectionMade = [&](QObject *, TKorConnector *f, TKorConnector *t) { made.emplace_back(f, t); };
    Slot.OnConnectionLost = [&](QObject *, TKorConnector *f, TKorConnector *t) { lost.emplace_back(f, t); };

    const QPoint out(227, 27), in(267, 127); // connector centres on the canvas
    DragMouse(Canvas(), out, in);
    EXPECT_EQ(made, (std::vector<TPair>{{src->Out, dst->In}}));
    DragMouse(Canvas(), in, out);
    EXPECT_EQ(lost, (std::vector<TPair>{{dst->In, src->Out}}));
    EXPECT_EQ(Slot.Sheet()->CableCount(), 0);
    EXPECT_TRUE(Slot.Sheet()->Overlay().empty());
}

TEST_F(SlotTest, CanvasPaintsModulesCablesAndBlackBetween)
{
    auto *src = Add<TKorTestSource>(0, 0);
    auto *dst = Add<TKorTestThrough>(0, 100);
    {
        std::lock_guard lock(Slot.Guard().Mutex);
        Slot.Sheet()->ToggleConnection(src->Out, dst->In);
    }
    const QImage img = Canvas()->grab().toImage();
    EXPECT_EQ(QColor(img.pixel(150, 40)), QColor(192, 192, 192)) << "module body";
    EXPECT_EQ(QColor(img.pixel(600, 300)), QColor(Qt::black)) << "the sheet between modules";
    EXPECT_EQ(QColor(img.pixel(122, 77)), ToQColor(AsymmetricColor)) << "cable across the gap";
}

TEST_F(SlotTest, CanvasGrowsWithThePatchAndScrollsAModuleIntoView)
{
    Slot.resize(400, 300);
    QCoreApplication::processEvents();
    EXPECT_EQ(Canvas()->size(), Slot.viewport()->size());
    auto *far = Add<TKorTestSource>(1000, 500);
    {
        std::lock_guard lock(Slot.Guard().Mutex);
        Slot.Sheet()->UpdateExtent();
    }
    EXPECT_EQ(Canvas()->size(), QSize(1250, 550));
    Slot.ScrollInView(far);
    EXPECT_EQ(Slot.horizontalScrollBar()->value(), 1250 - Slot.viewport()->width());
    EXPECT_EQ(Slot.verticalScrollBar()->value(), 550 - Slot.viewport()->height());
}

TEST_F(SlotTest, SavedPatchLoadsIntoAnotherSlotAndAFailedLoadKeepsTheSheet)
{
    QTemporaryDir dir;
    auto *src = Add<TKorTestSource>(0, 0);
    auto *dst = Add<TKorTestThrough>(250, 0);
    {
        std::lock_guard lock(Slot.Guard().Mutex);
        Slot.Sheet()->ToggleConnection(src->Out, dst->In);
    }
    const QString file = dir.filePath("p.korvane");
    Slot.SaveToFile(file);
    EXPECT_EQ(Slot.SlotFileName(), file);

    TKorSlot other;
    int counts = 0;
    other.OnCountChange = [&](QObject *, int32_t n) { counts = n; };
    other.LoadFromFile(file);
    EXPECT_EQ(other.ModuleCount(), 2);
    EXPECT_EQ(counts, 2);
    EXPECT_EQ(other.Sheet()->CableCount(), 1);
    EXPECT_EQ(other.Sheet()->Host(), &other);
    EXPECT_EQ(other.SlotFileName(), file);

    TKorDrawSheet *kept = other.Sheet();
    EXPECT_THROW(other.LoadFromFile(dir.filePath("missing.korvane")), EFileError);
    EXPECT_EQ(other.Sheet(), kept);
    EXPECT_EQ(other.SlotFileName(), file);
    EXPECT_EQ(other.Guard().UpdateCount(), 0);
}

} // namespace
