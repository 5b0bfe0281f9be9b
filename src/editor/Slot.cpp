#include "Slot.h"

#include "PanelControls.h"
#include "SlotHistory.h"

#include <QCoreApplication>
#include <QUndoStack>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QToolTip>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

// Steps a slot keeps; each holds only what its edit touched.
constexpr int HistorySteps = 200;

// Detail click reports, standing for the private messages 1024 (click) and 1025 (double-click).
const QEvent::Type ClickEvent = QEvent::Type(QEvent::User + 1024);
const QEvent::Type DblClickEvent = QEvent::Type(QEvent::User + 1025);

class TClickReport : public QEvent {
public:
    TClickReport(TComponent *clicked, bool doubleClick)
        : QEvent(doubleClick ? DblClickEvent : ClickEvent), Clicked(clicked)
    {
    }
    QPointer<TComponent> Clicked; // a report about a detail that is gone is dropped
};

TShiftState ShiftOf(const QMouseEvent *e)
{
    TShiftState s = 0;
    const Qt::KeyboardModifiers m = e->modifiers();
    if (m & Qt::ShiftModifier)
        s |= ssShift;
    if (m & Qt::AltModifier)
        s |= ssAlt;
    if (m & Qt::ControlModifier)
        s |= ssCtrl;
    const Qt::MouseButtons b = e->buttons() | e->button();
    if (b & Qt::LeftButton)
        s |= ssLeft;
    if (b & Qt::RightButton)
        s |= ssRight;
    if (b & Qt::MiddleButton)
        s |= ssMiddle;
    return s;
}

bool ButtonOf(const QMouseEvent *e, TMouseButton &button)
{
    switch (e->button()) {
    case Qt::LeftButton: button = TMouseButton::mbLeft; return true;
    case Qt::RightButton: button = TMouseButton::mbRight; return true;
    case Qt::MiddleButton: button = TMouseButton::mbMiddle; return true;
    default: return false;
    }
}

// How near (in screen pixels) a click must come to a cable to pick it.
constexpr int CableTolerance = 3;
// The highlight drawn over a picked cable and over the cables of the connector under the pointer.
const QColor CableHighlight(255, 255, 0);
// Controls bound to a MIDI controller, and the one learning.
const QColor MidiMarkColor(255, 128, 0);

// Squared distance from p to the segment a-b.
double SegmentDistance2(QPoint p, QPoint a, QPoint b)
{
    const double dx = b.x() - a.x(), dy = b.y() - a.y();
    const double len2 = dx * dx + dy * dy;
    double t = len2 > 0 ? ((p.x() - a.x()) * dx + (p.y() - a.y()) * dy) / len2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    const double ex = a.x() + t * dx - p.x(), ey = a.y() + t * dy - p.y();
    return ex * ex + ey * ey;
}

QPoint CableEnd(const TKorConnector *c)
{
    return c->LocalToSheet(c->Centre());
}

// Runs a patch operation from an event handler: under the patch lock, and with any failure
// shown to the user instead of unwinding through Qt.
template <class F>
void Guarded(TPatchGuard &guard, F &&f)
{
    try {
        std::lock_guard lock(guard.Mutex);
        f();
    } catch (const std::exception &e) {
        Dialogs().ShowError(QString::fromStdString(e.what()));
    }
}

} // namespace

// The surface inside the scroll area: as large as the sheet (times the zoom), black between
// the modules. It hands the sheet every mouse point in sheet coordinates.
class TKorSlotCanvas : public QWidget {
public:
    explicit TKorSlotCanvas(TKorSlot *slot) : FSlot(slot)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setMouseTracking(true);
        setFocusPolicy(Qt::ClickFocus); // the arrow keys go to the knob clicked last
    }

