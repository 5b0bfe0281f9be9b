#include "DrawSheet.h"

#include "Checked.h"
#include "Errors.h"

#include <QLineF>
#include <QThread>
#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {
// True while a sheet paints its modules; re-entry means a detail tried to paint a sheet.
bool PaintingModules = false;

TKorCustomModule *ModuleOf(const TKorConnector *c)
{
    return qobject_cast<TKorCustomModule *>(c->Owner());
}

bool SegmentTouches(const TRect &clip, QPoint a, QPoint b)
{
    if (std::max(a.x(), b.x()) < clip.Left || std::min(a.x(), b.x()) > clip.Right ||
        std::max(a.y(), b.y()) < clip.Top || std::min(a.y(), b.y()) > clip.Bottom)
        return false;
    if (clip.Contains(a) || clip.Contains(b))
        return true;
    const QLineF seg(a, b);
    const QPointF tl(clip.Left, clip.Top), tr(clip.Right, clip.Top), bl(clip.Left, clip.Bottom),
        br(clip.Right, clip.Bottom);
    for (const QLineF &edge : {QLineF(tl, tr), QLineF(tr, br), QLineF(br, bl), QLineF(bl, tl)})
        if (seg.intersects(edge, nullptr) == QLineF::BoundedIntersection)
            return true;
    return false;
}
} // namespace

bool TOverlayShape::SameShape(const TOverlayShape &o) const
{
    if (Kind != o.Kind)
        return false;
    return Kind == TKind::Focus ? Rect == o.Rect : (From == o.From && To == o.To);
}

TRect TOverlayShape::Bounds() const
{
    if (Kind == TKind::Focus)
        return Rect.Inflated(1);
    return TRect{From.x(), From.y(), To.x(), To.y()}.Normalized().Inflated(2);
}

TKorDrawSheet::TKorDrawSheet() : FConnections(this) {}

TKorDrawSheet::~TKorDrawSheet() = default;

void TKorDrawSheet::SetHost(ISheetHost *host)
{
    FHost = host;
    if (!FHost)
        return;
    // The extent worked out while the sheet had no host (a patch being read) was never told
    // to anybody: the new host hears it in any case.
    UpdateExtent();
    FHost->ExtentChanged(QSize(FWidth, FHeight));
}

void TKorDrawSheet::SetActive(bool v)
{
    if (v == FActive)
        return;
    if (!v)
        Silence();
    FActive = v;
    if (FHost)
        FHost->ActiveChanged(v);
}

TKorCustomModule *TKorDrawSheet::Modules(int i) const
{
    return i >= 0 && i < ModuleCount() ? FModules[size_t(i)] : nullptr;
}

TKorConnection *TKorDrawSheet::Cables(int i) const
{
    return i >= 0 && i < CableCount() ? FConnections.Items(i) : nullptr;
}

TKorConnector *TKorDrawSheet::CableFrom(int i) const
{
    TKorConnection *c = Cables(i);
    return c ? c->From : nullptr;
}

TKorConnector *TKorDrawSheet::CableTo(int i) const
{
    TKorConnection *c = Cables(i);
    return c ? c->To : nullptr;
}

void TKorDrawSheet::Notification(TComponent *child, TOperation operation)
{
    TComponent::Notification(child, operation);
    auto *module = qobject_cast<TKorCustomModule *>(child);
    if (!module || IsDestroying())
        return;
    const TRect bounds = module->BoundsRect();
    if (operation == TOperation::Insert) {
        FModules.push_back(module); // a child joins once
        FContentRight = std::max(FContentRight, bounds.Right);
        FContentBottom = std::max(FContentBottom, bounds.Bottom);
    } else {
        // Modules mostly leave last first (deleting, closing): search from the end.
        const auto it = std::find(FModules.rbegin(), FModules.rend(), module);
        if (it != FModules.rend())
            FModules.erase(std::next(it).base());
        CancelDetailGesture();
        FMidiMap.ForgetModule(module);
        FContentStale = FContentStale || bounds.Right >= FContentRight || bounds.Bottom >= FContentBottom;
    }
    if (FBulk > 0) {
        FCountPending = FExtentPending = true;
        return;
    }
    if (FHost)
        FHost->ModuleCountChanged();
    UpdateExtent();
}

