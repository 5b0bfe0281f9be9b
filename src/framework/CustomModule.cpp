#include "CustomModule.h"

#include "Checked.h"
#include "Connectors.h"
#include "DrawSheet.h"
#include "Errors.h"
#include "TextLabel.h"

namespace {
// True while a module paints its details: details must never paint modules.
bool PaintingDetails = false;
} // namespace

void TKorCustomModule::Init()
{
    TKorCustomDetail::Init();
    FBeingCreated = DragState.Creating;
    FGrid = {250, 50};
    SetSelected(false);
    SetLeft(0);
    SetTop(0);
    SetWidth(250);
    SetHeight(50);
    SetColor(ModuleColor);
    FPenColor = 0;
    CreateDetails();
    // The title may take its whole row: titles users give are longer than the class names.
    if (FTitleLabel)
        FTitleLabel->FitToRow();
}

void TKorCustomModule::CreateDetails()
{
    FTitleLabel = AddDetail<TKorTextLabel>(2, 2);
    FTitleLabel->SetAutoSize(false);
    FTitleLabel->SetWidth(55);
    FTitleLabel->SetHeight(12);
    FTitleLabel->SetText(ClassName().mid(4));
    FTitleLabel->SetTransparent(false);
    FTitleLabel->SetColor(ModuleColor);
    FTitleLabel->SetAcceptsMouse(true);
}

void TKorCustomModule::SetSelected(bool v)
{
    if (v == FSelected)
        return;
    FSelected = v;
    SelectedChanged(v);
}

QString TKorCustomModule::Title() const
{
    return FTitleLabel ? FTitleLabel->Text() : QString();
}

void TKorCustomModule::SetTitle(const QString &s)
{
    if (FTitleLabel)
        FTitleLabel->SetText(s);
}

TKorCustomDetail *TKorCustomModule::AddDetail(int32_t ALeft, int32_t ATop, const QString &AName,
                                              const TComponentClass &cls)
{
    Q_ASSERT(cls.InheritsFrom(TKorCustomDetail::staticMetaObject));
    auto *detail = static_cast<TKorCustomDetail *>(CreateComponent(cls, this));
    if (qobject_cast<TKorConnector *>(detail) && AName.isEmpty())
        throw EInvalidName(QStringLiteral("Connectors must have a non-empty name !"));
    detail->SetLeft(ALeft);
    detail->SetTop(ATop);
    if (!AName.isEmpty()) // other details keep the unique name they chose at creation
        detail->SetName(AName);
    return detail;
}

TKorCustomDetail *TKorCustomModule::DetailAt(QPoint P)
{
    if (!HitTest(P))
        return nullptr;
    for (int i = ComponentCount() - 1; i >= 0; --i) {
        auto *d = qobject_cast<TKorCustomDetail *>(Components(i));
        if (d && d->HitTest(SubPoints(P, {d->Left(), d->Top()})))
            return d;
    }
    return this;
}

TKorConnector *TKorCustomModule::OwnConnectorAt(const TKorConnector *Except, QPoint P)
{
    if (!HitTest(P))
        return nullptr;
    for (int i = ComponentCount() - 1; i >= 0; --i) {
        auto *c = qobject_cast<TKorConnector *>(Components(i));
        if (c && c != Except && c->HitTest(SubPoints(P, {c->Left(), c->Top()})))
            return c;
    }
    return nullptr;
}

TKorConnector *TKorCustomModule::ConnectorAt(const TKorConnector *Except, QPoint P)
{
    if (TKorConnector *c = OwnConnectorAt(Except, P))
        return c;
    if (TKorDrawSheet *sheet = DrawSheet())
        return sheet->ConnectorAt(Except, AddPoints(P, {FLeft, FTop}));
    return nullptr;
}

TKorDrawSheet *TKorCustomModule::DrawSheet() const
{
    return qobject_cast<TKorDrawSheet *>(Owner());
}

void TKorCustomModule::ConnectorRemoved(TKorConnector *Connector)
{
    if (TKorDrawSheet *sheet = DrawSheet())
        sheet->RemoveConnectionsOf(Connector);
}

