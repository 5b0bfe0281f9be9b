#include "PanelControls.h"

#include "Checked.h"
#include "CustomModule.h"
#include "DrawSheet.h"

#include <QCursor>
#include <QPen>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <cmath>
#include <numbers>

namespace {
constexpr TColor KnobPenColor = 0xFFFFFF;
// Pointer radii and the turning radius; the same for every knob size.
constexpr int PointerInner = 3, PointerOuter = 9, TurnRadius = 25;
// Side of the stepping squares in the lower corners.
constexpr int CornerSquare = 8;
// Repeat intervals in ms: the first step, the following ones, and from RepeatFastAfter on.
constexpr int RepeatFirst = 400, RepeatNext = 100, RepeatFast = 50, RepeatFastAfter = 50;
} // namespace

void DrawOpenPolyline(QPainter &Canvas, std::initializer_list<QPoint> Points)
{
    const QPoint *prev = nullptr;
    for (const QPoint &p : Points) {
        if (prev && p != *prev) {
            const QPoint towards((p.x() > prev->x()) - (p.x() < prev->x()), (p.y() > prev->y()) - (p.y() < prev->y()));
            Canvas.drawLine(*prev, p - towards);
        }
        prev = &p;
    }
}

TKorKnob::TKorKnob() = default;
TKorKnob::~TKorKnob() = default;

void TKorKnob::Init()
{
    TKorCustomDetail::Init();
    FPenColor = KnobPenColor;
    FBrushColor = KnobColor;
    SetKnobSize(28);
}

void TKorKnob::SetKnobSize(int32_t size)
{
    FWidth = size;
    FHeight = size;
    FPointerArea = ComputePointerArea(Position());
}

int TKorKnob::RepeatInterval() const
{
    return FRepeatTimer ? FRepeatTimer->interval() : 0;
}

bool TKorKnob::Repeating() const
{
    return FRepeatTimer && FRepeatTimer->isActive();
}

int32_t TKorKnob::Angle(int32_t Min, int32_t p, int32_t Max)
{
    if (Min == Max)
        return 0;
    // 64 bits: the product cannot overflow, and the quotient lies within [-45, 225].
    return int32_t(225 + (int64_t(p) - Min) * 270 / (int64_t(Min) - Max));
}

QPoint TKorKnob::Polar(QPoint c, double a, double r)
{
    const double rad = a * std::numbers::pi / 180.0;
    return {Round(c.x() + r * std::cos(rad)), Round(c.y() - r * std::sin(rad))};
}

int32_t TKorKnob::AngleToValue(int32_t Min, int32_t Max, QPoint d)
{
    double a = std::atan2(-double(d.y()), double(d.x())) * 180.0 / std::numbers::pi;
    while (a < 0)
        a += 360;
    while (a >= 270)
        a -= 360;
    // Rounded like Round (to nearest, ties to even) but in floating point: for very wide
    // ranges the offset leaves 32 bits before the clamp brings it back.
    const double offset = std::nearbyint((double(Min) - Max) * (a - 225) / 270);
    const double lo = std::min(Min, Max), hi = std::max(Min, Max);
    return int32_t(std::clamp(Min + offset, lo, hi));
}

TRect TKorKnob::ComputePointerArea(int32_t position) const
{
    const int32_t a = Angle(FMin, position, FMax);
    const QPoint inner = Polar(Centre(), a, PointerInner), outer = Polar(Centre(), a, PointerOuter);
    return TRect{inner.x(), inner.y(), outer.x(), outer.y()}.Normalized();
}

bool TKorKnob::ControlRange(TControlRange &range) const
{
    if (!Property())
        return false;
    range = {FMin, FMax, std::max(1, FStep), false};
    return true;
}

