#include "FrmMain.h"

#include "AppPaths.h"
#include "Colors.h"
#include "Dialogs.h"
#include "Errors.h"
#include "FileWriter.h"
#include "FrmAbout.h"
#include "FrmMidDlg.h"
#include "FrmRndSet.h"
#include "JackTransportClock.h"
#include "LinkClock.h"
#include "MidiKeeper.h"
#include "MidiMapDialog.h"
#include "MoreMods.h"
#include "PanelControls.h"
#include "Random.h"
#include "TextLabel.h"

#include <QActionGroup>
#include <QApplication>
#include <QTextStream>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSessionManager>
#include <QUndoGroup>
#include <QPainter>
#include <QScreen>
#include <QSpinBox>
#include <QStandardPaths>
#include <QStatusBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <chrono>

namespace {

const QString PickUpItem = QStringLiteral("MIDI controllers pick up knobs");
const QString RecordItem = QStringLiteral("Record..."), StopRecordItem = QStringLiteral("Stop recording");
const QString RecordInputItem = QStringLiteral("Record MIDI input");
const QString LinkItem = QStringLiteral("Ableton Link");
const QString JackTransportItem = QStringLiteral("JACK transport");

int64_t MillisecondClock()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The start/stop glyphs: a triangle to start, a square to stop.
QIcon Glyph(bool start)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(start ? QColor(0, 128, 0) : QColor(128, 0, 0));
    if (start)
        p.drawPolygon(QPolygon({QPoint(4, 2), QPoint(13, 8), QPoint(4, 14)}));
    else
        p.drawRect(3, 3, 10, 10);
    return QIcon(pixmap);
}

QToolButton *ToolButton(QWidget *parent, int left, const QString &text, const QString &hint)
{
    auto *b = new QToolButton(parent);
    b->setGeometry(left, 1, 25, 25);
    b->setAutoRaise(true);
    b->setText(text);
    b->setToolTip(hint);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

// The first filter shows patches of both kinds at once.
const char *const OpenFilter = "Slot files (*.slt, *.korvane)|*.slt;*.korvane|Old Slot files (*.Slt)|*.slt|New Slot files (*.korvane)|*.korvane|All files (*.*)|*.*";
const char *const SaveFilter = "Korvane patches (*.korvane)|*.korvane|Slot files (*.slt)|*.slt|All files (*.*)|*.*";

} // namespace

TOverflowLamp::TOverflowLamp(QWidget *parent) : QWidget(parent)
{
    setFixedSize(9, 5);
}

void TOverflowLamp::SetColor(uint32_t color)
{
    if (FColor.exchange(color, std::memory_order_relaxed) == color)
        return;
    // From the tick thread this costs one queued call, and only on the tick it skips anyway.
    QMetaObject::invokeMethod(this, qOverload<>(&QWidget::update), Qt::QueuedConnection);
}

void TOverflowLamp::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), ToQColor(Color()));
    p.setPen(Qt::black);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