TKorDrawSheet::TBulkEdit::~TBulkEdit()
{
    if (--FSheet.FBulk > 0)
        return;
    if (std::exchange(FSheet.FCountPending, false) && FSheet.FHost && !FSheet.IsDestroying())
        FSheet.FHost->ModuleCountChanged();
    if (std::exchange(FSheet.FExtentPending, false))
        FSheet.UpdateExtent();
}

void TKorDrawSheet::ModuleBoundsChanged(const TRect &old, const TRect &now)
{
    if (FContentStale)
        return;
    if ((old.Right >= FContentRight && now.Right < old.Right) || (old.Bottom >= FContentBottom && now.Bottom < old.Bottom))
        FContentStale = true;
    FContentRight = std::max(FContentRight, now.Right);
    FContentBottom = std::max(FContentBottom, now.Bottom);
}

void TKorDrawSheet::CancelDetailGesture()
{
    // A module that leaves while a module or detail gesture runs may own that gesture (its
    // connector may already be gone with it) or be part of the dragged group: nobody would
    // erase its feedback, so the gesture ends here. A selection band goes on.
    TComponent *owner = DragState.DragObject;
    if (owner == this)
        return;
    if (auto *d = qobject_cast<TKorCustomDetail *>(owner); d && d->Sheet() != this)
        return;
    DragState.DragObject = nullptr;
    for (const TOverlayShape &shape : FOverlay)
        if (FHost)
            FHost->InvalidateRect(shape.Bounds(), false);
    FOverlay.clear();
}

void TKorDrawSheet::BeforeDestruction()
{
    // Cables go before the modules, so none ever points at a freed connector.
    FConnections.Clear();
    FModules.clear();
    FOverlay.clear();
}

TKorCustomModule *TKorDrawSheet::AddModule(const TComponentClass &aModuleClass)
{
    Q_ASSERT(aModuleClass.InheritsFrom(TKorCustomModule::staticMetaObject));
    // A module still being placed is dropped where its outline is, as a release there would:
    // the new one takes over the gesture, and none is left invisible.
    if (auto *placing = qobject_cast<TKorCustomModule *>(DragState.DragObject.data()); placing && placing->BeingCreated()) {
        const QPoint at = AddPoints(DragState.DragGrab, DragState.DragOffset);
        placing->MouseUp(nullptr, TMouseButton::mbLeft, TShiftState(), at.x(), at.y());
    }
    DragState.Creating = true;
    TKorCustomModule *module;
    try {
        module = static_cast<TKorCustomModule *>(CreateComponent(aModuleClass, this));
    } catch (...) {
        DragState.Creating = false;
        throw;
    }
    DragState.DragObject = module;
    DragState.DragGrab = {module->Width() / 2, module->Height() / 2};
    DragState.DragOffset = {0, 0};
    BringToFront(module);
    module->SetSelected(true);
    DeselectAllBut(module);
    DrawDragRects({0, 0});
    DragState.Creating = false;
    return module;
}

void TKorDrawSheet::FreeModule(int anIndex)
{
    CheckBounds(anIndex, 0, ModuleCount() - 1, QStringLiteral("TDrawSheet.FreeModule( anIndex: Integer)"),
                QStringLiteral("anIndex"));
    Free(FModules[size_t(anIndex)]);
    InvalidateArea(ClientRect(), true);
}

void TKorDrawSheet::FreeModules(const std::vector<TKorCustomModule *> &modules)
{
    if (modules.empty())
        return;
    const TBulkEdit bulk(*this);
    FConnections.RemoveConnectionsOfModules(modules);
    FreeComponents({modules.begin(), modules.end()});
    InvalidateArea(ClientRect(), true);
}

void TKorDrawSheet::DeleteAllModules()
{
    FreeModules({FModules.rbegin(), FModules.rend()});
}

void TKorDrawSheet::DeleteSelectedModules()
{
    std::vector<TKorCustomModule *> chosen;
    for (auto it = FModules.rbegin(); it != FModules.rend(); ++it)
        if ((*it)->Selected())
            chosen.push_back(*it);
    FreeModules(chosen);
}

void TKorDrawSheet::SelectAll()
{
    for (TKorCustomModule *m : FModules)
        m->SetSelected(true);
}