protected:
    void paintEvent(QPaintEvent *e) override
    {
        QPainter p(this);
        p.fillRect(e->rect(), Qt::black);
        TKorDrawSheet *sheet = FSlot->Sheet();
        if (!sheet)
            return;
        p.setClipRegion(e->region());
        if (FSlot->Zoom() != 100) {
            const double z = FSlot->Zoom() / 100.0;
            p.scale(z, z);
        }
        try {
            std::lock_guard lock(FSlot->Guard().Mutex);
            sheet->PaintAll(p);
            PaintHighlights(p);
            PaintMidiMarks(p);
            sheet->PaintOverlay(p);
        } catch (const std::exception &ex) {
            qWarning("Korvane: painting stopped: %s", ex.what()); // the next paint starts afresh
        }
    }

    void mousePressEvent(QMouseEvent *e) override
    {
        TMouseButton button;
        if (!ButtonOf(e, button) || !FSlot->Sheet())
            return;
        if (button == TMouseButton::mbLeft)
            FLeftPressed = true;
        const QPoint p = FSlot->ToSheet(e->position().toPoint());
        if (button == TMouseButton::mbLeft)
            PickAt(p);
        FSlot->BeginGesture(p);
        Guarded(FSlot->Guard(), [&] { FSlot->Sheet()->MouseDown(button, ShiftOf(e), p.x(), p.y()); });
    }

    void mouseMoveEvent(QMouseEvent *e) override
    {
        if (!FSlot->Sheet())
            return;
        const QPoint p = FSlot->ToSheet(e->position().toPoint());
        if (!(e->buttons() & Qt::LeftButton)) {
            std::lock_guard lock(FSlot->Guard().Mutex);
            TKorConnector *c = FSlot->Sheet()->ConnectorAt(nullptr, p);
            FSlot->SetHover(c && c->IsConnected() ? c : nullptr);
        }
        Guarded(FSlot->Guard(), [&] { FSlot->Sheet()->MouseMove(ShiftOf(e), p.x(), p.y()); });
    }

    void leaveEvent(QEvent *) override { FSlot->SetHover(nullptr); }

    void mouseReleaseEvent(QMouseEvent *e) override
    {
        TMouseButton button;
        if (!ButtonOf(e, button) || !FSlot->Sheet())
            return;
        const QPoint w = e->position().toPoint(), p = FSlot->ToSheet(w);
        // A left press and release on the canvas is a click, raised before the release.
        const bool click = button == TMouseButton::mbLeft && FLeftPressed && rect().contains(w);
        if (button == TMouseButton::mbLeft)
            FLeftPressed = false;
        Guarded(FSlot->Guard(), [&] {
            if (click)
                FSlot->Sheet()->Click();
            FSlot->Sheet()->MouseUp(button, ShiftOf(e), p.x(), p.y());
        });
        FSlot->EndGesture();
    }

    void mouseDoubleClickEvent(QMouseEvent *e) override
    {
        TMouseButton button;
        if (!ButtonOf(e, button) || !FSlot->Sheet())
            return;
        if (button == TMouseButton::mbLeft)
            FLeftPressed = true;
        const QPoint p = FSlot->ToSheet(e->position().toPoint());
        FSlot->BeginGesture(p);
        Guarded(FSlot->Guard(), [&] {
            if (button == TMouseButton::mbLeft)
                FSlot->Sheet()->DblClick();
            FSlot->Sheet()->MouseDown(button, ShiftOf(e) | ssDouble, p.x(), p.y());
        });
    }

    void wheelEvent(QWheelEvent *e) override
    {
        // Some systems turn Shift+wheel into a sideways turn; fine wheels send parts of a notch.
        const QPoint delta = e->angleDelta();
        FWheelRest += delta.y() != 0 ? delta.y() : delta.x();
        const int notches = FWheelRest / 120;
        FWheelRest %= 120;
        if (notches == 0 || !FSlot->Sheet()) {
            e->ignore();
            return;
        }
        if (e->modifiers() & Qt::ControlModifier) {
            const QPoint anchor = mapToParent(e->position().toPoint()); // the parent is the viewport
            FSlot->SetZoom(FSlot->Zoom() + notches * TKorSlot::ZoomStep, anchor);
            e->accept();
            return;
        }
        if (TKorKnob *knob = KnobAt(FSlot->ToSheet(e->position().toPoint()))) {
            FSlot->TurnKnob(knob, notches * (e->modifiers() & Qt::ShiftModifier ? 10 : 1));
            e->accept();
            return;
        }
        e->ignore(); // the scroll area scrolls
    }

    void keyPressEvent(QKeyEvent *e) override
    {
        TKorKnob *knob = FSlot->FocusedKnob();
        int steps = 0;
        switch (e->key()) {
        case Qt::Key_Up:
        case Qt::Key_Right: steps = 1; break;
        case Qt::Key_Down:
        case Qt::Key_Left: steps = -1; break;
        case Qt::Key_PageUp: steps = 10; break;
        case Qt::Key_PageDown: steps = -10; break;
        default: break;
        }
        if (!knob || steps == 0) {
            QWidget::keyPressEvent(e);
            return;
        }
        FSlot->TurnKnob(knob, steps);
    }

    void contextMenuEvent(QContextMenuEvent *e) override
    {
        const QPoint p = FSlot->ToSheet(e->pos());
        // A knob's own right-click edits its value; with Shift it asks for the module's menu.
        if (!FSlot->OnContextMenu || !FSlot->Sheet() || (KnobAt(p) && !(e->modifiers() & Qt::ShiftModifier)))
            return;
        FSlot->OnContextMenu(FSlot, p, e->globalPos());
    }

    bool event(QEvent *e) override
    {
        if (e->type() != QEvent::ToolTip || !FSlot->Sheet())
            return QWidget::event(e);
        auto *help = static_cast<QHelpEvent *>(e);
        const QPoint p = FSlot->ToSheet(help->pos());
        QString text;
        {
            std::lock_guard lock(FSlot->Guard().Mutex);
            TKorCustomModule *m = FSlot->Sheet()->ModuleAt(p);
            if (TKorCustomDetail *d = m ? m->DetailAt(m->SheetToLocal(p)) : nullptr)
                text = FSlot->BindingText(d);
        }
        if (text.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), text, this);
        return true;
    }