void TKorKnob::SetPosition(int32_t v)
{
    const int32_t p = v < FMin ? FMin : std::min(v, FMax);
    if (p == Position())
        return;
    FPosition.store(p, std::memory_order_relaxed);
    if (TKorViewer *viewer = Viewer())
        viewer->SetText(QString::number(p));
    if (FOnChange)
        FOnChange(this, p);
    // Only the pixels around the old and the new pointer need painting.
    const TRect area = ComputePointerArea(p);
    if (area != FPointerArea) {
        InvalidateRect(FPointerArea.Inflated(2), false);
        InvalidateRect(area.Inflated(2), false);
        FPointerArea = area;
    }
}

void TKorKnob::SetMin(int32_t v)
{
    if (v == FMin)
        return;
    FMin = v;
    if (Position() < v)
        FPosition.store(v, std::memory_order_relaxed);
    AnnounceChange();
}

void TKorKnob::SetMax(int32_t v)
{
    if (v == FMax)
        return;
    FMax = v;
    if (Position() > v)
        FPosition.store(v, std::memory_order_relaxed);
    AnnounceChange();
}

void TKorKnob::SetViewer(TKorViewer *viewer)
{
    if (viewer == FViewer)
        return;
    FViewer = viewer;
    if (viewer)
        AnnounceChange();
}

void TKorKnob::SetOnChange(TChangeEvent handler)
{
    FOnChange = std::move(handler);
    if (FOnChange)
        AnnounceChange();
}

void TKorKnob::AnnounceChange()
{
    const int32_t p = Position();
    if (TKorViewer *viewer = Viewer())
        viewer->SetText(QString::number(p));
    if (FOnChange)
        FOnChange(this, p);
    // The whole knob is repainted, so the pointer now stands where this says.
    FPointerArea = ComputePointerArea(p);
    Refresh();
}

void TKorKnob::StepBy(int32_t delta)
{
    const int64_t v = std::clamp<int64_t>(int64_t(Position()) + delta, FMin, std::max(FMin, FMax));
    SetPosition(int32_t(v));
}

void TKorKnob::TurnBy(int32_t steps)
{
    StepBy(int32_t(std::clamp<int64_t>(int64_t(steps) * std::max(1, FStep), INT32_MIN, INT32_MAX)));
}

void TKorKnob::RepeatTick()
{
    ++FRepeatCount;
    if (FRepeatTimer)
        FRepeatTimer->setInterval(FRepeatCount < RepeatFastAfter ? RepeatNext : RepeatFast);
    if (FMouseMode == mmStepUp)
        StepBy(1);
    else if (FMouseMode == mmStepDown)
        StepBy(-1);
}

void TKorKnob::MouseDown(QObject *, TMouseButton Button, TShiftState Shift, int X, int Y)
{
    if (Button == TMouseButton::mbRight) {
        // Idle again, so that whoever answers the double-click report may edit the value.
        FMouseMode = mmIdle;
        // With Shift the right-click asks for the module's menu instead (MIDI learn).
        if (TKorDrawSheet *sheet = Sheet(); sheet && !(Shift & ssShift))
            sheet->ReportClick(this, true);
        return;
    }
    if (Button != TMouseButton::mbLeft || DragState.DragObject)
        return;
    DragState.DragObject = this;
    DragState.ClickObject = this;
    DragState.DragGrab = {X, Y};
    DragState.DragOffset = {0, 0};
    BeginDrag({X, Y});
}

void TKorKnob::MouseMove(QObject *, TShiftState, int X, int Y)
{
    if (DragState.DragObject != this)
        return;
    DragState.DragOffset = SubPoints({X, Y}, DragState.DragGrab);
    DragMove(DragState.DragOffset);
}

void TKorKnob::MouseUp(QObject *, TMouseButton, TShiftState, int X, int Y)
{
    if (DragState.DragObject != this)
        return;
    DragState.DragOffset = SubPoints({X, Y}, DragState.DragGrab);
    DragState.DragObject = nullptr;
    EndDrag(DragState.DragOffset);
}