void TKorDrawSheet::InvertSelection()
{
    for (TKorCustomModule *m : FModules)
        m->SetSelected(!m->Selected());
}

TKorCustomModule *TKorDrawSheet::ModuleAt(QPoint P) const
{
    if (FHost && !ClientRect().Contains(P))
        return nullptr;
    for (auto it = FModules.rbegin(); it != FModules.rend(); ++it)
        if ((*it)->HitTest(SubPoints(P, {(*it)->Left(), (*it)->Top()})))
            return *it;
    return nullptr;
}

TKorConnector *TKorDrawSheet::ConnectorAt(const TKorConnector *Except, QPoint P) const
{
    if (FHost && !ClientRect().Contains(P))
        return nullptr;
    for (auto it = FModules.rbegin(); it != FModules.rend(); ++it)
        if (TKorConnector *c = (*it)->OwnConnectorAt(Except, SubPoints(P, {(*it)->Left(), (*it)->Top()})))
            return c;
    return nullptr;
}

void TKorDrawSheet::BringToFront(TKorCustomModule *module)
{
    const auto it = std::find(FModules.rbegin(), FModules.rend(), module);
    if (it == FModules.rend())
        return;
    std::rotate(std::next(it).base(), it.base(), FModules.end());
}

void TKorDrawSheet::MoveInRunOrder(TKorCustomModule *module, int index)
{
    const auto it = std::find(FModules.begin(), FModules.end(), module);
    if (it == FModules.end())
        return;
    FModules.erase(it);
    FModules.insert(FModules.begin() + std::clamp(index, 0, int(FModules.size())), module);
}

void TKorDrawSheet::DeselectAllBut(TKorCustomModule *module)
{
    for (TKorCustomModule *m : FModules)
        if (m != module && m->Selected())
            m->SetSelected(false);
}

void TKorDrawSheet::DrawDragRects(QPoint Offset)
{
    for (TKorCustomModule *m : FModules)
        if (m->Selected())
            m->DragMove(Offset);
}

TRect TKorDrawSheet::CableArea(const TKorConnector *from, const TKorConnector *to) const
{
    const QPoint a = from->LocalToSheet({0, 0}), b = to->LocalToSheet({0, 0});
    return TRect{a.x(), a.y(), a.x() + from->Width(), a.y() + from->Height()}.United(
        {b.x(), b.y(), b.x() + to->Width(), b.y() + to->Height()});
}

void TKorDrawSheet::InvalidateMarkedCables(bool Erase)
{
    for (int i = 0; i < CableCount(); ++i) {
        TKorConnection *cable = FConnections.Items(i);
        if (!cable->Marked)
            continue;
        InvalidateArea(CableArea(cable->From, cable->To), Erase);
        cable->Marked = false;
    }
}

void TKorDrawSheet::MoveSelection(QPoint Offset)
{
    if (std::abs(Offset.x()) < 10 && std::abs(Offset.y()) < 10)
        return;
    // A module dragged past the sheet's left or top edge could never be reached again:
    // the selection stops at the edge instead, keeping its shape.
    int32_t minLeft = INT32_MAX, minTop = INT32_MAX;
    for (TKorCustomModule *m : FModules)
        if (m->Selected()) {
            minLeft = std::min(minLeft, m->Left());
            minTop = std::min(minTop, m->Top());
        }
    if (minLeft == INT32_MAX)
        return;
    Offset = {std::max(Offset.x(), -std::max(minLeft, 0)), std::max(Offset.y(), -std::max(minTop, 0))};

    // The cables of the moving modules, marked in one pass over the list.
    const auto markMovingCables = [this] {
        for (int i = 0; i < CableCount(); ++i) {
            TKorConnection *cable = FConnections.Items(i);
            const TKorCustomModule *a = ModuleOf(cable->From), *b = ModuleOf(cable->To);
            cable->Marked = (a && a->Selected()) || (b && b->Selected());
        }
    };
    FCablesVisible = false;
    markMovingCables();
    InvalidateMarkedCables(true);
    markMovingCables();
    for (TKorCustomModule *m : FModules)
        if (m->Selected())
            m->MoveBy(Offset);
    FCablesVisible = true;
    InvalidateMarkedCables(false);
    UpdateExtent();
}