private:
    TKorKnob *KnobAt(QPoint p) const
    {
        std::lock_guard lock(FSlot->Guard().Mutex);
        TKorCustomModule *m = FSlot->Sheet()->ModuleAt(p);
        return m ? qobject_cast<TKorKnob *>(m->DetailAt(m->SheetToLocal(p))) : nullptr;
    }

    // A left press picks the knob under it for the keys, and a cable when it lands on bare sheet.
    void PickAt(QPoint p)
    {
        FSlot->FFocusedKnob = KnobAt(p);
        bool onModule;
        {
            std::lock_guard lock(FSlot->Guard().Mutex);
            onModule = FSlot->Sheet()->ModuleAt(p) != nullptr;
        }
        if (onModule)
            FSlot->DropCable();
        else
            FSlot->SelectCableAt(p);
    }

    // A small corner mark on each control a MIDI controller is bound to, and a dotted frame
    // around the control waiting for one. The sheet's modules never store either.
    void PaintMidiMarks(QPainter &p) const
    {
        const TKorMidiMap &map = FSlot->Sheet()->MidiMap();
        if (map.Empty() && !FSlot->FLearnControl)
            return;
        p.save();
        p.setPen(Qt::NoPen);
        p.setBrush(MidiMarkColor);
        for (const TMidiBinding &b : map.Bindings()) {
            if (b.Ref.Module->BeingCreated())
                continue;
            const QPoint corner = b.Ref.Control->LocalToSheet({b.Ref.Control->Width(), 0});
            const QPoint mark[] = {corner, corner + QPoint(-5, 0), corner + QPoint(0, 5)};
            p.drawPolygon(mark, 3);
        }
        if (TKorCustomDetail *c = FSlot->FLearnControl) {
            QPen pen(MidiMarkColor, 1, Qt::DotLine);
            p.setPen(pen);
            p.setBrush(Qt::NoBrush);
            const QPoint at = c->LocalToSheet({0, 0});
            p.drawRect(QRect(at - QPoint(2, 2), QSize(c->Width() + 3, c->Height() + 3)));
        }
        p.restore();
    }

    void PaintHighlights(QPainter &p) const
    {
        TKorDrawSheet *sheet = FSlot->Sheet();
        if (!sheet->CablesVisible() || (!FSlot->FCableFrom && !FSlot->FHover))
            return;
        p.save();
        QPen pen(CableHighlight, 3);
        pen.setCapStyle(Qt::RoundCap);
        p.setPen(pen);
        for (int i = 0; i < sheet->CableCount(); ++i) {
            TKorConnector *a = sheet->CableFrom(i), *b = sheet->CableTo(i);
            const bool picked = a == FSlot->FCableFrom && b == FSlot->FCableTo;
            if (picked || (FSlot->FHover && (a == FSlot->FHover || b == FSlot->FHover)))
                p.drawLine(CableEnd(a), CableEnd(b));
        }
        p.restore();
    }

    TKorSlot *FSlot;
    bool FLeftPressed = false;
    int FWheelRest = 0; // eighths of a degree not yet making a notch
};

TKorSlot::TKorSlot(TPatchGuard *guard, QWidget *parent)
    : QScrollArea(parent), FOwnGuard(guard ? nullptr : std::make_unique<TPatchGuard>()),
      FGuard(guard ? guard : FOwnGuard.get())
{
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(false);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::black);
    setPalette(pal);
    viewport()->setAutoFillBackground(true);
    viewport()->setPalette(pal);
    setWidget(new TKorSlotCanvas(this));
    FHistory = new QUndoStack(this);
    FHistory->setUndoLimit(HistorySteps);
    connect(FHistory, &QUndoStack::cleanChanged, this, [this] {
        // After a failed step the stack may call the patch clean on its way to being cleared:
        // nobody may take that for a save.
        if (OnModifiedChange && !FHistoryFailed)
            OnModifiedChange(this);
    });
    connect(FHistory, &QUndoStack::indexChanged, this, [this] {
        if (OnEdited)
            OnEdited(this);
    });
    LinkSheet(CreateOwned<TKorDrawSheet>());
}

TKorSlot::~TKorSlot()
{
    FDestroying = true;
    // The history goes with the widget's children, after this object has stopped being a slot;
    // what it signals on its way (its group lets it go, it calls itself clean) must not reach
    // the slot's handlers then.
    FHistory->disconnect(this);
    std::lock_guard lock(FGuard->Mutex);
    FSheet.reset();
}

void TKorSlot::LinkSheet(TOwned<TKorDrawSheet> sheet)
{
    TOwned<TKorDrawSheet> old;
    {
        TStructuralEdit edit(*FGuard);
        old = std::move(FSheet);
        old.reset(); // still linked and in its own state, so its sounding notes' note-offs go out
        FSheet = std::move(sheet);
        FSheet->SetHost(this);
        FActive = FSheet->Active(); // a patch saved stopped loads stopped
    }
    Canvas()->update();
}

void TKorSlot::Execute()
{
    if (FSheet && FActive) {
        FTicksRun.fetch_add(1, std::memory_order_relaxed);
        FSheet->Execute();
    }
}

void TKorSlot::TickFailed(int64_t tick, const char *what)
{
    if (FTicksFailed.fetch_add(1, std::memory_order_relaxed) > 0)
        return;
    FFirstErrorTick = tick;
    size_t n = what ? std::strlen(what) : 0;
    if (n >= TickErrorTextSize) {
        n = TickErrorTextSize - 1;
        while (n > 0 && (uint8_t(what[n]) & 0xC0) == 0x80) // never cut a character in two
            --n;
    }
    std::memcpy(FFirstError, what ? what : "", n);
    FFirstError[n] = '\0';
    // Once per run of errors; a slot that is gone by then takes the call with it.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (OnTickFailed)
                OnTickFailed(this);
        },
        Qt::QueuedConnection);
}