void TKorCustomModule::SelectedChanged(bool Selected)
{
    if (FTitleLabel)
        FTitleLabel->SetColor(Selected ? 0xFFFFFF : TColor(ModuleColor));
}

void TKorCustomModule::MoveBy(QPoint Offset)
{
    SetBoundsRect(BoundsRect().Translated(Offset));
}

void TKorCustomModule::RequestConnection(TKorConnector *From, TKorConnector *To)
{
    if (TKorDrawSheet *sheet = DrawSheet())
        sheet->ToggleConnection(From, To);
}

void TKorCustomModule::MouseDown(QObject *Sender, TMouseButton Button, TShiftState Shift, int X, int Y)
{
    const bool left = Button == TMouseButton::mbLeft;
    if (!(left && !DragState.DragObject) && Button != TMouseButton::mbRight)
        return;
    TKorCustomDetail *d = DetailAt({X, Y});
    if (d && d != this) {
        d->MouseDown(Sender, Button, Shift, X - d->Left(), Y - d->Top());
        return;
    }
    if (!left)
        return;
    DragState.DragObject = this;
    DragState.ClickObject = this;
    DragState.DragGrab = {X, Y};
    DragState.DragOffset = {0, 0};
    if (TKorDrawSheet *sheet = DrawSheet())
        sheet->BringToFront(this);
    if (Shift & ssCtrl) {
        SetSelected(!FSelected);
    } else if (!FSelected) {
        SetSelected(true);
        if (TKorDrawSheet *sheet = DrawSheet())
            sheet->DeselectAllBut(this);
    }
    BeginDrag(DragState.DragGrab);
    DrawOutline({0, 0});
}

void TKorCustomModule::MouseMove(QObject *, TShiftState, int X, int Y)
{
    if (DragState.DragObject != this)
        return;
    DrawOutline(DragState.DragOffset);
    DragState.DragOffset = SubPoints({X, Y}, DragState.DragGrab);
    DrawOutline(DragState.DragOffset);
}

void TKorCustomModule::MouseUp(QObject *, TMouseButton, TShiftState, int X, int Y)
{
    if (DragState.DragObject != this)
        return;
    DrawOutline(DragState.DragOffset);
    DragState.DragOffset = SubPoints({X, Y}, DragState.DragGrab);
    DragState.DragObject = nullptr;
    EndDrag(DragState.DragOffset);
    if (TKorDrawSheet *sheet = DrawSheet())
        sheet->ScrollInView(this);
    if (FBeingCreated) {
        FBeingCreated = false;
        Invalidate();
    }
}

void TKorCustomModule::DrawOutline(QPoint Offset)
{
    if (TKorDrawSheet *sheet = DrawSheet())
        sheet->DrawDragRects(Offset);
    else
        DragMove(Offset);
}

void TKorCustomModule::DragMove(QPoint Offset)
{
    TKorDrawSheet *sheet = Sheet();
    if (!sheet)
        return;
    const QPoint topLeft = LocalToSheet(Offset);
    sheet->ToggleOverlay(TOverlayShape::Focus({topLeft.x(), topLeft.y(), Checked::Add(topLeft.x(), FWidth),
                                               Checked::Add(topLeft.y(), FHeight)}));
}

void TKorCustomModule::EndDrag(QPoint Offset)
{
    if (TKorDrawSheet *sheet = DrawSheet())
        sheet->MoveSelection(Offset);
    else
        MoveBy(Offset);
}

void TKorCustomModule::Paint(QPainter &Canvas)
{
    if (FBeingCreated)
        return;
    UsePen(Canvas, FPenColor);
    UseBrush(Canvas, FBrushColor);
    DrawRectangle(Canvas, ClientRect());
    UsePen(Canvas, 0xFFFFFF); // raised left and top edge
    DrawLine(Canvas, {0, FHeight - 1}, {0, 0});
    DrawLine(Canvas, {0, 0}, {FWidth - 1, 0});
    UsePen(Canvas, 0);
    PaintDetails(Canvas);
}

