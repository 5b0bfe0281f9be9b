#include "Slot.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

namespace {

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
    }

    void mouseDoubleClickEvent(QMouseEvent *e) override
    {
        TMouseButton button;
        if (!ButtonOf(e, button) || !FSlot->Sheet())
            return;
        if (button == TMouseButton::mbLeft)
            FLeftPressed = true;
        const QPoint p = e->position().toPoint();
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
        FSheet = std::move(sheet);
        FSheet->SetHost(this);
        FActive = FSheet->Active(); // a patch saved stopped loads stopped
        if (old)
            old->SetHost(nullptr);
        old.reset();
    }
    Canvas()->update();
}

void TKorSlot::Execute()
{
    if (FSheet && FActive)
        FSheet->Execute();
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
}

void TKorSlot::LoadFromFile(const QString &aFileName, const QString &shownName)
{
    TOwned<TKorDrawSheet> sheet = ReadSheetFromFile(aFileName, shownName);
    const TUpdateScope loading(*FGuard);
    LinkSheet(std::move(sheet));
    ModuleCountChanged();
    // May show a message box: the update count keeps ticks away without holding the lock.
    FSheet->ResolveConnections();
    if (FSheet->ModuleCount() > 0)
        ScrollInView(FSheet->Modules(0));
    FSheet->UpdateExtent();
    FSlotFileName = aFileName;
}

TKorCustomModule *TKorSlot::AddModule(const TComponentClass &aModuleClass)
{
    std::lock_guard lock(FGuard->Mutex);
    return FSheet ? FSheet->AddModule(aModuleClass) : nullptr;
}

void TKorSlot::DeleteAllModules()
{
    TStructuralEdit edit(*FGuard);
    FSheet->DeleteAllModules();
}

void TKorSlot::DeleteSelectedModules()
{
    TStructuralEdit edit(*FGuard);
    FSheet->DeleteSelectedModules();
}

void TKorSlot::CopySelection()
{
    std::lock_guard lock(FGuard->Mutex);
    FSheet->CopySelection();
}

void TKorSlot::PasteClipboard()
{
    TStructuralEdit edit(*FGuard);
    FSheet->PasteClipboard();
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
    if (OnConnectionMade)
        OnConnectionMade(this, from, to);
}

void TKorSlot::ConnectionLost(TKorConnector *from, TKorConnector *to)
{
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