void TKorDrawSheet::RemoveConnectionsOf(TKorConnector *Connector)
{
    if (!Connector->IsConnected())
        return;
    FConnections.RemoveConnectionsOf(Connector);
    InvalidateArea(ClientRect(), true);
}

bool TKorDrawSheet::OnOwnThread() const
{
    return QThread::currentThread() == thread();
}

void TKorDrawSheet::InvalidateArea(const TRect &R, bool Erase)
{
    if (!FHost)
        return;
    if (OnOwnThread()) {
        FHost->InvalidateRect(R, Erase);
        return;
    }
    std::lock_guard lock(FPendingMutex);
    FPendingRect = FPendingRect.United(R);
    FPendingErase = FPendingErase || Erase;
    if (!FFlushQueued) {
        FFlushQueued = true;
        QMetaObject::invokeMethod(this, [this] { FlushPendingRepaint(); }, Qt::QueuedConnection);
    }
}

void TKorDrawSheet::Update()
{
    if (!FHost)
        return;
    if (OnOwnThread()) {
        FHost->UpdateNow();
        return;
    }
    std::lock_guard lock(FPendingMutex);
    FPendingUpdate = true;
    if (!FFlushQueued) {
        FFlushQueued = true;
        QMetaObject::invokeMethod(this, [this] { FlushPendingRepaint(); }, Qt::QueuedConnection);
    }
}

void TKorDrawSheet::FlushPendingRepaint()
{
    TRect rect;
    bool erase, update;
    {
        std::lock_guard lock(FPendingMutex);
        rect = FPendingRect;
        erase = FPendingErase;
        update = FPendingUpdate;
        FPendingRect = {};
        FPendingErase = FPendingUpdate = FFlushQueued = false;
    }
    if (!FHost)
        return;
    if (!rect.IsEmpty())
        FHost->InvalidateRect(rect, erase);
    if (update)
        FHost->UpdateNow();
}

void TKorDrawSheet::UpdateExtent()
{
    if (FContentStale) {
        FContentRight = FContentBottom = 0;
        for (TKorCustomModule *m : FModules) {
            const TRect r = m->BoundsRect();
            FContentRight = std::max(FContentRight, r.Right);
            FContentBottom = std::max(FContentBottom, r.Bottom);
        }
        FContentStale = false;
    }
    int32_t w = std::max(FContentRight, 0), h = std::max(FContentBottom, 0);
    if (FHost) {
        const QSize client = FHost->ClientSize();
        w = std::max(w, int32_t(client.width()));
        h = std::max(h, int32_t(client.height()));
    }
    if (w == FWidth && h == FHeight)
        return;
    FWidth = w;
    FHeight = h;
    if (FHost)
        FHost->ExtentChanged(QSize(w, h));
}

void TKorDrawSheet::RefreshColors()
{
    for (TKorCustomModule *m : FModules)
        m->RefreshColors();
}

void TKorDrawSheet::ScrollInView(TKorCustomDetail *detail)
{
    if (FHost)
        FHost->ScrollInView(detail);
}

QPoint TKorDrawSheet::ClientToScreen(QPoint P) const
{
    return FHost ? FHost->ClientToScreen(P) : P;
}

QPoint TKorDrawSheet::ScreenToClient(QPoint P) const
{
    return FHost ? FHost->ScreenToClient(P) : P;
}

void TKorDrawSheet::MidiInShort(uint32_t Msg)
{
    for (TKorCustomModule *m : FModules)
        if (auto *midi = qobject_cast<TKorMidiBaseModule *>(m))
            midi->ShortMidiIn(Msg);
}

void TKorDrawSheet::MidiInLong(const TLongMidi &Msg)
{
    for (TKorCustomModule *m : FModules)
        if (auto *midi = qobject_cast<TKorMidiBaseModule *>(m))
            midi->LongMidiIn(Msg);
}

void TKorDrawSheet::Silence()
{
    for (TKorCustomModule *m : FModules)
        if (auto *midi = qobject_cast<TKorMidiBaseModule *>(m))
            midi->Silence();
}

void TKorDrawSheet::StopRun()
{
    if (!FActive)
        return;
    for (TKorCustomModule *m : FModules)
        if (auto *midi = qobject_cast<TKorMidiBaseModule *>(m))
            midi->StopRun();
}