TKorSlot::TTickErrors TKorSlot::TickErrors() const
{
    std::lock_guard lock(FGuard->Mutex);
    TTickErrors e;
    e.TicksRun = FTicksRun.load(std::memory_order_relaxed);
    e.TicksFailed = FTicksFailed.load(std::memory_order_relaxed);
    if (e.TicksFailed > 0) {
        e.FirstTick = FFirstErrorTick;
        e.FirstError = QString::fromUtf8(FFirstError);
    }
    return e;
}

void TKorSlot::ClearTickErrors()
{
    std::lock_guard lock(FGuard->Mutex);
    FTicksRun = 0;
    FTicksFailed = 0;
    FFirstErrorTick = -1;
    FFirstError[0] = '\0';
}

bool TKorSlot::MidiInShort(uint32_t aMessage, bool pickUp)
{
    std::lock_guard lock(FGuard->Mutex);
    if (!FSheet || !FActive)
        return false;
    const bool changed = FSheet->MidiMap().Apply(aMessage, pickUp);
    FSheet->MidiInShort(aMessage);
    return changed;
}

void TKorSlot::MidiInLong(const TLongMidi &aMessage)
{
    std::lock_guard lock(FGuard->Mutex);
    if (FSheet && FActive)
        FSheet->MidiInLong(aMessage);
}

void TKorSlot::Save()
{
    // Callers ask for a file first: writing a made-up name could overwrite another patch.
    if (!HasFile())
        throw EFileError(QStringLiteral("%1 has no file yet: save it with Save as.").arg(FSlotName));
    SaveToFile(FSlotFileName);
}

void TKorSlot::SaveToFile(const QString &aFileName)
{
    QByteArray binary;
    {
        std::lock_guard lock(FGuard->Mutex); // renaming and reordering touch the patch
        binary = PrepareSheetBinary(*FSheet);
    }
    WriteSheetBinary(binary, aFileName);
    FSlotFileName = aFileName;
    FHistory->setClean();
}

void TKorSlot::LoadFromFile(const QString &aFileName, const QString &shownName)
{
    AdoptSheet(ReadSheetFromFile(aFileName, shownName), aFileName);
}

void TKorSlot::LoadFromText(const QByteArray &text, const QString &aFileName)
{
    AdoptSheet(ReadSheetFromText(text, aFileName), aFileName);
}

void TKorSlot::AdoptSheet(TOwned<TKorDrawSheet> sheet, const QString &aFileName)
{
    const TUpdateScope loading(*FGuard);
    const TQuiet quiet(*this);
    FGestureOpen = false;
    FGestureBefore.clear();
    FPlacing = nullptr;
    LinkSheet(std::move(sheet));
    // A failure still to be reported was of the patch that went; its clean state is the file's.
    const bool failed = std::exchange(FHistoryFailed, false);
    FHistory->clear();
    if (failed && OnModifiedChange)
        OnModifiedChange(this);
    ModuleCountChanged();
    // May show a message box: the update count keeps ticks away without holding the lock.
    FSheet->ResolveConnections();
    if (FSheet->ModuleCount() > 0)
        ScrollInView(FSheet->Modules(0));
    FSheet->UpdateExtent();
    FSlotFileName = aFileName;
}

bool TKorSlot::Modified() const
{
    return !FHistory->isClean();
}

void TKorSlot::SetModified()
{
    FHistory->resetClean();
}

QByteArray TKorSlot::PatchText() const
{
    return PatchText(PatchSnapshot());
}

TObjectSnapshot TKorSlot::PatchSnapshot() const
{
    TPatchPieces pieces(*FGuard, PatchPiece);
    return TakeSnapshot(*FSheet, [&] { pieces.Breathe(); });
}

QByteArray TKorSlot::PatchText(const TObjectSnapshot &snapshot)
{
    return ObjectBinaryToText(snapshot.Binary());
}

void TKorSlot::Push(TSlotStep *step)
{
    if (FQuiet > 0) {
        delete step;
        return;
    }
    FHistory->push(step);
}

TKorCustomModule *TKorSlot::AddModule(const TComponentClass &aModuleClass)
{
    if (!FSheet)
        return nullptr;
    // The sheet drops a module still being placed, whichever sheet it is on (the gesture is
    // shared): its slot records that drop before this module's step.
    TKorSlot *dropping = SlotPlacingAModule();
    TKorCustomModule *m;
    {
        std::lock_guard lock(FGuard->Mutex);
        m = FSheet->AddModule(aModuleClass);
    }
    if (dropping && dropping != this)
        dropping->RecordPlaced();
    RecordPlaced();
    TFragment fragment;
    {
        std::lock_guard lock(FGuard->Mutex);
        fragment = CaptureFragment(*FSheet, {m});
        FPlacingBefore = ModuleSettings(*m);
    }
    FPlacing = m;
    Push(new TFragmentStep(*this, ModulesStepText(QStringLiteral("Add"), 1), std::move(fragment), true, ++FPlacement));
    return m;
}