void TKorCustomModule::PaintDetails(QPainter &Canvas)
{
    if (PaintingDetails)
        KOR_FAIL(QStringLiteral("Oops ... recursion ..."));
    PaintingDetails = true;
    struct Reset {
        ~Reset() { PaintingDetails = false; }
    } reset;
    for (QObject *child : children()) {
        auto *d = qobject_cast<TKorCustomDetail *>(child);
        if (!d)
            continue;
        if (!Canvas.isActive())
            KOR_FAIL(QStringLiteral("No more save DC ..."));
        Canvas.save();
        Canvas.translate(d->Left(), d->Top());
        Canvas.setClipRect(d->ClientRect().ToQRect(), Qt::IntersectClip);
        if (ClipBox(Canvas).Intersects(d->ClientRect()))
            d->Paint(Canvas);
        if (!Canvas.isActive())
            KOR_FAIL(QStringLiteral("No more restore DC ..."));
        Canvas.restore();
    }
}

void TKorCustomModule::Dump(QTextStream &File, int Level, int Depth) const
{
    TKorCustomDetail::Dump(File, Level, Depth);
    if (Depth < 1)
        return;
    for (QObject *child : children())
        if (auto *d = qobject_cast<TKorCustomDetail *>(child))
            d->Dump(File, Level + 1, Depth - 1);
}

void TKorCustomModule::RefreshColors()
{
    SetColor(ModuleColor);
    for (QObject *child : children())
        if (auto *d = qobject_cast<TKorCustomDetail *>(child))
            d->RefreshColors();
}

void TKorCustomModule::Assign(const TKorCustomDetail &Source)
{
    TKorCustomDetail::Assign(Source);
    const int n = std::min(Source.ComponentCount(), ComponentCount());
    for (int i = 0; i < n; ++i) {
        auto *to = qobject_cast<TKorCustomDetail *>(Components(i));
        auto *from = qobject_cast<TKorCustomDetail *>(Source.Components(i));
        if (to && from)
            to->Assign(*from);
    }
    if (auto *module = qobject_cast<const TKorCustomModule *>(&Source))
        SetSelected(module->Selected());
}

void TKorCustomModule::Notification(TComponent *child, TOperation operation)
{
    TKorCustomDetail::Notification(child, operation);
    if (operation != TOperation::Remove)
        return;
    if (child == FTitleLabel)
        FTitleLabel = nullptr;
    // While destroying, BeforeDestruction has already removed every cable.
    if (auto *c = qobject_cast<TKorConnector *>(child); c && !IsDestroying())
        ConnectorRemoved(c);
}

void TKorCustomModule::BeforeDestruction()
{
    for (QObject *child : children())
        if (auto *c = qobject_cast<TKorConnector *>(child))
            ConnectorRemoved(c);
}

void TKorModule2::Init()
{
    TKorModule::Init();
    SetHeight(Checked::Mul(Height(), 2));
}

void TKorModule4::Init()
{
    TKorModule::Init();
    SetHeight(Checked::Mul(Height(), 4));
}

void TKorModule8::Init()
{
    TKorModule::Init();
    SetHeight(Checked::Mul(Height(), 8));
}

void TKorMidiBaseModule::LongMidiIn(const TLongMidi &Msg)
{
    FLastLongMidi = QByteArray(reinterpret_cast<const char *>(Msg.Data), qsizetype(Msg.Count));
}

void TKorMidiBaseModule::BeforeDestruction()
{
    Silence();
    TKorCustomModule::BeforeDestruction();
}

void TKorMidiBaseModule::SendShortMidi(uint32_t Msg)
{
    if (TKorDrawSheet *sheet = DrawSheet())
        sheet->MidiOutShort(this, Msg);
}

void TKorMidiBaseModule::SendLongMidi(const TLongMidi &Msg)
{
    if (TKorDrawSheet *sheet = DrawSheet())
        sheet->MidiOutLong(this, Msg);
}