TFormMain::TFormMain(TMainWindowOptions options) : FOptions(std::move(options))
{
    FMidi = FOptions.Midi ? FOptions.Midi : MidiServices();
    FPlaceSettle.setSingleShot(true);
    FPlaceSettle.setInterval(FOptions.WindowPlaceDelay);
    connect(&FPlaceSettle, &QTimer::timeout, this, [this] { StoreSettings(); });
    setWindowTitle(QStringLiteral("Korvane"));
    QPalette silver = palette();
    silver.setColor(QPalette::Window, ToQColor(0xC0C0C0));
    setPalette(silver);
    CreatePorts();
    FTimer.reset(Create<THiResTimer>(nullptr));
    if (FOptions.TimeSource)
        FTimer->SetTimeSource(std::move(FOptions.TimeSource));
    FTimer->OnTimer = [this](THiResTimer *timer) {
        // What the tick sends belongs to its deadline, however late it woke.
        TMidiSendTime due(timer->Deadline());
        if (const uint64_t dropped = timer->DroppedBefore(); dropped > 0 && FPages) {
            // The run fell further behind than the timer catches up: those ticks are lost.
            FTicksSkipped += dropped;
            FOverflowLamp->SetColor(OverflowRed);
        }
        Tick();
    };
    FScreenUpdates.setInterval(500);
    connect(&FScreenUpdates, &QTimer::timeout, this, &TFormMain::ScreenUpdate);
    FScreenUpdates.start();

    // 1. The caption as made.
    FAppTitle = windowTitle();
    CreatePanels();
    CreateMenus();
    // 3., 4. The palette, then the page control below the top strip.
    CreatePalette();
    CreatePageControl();
    resize(754, 207 + menuBar()->sizeHint().height());
    if (QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    // 5. No ports yet.
    FMidiInName.clear();
    FMidiOutName.clear();
    // 6. Paused, showing the start glyph.
    FRunning = true;
    SetRunning(false);
    // 7. The settings.
    const QSize screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->size() : QSize(1024, 768);
    const QString file = FOptions.SettingsFile.isEmpty() ? SettingsFilePath() : FOptions.SettingsFile;
    FOptions.SettingsFile = file;
    const bool firstStart = !QFileInfo::exists(file);
    FSettings = ReadSettings(file, geometry(), screen);
    FStoredSettings = FSettings;
    setGeometry(FSettings.Window);
    // Without a settings file there is no place to restore: the window, grown to its smallest
    // size, goes to the middle of the screen.
    if (firstStart && QGuiApplication::primaryScreen())
        move(QGuiApplication::primaryScreen()->availableGeometry().center() - rect().center());
    if (FOptions.MidiIn)
        FSettings.MidiIn = *FOptions.MidiIn;
    if (FOptions.MidiOut)
        FSettings.MidiOut = *FOptions.MidiOut;
    if (FOptions.PeriodMs) {
        FSettings.Resolution = *FOptions.PeriodMs;
        FSettings.Accuracy = std::max(*FOptions.PeriodMs / 10, 1);
    }
    // 8.
    FLastTickTime = 1;
    FOverflowLamp->SetColor(OverflowGreen);
    // 9., 10. Each port step on its own: a failure is shown and the start goes on. A MIDI
    // system that cannot be used is no failure of the ports: the keeper says so in the top bar
    // and opens them when the system can be used.
    if (FMidi->Problem().isEmpty()) {
        Guarded([&] { SetMidiInName(FSettings.MidiIn); });
        Guarded([&] { SetMidiOutName(FSettings.MidiOut); });
        Guarded([&] { SetMidiInOpen(!FMidiInName.isEmpty()); });
        Guarded([&] { SetMidiOutOpen(!FMidiOutName.isEmpty()); });
    }
    FPages->SetRemoteChangesAreEdits(FSettings.RemoteChangesAreEdits);
    Action(QStringLiteral("OSC and MIDI changes are edits"))->setChecked(FSettings.RemoteChangesAreEdits);
    FPages->SetMidiPickUp(FSettings.MidiPickUp);
    Action(PickUpItem)->setChecked(FSettings.MidiPickUp);
    Action(RecordInputItem)->setChecked(FSettings.RecordInput);
    // The shared time: Link for this run alone, or the source the settings keep on.
    if (FOptions.Link) {
        ChooseSessionSource(Action(LinkItem), false);
    } else {
        for (const TSessionSource &s : FSources)
            if (FSettings.*s.Setting) {
                ChooseSessionSource(s.Item, false);
                break;
            }
    }
    FOsc = new TOscControl(*FPages, this);
    FOsc->OnRun = [this](bool run) {
        SetRunning(run);
        FLastTickTime = 1;
    };
    FOsc->OnAllNotesOff = [this] { AllNotesOff(); };
    FOsc->OnReport = [this](const QString &text) { SetOscProblem(text); };
    ListenForOsc(FSettings.OscHost, FOptions.OscPort.value_or(FSettings.OscPort));
    // 11.
    if (FSettings.Randomized)
        Randomize();
    else
        RandSeed(uint32_t(FSettings.RandomSeed));
    // 12. The file the program was started with.
    if (!FOptions.Arguments.isEmpty())
        OpenFile(FOptions.Arguments.first());
    // The dialogs live as long as the window.
    FMidiDialog = new TFormMidiDialog(this, FMidi);
    FMidiDialog->setFont(PanelFont(DialogPixelSize)); // its pixel layout is made for it
    FAbout = new TFormAbout(this);
    FRandomSettings = new TFormRandomSettings(this);
    FMidiKeeper = new TMidiPortKeeper(static_cast<IMidiPortHost &>(*this), FPanelTopRightBottom, this);
    FMidiKeeper->SetOnReport(FOptions.MidiReport);
    FMidiKeeper->Watch(FMidi);
    FMidiKeeper->Check();
    qApp->installEventFilter(this);
    // 13. The patches run from the start.
    SetRunning(true);
    if (FOptions.Recovery) {
        FRecovery = std::make_unique<TRecovery>(static_cast<IRecoverySource &>(*this));
        FRecovery->OnProblemChange = [this](const QString &) { ShowProblems(); };
        ShowProblems();
        QTimer::singleShot(0, this, [this] { OfferRecoveredPatches(); });
    }
}

TFormMain::~TFormMain()
{
    qApp->removeEventFilter(this);
    Shutdown();
    FRecovery.reset(); // before the slots it reads
    if (FOptions.SaveSettings) {
        // The ports keep the names last chosen: one that could not be opened this time is
        // tried again at the next start.
        FSettings.Window = geometry();
        try {
            WriteSettings(FOptions.SettingsFile, FSettings);
        } catch (const std::exception &e) {
            Dialogs().ShowError(QString::fromUtf8(e.what()));
        }
    }
    if (FSessionClock)
        UseSessionClock(nullptr);
    // The patches go before the ports they might still address, and after what drives them.
    delete FOsc;
    FOsc = nullptr;
    delete FPages;
    FPages = nullptr;
}

void TFormMain::CreatePorts()
{
    FMidiInput = new TMidiInput(this, FMidi);
    FMidiInput->SetSysexBufferSize(4096);
    // Timing clock passes: the clock modules follow it.
    FMidiInput->SetFilteredMessages({TMidiMsg::msgActiveSensing});
    FMidiInput->SetOnMidiInput([this](QObject *) { MidiInputArrived(); });
    FMidiOutput = new TMidiOutput(this, FMidi);
}

void TFormMain::SwitchMidiServices(std::shared_ptr<TMidiServices> services)
{
    if (!services || services == FMidi)
        return;
    AllNotesOff();
    // The ports belong to the services they were made with: new ones for the new system.
    Guarded([&] { SetMidiInOpen(false); });
    Guarded([&] { SetMidiOutOpen(false); });
    {
        std::lock_guard lock(FPages->Guard().Mutex);
        delete FMidiInput;
        delete FMidiOutput;
        FMidi = std::move(services);
        CreatePorts();
    }
    if (!FOptions.Midi)
        SetMidiServices(FMidi);
    FSettings.MidiApi = FMidi->Name();
    StoreSettings();
    FMidiInName.clear();
    FMidiOutName.clear();
    FMidiDialog->SetServices(FMidi);
    FMidiKeeper->Watch(FMidi);
    FMidiKeeper->Check();
}

template <class F>
void TFormMain::Guarded(F step)
{
    try {
        step();
    } catch (const std::exception &e) {
        Dialogs().ShowError(QString::fromUtf8(e.what()));
    }
}

void TFormMain::CreatePanels()
{
    auto *central = new QWidget(this);
    auto *column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto *top = new QWidget(central);
    top->setObjectName(QStringLiteral("PanelTop"));
    top->setFixedHeight(55);
    auto *row = new QHBoxLayout(top);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    FPanelTopLeft = new QWidget(top);
    FPanelTopLeft->setObjectName(QStringLiteral("PanelTopLeft"));
    FPanelTopLeft->setFixedWidth(424 + 136); // the palette, and its search box beside the tabs
    auto *right = new QWidget(top);
    right->setObjectName(QStringLiteral("PanelTopRight"));
    auto *rightColumn = new QVBoxLayout(right);
    rightColumn->setContentsMargins(0, 0, 0, 0);
    rightColumn->setSpacing(0);
    FPanelTopRightTop = new QWidget(right);
    FPanelTopRightTop->setObjectName(QStringLiteral("PanelTopRightTop"));
    FPanelTopRightTop->setFixedHeight(27);
    FPanelTopRightBottom = new QWidget(right);
    FPanelTopRightBottom->setObjectName(QStringLiteral("PanelTopRightBottom"));
    rightColumn->addWidget(FPanelTopRightTop);
    rightColumn->addWidget(FPanelTopRightBottom);
    row->addWidget(FPanelTopLeft);
    row->addWidget(right, 1);
    column->addWidget(top);
    setCentralWidget(central);

    FAllNotesOff = ToolButton(FPanelTopRightTop, 1, QStringLiteral("Off"), QStringLiteral("All notes off [F10]"));
    FAllNotesOff->setObjectName(QStringLiteral("SpeedButtonAllNotesOff"));
    connect(FAllNotesOff, &QToolButton::clicked, this, [this] { AllNotesOff(); });
    FRandomize = ToolButton(FPanelTopRightTop, 27, QStringLiteral("Rnd"), QStringLiteral("Randomize [F11]"));
    FRandomize->setObjectName(QStringLiteral("SpeedButtonRandomize"));
    connect(FRandomize, &QToolButton::clicked, this, [this] { Reseed(); });
    FStartStop = ToolButton(FPanelTopRightTop, 53, QString(), QStringLiteral("Start [F12]"));
    FStartStop->setObjectName(QStringLiteral("SpeedButtonStartStop"));
    connect(FStartStop, &QToolButton::clicked, this, [this] {
        SetRunning(!FRunning);
        FLastTickTime = 1;
    });
    auto *label = new QLabel(QStringLiteral("overflow"), FPanelTopRightBottom);
    label->move(4, 4);
    FOverflowLamp = new TOverflowLamp(FPanelTopRightBottom);
    FOverflowLamp->setObjectName(QStringLiteral("ShapeOverflow"));
    FOverflowLamp->move(label->x() + label->sizeHint().width() + 4, 4 + label->sizeHint().height() / 2 - 2);
    FRecordLabel = new QLabel(FPanelTopRightTop);
    FRecordLabel->setObjectName(QStringLiteral("LabelRecording"));
    FRecordLabel->setStyleSheet(QStringLiteral("color: #FF0000; font-weight: bold"));
    FRecordLabel->move(86, 6);
    FRecordLabel->hide();
}

void TFormMain::CreateMenus()
{
    const auto add = [this](QMenu *menu, const QString &caption, QKeySequence key, auto handler, bool enabled = true) {
        QAction *a = menu->addAction(caption);
        a->setShortcut(key);
        a->setEnabled(enabled);
        connect(a, &QAction::triggered, this, handler);
        FActions << a;
        return a;
    };
    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    add(file, QStringLiteral("&New"), QKeySequence(Qt::CTRL | Qt::Key_N), [this] { FPages->NewSlot(QString()); });
    add(file, QStringLiteral("&Open ..."), QKeySequence(Qt::CTRL | Qt::Key_O), [this] { OpenCommand(); });
    FRecentMenu = file->addMenu(QStringLiteral("Open &recent"));
    connect(FRecentMenu, &QMenu::aboutToShow, this, [this] { FillRecentMenu(); });
    add(file, QStringLiteral("&Save"), QKeySequence(Qt::CTRL | Qt::Key_S), [this] { SaveSlot(FPages->ActiveSlot()); },
        false);
    add(file, QStringLiteral("Save &as ..."), {}, [this] { SaveSlotAs(FPages->ActiveSlot()); }, false);
    add(file, QStringLiteral("Sa&ve all"), {}, [this] { SaveAllCommand(); }, false);
    add(file, QStringLiteral("&Close"), QKeySequence(Qt::CTRL | Qt::Key_W),
        [this] {
            TKorSlot *slot = FPages->ActiveSlot();
            if (!ConfirmClose(slot))
                return;
            FClickedDetail = nullptr;
            FPages->CloseActiveSlot();
            if (FRecovery)
                FRecovery->SlotClosed(quintptr(slot));
        },
        false);
    add(file, QStringLiteral("C&lose all"), QKeySequence(Qt::SHIFT | Qt::CTRL | Qt::Key_F4),
        [this] {
            if (!ConfirmCloseAll())
                return;
            std::vector<quintptr> closed;
            for (int i = 0; i < FPages->SlotCount(); ++i)
                closed.push_back(quintptr(FPages->Slots(i)));
            FPages->CloseAllSlots();
            for (quintptr id : closed)
                if (FRecovery)
                    FRecovery->SlotClosed(id);
        },
        false);
    file->addSeparator();
    add(file, RecordItem, QKeySequence(Qt::CTRL | Qt::Key_R), [this] { RecordCommand(); });
    file->addSeparator();
    add(file, QStringLiteral("E&xit"), QKeySequence(Qt::ALT | Qt::Key_X), [this] { close(); });

    QMenu *edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    FEditMenu = edit;
    add(edit, QStringLiteral("Cu&t"), QKeySequence(Qt::CTRL | Qt::Key_X), [this] { Guarded([&] { FPages->CutSelection(); }); });
    add(edit, QStringLiteral("&Copy"), QKeySequence(Qt::CTRL | Qt::Key_C), [this] { Guarded([&] { FPages->CopySelection(); }); });
    add(edit, QStringLiteral("&Paste"), QKeySequence(Qt::CTRL | Qt::Key_V), [this] { Guarded([&] { FPages->PasteClipboard(); }); });
    add(edit, QStringLiteral("&Delete"), QKeySequence(Qt::Key_Delete),
        [this] {
            // A picked cable goes first: Delete after a click on a cable removes that cable.
            TKorSlot *slot = FPages->ActiveSlot();
            if (!slot || !slot->RemoveSelectedCable())
                FPages->DeleteSelectedModules();
        },
        false);
    add(edit, QStringLiteral("De&lete all"), QKeySequence(Qt::CTRL | Qt::Key_Delete), [this] { FPages->DeleteAllModules(); },
        false);
    add(edit, QStringLiteral("&Select all"), QKeySequence(Qt::CTRL | Qt::Key_A), [this] { FPages->SelectAll(); });
    add(edit, QStringLiteral("&Invert selection"), {}, [this] { FPages->InvertSelection(); });
    edit->addSeparator();
    add(edit, QStringLiteral("&Find module"), QKeySequence(Qt::CTRL | Qt::Key_F), [this] {
        FPalette->SearchBox()->setFocus(Qt::ShortcutFocusReason);
        FPalette->SearchBox()->selectAll();
    });
    add(edit, QStringLiteral("&MIDI mappings..."), {}, [this] {
        if (TKorSlot *slot = FPages->ActiveSlot())
            TMidiMapDialog(slot, this).exec();
    });

    QMenu *view = menuBar()->addMenu(QStringLiteral("&View"));
    const auto zoom = [this](auto change) {
        return [this, change] {
            if (TKorSlot *slot = FPages->ActiveSlot())
                change(*slot);
        };
    };
    QAction *zoomIn = add(view, QStringLiteral("Zoom &in"), QKeySequence(Qt::CTRL | Qt::Key_Plus),
                          zoom([](TKorSlot &s) { s.ZoomIn(); }));
    zoomIn->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Equal)});
    add(view, QStringLiteral("Zoom &out"), QKeySequence(Qt::CTRL | Qt::Key_Minus), zoom([](TKorSlot &s) { s.ZoomOut(); }));
    add(view, QStringLiteral("&Actual size"), QKeySequence(Qt::CTRL | Qt::Key_0), zoom([](TKorSlot &s) { s.SetZoom(100); }));

    QMenu *options = menuBar()->addMenu(QStringLiteral("&Options"));
    add(options, QStringLiteral("&Midi..."), {}, [this] { MidiSettings(); });
    add(options, QStringLiteral("&Random settings ..."), {}, [this] { RandomSettings(); });
    add(options, QStringLiteral("&OSC..."), {}, [this] { OscSettings(); });
    add(options, QStringLiteral("OSC and MIDI changes are edits"), {}, [this](bool on) { SetRemoteChangesAreEdits(on); })
        ->setCheckable(true);
    add(options, PickUpItem, {}, [this](bool on) { SetMidiPickUp(on); })->setCheckable(true);
    add(options, RecordInputItem, {}, [this](bool on) { SetRecordInput(on); })->setCheckable(true);
    options->addSeparator();
    // The sources of shared time the following modules read, one at most.
    FSessionSources = new QActionGroup(this);
    FSessionSources->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    AddSessionSource(options, LinkItem, &TAppSettings::Link,
                     [this] { return FOptions.LinkClock ? FOptions.LinkClock() : CreateLinkClock(); });
    AddSessionSource(options, JackTransportItem, &TAppSettings::JackTransport, [this] {
        if (FOptions.JackTransportClock)
            return FOptions.JackTransportClock();
        QString problem;
        std::unique_ptr<TKorSessionClock> clock = CreateJackTransportClock(&problem);
        if (!problem.isEmpty()) { // it waits for a server; say why nothing follows yet
            statusBar()->show();
            statusBar()->showMessage(problem, 15000);
            connect(statusBar(), &QStatusBar::messageChanged, this, [this](const QString &text) {
                if (text.isEmpty()) // gone again unless a lasting problem keeps it
                    statusBar()->setVisible(FProblems && !FProblems->text().isEmpty());
            }, Qt::SingleShotConnection);
        }
        return clock;
    });
    QMenu *colors = options->addMenu(QStringLiteral("&Colors"));
    const std::pair<const char *, std::atomic<uint32_t> *> colorItems[] = {
        {"&Module color...", &ModuleColor},   {"&Asymmetric color...", &AsymmetricColor},
        {"&Symmetric color...", &SymmetricColor}, {"&Logic color...", &LogicColor},
        {"&Neuron color...", &NeuronColor},   {"&Knob color...", &KnobColor},
        {"Led &color on...", &LedColorOn},    {"Led colo&r off...", &LedColorOff},
        {"&Viewer color...", &ViewerColor},   {"Scope color", &ScopeColor},
    };
    for (const auto &[caption, setting] : colorItems)
        add(colors, QString::fromLatin1(caption), {}, [this, setting = setting] { ChooseColor(*setting); });

    QMenu *debug = menuBar()->addMenu(QStringLiteral("Debug"));
    add(debug, QStringLiteral("Dump"), {}, [this] { DebugDump(); });
    QMenu *help = menuBar()->addMenu(QStringLiteral("&Help"));
    add(help, QStringLiteral("&About..."), {}, [this] { FAbout->exec(); });
    add(help, QStringLiteral("Manual"), QKeySequence(Qt::Key_F1), [this] { ShowManual(); });
}

