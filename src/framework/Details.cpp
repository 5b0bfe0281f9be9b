#include "Details.h"

#include "Checked.h"
#include "CustomModule.h"
#include "DrawSheet.h"

TDragState DragState;

void TKorCustomDetail::Init()
{
    FGrid = {1, 1};
    FWidth = 25;
    FHeight = 25;
    SetName(GetUniqueName());
}

void TKorCustomDetail::SetLeft(int32_t v)
{
    if (v != FLeft)
        SetBoundsRect({v, FTop, Checked::Add(v, FWidth), Checked::Add(FTop, FHeight)});
}

void TKorCustomDetail::SetTop(int32_t v)
{
    if (v != FTop)
        SetBoundsRect({FLeft, v, Checked::Add(FLeft, FWidth), Checked::Add(v, FHeight)});
}

void TKorCustomDetail::SetWidth(int32_t v)
{
    if (v != FWidth)
        SetBoundsRect({FLeft, FTop, Checked::Add(FLeft, v), Checked::Add(FTop, FHeight)});
}

void TKorCustomDetail::SetHeight(int32_t v)
{
    if (v != FHeight)
        SetBoundsRect({FLeft, FTop, Checked::Add(FLeft, FWidth), Checked::Add(FTop, v)});
}

TRect TKorCustomDetail::BoundsRect() const
{
    return {FLeft, FTop, Checked::Add(FLeft, FWidth), Checked::Add(FTop, FHeight)};
}

void TKorCustomDetail::SetColor(TColor c)
{
    FBrushColor = c;
    Invalidate();
}

void TKorCustomDetail::MouseDown(QObject *, TMouseButton Button, TShiftState, int, int)
{
    if (DragState.DragObject || Button != TMouseButton::mbLeft)
        return;
    DragState.DragObject = this;
    DragState.ClickObject = this;
    DragState.DragGrab = {FWidth / 2, FHeight / 2};
    DragState.DragOffset = {0, 0};
    BeginDrag(DragState.DragGrab);
    DragMove(DragState.DragOffset);
}

void TKorCustomDetail::MouseMove(QObject *, TShiftState, int X, int Y)
{
    if (DragState.DragObject != this)
        return;
    DragMove(DragState.DragOffset); // erases the previous feedback
    DragState.DragOffset = SubPoints({X, Y}, DragState.DragGrab);
    DragMove(DragState.DragOffset);
}

void TKorCustomDetail::MouseUp(QObject *, TMouseButton, TShiftState, int X, int Y)
{
    if (DragState.DragObject != this)
        return;
    DragMove(DragState.DragOffset);
    DragState.DragOffset = SubPoints({X, Y}, DragState.DragGrab);
    DragState.DragObject = nullptr;
    EndDrag(DragState.DragOffset);
}

void TKorCustomDetail::InvalidateRect(const TRect &R, bool Erase)
{
    if (auto *owner = qobject_cast<TKorCustomDetail *>(Owner()))
        owner->InvalidateRect(R.Translated({FLeft, FTop}), Erase);
    else if (auto *sheet = qobject_cast<TKorDrawSheet *>(Owner()))
        sheet->InvalidateArea(R.Translated({FLeft, FTop}), Erase);
}

void TKorCustomDetail::Refresh()
{
    Invalidate();
    if (TKorDrawSheet *sheet = Sheet())
        sheet->Update();
}

void TKorCustomDetail::SetBoundsRect(const TRect &R)
{
    const int32_t newWidth = Checked::Sub(R.Right, R.Left);
    const int32_t newHeight = Checked::Sub(R.Bottom, R.Top);
    const QPoint p = SnapToGrid(R.TopLeft(), FGrid);
    if (p.x() == FLeft && p.y() == FTop && newWidth == FWidth && newHeight == FHeight)
        return;
    const TRect old = BoundsRect();
    FLeft = p.x();
    FTop = p.y();
    FWidth = newWidth;
    FHeight = newHeight;
    if (auto *module = qobject_cast<TKorCustomModule *>(Owner())) {
        module->InvalidateRect(old, true);
        if (TKorDrawSheet *sheet = module->Sheet())
            sheet->Update();
    } else if (auto *sheet = qobject_cast<TKorDrawSheet *>(Owner())) {
        sheet->InvalidateArea(old, true);
        sheet->ModuleBoundsChanged(old, BoundsRect());
    }
    Invalidate();
}

