// Editing on a slot's canvas beyond selecting and dragging: zoom (painting and every mouse
// gesture scaled together), the mouse wheel and keys on knobs, a click on a knob that leaves
// it alone, cables picked by a click and removed, the highlight of a hovered connector's
// cables, and a placement from the palette taken back.
#include "Editor.h"
#include "EditorTestSupport.h"
#include "TestModules.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QScrollBar>
#include <QUndoStack>
#include <QWheelEvent>

namespace {

// A module with one knob (28 x 28 at 100, 10), range -1000 to 1000.
class TKnobModule : public TKorModule {
public:
    void CreateDetails() override
    {
        TKorModule::CreateDetails();
        Knob = AddDetail<TKorKnob>(100, 10, QStringLiteral("Knob"));
        Knob->SetMin(-1000);
        Knob->SetMax(1000);
    }
    TKorKnob *Knob = nullptr;
};

class EditingTest : public ShownSlotTest {
protected:
    // As ShownSlotTest::Add, with the sheet sized to its modules at once.
    template <class M>
    M *Add(int left, int top)
    {
        M *m = ShownSlotTest::Add<M>(left, top);
        std::lock_guard lock(Slot.Guard().Mutex);
        Slot.Sheet()->UpdateExtent();
        return m;
    }
    // Where a sheet point shows on the canvas at the current zoom (the middle of its pixels).
    QPoint Shown(QPoint sheetPoint) const
    {
        const int z = Slot.Zoom();
        return {(sheetPoint.x() * z + z / 2) / 100, (sheetPoint.y() * z + z / 2) / 100};
    }
    static QPoint CentreOf(const TKorCustomDetail *d) { return d->LocalToSheet({d->Width() / 2, d->Height() / 2}); }
    // A turn of the wheel by `notches` (in eighths of a degree when `eighths` is set).
    void Wheel(QPoint canvasPoint, int notches, Qt::KeyboardModifiers modifiers = Qt::NoModifier, bool eighths = false)
    {
        QWheelEvent e(QPointF(canvasPoint), QPointF(Canvas()->mapToGlobal(canvasPoint)), QPoint(),
                      QPoint(0, eighths ? notches : 120 * notches), Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
        QApplication::sendEvent(Canvas(), &e);
    }
    void Key(int key)
    {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(Canvas(), &press);
    }
    QRgb PixelAt(QPoint canvasPoint) { return Canvas()->grab().toImage().pixel(canvasPoint); }
};

TEST_F(EditingTest, ACableDrawnAtAnyZoomJoinsTheSameConnectors)
{
    auto *source = Add<TKorTestSource>(0, 0);
    auto *through = Add<TKorTestThrough>(300, 120);
    for (int zoom : {25, 50, 75, 100, 150, 200}) {
        SCOPED_TRACE(zoom);
        Slot.SetZoom(zoom);
        ASSERT_EQ(Slot.Zoom(), zoom);
        Slot.horizontalScrollBar()->setValue(0);
        Slot.verticalScrollBar()->setValue(0);
        DragMouse(Canvas(), Shown(CentreOf(source->Out)), Shown(CentreOf(through->In)));
        ASSERT_EQ(Slot.Sheet()->CableCount(), 1);
        EXPECT_EQ(Slot.Sheet()->CableFrom(0), source->Out);
        EXPECT_EQ(Slot.Sheet()->CableTo(0), through->In);
        Slot.History()->undo();
        ASSERT_EQ(Slot.Sheet()->CableCount(), 0);
    }
}

TEST_F(EditingTest, ZoomScalesTheCanvasAndTheBandAndStaysWithinItsSteps)
{
    auto *a = Add<TKorTestSource>(400, 300);
    const QSize unzoomed = Canvas()->size();
    struct Case {
        int asked, zoom;
    };
    for (const Case &c : {Case{50, 50}, Case{10, 25}, Case{200, 200}, Case{400, 200}}) {
        SCOPED_TRACE(c.asked);
        Slot.SetZoom(c.asked);
        EXPECT_EQ(Slot.Zoom(), c.zoom);
        EXPECT_GE(Canvas()->width(), Slot.Sheet()->Width() * c.zoom / 100);
        EXPECT_LE(Canvas()->width(), Slot.Sheet()->Width() * c.zoom / 100 + 1);
    }
    // At half size, a band around where the module shows selects it; one beside it does not.
    Slot.SetZoom(50);
    Slot.horizontalScrollBar()->setValue(0);
    Slot.verticalScrollBar()->setValue(0);
    const QPoint corner = Shown({a->Left(), a->Top()});
    DragMouse(Canvas(), corner - QPoint(10, 10), corner + QPoint(10, 10));
    EXPECT_TRUE(a->Selected());
    DragMouse(Canvas(), corner - QPoint(60, 40), corner - QPoint(2, 2));
    EXPECT_FALSE(a->Selected());
    Slot.SetZoom(100);
    EXPECT_EQ(Canvas()->size(), unzoomed);
}

TEST_F(EditingTest, AtActualSizeTheCanvasShowsExactlyWhatTheSheetPaints)
{
    auto *source = Add<TKorTestSource>(10, 10);
    auto *through = Add<TKorTestThrough>(300, 120);
    {
        std::lock_guard lock(Slot.Guard().Mutex);
        Slot.Sheet()->ToggleConnection(source->Out, through->In);
    }
    Slot.SetZoom(50);
    Slot.SetZoom(100);
    const QImage shown = Canvas()->grab(QRect(0, 0, 600, 200)).toImage().convertToFormat(QImage::Format_RGB32);
    QImage painted(600, 200, QImage::Format_RGB32);
    painted.fill(Qt::black);
    {
        QPainter p(&painted);
        std::lock_guard lock(Slot.Guard().Mutex);
        Slot.Sheet()->PaintAll(p);
    }
    EXPECT_TRUE(shown == painted);
}

TEST_F(EditingTest, CtrlWheelZoomsAroundThePointer)
{
    Add<TKorTestSource>(1800, 1200); // room to scroll
    const QPoint pointer(300, 200);
    const QPoint sheetPoint = Slot.ToSheet(pointer);
    Wheel(pointer, 1, Qt::ControlModifier);
    EXPECT_EQ(Slot.Zoom(), 125);
    const QPoint now = Slot.ToSheet(pointer + QPoint(Slot.horizontalScrollBar()->value(), Slot.verticalScrollBar()->value()));
    EXPECT_LE((now - sheetPoint).manhattanLength(), 2)
        << now.x() << "," << now.y() << " was " << sheetPoint.x() << "," << sheetPoint.y();
    Wheel(pointer, -3, Qt::ControlModifier);
    EXPECT_EQ(Slot.Zoom(), 50);
}

TEST_F(EditingTest, TheWheelTurnsTheKnobUnderThePointerByItsStep)
{
    auto *m = Add<TKnobModule>(0, 0);
    struct Case {
        const char *name;
        int32_t step, start;
        int notches;
        Qt::KeyboardModifiers modifiers;
        int32_t after;
    };
    const Case cases[] = {
        {"one notch, step 0 counts as 1", 0, 0, 1, Qt::NoModifier, 1},
        {"one notch down, step 5", 5, 100, -1, Qt::NoModifier, 95},
        {"shift turns ten steps", 5, 100, 1, Qt::ShiftModifier, 150},
        {"two notches at once", 3, 0, 2, Qt::NoModifier, 6},
        {"stops at the maximum", 50, 990, 1, Qt::NoModifier, 1000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        m->Knob->SetStep(c.step);
        m->Knob->SetPosition(c.start);
        Wheel(CentreOf(m->Knob), c.notches, c.modifiers);
        EXPECT_EQ(m->Knob->Position(), c.after);
    }
    const int32_t before = m->Knob->Position();
    Wheel({500, 10}, 1); // off the knob: the area scrolls, the knob stays
    EXPECT_EQ(m->Knob->Position(), before);

    // A fine wheel's parts of a notch add up to a step.
    m->Knob->SetStep(1);
    m->Knob->SetPosition(0);
    Wheel(CentreOf(m->Knob), 60, Qt::NoModifier, true);
    EXPECT_EQ(m->Knob->Position(), 0);
    Wheel(CentreOf(m->Knob), 60, Qt::NoModifier, true);
    EXPECT_EQ(m->Knob->Position(), 1);
}

TEST_F(EditingTest, AClickOnAKnobLeavesItsValueAndThenTheKeysStepIt)
{
    auto *m = Add<TKnobModule>(0, 0);
    m->Knob->SetStep(2);
    m->Knob->SetPosition(-641);
    const QPoint click = CentreOf(m->Knob) + QPoint(3, -2);
    DragMouse(Canvas(), click, click);
    EXPECT_EQ(m->Knob->Position(), -641);
    EXPECT_EQ(Slot.FocusedKnob(), m->Knob);
    struct Case {
        int key;
        int32_t after;
    };
    for (const Case &c : {Case{Qt::Key_Up, -639}, Case{Qt::Key_Right, -637}, Case{Qt::Key_Down, -639},
                          Case{Qt::Key_PageUp, -619}, Case{Qt::Key_PageDown, -639}, Case{Qt::Key_Left, -641}}) {
        Key(c.key);
        EXPECT_EQ(m->Knob->Position(), c.after) << QKeySequence(c.key).toString().toStdString();
    }
    // A click elsewhere takes the keys away from the knob.
    DragMouse(Canvas(), {600, 400}, {600, 400});
    Key(Qt::Key_Up);
    EXPECT_EQ(m->Knob->Position(), -641);
}

TEST_F(EditingTest, AClickPicksACableThatDeleteRemovesAsOneStep)
{
    auto *source = Add<TKorTestSource>(0, 0);
    auto *through = Add<TKorTestThrough>(300, 200);
    {
        std::lock_guard lock(Slot.Guard().Mutex);
        Slot.Sheet()->ToggleConnection(source->Out, through->In);
    }
    const QPoint a = CentreOf(source->Out), b = CentreOf(through->In), middle = (a + b) / 2;
    DragMouse(Canvas(), middle + QPoint(1, -1), middle + QPoint(1, -1));
    EXPECT_EQ(Slot.SelectedCableFrom(), source->Out);
    EXPECT_EQ(Slot.SelectedCableTo(), through->In);
    EXPECT_EQ(QColor(PixelAt(middle)), QColor(255, 255, 0)) << "a picked cable is drawn highlighted";

    DragMouse(Canvas(), middle + QPoint(0, 30), middle + QPoint(0, 30));
    EXPECT_EQ(Slot.SelectedCableFrom(), nullptr) << "a click beside it drops it";
    EXPECT_FALSE(Slot.RemoveSelectedCable());

    DragMouse(Canvas(), middle, middle);
    const int steps = Slot.History()->count();
    EXPECT_TRUE(Slot.RemoveSelectedCable());
    EXPECT_EQ(Slot.Sheet()->CableCount(), 0);
    EXPECT_EQ(Slot.History()->count(), steps + 1);
    Slot.History()->undo();
    EXPECT_EQ(Slot.Sheet()->CableCount(), 1);
}

TEST_F(EditingTest, HoveringAConnectorHighlightsItsCables)
{
    auto *source = Add<TKorTestSource>(0, 0);
    auto *through = Add<TKorTestThrough>(300, 200);
    {
        std::lock_guard lock(Slot.Guard().Mutex);
        Slot.Sheet()->ToggleConnection(source->Out, through->In);
    }
    const QPoint middle = (CentreOf(source->Out) + CentreOf(through->In)) / 2;
    const QRgb plain = PixelAt(middle);
    SendMouse(Canvas(), QEvent::MouseMove, CentreOf(through->In), Qt::NoButton);
    EXPECT_EQ(Slot.HoveredConnector(), through->In);
    EXPECT_EQ(QColor(PixelAt(middle)), QColor(255, 255, 0));
    SendMouse(Canvas(), QEvent::MouseMove, {700, 50}, Qt::NoButton);
    EXPECT_EQ(Slot.HoveredConnector(), nullptr);
    EXPECT_EQ(PixelAt(middle), plain);
}

TEST_F(EditingTest, RemovingAConnectorsCablesIsOneStep)
{
    auto *source = Add<TKorTestSource>(0, 0);
    auto *a = Add<TKorTestThrough>(300, 100);
    auto *b = Add<TKorTestThrough>(300, 200);
    {
        std::lock_guard lock(Slot.Guard().Mutex);
        Slot.Sheet()->ToggleConnection(source->Out, a->In);
        Slot.Sheet()->ToggleConnection(source->Out, b->In);
    }
    Slot.RemoveCablesOf(source->Out, Slot.Sheet()->Cables(1));
    ASSERT_EQ(Slot.Sheet()->CableCount(), 1);
    EXPECT_EQ(Slot.Sheet()->CableTo(0), a->In) << "only the chosen cable goes";
    Slot.History()->undo();
    ASSERT_EQ(Slot.Sheet()->CableCount(), 2);
    Slot.RemoveCablesOf(source->Out);
    EXPECT_EQ(Slot.Sheet()->CableCount(), 0);
    Slot.History()->undo();
    EXPECT_EQ(Slot.Sheet()->CableCount(), 2) << "all of them came back with one undo";
}

TEST_F(EditingTest, CancellingAPlacementLeavesNoModuleAndNoStep)
{
    Add<TKorTestSource>(0, 0);
    TKorCustomModule *placing = Slot.AddModule(ClassOf<TKorTestThrough>());
    ASSERT_TRUE(placing);
    EXPECT_TRUE(Slot.Placing());
    EXPECT_TRUE(Slot.CancelPlacing());
    EXPECT_EQ(Slot.ModuleCount(), 1);
    EXPECT_FALSE(Slot.Placing());
    EXPECT_TRUE(Slot.Sheet()->Overlay().empty()) << "the outline that followed the pointer is gone";
    EXPECT_EQ(DragState.DragObject, nullptr);
    SendMouse(Canvas(), QEvent::MouseButtonRelease, {300, 300}, Qt::LeftButton);
    EXPECT_EQ(Slot.ModuleCount(), 1);
    EXPECT_EQ(Slot.History()->count(), 0);
    EXPECT_FALSE(Slot.CancelPlacing()) << "nothing left to take back";

    // A placement dropped by the release stays.
    Slot.AddModule(ClassOf<TKorTestThrough>());
    SendMouse(Canvas(), QEvent::MouseButtonRelease, {300, 300}, Qt::LeftButton);
    EXPECT_FALSE(Slot.CancelPlacing());
    EXPECT_EQ(Slot.ModuleCount(), 2);
}

} // namespace