void TKorDrawSheet::MidiOutShort(TKorCustomModule *sender, uint32_t Msg)
{
    if (FHost)
        FHost->MidiOutShort(sender, Msg);
}

void TKorDrawSheet::MidiOutLong(TKorCustomModule *sender, const TLongMidi &Msg)
{
    if (FHost)
        FHost->MidiOutLong(sender, Msg);
}

void TKorDrawSheet::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y)
{
    const QPoint p(X, Y);
    if (Button == TMouseButton::mbLeft && !DragState.DragObject) {
        TKorCustomModule *m = ModuleAt(p);
        if (!m) {
            DragState.DragObject = this;
            DragState.ClickObject = this;
            DragState.DragGrab = p;
            DragState.DragOffset = {0, 0};
            BeginBand(p);
            DrawBand(DragState.DragOffset);
            return;
        }
        const QPoint local = m->SheetToLocal(p);
        m->MouseDown(this, Button, Shift, local.x(), local.y());
    } else if (Button == TMouseButton::mbRight) {
        if (TKorCustomModule *m = ModuleAt(p)) {
            const QPoint local = m->SheetToLocal(p);
            m->MouseDown(this, Button, Shift, local.x(), local.y());
        }
    }
}

void TKorDrawSheet::MouseMove(TShiftState Shift, int X, int Y)
{
    const QPoint p(X, Y);
    if (DragState.DragObject == this) {
        DrawBand(DragState.DragOffset);
        DragState.DragOffset = SubPoints(p, DragState.DragGrab);
        DrawBand(DragState.DragOffset);
    } else if (auto *d = qobject_cast<TKorCustomDetail *>(DragState.DragObject.data())) {
        const QPoint local = d->SheetToLocal(p);
        d->MouseMove(this, Shift, local.x(), local.y());
    }
}

void TKorDrawSheet::MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y)
{
    const QPoint p(X, Y);
    if (DragState.DragObject == this) {
        DrawBand(DragState.DragOffset);
        DragState.DragOffset = SubPoints(p, DragState.DragGrab);
        DragState.DragObject = nullptr;
        SelectInBand(DragState.DragOffset);
    } else if (auto *d = qobject_cast<TKorCustomDetail *>(DragState.DragObject.data())) {
        const QPoint local = d->SheetToLocal(p);
        d->MouseUp(this, Button, Shift, local.x(), local.y());
    }
}

void TKorDrawSheet::Click()
{
    TComponent *target = DragState.DragObject;
    if (auto *d = qobject_cast<TKorCustomDetail *>(target)) {
        if (TKorDrawSheet *sheet = d->Sheet())
            sheet->ReportClick(d, false);
    } else if (target == this) {
        ReportClick(this, false);
    }
}

void TKorDrawSheet::DblClick()
{
    TComponent *target = DragState.ClickObject;
    if (auto *d = qobject_cast<TKorCustomDetail *>(target)) {
        if (TKorDrawSheet *sheet = d->Sheet())
            sheet->ReportClick(d, true);
    } else if (target == this) {
        ReportClick(this, true);
    }
}

void TKorDrawSheet::ReportClick(TComponent *clicked, bool doubleClick)
{
    if (FHost)
        FHost->PostClick(clicked, doubleClick);
}

void TKorDrawSheet::ToggleOverlay(const TOverlayShape &shape)
{
    const auto it = std::find_if(FOverlay.begin(), FOverlay.end(),
                                 [&](const TOverlayShape &s) { return s.SameShape(shape); });
    TRect area = shape.Bounds();
    if (it != FOverlay.end()) {
        area = area.United(it->Bounds());
        FOverlay.erase(it);
    } else {
        FOverlay.push_back(shape);
    }
    if (FHost)
        FHost->InvalidateRect(area, false);
}

void TKorDrawSheet::PaintOverlay(QPainter &Canvas) const
{
    Canvas.save();
    Canvas.setRenderHint(QPainter::Antialiasing, false);
    for (const TOverlayShape &s : FOverlay) {
        if (s.Kind == TOverlayShape::TKind::Focus) {
            // Inverting dots stay visible on the black sheet and on module panels alike.
            Canvas.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
            QPen pen(Qt::white, 0, Qt::DotLine);
            Canvas.setPen(pen);
            Canvas.setBrush(Qt::NoBrush);
            DrawRectangle(Canvas, s.Rect);
            Canvas.setCompositionMode(QPainter::CompositionMode_SourceOver);
        } else {
            UsePen(Canvas, s.Color);
            DrawLine(Canvas, s.From, s.To);
        }
    }
    Canvas.restore();
}