void TKorCustomDetail::BeginDrag(QPoint) {}
void TKorCustomDetail::EndDrag(QPoint) {}
void TKorCustomDetail::DragMove(QPoint) {}

void TKorCustomDetail::Invalidate()
{
    InvalidateRect(ClientRect(), false);
}

void TKorCustomDetail::Paint(QPainter &Canvas)
{
    UsePen(Canvas, FPenColor);
    UseBrush(Canvas, FBrushColor);
    DrawRectangle(Canvas, ClientRect());
}

bool TKorCustomDetail::HitTest(QPoint P) const
{
    return ClientRect().Contains(P);
}

QPoint TKorCustomDetail::LocalToScreen(QPoint P) const
{
    if (auto *owner = qobject_cast<TKorCustomDetail *>(Owner()))
        return AddPoints(owner->LocalToScreen(P), {FLeft, FTop});
    if (auto *sheet = qobject_cast<TKorDrawSheet *>(Owner()))
        return AddPoints(sheet->ClientToScreen(P), {FLeft, FTop});
    return AddPoints(P, {FLeft, FTop});
}

QPoint TKorCustomDetail::ScreenToLocal(QPoint P) const
{
    if (auto *owner = qobject_cast<TKorCustomDetail *>(Owner()))
        return SubPoints(owner->ScreenToLocal(P), {FLeft, FTop});
    if (auto *sheet = qobject_cast<TKorDrawSheet *>(Owner()))
        return SubPoints(sheet->ScreenToClient(P), {FLeft, FTop});
    return SubPoints(P, {FLeft, FTop});
}

QString TKorCustomDetail::GetUniqueName() const
{
    if (!Owner())
        return {};
    // Among N + 1 candidates at least one is free even when this detail holds one of the
    // names, so a detail with an owner always gets a non-empty name.
    return Owner()->FirstFreeName(ClassName().mid(4));
}

void DumpLine(QTextStream &File, int Level, const QString &text)
{
    File << ' ' << QString(std::min(Level * 2, 128), u' ') << text << '\n';
}

void TKorCustomDetail::Dump(QTextStream &File, int Level, int) const
{
    DumpLine(File, Level, QStringLiteral("%1 : '%2'").arg(ClassName(), Name()));
}

void TKorCustomDetail::RefreshColors()
{
    Invalidate();
}

void TKorCustomDetail::Assign(const TKorCustomDetail &Source)
{
    SetLeft(Source.Left());
    SetTop(Source.Top());
    FPenColor = Source.FPenColor;
    FBrushColor = Source.FBrushColor;
}

TKorDrawSheet *TKorCustomDetail::Sheet() const
{
    for (TComponent *o = Owner(); o; o = o->Owner())
        if (auto *sheet = qobject_cast<TKorDrawSheet *>(o))
            return sheet;
    return nullptr;
}

QPoint TKorCustomDetail::LocalToSheet(QPoint P) const
{
    QPoint r = AddPoints(P, {FLeft, FTop});
    for (auto *o = qobject_cast<TKorCustomDetail *>(Owner()); o; o = qobject_cast<TKorCustomDetail *>(o->Owner()))
        r = AddPoints(r, {o->FLeft, o->FTop});
    return r;
}

QPoint TKorCustomDetail::SheetToLocal(QPoint P) const
{
    return SubPoints(P, LocalToSheet({0, 0}));
}

bool TKorNoMouse::HitTest(QPoint) const
{
    return false;
}