void TKorSlot::RecordPlaced()
{
    if (!FPlacing || FPlacing->BeingCreated() || !FSheet)
        return;
    TKorCustomModule *dropped = FPlacing;
    FPlacing = nullptr;
    std::vector<TSettingsChange> changes;
    QString text;
    {
        std::lock_guard lock(FGuard->Mutex);
        QVariantList after = ModuleSettings(*dropped);
        if (dropped->Owner() != FSheet.get() || after == FPlacingBefore)
            return;
        text = SettingsStepText(*dropped, FPlacingBefore, after);
        changes.push_back({dropped->ComponentIndex(), dropped->ClassName(), std::move(FPlacingBefore), std::move(after)});
    }
    Push(new TSettingsStep(*this, text, std::move(changes), FPlacement));
}

TKorSlot *TKorSlot::SlotPlacingAModule()
{
    auto *m = qobject_cast<TKorCustomModule *>(DragState.DragObject.data());
    TKorDrawSheet *sheet = m && m->BeingCreated() ? m->DrawSheet() : nullptr;
    return sheet ? dynamic_cast<TKorSlot *>(sheet->Host()) : nullptr;
}

void TKorSlot::RemoveModules(const QString &verb, bool all)
{
    std::vector<TKorCustomModule *> chosen;
    {
        std::lock_guard lock(FGuard->Mutex);
        for (int i = 0; i < FSheet->ModuleCount(); ++i)
            if (all || FSheet->Modules(i)->Selected())
                chosen.push_back(FSheet->Modules(i));
    }
    RemoveChosenModules(verb, chosen);
}

void TKorSlot::RemoveChosenModules(const QString &verb, const std::vector<TKorCustomModule *> &chosen)
{
    if (chosen.empty())
        return;
    TFragment fragment;
    {
        const TQuiet quiet(*this);
        TStructuralEdit edit(*FGuard);
        fragment = CaptureFragment(*FSheet, chosen);
        RemoveFragment(*FSheet, fragment);
    }
    const int count = int(fragment.Modules.size());
    Push(new TFragmentStep(*this, ModulesStepText(verb, count), std::move(fragment), false));
}

void TKorSlot::StepFailed(bool redo, const QString &reason)
{
    if (FHistoryFailed)
        return;
    QString why = reason;
    if (why.endsWith(u'.'))
        why.chop(1);
    const QString text = QStringLiteral("%1 could not be applied: %2. The history of %3 was cleared.")
                             .arg(redo ? QStringLiteral("Redo") : QStringLiteral("Undo"), why, FSlotName);
    FHistoryFailed = true;
    const bool wasModified = Modified();
    // QUndoStack is still in the middle of the step: clearing it now would free the step under
    // its feet. The patch may differ from its file, whatever the history said.
    QMetaObject::invokeMethod(
        this,
        [this, text, wasModified] {
            if (FHistoryFailed) {
                FHistory->clear();
                SetModified();
                FHistoryFailed = false;
                if (!wasModified && OnModifiedChange)
                    OnModifiedChange(this);
            }
            Dialogs().ShowError(text);
        },
        Qt::QueuedConnection);
}

void TKorSlot::DeleteAllModules()
{
    RemoveModules(QStringLiteral("Delete"), true);
}

void TKorSlot::DeleteSelectedModules()
{
    RemoveModules(QStringLiteral("Delete"), false);
}

void TKorSlot::CutSelection()
{
    CopySelection();
    RemoveModules(QStringLiteral("Cut"), false);
}

void TKorSlot::CopySelection()
{
    std::lock_guard lock(FGuard->Mutex);
    FSheet->CopySelection();
}

void TKorSlot::PasteClipboard()
{
    std::vector<TKorCustomModule *> pasted;
    TFragment fragment;
    {
        const TQuiet quiet(*this);
        TStructuralEdit edit(*FGuard);
        const int before = FSheet->ComponentCount();
        FSheet->PasteClipboard();
        for (int i = before; i < FSheet->ComponentCount(); ++i)
            if (auto *m = qobject_cast<TKorCustomModule *>(FSheet->Components(i)))
                pasted.push_back(m);
        if (pasted.empty())
            return;
        fragment = CaptureFragment(*FSheet, pasted);
    }
    Push(new TFragmentStep(*this, ModulesStepText(QStringLiteral("Paste"), int(pasted.size())), std::move(fragment), true));
}

bool TKorSlot::BindMidiController(TKorCustomModule *module, const QByteArray &property, int channel, int controller)
{
    if (!FSheet || !module || module->Owner() != FSheet.get())
        return false;
    TBindingState before, after;
    {
        std::lock_guard lock(FGuard->Mutex);
        TKorMidiMap &map = FSheet->MidiMap();
        before = BindingState(map, *module, property);
        if (before.Bound && before.Channel == channel && before.Controller == controller)
            return false;
        if (!map.Bind(*module, property, channel, controller))
            return false;
        after = BindingState(map, *module, property);
    }
    module->Invalidate();
    Push(new TBindingStep(*this, QStringLiteral("Bind MIDI controller"), module->ComponentIndex(), module->ClassName(),
                          property, before, after));
    return true;
}

bool TKorSlot::ForgetMidiController(TKorCustomModule *module, const QByteArray &property)
{
    if (!FSheet || !module || module->Owner() != FSheet.get())
        return false;
    TBindingState before;
    {
        std::lock_guard lock(FGuard->Mutex);
        before = BindingState(FSheet->MidiMap(), *module, property);
        if (!before.Bound)
            return false;
        FSheet->MidiMap().Forget(module, property);
    }
    module->Invalidate();
    Push(new TBindingStep(*this, QStringLiteral("Forget MIDI controller"), module->ComponentIndex(), module->ClassName(),
                          property, before, {}));
    return true;
}