TRect TKorDrawSheet::BandRect(QPoint Size) const
{
    const QPoint grab = DragState.DragGrab, end = AddPoints(grab, Size);
    return TRect{grab.x(), grab.y(), end.x(), end.y()}.Normalized();
}

void TKorDrawSheet::DrawBand(QPoint Size)
{
    ToggleOverlay(TOverlayShape::Focus(BandRect(Size)));
}

void TKorDrawSheet::SelectInBand(QPoint Size)
{
    const TRect band = BandRect(Size);
    for (TKorCustomModule *m : FModules)
        m->SetSelected(band.Intersects(m->BoundsRect()));
}

void TKorDrawSheet::ToggleConnection(TKorConnector *aFrom, TKorConnector *aTo)
{
    if (!aFrom || !aTo)
        return;
    if (FConnections.Toggle(aFrom, aTo))
        ConnectionMade(aFrom, aTo);
    else
        ConnectionLost(aFrom, aTo);
    if (FHost)
        InvalidateArea(CableArea(aFrom, aTo), true);
}

void TKorDrawSheet::InsertConnection(int index, TKorConnector *aFrom, TKorConnector *aTo)
{
    FConnections.Insert(index, aFrom, aTo);
    ConnectionMade(aFrom, aTo);
    if (FHost)
        InvalidateArea(CableArea(aFrom, aTo), true);
}

void TKorDrawSheet::ConnectionMade(TKorConnector *aFrom, TKorConnector *aTo)
{
    if (FHost)
        FHost->ConnectionMade(aFrom, aTo);
}

void TKorDrawSheet::ConnectionLost(TKorConnector *aFrom, TKorConnector *aTo)
{
    if (FHost)
        FHost->ConnectionLost(aFrom, aTo);
}

void TKorDrawSheet::PaintAll(QPainter &Canvas)
{
    if (PaintingModules)
        KOR_FAIL(QStringLiteral("Oops ... recursion ..."));
    PaintingModules = true;
    struct Reset {
        ~Reset() { PaintingModules = false; }
    } reset;
    const TRect clip = ClipBox(Canvas);
    for (TKorCustomModule *m : FModules) {
        // A scroll step or a lamp repaints a small area: what lies outside costs one test.
        if (!clip.Intersects(m->BoundsRect()))
            continue;
        if (!Canvas.isActive())
            KOR_FAIL(QStringLiteral("No more save DC ..."));
        Canvas.save();
        Canvas.translate(m->Left(), m->Top());
        Canvas.setClipRect(m->ClientRect().ToQRect(), Qt::IntersectClip);
        if (ClipBox(Canvas).Intersects(m->ClientRect()))
            m->Paint(Canvas);
        if (!Canvas.isActive())
            KOR_FAIL(QStringLiteral("No more restore DC ..."));
        Canvas.restore();
    }
    if (!FCablesVisible)
        return;
    for (int i = 0; i < CableCount(); ++i) {
        const TKorConnection *cable = FConnections.Items(i);
        const QPoint a = cable->From->LocalToSheet(cable->From->Centre());
        const QPoint b = cable->To->LocalToSheet(cable->To->Centre());
        if (!SegmentTouches(clip, a, b))
            continue;
        UsePen(Canvas, cable->From->KindColor());
        DrawLine(Canvas, a, b);
    }
}

void TKorDrawSheet::Execute()
{
    if (IsDestroying())
        return;
    for (size_t i = 0; i < FModules.size(); ++i)
        FModules[i]->Execute();
    FConnections.Propagate();
}

void TKorDrawSheet::Dump(QTextStream &File, int Level, int Depth) const
{
    DumpLine(File, Level, ClassName());
    if (Depth < 1)
        return;
    DumpLine(File, Level, QStringLiteral("Begin"));
    for (TKorCustomModule *m : FModules)
        m->Dump(File, Level + 1, Depth - 1);
    DumpLine(File, Level, QStringLiteral("End"));
}
