#include "Slot.h"

#include "SlotHistory.h"

#include <QCoreApplication>
#include <QUndoStack>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <cstring>

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

// The surface inside the scroll area: as large as the sheet, black between the modules.
class TKorSlotCanvas : public QWidget {
public:
    explicit TKorSlotCanvas(TKorSlot *slot) : FSlot(slot)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setMouseTracking(true);
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
        try {
            std::lock_guard lock(FSlot->Guard().Mutex);
            sheet->PaintAll(p);
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
        const QPoint p = e->position().toPoint();
        FSlot->BeginGesture(p);
        Guarded(FSlot->Guard(), [&] { FSlot->Sheet()->MouseDown(button, ShiftOf(e), p.x(), p.y()); });
    }

    void mouseMoveEvent(QMouseEvent *e) override
    {
        if (!FSlot->Sheet())
            return;
        const QPoint p = e->position().toPoint();
        Guarded(FSlot->Guard(), [&] { FSlot->Sheet()->MouseMove(ShiftOf(e), p.x(), p.y()); });
    }

    void mouseReleaseEvent(QMouseEvent *e) override
    {
        TMouseButton button;
        if (!ButtonOf(e, button) || !FSlot->Sheet())
            return;
        const QPoint p = e->position().toPoint();
        // A left press and release on the canvas is a click, raised before the release.
        const bool click = button == TMouseButton::mbLeft && FLeftPressed && rect().contains(p);
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
        const QPoint p = e->position().toPoint();
        FSlot->BeginGesture(p);
        Guarded(FSlot->Guard(), [&] {
            if (button == TMouseButton::mbLeft)
                FSlot->Sheet()->DblClick();
            FSlot->Sheet()->MouseDown(button, ShiftOf(e) | ssDouble, p.x(), p.y());
        });
    }

private:
    TKorSlot *FSlot;
    bool FLeftPressed = false;
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
        if (OnModifiedChange)
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

void TKorSlot::MidiInShort(uint32_t aMessage)
{
    std::lock_guard lock(FGuard->Mutex);
    if (FSheet && FActive)
        FSheet->MidiInShort(aMessage);
}

void TKorSlot::MidiInLong(const TLongMidi &aMessage)
{
    std::lock_guard lock(FGuard->Mutex);
    if (FSheet && FActive)
        FSheet->MidiInLong(aMessage);
}

void TKorSlot::Save()
{
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
    TOwned<TKorDrawSheet> sheet = ReadSheetFromFile(aFileName, shownName);
    const TUpdateScope loading(*FGuard);
    const TQuiet quiet(*this);
    FGestureOpen = false;
    FGestureBefore.clear();
    FPlacing = nullptr;
    LinkSheet(std::move(sheet));
    FHistory->clear();
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
    QByteArray binary;
    {
        std::lock_guard lock(FGuard->Mutex);
        binary = WriteComponent(*FSheet);
    }
    return ObjectBinaryToText(binary);
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
    TKorCustomModule *m;
    {
        std::lock_guard lock(FGuard->Mutex);
        m = FSheet ? FSheet->AddModule(aModuleClass) : nullptr;
    }
    // The sheet dropped a module still being placed: its step comes first.
    if (m != FPlacing)
        RecordPlaced();
    FPlacing = m; // a step once it is dropped
    return m;
}

void TKorSlot::RecordPlaced()
{
    if (!FPlacing || FPlacing->BeingCreated() || !FSheet)
        return;
    TKorCustomModule *dropped = FPlacing;
    FPlacing = nullptr;
    TFragment fragment;
    {
        std::lock_guard lock(FGuard->Mutex);
        fragment = CaptureFragment(*FSheet, {dropped});
    }
    Push(new TFragmentStep(*this, ModulesStepText(QStringLiteral("Add"), 1), std::move(fragment), true));
}

void TKorSlot::RemoveModules(const QString &verb, bool all)
{
    TFragment fragment;
    {
        const TQuiet quiet(*this);
        TStructuralEdit edit(*FGuard);
        std::vector<TKorCustomModule *> chosen;
        for (int i = 0; i < FSheet->ModuleCount(); ++i)
            if (all || FSheet->Modules(i)->Selected())
                chosen.push_back(FSheet->Modules(i));
        if (chosen.empty())
            return;
        fragment = CaptureFragment(*FSheet, chosen);
        RemoveFragment(*FSheet, fragment);
    }
    const int count = int(fragment.Modules.size());
    Push(new TFragmentStep(*this, ModulesStepText(verb, count), std::move(fragment), false));
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
            changes.push_back({module->ComponentIndex(), settings, std::move(after)});
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
    return viewport()->size();
}

void TKorSlot::ExtentChanged(QSize size)
{
    Canvas()->resize(size);
}

void TKorSlot::InvalidateRect(const TRect &r, bool)
{
    Canvas()->update(r.ToQRect());
}

void TKorSlot::UpdateNow()
{
    // The backing store paints pending damage on the next pass of the event loop; painting
    // synchronously here would only repaint the same areas twice while a knob turns.
    Canvas()->update();
}

QPoint TKorSlot::ClientToScreen(QPoint p) const
{
    return Canvas()->mapToGlobal(p);
}

QPoint TKorSlot::ScreenToClient(QPoint p) const
{
    return Canvas()->mapFromGlobal(p);
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
    const QPoint topLeft = detail->LocalToSheet({0, 0});
    const QPoint origin(horizontalScrollBar()->value(), verticalScrollBar()->value());
    TRect r{topLeft.x() - origin.x(), topLeft.y() - origin.y(), topLeft.x() - origin.x() + detail->Width(),
            topLeft.y() - origin.y() + detail->Height()};
    auto scrollAxis = [](QScrollBar *bar, int32_t lo, int32_t hi, int32_t client) {
        if (lo < 0) {
            bar->setValue(bar->value() + lo);
        } else if (hi > client) {
            if (hi - lo > client)
                hi = lo + client;
            bar->setValue(bar->value() + hi - client);
        }
    };
    const QSize client = ClientSize();
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