void TKorSlot::SetLearnControl(TKorCustomDetail *control)
{
    if (FLearnControl == control)
        return;
    const auto repaint = [this](TKorCustomDetail *c) {
        if (!c || c->Sheet() != FSheet.get())
            return;
        const QPoint at = c->LocalToSheet({0, 0});
        widget()->update(ToCanvas(TRect{at.x(), at.y(), at.x() + c->Width(), at.y() + c->Height()}.Inflated(4)));
    };
    repaint(FLearnControl);
    FLearnControl = control;
    repaint(control);
}

QString TKorSlot::BindingText(const TKorCustomDetail *control) const
{
    const TMidiBinding *b = FSheet ? FSheet->MidiMap().BindingOf(control) : nullptr;
    return b ? QStringLiteral("CC %1, channel %2").arg(b->Controller).arg(b->Channel) : QString();
}

void TKorSlot::EditModule(TKorCustomModule *module, const std::function<void()> &edit)
{
    std::vector<std::pair<QPointer<TKorCustomModule>, QVariantList>> before;
    {
        std::lock_guard lock(FGuard->Mutex);
        before.emplace_back(module, ModuleSettings(*module));
        edit();
    }
    PushSettingsChanges(before);
}

void TKorSlot::BeginGesture(QPoint p)
{
    EndGesture();
    if (!FSheet)
        return;
    FGestureOpen = true;
    std::lock_guard lock(FGuard->Mutex);
    TKorCustomModule *under = FSheet->ModuleAt(p);
    for (int i = 0; i < FSheet->ModuleCount(); ++i) {
        TKorCustomModule *m = FSheet->Modules(i);
        if ((m == under || m->Selected()) && m != FPlacing)
            FGestureBefore.emplace_back(m, ModuleSettings(*m));
    }
}

void TKorSlot::EndGesture()
{
    // A module from the palette is dropped by a release, whether or not the canvas saw a press.
    RecordPlaced();
    if (!FGestureOpen)
        return;
    FGestureOpen = false;
    auto before = std::move(FGestureBefore);
    FGestureBefore.clear();
    PushSettingsChanges(before);
}

void TKorSlot::PushSettingsChanges(const std::vector<std::pair<QPointer<TKorCustomModule>, QVariantList>> &before)
{
    std::vector<TSettingsChange> changes;
    QString text;
    {
        std::lock_guard lock(FGuard->Mutex);
        for (const auto &[module, settings] : before) {
            if (!module || module->Owner() != FSheet.get())
                continue;
            QVariantList after = ModuleSettings(*module);
            if (after == settings)
                continue;
            const QString what = SettingsStepText(*module, settings, after);
            text = changes.empty() || what == text ? what : QStringLiteral("Change %1 modules").arg(changes.size() + 1);
            changes.push_back({module->ComponentIndex(), module->ClassName(), settings, std::move(after)});
        }
    }
    if (!changes.empty())
        Push(new TSettingsStep(*this, text, std::move(changes)));
}

void TKorSlot::SelectAll()
{
    std::lock_guard lock(FGuard->Mutex);
    FSheet->SelectAll();
}

void TKorSlot::InvertSelection()
{
    std::lock_guard lock(FGuard->Mutex);
    FSheet->InvertSelection();
}

void TKorSlot::RefreshColors()
{
    std::lock_guard lock(FGuard->Mutex);
    FSheet->RefreshColors();
}

void TKorSlot::Dump(QTextStream &aFile, int aLevel, int aDepth) const
{
    DumpLine(aFile, aLevel, QStringLiteral("Slot"));
    if (FSheet)
        FSheet->Dump(aFile, aLevel, aDepth);
}

QSize TKorSlot::ClientSize() const
{
    const QSize v = viewport()->size();
    return FZoom == 100 ? v : QSize(v.width() * 100 / FZoom, v.height() * 100 / FZoom);
}

void TKorSlot::ExtentChanged(QSize size)
{
    Canvas()->resize(FZoom == 100 ? size : QSize(size.width() * FZoom / 100, size.height() * FZoom / 100));
}

void TKorSlot::InvalidateRect(const TRect &r, bool)
{
    Canvas()->update(ToCanvas(r));
}

QPoint TKorSlot::ToSheet(QPoint canvasPoint) const
{
    if (FZoom == 100)
        return canvasPoint;
    // Floor division, so that every canvas pixel lands in the sheet pixel it shows.
    const auto scale = [this](int v) { return int(std::floor(double(v) * 100 / FZoom)); };
    return {scale(canvasPoint.x()), scale(canvasPoint.y())};
}

QRect TKorSlot::ToCanvas(const TRect &r) const
{
    if (FZoom == 100)
        return r.ToQRect();
    // Outward rounding plus a pixel: scaled pens may reach into the next canvas pixel.
    const double z = FZoom / 100.0;
    const int l = int(std::floor(r.Left * z)) - 1, t = int(std::floor(r.Top * z)) - 1;
    const int rr = int(std::ceil(r.Right * z)) + 1, b = int(std::ceil(r.Bottom * z)) + 1;
    return QRect(l, t, rr - l, b - t);
}