void TFormMain::CreatePalette()
{
    FPalette = new TKormoduleSelector(FPanelTopLeft);
    FPalette->setGeometry(0, 0, FPanelTopLeft->width(), 55);
    FPalette->SetOnModuleButtonClick([this](TKorModuleButton *, const TComponentClass &cls) { AddModule(cls); });
    const std::pair<const char *, std::vector<const TComponentClass *>> pages[] = {
        {"I/O",
         {&ClassOf<TKorMidiIn>(), &ClassOf<TKorMidiOut>(), &ClassOf<TKorControlIn>(), &ClassOf<TKorControlOut>(),
          &ClassOf<TKorBendIn>(), &ClassOf<TKorBendOut>(), &ClassOf<TKorClockOut>(), &ClassOf<TKorClockIn>(),
          &ClassOf<TKorLink>()}},
        {"Gen",
         {&ClassOf<TKorConstant>(), &ClassOf<TKorSquare>(), &ClassOf<TKorSine>(), &ClassOf<TKorSaw>(),
          &ClassOf<TKorRandom>(), &ClassOf<TKorRndPulse>(), &ClassOf<TKorClSquare>(), &ClassOf<TKorClSine>(),
          &ClassOf<TKorClSaw>(), &ClassOf<TKorClRandom>(), &ClassOf<TKorClRndPulse>()}},
        {"Logic", {&ClassOf<TKorDividerFixed>(), &ClassOf<TKorFreqDivider>()}},
        {"Control",
         {&ClassOf<TKorAmplifier>(), &ClassOf<TKorMultiplier>(), &ClassOf<TKorDivider>(), &ClassOf<TKorTable>(),
          &ClassOf<TKorNeuron>(), &ClassOf<TKorMorph>(), &ClassOf<TKorSlotCtrl>(), &ClassOf<TKorShifter>()}},
        {"Viewers", {&ClassOf<TKorScope>()}},
        {"Other", {&ClassOf<TKorModule>(), &ClassOf<TKorModule2>(), &ClassOf<TKorModule4>(), &ClassOf<TKorModule8>()}},
    };
    for (const auto &[page, classes] : pages)
        for (const TComponentClass *cls : classes)
            FPalette->AddModuleButton(QString::fromLatin1(page), *cls);
    LoadPaletteDescriptions();
}