void TKorKnob::BeginDrag(QPoint Grab)
{
    const TRect stepDown{0, FHeight - CornerSquare, CornerSquare, FHeight};
    const TRect stepUp{FWidth - CornerSquare, FHeight - CornerSquare, FWidth, FHeight};
    if (stepDown.Contains(Grab) || stepUp.Contains(Grab)) {
        FMouseMode = stepUp.Contains(Grab) ? mmStepUp : mmStepDown;
        if (!FRepeatTimer) {
            FRepeatTimer = std::make_unique<QTimer>();
            QObject::connect(FRepeatTimer.get(), &QTimer::timeout, this, [this] {
                // The timer fires outside the slot's event handlers, which hold the patch
                // lock for their own changes; a step must not overlap a tick.
                if (std::recursive_mutex *m = Sheet() ? Sheet()->PatchMutex() : nullptr) {
                    std::lock_guard lock(*m);
                    RepeatTick();
                } else {
                    RepeatTick();
                }
            });
        }
        FRepeatCount = 0;
        FRepeatTimer->setInterval(RepeatFirst);
        FRepeatTimer->start();
        return;
    }
    FMouseMode = mmTurning;
    // The pointer jumps onto the knob's pointer, a little way out, so that turning starts
    // from the current value and the angle is easy to control.
    const QPoint c = Centre();
    const QPoint q = Polar(c, Angle(FMin, Position(), FMax), TurnRadius);
    // Reading the value back from a pointer on whole pixels is coarser than the value, so
    // the value follows the pointer only once it moves on from where it was pressed or put.
    FTurnStill = true;
    FTurnPress = SubPoints(Grab, c);
    FTurnWarp = SubPoints(q, c);
    QCursor::setPos(LocalToScreen(q));
    DragState.DragGrab = c;
    DragState.DragOffset = SubPoints(q, c);
    DragMove(DragState.DragOffset);
}

void TKorKnob::DragMove(QPoint Offset)
{
    if (FMouseMode != mmTurning)
        return;
    if (FTurnStill && (Offset == FTurnPress || Offset == FTurnWarp))
        return;
    FTurnStill = false;
    SetPosition(AngleToValue(FMin, FMax, Offset));
}

void TKorKnob::EndDrag(QPoint Offset)
{
    FRepeatCount = 0;
    if (FRepeatTimer)
        FRepeatTimer->stop();
    // The release itself makes a step, so a short click changes the value by exactly one.
    if (FMouseMode == mmStepUp)
        StepBy(1);
    else if (FMouseMode == mmStepDown)
        StepBy(-1);
    else
        DragMove(Offset);
    FMouseMode = mmIdle;
    FTurnStill = false;
}

void TKorKnob::Paint(QPainter &Canvas)
{
    UsePen(Canvas, FPenColor);
    UseBrush(Canvas, FBrushColor);
    DrawEllipse(Canvas, ClientRect());

    const int32_t a = Angle(FMin, Position(), FMax);
    QPen pointer(ToQColor(FPenColor));
    pointer.setWidth(2);
    pointer.setCapStyle(Qt::RoundCap);
    Canvas.setPen(pointer);
    DrawLine(Canvas, Polar(Centre(), a, PointerInner), Polar(Centre(), a, PointerOuter));

    UsePen(Canvas, FPenColor);
    DrawOpenPolyline(Canvas, {{0, FHeight - 4}, {0, FHeight - 1}, {4, FHeight - 1}});
    DrawOpenPolyline(Canvas, {{FWidth - 5, FHeight - 1}, {FWidth - 1, FHeight - 1}, {FWidth - 1, FHeight - 4}});
}

void TKorKnob::Assign(const TKorCustomDetail &Source)
{
    TKorCustomDetail::Assign(Source);
    auto *knob = qobject_cast<const TKorKnob *>(&Source);
    if (!knob)
        return;
    FMin = knob->FMin;
    FMax = knob->FMax;
    FPosition.store(knob->Position(), std::memory_order_relaxed);
    AnnounceChange();
}

void TKorKnob::RefreshColors()
{
    FBrushColor = KnobColor;
    Invalidate();
}

void TKorKnobMedium::Init()
{
    TKorKnob::Init();
    SetKnobSize(20);
}

void TKorKnobSmall::Init()
{
    TKorKnob::Init();
    SetKnobSize(16);
}