void TKorSlot::SetZoom(int percent, std::optional<QPoint> anchor)
{
    percent = std::clamp(percent, ZoomMin, ZoomMax);
    if (percent == FZoom)
        return;
    const QPoint at = anchor.value_or(QPoint(viewport()->width() / 2, viewport()->height() / 2));
    const QPoint scroll(horizontalScrollBar()->value(), verticalScrollBar()->value());
    const double sheetX = double(at.x() + scroll.x()) * 100 / FZoom, sheetY = double(at.y() + scroll.y()) * 100 / FZoom;
    FZoom = percent;
    if (FSheet) {
        std::lock_guard lock(FGuard->Mutex);
        ExtentChanged(QSize(FSheet->Width(), FSheet->Height()));
        FSheet->UpdateExtent();
    }
    horizontalScrollBar()->setValue(int(std::lround(sheetX * FZoom / 100)) - at.x());
    verticalScrollBar()->setValue(int(std::lround(sheetY * FZoom / 100)) - at.y());
    Canvas()->update();
}

void TKorSlot::UpdateNow()
{
    // The backing store paints pending damage on the next pass of the event loop; painting
    // synchronously here would only repaint the same areas twice while a knob turns.
    Canvas()->update();
}

QPoint TKorSlot::ClientToScreen(QPoint p) const
{
    return Canvas()->mapToGlobal(FZoom == 100 ? p : p * FZoom / 100);
}

QPoint TKorSlot::ScreenToClient(QPoint p) const
{
    return ToSheet(Canvas()->mapFromGlobal(p));
}

void TKorSlot::PostClick(TComponent *clicked, bool doubleClick)
{
    QCoreApplication::postEvent(this, new TClickReport(clicked, doubleClick));
}

bool TKorSlot::event(QEvent *e)
{
    if (e->type() != ClickEvent && e->type() != DblClickEvent)
        return QScrollArea::event(e);
    TComponent *clicked = static_cast<TClickReport *>(e)->Clicked;
    const TNotifyEvent &handler = e->type() == ClickEvent ? OnClick : OnDblClick;
    if (clicked && handler)
        handler(clicked);
    return true;
}

void TKorSlot::resizeEvent(QResizeEvent *e)
{
    QScrollArea::resizeEvent(e);
    if (FSheet) {
        std::lock_guard lock(FGuard->Mutex);
        FSheet->UpdateExtent();
    }
}

void TKorSlot::ScrollInView(TKorCustomDetail *detail)
{
    if (!detail)
        return;
    const QPoint sheetTopLeft = detail->LocalToSheet({0, 0});
    const QRect shown = ToCanvas({sheetTopLeft.x(), sheetTopLeft.y(), sheetTopLeft.x() + detail->Width(),
                                  sheetTopLeft.y() + detail->Height()});
    const QPoint topLeft = FZoom == 100 ? sheetTopLeft : shown.topLeft();
    const QSize size = FZoom == 100 ? QSize(detail->Width(), detail->Height()) : shown.size();
    const QPoint origin(horizontalScrollBar()->value(), verticalScrollBar()->value());
    TRect r{topLeft.x() - origin.x(), topLeft.y() - origin.y(), topLeft.x() - origin.x() + size.width(),
            topLeft.y() - origin.y() + size.height()};
    auto scrollAxis = [](QScrollBar *bar, int32_t lo, int32_t hi, int32_t client) {
        if (lo < 0) {
            bar->setValue(bar->value() + lo);
        } else if (hi > client) {
            if (hi - lo > client)
                hi = lo + client;
            bar->setValue(bar->value() + hi - client);
        }
    };
    const QSize client = viewport()->size();
    scrollAxis(horizontalScrollBar(), r.Left, r.Right, client.width());
    scrollAxis(verticalScrollBar(), r.Top, r.Bottom, client.height());
}

void TKorSlot::MidiOutShort(TKorCustomModule *sender, uint32_t msg)
{
    if (FActive && OnMidiOutShort)
        OnMidiOutShort(sender, msg);
}

void TKorSlot::MidiOutLong(TKorCustomModule *sender, const TLongMidi &msg)
{
    if (FActive && OnMidiOutLong)
        OnMidiOutLong(sender, msg);
}

void TKorSlot::ConnectionMade(TKorConnector *from, TKorConnector *to)
{
    if (FQuiet == 0 && FSheet)
        Push(new TCableStep(*this, QStringLiteral("Cable"), RecordCable(from, to, FSheet->Connections().LastToggledIndex()), true));
    if (OnConnectionMade)
        OnConnectionMade(this, from, to);
}

void TKorSlot::ConnectionLost(TKorConnector *from, TKorConnector *to)
{
    if (FQuiet == 0 && FSheet)
        Push(new TCableStep(*this, QStringLiteral("Remove cable"), RecordCable(from, to, FSheet->Connections().LastToggledIndex()), false));
    if (OnConnectionLost)
        OnConnectionLost(this, from, to);
}

void TKorSlot::ModuleCountChanged()
{
    if (FDestroying)
        return;
    const int count = ModuleCount();
    if (OnModuleCountChange)
        OnModuleCountChange(this, count);
    if (OnCountChange)
        OnCountChange(this, count);
}