void TFormMain::CreatePageControl()
{
    FPages = new TKorModulePageControl(centralWidget());
    static_cast<QVBoxLayout *>(centralWidget()->layout())->addWidget(FPages, 1);
    FPages->OnCountChange = [this](QObject *, int32_t count) { CountChanged(count); };
    FPages->OnModuleCountChange = [this](QObject *, int32_t count) { ModuleCountChanged(count); };
    FPages->OnActiveSlotChange = [this](TKorSlot *, const QString &) { UpdateCaption(); };
    FPages->OnModifiedChange = [this](QObject *sender) {
        UpdateCaption();
        auto *slot = qobject_cast<TKorSlot *>(sender);
        if (FRecovery && slot && !slot->Modified())
            FRecovery->SlotSaved(quintptr(slot)); // saved, or undone back to its file
    };
    FPages->OnSlotEdited = [this](QObject *) {
        if (FRecovery)
            FRecovery->Touched();
    };
    // Undo and Redo head the Edit menu and act on the active slot's history.
    FUndo = FPages->Histories()->createUndoAction(this, QStringLiteral("&Undo"));
    FUndo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    FRedo = FPages->Histories()->createRedoAction(this, QStringLiteral("&Redo"));
    FRedo->setShortcuts({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)});
    QAction *first = FEditMenu->actions().value(0);
    FEditMenu->insertActions(first, {FUndo, FRedo});
    FEditMenu->insertSeparator(first);
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager &manager) {
        // A logout asks like Exit does, when the session lets it; a refusal cancels the logout.
        if (manager.allowsInteraction()) {
            const bool closing = ConfirmCloseAll();
            manager.release();
            if (!closing)
                manager.cancel();
        }
    });
    FPages->OnDetailClick = [this](QObject *sender) { FClickedDetail = qobject_cast<TComponent *>(sender); };
    FPages->OnDetailDblClick = [this](QObject *sender) { DetailDoubleClicked(sender); };
    FPages->OnSlotContextMenu = [this](TKorSlot *slot, QPoint at, QPoint global) {
        if (std::unique_ptr<QMenu> menu = ContextMenu(slot, at))
            menu->exec(global);
    };
    FPages->OnMidiOutShort = [this](QObject *, uint32_t msg) { MidiOutShort(msg); };
    FPages->OnLearnChange = [this](QObject *) {
        const QString text = FPages->LearnStatus();
        if (text.isEmpty()) {
            statusBar()->clearMessage();
            statusBar()->setVisible(FProblems && !FProblems->text().isEmpty());
        } else {
            statusBar()->show();
            statusBar()->showMessage(text);
        }
    };
    FPages->OnMidiOutLong = [this](QObject *, const TLongMidi &msg) { MidiOutLong(msg); };
    CountChanged(0);
    ModuleCountChanged(0);
}

QAction *TFormMain::Action(const QString &caption) const
{
    for (QAction *a : FActions)
        if (a->text() == caption)
            return a;
    return nullptr;
}

void TFormMain::UpdateCaption()
{
    const TKorSlot *slot = FPages ? FPages->ActiveSlot() : nullptr;
    setWindowTitle(slot ? QStringLiteral("%1 - %2%3").arg(FAppTitle, slot->SlotName(), slot->Modified() ? QStringLiteral("*") : QString())
                        : FAppTitle);
}

bool TFormMain::ConfirmClose(TKorSlot *slot)
{
    if (!slot || !slot->Modified())
        return true;
    FPages->setCurrentWidget(slot);
    switch (Dialogs().AskSaveChanges(QStringLiteral("Save changes to %1?").arg(slot->SlotName()))) {
    case TSaveChoice::Discard:
        return true;
    case TSaveChoice::Cancel:
        return false;
    case TSaveChoice::Save:
        return SaveSlot(slot);
    }
    return false;
}

bool TFormMain::ConfirmCloseAll()
{
    if (!FPages)
        return true;
    for (int i = 0; i < FPages->SlotCount(); ++i)
        if (!ConfirmClose(FPages->Slots(i)))
            return false;
    return true;
}

void TFormMain::OfferRecoveredPatches()
{
    if (!FRecovery)
        return;
    FRecovery->OfferLeftBehind([this](const TRecoveredPatch &patch) {
        try {
            FPages->RestoreSlot(patch.TextFile, patch.FileName, patch.Name);
            return true;
        } catch (const std::exception &e) {
            Dialogs().ShowError(QString::fromUtf8(e.what()));
            return false;
        }
    });
}

std::vector<TRecoverySlot> TFormMain::RecoverySlots() const
{
    std::vector<TRecoverySlot> open;
    for (int i = 0; FPages && i < FPages->SlotCount(); ++i) {
        const TKorSlot *slot = FPages->Slots(i);
        open.push_back({quintptr(slot), slot->SlotName(), slot->SlotFileName(), slot->Modified()});
    }
    return open;
}

TRecoveryText TFormMain::RecoveryText(quintptr id) const
{
    for (int i = 0; FPages && i < FPages->SlotCount(); ++i)
        if (quintptr(FPages->Slots(i)) == id) {
            auto snapshot = std::make_shared<const TObjectSnapshot>(FPages->Slots(i)->PatchSnapshot());
            return [snapshot] { return TKorSlot::PatchText(*snapshot); };
        }
    return {};
}

void TFormMain::CloseWithoutAsking()
{
    FAskBeforeClosing = false;
    close();
}

void TFormMain::CountChanged(int count)
{
    UpdateCaption();
    for (const char *caption : {"&Close", "C&lose all", "&Save", "Save &as ...", "Sa&ve all"})
        Action(QString::fromLatin1(caption))->setEnabled(count >= 1);
    FPalette->SetButtonsEnabled(count >= 1);
}

void TFormMain::ModuleCountChanged(int count)
{
    Action(QStringLiteral("&Delete"))->setEnabled(count >= 1);
    Action(QStringLiteral("De&lete all"))->setEnabled(count >= 1);
}

void TFormMain::SetRunning(bool b)
{
    if (b == FRunning)
        return;
    FRunning = b;
    if (b) {
        if (FPages)
            FPages->ClearTickErrors(); // the restarted run counts afresh
        if (FPages)
            FPages->StartRun();
        FTimer->SetInterval(uint32_t(std::max(FSettings.Resolution, 1)));
        FTimer->SetResolution(uint32_t(std::max(FSettings.Accuracy, 1)));
        if (FTimer->Enabled())
            FTimer->Resume();
        else
            Guarded([&] { FTimer->SetEnabled(true); });
    } else {
        FTimer->Pause();
        // Every sounding note ends, and a drum machine that follows stops, with the run.
        if (FPages)
            FPages->StopRun();
    }
    UpdateStartStop();
}

void TFormMain::PausedFor(const std::function<void()> &step)
{
    // A held note goes on sounding and a following drum machine keeps running: the run has
    // not stopped, it waits a moment.
    if (FRunning)
        FTimer->Pause();
    step();
    if (FRunning)
        FTimer->Resume();
}

void TFormMain::UpdateStartStop()
{
    FStartStop->setToolTip(FRunning ? QStringLiteral("Stop [F12]") : QStringLiteral("Start [F12]"));
    FStartStop->setIcon(Glyph(!FRunning));
}

void TFormMain::Tick()
{
    if (!FPages)
        return;
    const int64_t t0 = MillisecondClock();
    if (FLastTickTime.load(std::memory_order_relaxed) < 200) {
        const bool updating = FPages->UpdateCount() > 0;
        if (updating)
            ++FTicksSkipped;
        const int64_t before = FPages->TickNumber();
        if (!FPages->Execute()) // a slot's error costs that slot its tick; the lamp shows it
            FOverflowLamp->SetColor(OverflowRed);
        // A tick that found the run stopped while it waited for the lock is no tick at all.
        if (!updating && FPages->TickNumber() != before)
            ++FTicksRun;
    } else {
        ++FTicksSkipped;
        FOverflowLamp->SetColor(OverflowRed);
    }
    FLastTickTime = int32_t(std::clamp<int64_t>(MillisecondClock() - t0, 0, INT32_MAX));
}