bool TKorSlot::CancelPlacing()
{
    if (!Placing() || !FSheet)
        return false;
    TKorCustomModule *placing = FPlacing;
    FPlacing = nullptr;
    const int last = FHistory->count() - 1;
    const auto *step = last >= 0 && FHistory->index() == FHistory->count()
                           ? dynamic_cast<const TFragmentStep *>(FHistory->command(last))
                           : nullptr;
    if (!step || step->Placement() != FPlacement) {
        // Steps were recorded with it on the sheet: taking it away is one more.
        RemoveChosenModules(QStringLiteral("Delete"), {placing});
        Canvas()->update();
        return true;
    }
    {
        // The sheet ends the gesture the module owned as it leaves, erasing its outline.
        TStructuralEdit edit(*FGuard);
        for (int i = 0; i < FSheet->ModuleCount(); ++i)
            if (FSheet->Modules(i) == placing) {
                FSheet->FreeModule(i);
                break;
            }
    }
    // An obsolete step leaves the stack without being undone: the module is gone already.
    const_cast<QUndoCommand *>(FHistory->command(last))->setObsolete(true);
    FHistory->undo();
    Canvas()->update();
    return true;
}

int TKorSlot::CableAt(QPoint sheetPoint, int tolerance) const
{
    if (!FSheet)
        return -1;
    std::lock_guard lock(FGuard->Mutex);
    const double limit = double(tolerance) * tolerance;
    for (int i = FSheet->CableCount() - 1; i >= 0; --i) // the last drawn lies on top
        if (SegmentDistance2(sheetPoint, CableEnd(FSheet->CableFrom(i)), CableEnd(FSheet->CableTo(i))) <= limit)
            return i;
    return -1;
}

bool TKorSlot::SelectCableAt(QPoint sheetPoint)
{
    // The tolerance is in screen pixels, so a zoomed-out cable is as easy to hit.
    const int i = CableAt(sheetPoint, std::max(1, CableTolerance * 100 / FZoom));
    DropCable();
    if (i < 0)
        return false;
    {
        std::lock_guard lock(FGuard->Mutex);
        FCableFrom = FSheet->CableFrom(i);
        FCableTo = FSheet->CableTo(i);
    }
    InvalidateSelectedCable();
    return true;
}

void TKorSlot::DropCable()
{
    InvalidateSelectedCable();
    FCableFrom = FCableTo = nullptr;
}

bool TKorSlot::RemoveSelectedCable()
{
    if (!FSheet || !FCableFrom || !FCableTo)
        return false;
    InvalidateSelectedCable();
    {
        std::lock_guard lock(FGuard->Mutex);
        if (FSheet->Connections().IndexOfPair(FCableFrom, FCableTo) < 0)
            return false;
        FSheet->ToggleConnection(FCableFrom, FCableTo); // breaks it, reported as one step
    }
    FCableFrom = FCableTo = nullptr;
    return true;
}

void TKorSlot::RemoveCablesOf(TKorConnector *connector, TKorConnection *only)
{
    if (!FSheet || !connector)
        return;
    InvalidateCables(connector);
    std::lock_guard lock(FGuard->Mutex);
    std::vector<std::pair<TKorConnector *, TKorConnector *>> chosen;
    TKorConnections &cables = FSheet->Connections();
    for (int i = cables.Count() - 1; i >= 0; --i) {
        const TKorConnection *c = cables.Items(i);
        if ((c->From == connector || c->To == connector) && (!only || c == only))
            chosen.emplace_back(c->From, c->To);
    }
    if (chosen.empty())
        return; // an empty step would mark the patch modified for nothing
    FHistory->beginMacro(chosen.size() == 1 ? QStringLiteral("Remove cable") : QStringLiteral("Remove cables"));
    for (const auto &[from, to] : chosen)
        FSheet->ToggleConnection(from, to);
    FHistory->endMacro();
}

void TKorSlot::TurnKnob(TKorKnob *knob, int32_t steps)
{
    auto *module = knob ? qobject_cast<TKorCustomModule *>(knob->Owner()) : nullptr;
    if (!module)
        return;
    EditModule(module, [&] { knob->TurnBy(steps); });
}

void TKorSlot::InvalidateCables(TKorConnector *connector)
{
    if (!FSheet || !connector)
        return;
    std::lock_guard lock(FGuard->Mutex);
    for (int i = 0; i < FSheet->CableCount(); ++i) {
        TKorConnector *a = FSheet->CableFrom(i), *b = FSheet->CableTo(i);
        if (a == connector || b == connector)
            Canvas()->update(ToCanvas(TRect::FromQRect(QRect(CableEnd(a), CableEnd(b)).normalized()).Inflated(3)));
    }
}

void TKorSlot::InvalidateSelectedCable()
{
    if (FCableFrom && FCableTo)
        Canvas()->update(ToCanvas(
            TRect::FromQRect(QRect(CableEnd(FCableFrom), CableEnd(FCableTo)).normalized()).Inflated(3)));
}

void TKorSlot::SetHover(TKorConnector *connector)
{
    if (connector == FHover)
        return;
    InvalidateCables(FHover);
    FHover = connector;
    InvalidateCables(FHover);
}