void TFormMain::ScreenUpdate()
{
    FOverflowLamp->SetColor(OverflowGreen);
    if (!FRecorder)
        return;
    if (!FRecorder->Problem().isEmpty()) {
        StopRecording(); // writing failed: said at once, not when the user stops
        return;
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(TMidiRecorder::TClock::now() - FRecorder->Start()).count();
    FRecordLabel->setText(QStringLiteral("REC %1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0')));
    FRecordLabel->adjustSize();
}

void TFormMain::StartRecording(const QString &fileName)
{
    StopRecording();
    FRecorder = std::make_unique<TMidiRecorder>(fileName, TMidiRecorder::TOptions{FSettings.RecordInput});
    {
        std::lock_guard lock(FPages->Guard().Mutex);
        FRecording = FRecorder.get();
    }
    Action(RecordItem)->setText(StopRecordItem);
    FRecordLabel->show();
    ScreenUpdate();
}

void TFormMain::StopRecording()
{
    if (!FRecorder)
        return;
    {
        // No tick uses the recorder once this lock is given back.
        std::lock_guard lock(FPages->Guard().Mutex);
        FRecording = nullptr;
    }
    const std::unique_ptr<TMidiRecorder> recorder = std::move(FRecorder);
    const QString report = recorder->Finish();
    FRecordLabel->hide();
    if (QAction *item = Action(StopRecordItem))
        item->setText(RecordItem);
    if (FOptions.RecordReport)
        FOptions.RecordReport(report);
    else if (recorder->Dropped() > 0 || !recorder->Problem().isEmpty())
        Dialogs().ShowError(QStringLiteral("Korvane %1.").arg(report));
}

void TFormMain::RecordCommand()
{
    if (FRecorder) {
        StopRecording();
        return;
    }
    QString folder = FSettings.LastSavePath;
    if (folder.isEmpty())
        folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString file = Dialogs().SaveFileName({QStringLiteral("Record to a MIDI file"),
                                                 QStringLiteral("MIDI files (*.mid)|*.mid|All files (*.*)|*.*"),
                                                 QStringLiteral("mid"), folder, QStringLiteral("recording.mid")});
    if (!file.isEmpty())
        Guarded([&] { StartRecording(file); });
}

void TFormMain::SetRecordInput(bool on)
{
    FSettings.RecordInput = on; // from the next recording on
    if (QAction *item = Action(RecordInputItem); item && item->isChecked() != on)
        item->setChecked(on);
    StoreSettings();
}

void TFormMain::MidiOutShort(uint32_t msg)
{
    const TShortMsgParts parts = SplitShortMsg(msg);
    if (TMidiRecorder *recorder = FRecording.load(std::memory_order_acquire))
        recorder->Short(TMidiRecorder::OutputTrack, uint8_t(parts.Command * 16 + parts.Channel), parts.Data1, parts.Data2,
                        TMidiSendTime::Now());
    if (!FMidiOutOpen.load(std::memory_order_relaxed))
        return;
    try {
        FMidiOutput->PutShort(uint8_t(parts.Command * 16 + parts.Channel), parts.Data1, parts.Data2);
    } catch (...) {
        // A port that fails while playing drops the message; the run goes on.
    }
}

void TFormMain::MidiOutLong(const TLongMidi &msg)
{
    if (TMidiRecorder *recorder = FRecording.load(std::memory_order_acquire); recorder && msg.Count <= 65535)
        recorder->Long(TMidiRecorder::OutputTrack, msg.Data, msg.Count, TMidiSendTime::Now());
    if (!FMidiOutOpen.load(std::memory_order_relaxed) || msg.Count == 0 || msg.Count > 65535 || !msg.Data)
        return;
    try {
        FMidiOutput->PutLong(msg.Data, uint16_t(msg.Count));
        if (FSendRefused.load(std::memory_order_relaxed)) {
            FSendRefused = false;
            QMetaObject::invokeMethod(this, [this] { SetSendProblem({}); }, Qt::QueuedConnection);
        }
    } catch (const EMidiOutputError &e) {
        // Said once, not for every message a patch repeats; the port goes on.
        if (!FSendRefused.exchange(true)) {
            const QString text =
                QStringLiteral("MIDI out refused a system-exclusive message: %1").arg(e.Message());
            QMetaObject::invokeMethod(this, [this, text] { SetSendProblem(text); }, Qt::QueuedConnection);
        }
    } catch (...) {
    }
}

void TFormMain::SetSendProblem(const QString &text)
{
    if (text == FSendProblem)
        return;
    FSendProblem = text;
    ShowProblems();
    if (!text.isEmpty() && OnSendProblem)
        OnSendProblem(text);
}

void TFormMain::AllNotesOff()
{
    // The patch lock keeps this from interleaving with what a tick sends.
    std::lock_guard lock(FPages->Guard().Mutex);
    if (TMidiRecorder *recorder = FRecording.load(std::memory_order_relaxed))
        for (uint8_t channel = 0; channel < 16; ++channel)
            recorder->Short(TMidiRecorder::OutputTrack, uint8_t(176 + channel), 123, 0, TMidiSendTime::Now());
    if (!FMidiOutOpen)
        return;
    for (uint8_t channel = 0; channel < 16; ++channel)
        try {
            FMidiOutput->PutShort(uint8_t(176 + channel), 123, 0);
        } catch (...) {
        }
}

void TFormMain::MidiInputArrived()
{
    std::unique_ptr<TMyMidiEvent> event;
    try {
        event = FMidiInput->GetMidiEvent();
    } catch (const std::exception &e) {
        Dialogs().ShowError(QString::fromUtf8(e.what()));
        return;
    }
    if (!event || !FPages)
        return;
    SetMidiArrivalTimeUs(int64_t(event->TimeUs));
    if (FRecorder) {
        if (event->SysexLength > 0 && event->Sysex)
            FRecorder->Long(TMidiRecorder::InputTrack, event->Sysex.get(), event->SysexLength, TMidiRecorder::TClock::now());
        else
            FRecorder->Short(TMidiRecorder::InputTrack, uint8_t(event->MidiMessage), event->Data1, event->Data2,
                             TMidiRecorder::TClock::now());
    }
    if (event->SysexLength > 0 && event->Sysex) {
        FPages->MidiInLong({event->SysexLength, event->Sysex.get()});
        return;
    }
    FPages->MidiInShort(MakeShortMsg(event->MidiMessage & 15, event->MidiMessage >> 4, event->Data1, event->Data2));
}

void TFormMain::SetMidiInName(const QString &name)
{
    const QString chosen = name; // `name` may be the setting this changes
    const bool wasOpen = FMidiInOpen;
    if (wasOpen)
        SetMidiInOpen(false);
    if (chosen.isEmpty()) {
        // No port: nothing to look for and nothing to report.
        FMidiInName.clear();
        FSettings.MidiIn.clear();
        StoreSettings();
        return;
    }
    try {
        FMidiInput->SetProductName(chosen);
        if (wasOpen)
            SetMidiInOpen(true);
        FMidiInName = chosen;
        FSettings.MidiIn = chosen;
        StoreSettings();
    } catch (const std::exception &e) {
        Dialogs().ShowMessage(QStringLiteral("Could not open midi in port : %1").arg(QString::fromUtf8(e.what())));
    }
}

void TFormMain::SetMidiOutName(const QString &name)
{
    const QString chosen = name;
    const bool wasOpen = FMidiOutOpen;
    if (wasOpen)
        SetMidiOutOpen(false);
    if (chosen.isEmpty()) {
        FMidiOutName.clear();
        FSettings.MidiOut.clear();
        StoreSettings();
        return;
    }
    try {
        FMidiOutput->SetProductName(chosen);
        if (wasOpen)
            SetMidiOutOpen(true);
        FMidiOutName = chosen;
        FSettings.MidiOut = chosen;
        StoreSettings();
    } catch (const std::exception &e) {
        Dialogs().ShowMessage(QStringLiteral("Could not open midi out port : %1").arg(QString::fromUtf8(e.what())));
    }
}

void TFormMain::SetMidiInOpen(bool b)
{
    if (b == FMidiInOpen)
        return;
    if (b) {
        FMidiInput->Open();
        FMidiInput->Start();
    } else {
        FMidiInput->Stop();
        FMidiInput->Close();
    }
    FMidiInOpen = b;
}

void TFormMain::SetMidiOutOpen(bool b, bool notesOffFirst)
{
    if (b == FMidiOutOpen)
        return;
    // A tick sends only while the flag holds and reads it under the patch lock, so a tick never
    // sends through a port that is opening or closing. The port itself opens and closes outside
    // the lock: making a JACK or ALSA client takes milliseconds, which the ticks need not wait.
    if (b) {
        FMidiOutput->Open();
        std::lock_guard lock(FPages->Guard().Mutex);
        if (notesOffFirst)
            for (uint8_t channel = 0; channel < 16; ++channel)
                try {
                    FMidiOutput->PutShort(uint8_t(176 + channel), 123, 0);
                } catch (...) {
                }
        FMidiOutOpen = true;
        return;
    }
    {
        std::lock_guard lock(FPages->Guard().Mutex);
        FMidiOutOpen = false;
    }
    try {
        FMidiOutput->Close();
    } catch (...) {
        std::lock_guard lock(FPages->Guard().Mutex);
        FMidiOutOpen = true; // still open: it goes on playing
        throw;
    }
}

QString TFormMain::ConfiguredPort(TMidiSide side) const
{
    return side == TMidiSide::In ? FSettings.MidiIn : FSettings.MidiOut;
}

bool TFormMain::PortOpen(TMidiSide side) const
{
    return side == TMidiSide::In ? FMidiInOpen.load() : FMidiOutOpen.load();
}

QString TFormMain::OpenPortName(TMidiSide side) const
{
    return side == TMidiSide::In ? FMidiInName : FMidiOutName;
}

bool TFormMain::PortLost(TMidiSide side) const
{
    return side == TMidiSide::In ? FMidiInput->PortLost() : FMidiOutput->PortLost();
}

void TFormMain::OpenPort(TMidiSide side, const QString &name)
{
    // Chosen by name first, which raises where SetMidi...Name would show a box.
    if (side == TMidiSide::In) {
        FMidiInput->SetProductName(name);
        FMidiInName = name;
        SetMidiInOpen(true);
    } else {
        FMidiOutput->SetProductName(name);
        FMidiOutName = name;
        SetMidiOutOpen(true, true); // notes that sounded there before it went are ended first
    }
}

void TFormMain::ClosePort(TMidiSide side)
{
    if (side == TMidiSide::In)
        SetMidiInOpen(false);
    else
        SetMidiOutOpen(false);
}

void TFormMain::BringToFront()
{
    // Out of the task bar, but as large as it was: maximised or full-screen stays so.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TFormMain::AddModule(const TComponentClass &cls)
{
    if (!FPages)
        return;
    PausedFor([&] { Guarded([&] { FPages->AddModule(cls); }); });
}

void TFormMain::OpenFile(const QString &fileName)
{
    if (fileName.isEmpty() || !QFileInfo(fileName).isFile())
        return;
    LoadAndRemember(fileName);
}

void TFormMain::LoadAndRemember(const QString &file)
{
    const QPointer<TKorSlot> before = FPages->ActiveSlot();
    const int pages = FPages->SlotCount();
    bool loaded = false;
    Guarded([&] {
        FPages->LoadSlot(file);
        loaded = true;
    });
    if (!loaded) {
        // The page made for the file holds nothing: the error said why, and the page the user
        // was on comes back.
        if (FPages->SlotCount() > pages && FPages->ActiveSlot() != before)
            FPages->CloseActiveSlot();
        if (before)
            FPages->setCurrentWidget(before);
        return;
    }
    AddRecentFile(FSettings, file);
    StoreSettings();
}

void TFormMain::FillRecentMenu()
{
    FRecentMenu->clear();
    for (const QString &file : FSettings.RecentFiles) {
        QAction *a = FRecentMenu->addAction(QDir::toNativeSeparators(file));
        a->setEnabled(QFileInfo(file).isFile()); // a moved or deleted file stays listed, greyed
        connect(a, &QAction::triggered, this, [this, file] { LoadAndRemember(file); });
    }
    if (FSettings.RecentFiles.isEmpty())
        FRecentMenu->addAction(QStringLiteral("(none)"))->setEnabled(false);
}

void TFormMain::OpenCommand()
{
    const QString file = Dialogs().OpenFileName(
        {QStringLiteral("Open a slot file"), QString::fromLatin1(OpenFilter), QStringLiteral("Slt"), FSettings.LastLoadPath, {}});
    if (file.isEmpty())
        return;
    FSettings.LastLoadPath = QFileInfo(file).absolutePath();
    LoadAndRemember(file);
}

bool TFormMain::SaveSlot(TKorSlot *slot)
{
    if (!slot)
        return false;
    if (!slot->HasFile())
        return SaveSlotAs(slot);
    bool saved = false;
    Guarded([&] {
        slot->Save();
        saved = true;
    });
    UpdateCaption();
    return saved;
}

bool TFormMain::SaveSlotAs(TKorSlot *slot)
{
    if (!slot)
        return false;
    FPages->setCurrentWidget(slot); // the user sees which patch the dialog is for
    // A new slot's first save starts in the folder last used, at first the user's documents.
    QString folder = FSettings.LastSavePath;
    if (folder.isEmpty())
        folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString proposed = slot->HasFile() ? slot->SlotFileName() : slot->SlotName() + QStringLiteral(".korvane");
    const QString file = Dialogs().SaveFileName(
        {QStringLiteral("Save a slot file"), QString::fromLatin1(SaveFilter), QStringLiteral("korvane"), folder, proposed});
    if (file.isEmpty())
        return false;
    FSettings.LastSavePath = QFileInfo(file).absolutePath();
    bool saved = false;
    Guarded([&] {
        FPages->SaveSlotAs(slot, file);
        saved = true;
    });
    if (saved)
        AddRecentFile(FSettings, file);
    StoreSettings(); // the folder last used, and the file among the recent ones
    UpdateCaption();
    return saved;
}

void TFormMain::SaveAllCommand()
{
    // In page order; a cancelled or failed save ends the command, as it would a prompt. A new
    // slot nobody has touched has nothing to save: no dialog for it.
    for (int i = 0; i < FPages->SlotCount(); ++i) {
        TKorSlot *slot = FPages->Slots(i);
        if ((slot->HasFile() || slot->Modified()) && !SaveSlot(slot))
            return;
    }
}

void TFormMain::EditDetail(TKorCustomDetail *detail, const std::function<void()> &edit)
{
    // A detail of a module on a slot's sheet is one step of that slot's history.
    auto *module = qobject_cast<TKorCustomModule *>(detail->Owner());
    TKorDrawSheet *sheet = module ? module->DrawSheet() : nullptr;
    if (auto *slot = sheet ? dynamic_cast<TKorSlot *>(sheet->Host()) : nullptr) {
        slot->EditModule(module, edit);
        return;
    }
    std::lock_guard lock(FPages->Guard().Mutex);
    edit();
}

void TFormMain::DetailDoubleClicked(QObject *sender)
{
    if (auto *label = qobject_cast<TKorTextLabel *>(sender)) {
        auto *module = qobject_cast<TKorCustomModule *>(label->Owner());
        const QString type = module ? module->ClassName().mid(1) : label->ClassName().mid(1);
        const QString title = Dialogs().InputBox(QStringLiteral("Enter module title"),
                                                 QStringLiteral("Module type = ") + type, label->Text());
        EditDetail(label, [&] { label->SetText(title); });
    } else if (auto *knob = qobject_cast<TKorKnob *>(sender)) {
        if (knob->MouseMode() != TKorKnob::mmIdle)
            return;
        const QString text =
            Dialogs().InputBox(QStringLiteral("Enter a knob value"), QStringLiteral("Value"), QString::number(knob->Position()));
        bool ok = false;
        const int value = text.trimmed().toInt(&ok);
        if (!ok) {
            Dialogs().ShowError(QStringLiteral("'%1' is not a valid integer value").arg(text));
            return;
        }
        EditDetail(knob, [&] { knob->SetPosition(value); });
    }
}

void TFormMain::MidiSettings()
{
    // A configured port that is absent stays listed and chosen, so that OK keeps it.
    FMidiDialog->SetServices(FMidi);
    FMidiDialog->KeepListed(FSettings.MidiIn, FSettings.MidiOut);
    FMidiDialog->SelectInput(FSettings.MidiIn.isEmpty() ? FMidiInName : FSettings.MidiIn);
    FMidiDialog->SelectOutput(FSettings.MidiOut.isEmpty() ? FMidiOutName : FSettings.MidiOut);
    if (FMidiDialog->exec() != QDialog::Accepted)
        return;
    SwitchMidiServices(FMidiDialog->Services());
    // An absent port kept as it was is left to the keeper, which opens it when it comes; so are
    // the ports of a MIDI system that cannot be used now (the top bar says why, no box).
    const bool usable = FMidi->Problem().isEmpty();
    if (usable && !(FMidiKeeper->InputAbsent() && FMidiDialog->InputName() == FSettings.MidiIn)) {
        SetMidiInName(FMidiDialog->InputName());
        if (!FMidiInOpen)
            try {
                SetMidiInOpen(!FMidiInName.isEmpty());
            } catch (...) {
            }
    }
    if (!usable) {
        FSettings.MidiIn = FMidiDialog->InputName();
        FSettings.MidiOut = FMidiDialog->OutputName();
        StoreSettings();
    }
    if (usable && !(FMidiKeeper->OutputAbsent() && FMidiDialog->OutputName() == FSettings.MidiOut)) {
        SetMidiOutName(FMidiDialog->OutputName());
        if (!FMidiOutOpen)
            try {
                SetMidiOutOpen(!FMidiOutName.isEmpty());
            } catch (...) {
            }
    }
    FMidiKeeper->Retry(); // chosen again: a port waiting for its next try is tried now
}

void TFormMain::RandomSettings()
{
    FRandomSettings->SetRandomized(FSettings.Randomized);
    FRandomSettings->SetSeed(FSettings.RandomSeed);
    if (FRandomSettings->exec() == QDialog::Accepted) {
        FSettings.Randomized = FRandomSettings->Randomized();
        FSettings.RandomSeed = FRandomSettings->Seed();
    }
    PausedFor([&] {
        if (FSettings.Randomized)
            Randomize();
        else
            RandSeed(uint32_t(FSettings.RandomSeed));
    });
    StoreSettings();
}

void TFormMain::Reseed()
{
    Randomize();
}

void TFormMain::ListenForOsc(const QString &host, int32_t port)
{
    const QString problem = FOsc->Listen(host, port);
    SetOscProblem(problem);
}

void TFormMain::SetOscProblem(const QString &text)
{
    if (FOptions.OscReport) {
        if (!text.isEmpty())
            FOptions.OscReport(text);
        return;
    }
    FOscProblem = text;
    ShowProblems();
}

void TFormMain::SetOscAddress(const QString &host, int32_t port)
{
    FSettings.OscHost = host.trimmed();
    FSettings.OscPort = std::clamp(port, 0, 65535);
    FOptions.OscPort.reset(); // chosen now: the command line's port is done with
    StoreSettings();
    ListenForOsc(FSettings.OscHost, FSettings.OscPort);
}

void TFormMain::OscSettings()
{
    QDialog dialog(this);
    dialog.setWindowTitle(QStringLiteral("OSC"));
    auto *form = new QFormLayout(&dialog);
    auto *port = new QSpinBox(&dialog);
    port->setRange(0, 65535);
    port->setSpecialValueText(QStringLiteral("0 (off)"));
    port->setValue(FOsc->Listening() ? FOsc->Port() : FSettings.OscPort);
    auto *host = new QLineEdit(FSettings.OscHost, &dialog);
    host->setPlaceholderText(QStringLiteral("127.0.0.1 (this computer only)"));
    form->addRow(QStringLiteral("UDP port:"), port);
    form->addRow(QStringLiteral("Address:"), host);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() == QDialog::Accepted)
        SetOscAddress(host->text(), port->value());
}

void TFormMain::SetMidiPickUp(bool on)
{
    FPages->SetMidiPickUp(on);
    FSettings.MidiPickUp = on;
    if (QAction *item = Action(PickUpItem); item && item->isChecked() != on)
        item->setChecked(on);
    StoreSettings();
}

void TFormMain::AddSessionSource(QMenu *menu, const QString &caption, bool TAppSettings::*setting,
                                 std::function<std::unique_ptr<TKorSessionClock>()> create)
{
    QAction *item = menu->addAction(caption);
    item->setCheckable(true);
    FSessionSources->addAction(item);
    connect(item, &QAction::triggered, this, [this, item](bool on) { ChooseSessionSource(on ? item : nullptr, true); });
    FActions << item;
    FSources.push_back({item, setting, std::move(create)});
}

void TFormMain::ChooseSessionSource(QAction *item, bool store)
{
    const TSessionSource *chosen = nullptr;
    for (const TSessionSource &s : FSources) {
        const bool on = s.Item == item;
        s.Item->setChecked(on);
        if (store)
            FSettings.*s.Setting = on;
        if (on)
            chosen = &s;
    }
    // The source that is on already stays, in the same session. A new one is made before the
    // lock is taken: joining a session starts threads and sockets.
    if (item != FActiveSource || (chosen && !FSessionClock))
        UseSessionClock(chosen ? chosen->Create() : nullptr);
    FActiveSource = item;
    if (store)
        StoreSettings();
}

void TFormMain::UseSessionClock(std::unique_ptr<TKorSessionClock> clock)
{
    std::unique_ptr<TKorSessionClock> replaced;
    {
        std::lock_guard lock(FPages->Guard().Mutex);
        replaced = std::move(FSessionClock);
        FSessionClock = std::move(clock);
        SetSessionClock(FSessionClock.get());
    }
    // Freed outside the lock: leaving a Link session waits for its threads, which no tick
    // should wait for.
    replaced.reset();
    emit SessionClockNews().Changed();
}

void TFormMain::SetLink(bool on)
{
    ChooseSessionSource(on ? Action(LinkItem) : nullptr, true);
}

void TFormMain::SetRemoteChangesAreEdits(bool on)
{
    FPages->SetRemoteChangesAreEdits(on);
    FSettings.RemoteChangesAreEdits = on;
    if (QAction *item = Action(QStringLiteral("OSC and MIDI changes are edits")); item && item->isChecked() != on)
        item->setChecked(on);
    StoreSettings();
}

void TFormMain::ChooseColor(std::atomic<uint32_t> &setting)
{
    const std::optional<uint32_t> color = Dialogs().ChooseColor(setting.load());
    if (!color)
        return;
    setting = *color;
    FPages->RefreshColors();
    StoreSettings(true);
}

QString TFormMain::ManualAnchor() const
{
    if (auto *module = qobject_cast<TKorCustomModule *>(FClickedDetail.data()))
        return QStringLiteral("#Module_") + module->ClassName().mid(1);
    return {};
}

QString TFormMain::ManualTarget() const
{
    QUrl url = QUrl::fromLocalFile(ApplicationDirectory() + QStringLiteral("Manual/Index.htm"));
    const QString anchor = ManualAnchor();
    if (!anchor.isEmpty())
        url.setFragment(anchor.mid(1));
    return url.toString();
}

void TFormMain::ShowManual()
{
    const QUrl url(ManualTarget());
    const bool shown = FUrlOpener ? FUrlOpener(url) : QDesktopServices::openUrl(url);
    if (!shown)
        Dialogs().ShowMessage(QStringLiteral("No web browser could be started to show the manual.\nIt is the file %1")
                                  .arg(QDir::toNativeSeparators(url.toLocalFile())));
}

std::unique_ptr<QMenu> TFormMain::ContextMenu(TKorSlot *slot, QPoint at)
{
    if (!slot || !slot->Sheet())
        return nullptr;
    auto menu = std::make_unique<QMenu>(this);
    TKorDrawSheet *sheet = slot->Sheet();
    TKorCustomModule *module;
    TKorConnector *connector;
    {
        std::lock_guard lock(FPages->Guard().Mutex);
        module = sheet->ModuleAt(at);
        connector = sheet->ConnectorAt(nullptr, at);
    }
    const auto item = [&menu](const QString &caption, auto handler) {
        QAction *a = menu->addAction(caption);
        connect(a, &QAction::triggered, menu.get(), handler);
        return a;
    };
    if (connector && connector->IsConnected()) {
        QPointer<TKorConnector> c = connector;
        item(QStringLiteral("Remove cables"), [slot, c] { slot->RemoveCablesOf(c); });
        menu->addSeparator();
        std::lock_guard lock(FPages->Guard().Mutex);
        for (int i = 0; i < sheet->CableCount(); ++i) {
            TKorConnection *cable = sheet->Cables(i);
            if (cable->From != connector && cable->To != connector)
                continue;
            const TKorConnector *far = cable->From == connector ? cable->To : cable->From;
            auto *owner = qobject_cast<TKorCustomModule *>(far->Owner());
            const QString name = (owner ? owner->Title() + u'.' : QString()) + far->Name();
            TKorConnector *from = cable->From, *to = cable->To;
            item(QStringLiteral("Remove cable to %1").arg(name), [slot, c, from, to, sheet] {
                if (!c)
                    return;
                TKorConnection *found = nullptr;
                for (int k = 0; k < sheet->CableCount(); ++k)
                    if (sheet->CableFrom(k) == from && sheet->CableTo(k) == to)
                        found = sheet->Cables(k);
                if (found)
                    slot->RemoveCablesOf(c, found);
            });
        }
    } else if (module) {
        QPointer<TKorCustomModule> m = module;
        // The menu acts on the module under the pointer, selected alone unless it was selected.
        const auto select = [this, m] {
            if (m && !m->Selected()) {
                std::lock_guard lock(FPages->Guard().Mutex);
                m->SetSelected(true);
                m->DrawSheet()->DeselectAllBut(m);
            }
        };
        item(QStringLiteral("Cu&t"), [this, select] { select(); Guarded([&] { FPages->CutSelection(); }); });
        item(QStringLiteral("&Copy"), [this, select] { select(); Guarded([&] { FPages->CopySelection(); }); });
        item(QStringLiteral("&Delete"), [this, select] { select(); FPages->DeleteSelectedModules(); });
        menu->addSeparator();
        item(QStringLiteral("&Rename title..."), [this, m] {
            if (m && m->TitleLabel())
                DetailDoubleClicked(m->TitleLabel());
        });
        item(QStringLiteral("&Manual"), [this, m] {
            FClickedDetail = m.data();
            ShowManual();
        });
        menu->addSeparator();
        TKorCustomDetail *control;
        {
            std::lock_guard lock(FPages->Guard().Mutex);
            control = module->DetailAt(module->SheetToLocal(at));
        }
        FPages->AddMidiLearnItems(*menu, slot, module, control);
    } else {
        item(QStringLiteral("&Paste"), [this] { Guarded([&] { FPages->PasteClipboard(); }); });
        item(QStringLiteral("&Select all"), [this] { FPages->SelectAll(); });
        QMenu *add = menu->addMenu(QStringLiteral("&New module"));
        for (int i = 0; i < FPalette->count(); ++i) {
            QMenu *page = add->addMenu(FPalette->tabText(i));
            for (TKorModuleButton *b : FPalette->widget(i)->findChildren<TKorModuleButton *>(Qt::FindDirectChildrenOnly)) {
                const TComponentClass *cls = b->ModuleClass();
                connect(page->addAction(TKorModuleButton::ShortName(*cls)), &QAction::triggered, menu.get(),
                        [this, cls] { AddModule(*cls); });
            }
        }
    }
    return menu;
}

void TFormMain::LoadPaletteDescriptions()
{
    QFile f(ApplicationDirectory() + QStringLiteral("Manual/Index.htm"));
    if (!f.open(QIODevice::ReadOnly))
        return; // no manual, no descriptions: the palette still searches the names
    const QString html = QString::fromUtf8(f.readAll());
    static const QRegularExpression section(QStringLiteral("<h2 id=\"Module_Kor(\\w+)\">[^<]*</h2>\\s*<p>(.*?)</p>"),
                                            QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression tags(QStringLiteral("<[^>]*>")), spaces(QStringLiteral("\\s+"));
    QHash<QString, QString> descriptions;
    for (auto it = section.globalMatch(html); it.hasNext();) {
        const auto match = it.next();
        QString text = match.captured(2).remove(tags).replace(spaces, QStringLiteral(" ")).trimmed();
        if (const qsizetype end = text.indexOf(QStringLiteral(". ")); end > 0)
            text.truncate(end + 1);
        descriptions.insert(match.captured(1), text);
    }
    FPalette->SetDescriptions(descriptions);
}

void TFormMain::DebugDump()
{
    QByteArray text;
    {
        QTextStream out(&text, QIODevice::WriteOnly);
        Guarded([&] { FPages->Dump(out, 0, 5); });
    }
    try {
        WriteWholeFile(QFileInfo(QStringLiteral("Dump.txt")).absoluteFilePath(), text);
    } catch (const EFileError &e) {
        Dialogs().ShowError(e.Message());
    }
}

bool TFormMain::FunctionKey(int key)
{
    switch (key) {
    case Qt::Key_F2:
    case Qt::Key_F12:
        SetRunning(!FRunning);
        return true;
    case Qt::Key_F5:
        if (windowState() & Qt::WindowMaximized)
            showNormal();
        else
            showMaximized();
        return true;
    case Qt::Key_F10:
        AllNotesOff();
        return true;
    case Qt::Key_F11:
        Reseed();
        return true;
    default:
        return false;
    }
}

bool TFormMain::eventFilter(QObject *watched, QEvent *event)
{
    // The window sees every key first, whichever of its widgets has the focus.
    if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
        static_cast<QWidget *>(watched)->window() == this) {
        auto *key = static_cast<QKeyEvent *>(event);
        const auto modifiers = key->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
        if (modifiers == Qt::NoModifier && !key->isAutoRepeat() && FunctionKey(key->key()))
            return true;
        // Escape ends MIDI learn, or takes back a module taken from the palette, wherever the focus is.
        if (key->key() == Qt::Key_Escape && modifiers == Qt::NoModifier && FPages &&
            (FPages->CancelLearn() || (FPages->ActiveSlot() && FPages->ActiveSlot()->CancelPlacing())))
            return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TFormMain::Shutdown()
{
    if (FShutDown)
        return;
    FShutDown = true;
    if (FOsc)
        FOsc->Listen(QString(), 0);
    if (FMidiKeeper)
        FMidiKeeper->Stop();
    SetRunning(false);
    FTimer->Resume();
    FTimer->SetEnabled(false);
    AllNotesOff();
    StopRecording(); // the notes-off of the stop and of the line above belong to it
    try {
        SetMidiInOpen(false);
    } catch (...) {
    }
    try {
        SetMidiOutOpen(false);
    } catch (...) {
    }
}

void TFormMain::moveEvent(QMoveEvent *event)
{
    QMainWindow::moveEvent(event);
    if (FOptions.SaveSettings && !FShutDown)
        FPlaceSettle.start(); // a drag moves it many times: written once it rests
}

void TFormMain::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    if (FOptions.SaveSettings && !FShutDown)
        FPlaceSettle.start();
}

void TFormMain::StoreSettings(bool force)
{
    // The settings file is the user's: a window that may not write it leaves it alone, and
    // one shutting down writes it whole in its destructor.
    if (!FOptions.SaveSettings || FShutDown)
        return;
    FPlaceSettle.stop();
    FSettings.Window = geometry();
    if (!force && FSettings == FStoredSettings)
        return;
    try {
        WriteSettings(FOptions.SettingsFile, FSettings);
        FStoredSettings = FSettings;
        FSettingsProblem.clear();
    } catch (const std::exception &e) {
        FSettingsProblem = QString::fromUtf8(e.what());
    }
    ShowProblems();
}

void TFormMain::ShowProblems()
{
    QStringList problems;
    if (FRecovery && !FRecovery->Problem().isEmpty())
        problems << FRecovery->Problem();
    if (!FSettingsProblem.isEmpty())
        problems << FSettingsProblem;
    if (!FSendProblem.isEmpty())
        problems << FSendProblem;
    if (!FOscProblem.isEmpty())
        problems << FOscProblem;
    if (!FProblems) {
        if (problems.isEmpty())
            return; // no status bar until there is something to say
        FProblems = new QLabel(statusBar());
        FProblems->setObjectName(QStringLiteral("LabelProblems"));
        FProblems->setStyleSheet(QStringLiteral("color: #800000"));
        statusBar()->addWidget(FProblems, 1);
    }
    FProblems->setText(problems.join(u'\n'));
    FProblems->setToolTip(FProblems->text());
    statusBar()->setVisible(!problems.isEmpty());
}

void TFormMain::closeEvent(QCloseEvent *event)
{
    if (FAskBeforeClosing && !FShutDown && !ConfirmCloseAll()) {
        event->ignore();
        return;
    }
    if (FRecovery) {
        // Asked and answered: nothing is left to recover. Closed by a signal: the copies stay.
        if (FAskBeforeClosing)
            FRecovery->Finish();
        else
            FRecovery->WriteNow();
    }
    Shutdown();
    event->accept();
}
