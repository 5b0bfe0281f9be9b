// The main window: the run from the start, the menu items that follow the slot and module
// counts, the function keys and the start/stop button, the overflow rule and its lamp, MIDI
// routing both ways, the value boxes, the settings written as they change and at the end, the
// colour and random settings commands, the MIDI port dialog, the manual anchor, the dump, the
// palette pages, failed opens, and what the recovery copies show in the window.
#include "FrmMain.h"
#include "FrmMidDlg.h"
#include "FrmRndSet.h"
#include "FrmAbout.h"
#include "Arithmetic.h"
#include "Dialogs.h"
#include "LoopbackMidi.h"
#include "ClockModules.h"
#include "LinkModule.h"
#include "MidiModules.h"
#include "PanelControls.h"
#include "Random.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QAbstractButton>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QWheelEvent>
#include "QtDialogs.h"
#include "AppPaths.h"
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

// The timer's wake-ups happen only when a test asks for them.
class TManualTimeSource final : public ITimeSource {
public:
    bool Start(uint32_t, uint32_t, std::function<void(TTimerClock::time_point)> wake) override
    {
        std::lock_guard lock(FLock);
        FWake = std::move(wake);
        return true;
    }
    void Stop() override
    {
        std::lock_guard lock(FLock);
        FWake = nullptr;
    }
    void Fire(TTimerClock::time_point deadline = TTimerClock::now())
    {
        std::lock_guard lock(FLock);
        if (FWake)
            FWake(deadline);
    }

private:
    std::mutex FLock;
    std::function<void(TTimerClock::time_point)> FWake;
};

// Records every box; input boxes and colour dialogs answer from scripts, and answer as
// cancelled once a script runs out.
struct TScriptedDialogs : IDialogs {
    struct TInput {
        QString Caption, Prompt, Value;
    };
    QStringList Messages, Errors;
    std::vector<TInput> Inputs;
    std::deque<QString> InputAnswers;
    std::vector<uint32_t> ColorsAsked;
    std::deque<std::optional<uint32_t>> ColorAnswers;
    std::function<void()> WhileInputShows; // runs while an input box is open
    // "Save changes to NAME?": asked texts, and answers from a script, Discard once it runs out
    // (most tests close modified slots without caring).
    QStringList SaveQuestions;
    std::deque<TSaveChoice> SaveAnswers;

    QStringList RestoreOffers;
    TRestoreChoice RestoreAnswer = TRestoreChoice::Later;
    TRestoreChoice AskRestore(const QString &, const QStringList &items) override
    {
        RestoreOffers += items;
        return RestoreAnswer;
    }

    TSaveChoice AskSaveChanges(const QString &text) override
    {
        SaveQuestions << text;
        if (SaveAnswers.empty())
            return TSaveChoice::Discard;
        const TSaveChoice answer = SaveAnswers.front();
        SaveAnswers.pop_front();
        return answer;
    }

    void ShowMessage(const QString &text) override { Messages << text; }
    void ShowError(const QString &text) override { Errors << text; }
    std::vector<TFileDialogRequest> OpenRequests; // answered from a script, then as cancelled
    std::deque<QString> OpenAnswers;
    // Save dialogs: the requests, and answers from a script, cancelled once it runs out.
    std::vector<TFileDialogRequest> SaveRequests;
    std::deque<QString> SaveFileAnswers;
    QString SaveFileName(const TFileDialogRequest &request) override
    {
        SaveRequests.push_back(request);
        if (SaveFileAnswers.empty())
            return {};
        const QString answer = SaveFileAnswers.front();
        SaveFileAnswers.pop_front();
        return answer;
    }
    QString OpenFileName(const TFileDialogRequest &request) override
    {
        OpenRequests.push_back(request);
        if (OpenAnswers.empty())
            return {};
        QString answer = OpenAnswers.front();
        OpenAnswers.pop_front();
        return answer;
    }
    QString InputBox(const QString &caption, const QString &prompt, const QString &value) override
    {
        Inputs.push_back({caption, prompt, value});
        if (WhileInputShows)
            WhileInputShows();
        if (InputAnswers.empty())
            return value;
        QString answer = InputAnswers.front();
        InputAnswers.pop_front();
        return answer;
    }
    std::optional<uint32_t> ChooseColor(uint32_t initial) override
    {
        ColorsAsked.push_back(initial);
        if (ColorAnswers.empty())
            return std::nullopt;
        auto answer = ColorAnswers.front();
        ColorAnswers.pop_front();
        return answer;
    }
};

// A patch that takes a quarter of a second per tick.
class TKorSlowModule : public TKorModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorSlowModule() = default;
    void Execute() override
    {
        ++Executes;
        std::this_thread::sleep_for(250ms);
    }
    int Executes = 0;
};

// Sends a note-on on channel 3 on every tick.
class TKorNoteSender : public TKorMidiBaseModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorNoteSender() = default;
    void Execute() override
    {
        ++Executes;
        SendShortMidi(MakeShortMsg(2, 9, 60, 100));
    }
    int Executes = 0;
};

// A MIDI clock at 120 beats per minute, 24 to the beat, counted from 1 ms ticks: a tick lost
// is a clock late for good.
class TKorTickClock : public TKorMidiBaseModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorTickClock() = default;
    void Execute() override
    {
        ++Ticks;
        if (Ticks * 48 / 1000 != (Ticks - 1) * 48 / 1000)
            SendShortMidi(MidiTimingClock);
    }
    int64_t Ticks = 0;
};

// Raises "Integer overflow" on every tick.
class TKorOverflowing : public TKorModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorOverflowing() = default;
    void Execute() override { static_cast<void>(Checked::Mul(65536, 32768)); }
};

void SendMouse(QWidget *w, QEvent::Type type, QPoint p)
{
    QMouseEvent e(type, QPointF(p), w->mapToGlobal(QPointF(p)), Qt::LeftButton,
                  type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

// A module added to the active slot; it follows the pointer until the button is released,
// so it is put down where it was made.
template <class T>
T *AddTo(TFormMain &w)
{
    auto *m = qobject_cast<T *>(w.PageControl()->AddModule(ClassOf<T>()));
    if (m)
        SendMouse(w.PageControl()->ActiveSlot()->Canvas(), QEvent::MouseButtonRelease,
                  m->LocalToSheet(QPoint(m->Width() / 2, m->Height() / 2)));
    return m;
}

// Processes events until done() holds, at most ten seconds.
bool ProcessUntil(const std::function<bool()> &done)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

void SendKey(QWidget *w, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers);
    QApplication::sendEvent(w, &release);
}

// A left click, or a double click, on the centre of a detail of the active slot, and the
// queued report delivered.
void ClickDetail(TFormMain &w, TKorCustomDetail *d, bool doubleClick)
{
    QWidget *canvas = w.PageControl()->ActiveSlot()->Canvas();
    const QPoint p = d->LocalToSheet(QPoint(d->Width() / 2, d->Height() / 2));
    SendMouse(canvas, QEvent::MouseButtonPress, p);
    SendMouse(canvas, QEvent::MouseButtonRelease, p);
    if (doubleClick) {
        SendMouse(canvas, QEvent::MouseButtonDblClick, p);
        SendMouse(canvas, QEvent::MouseButtonRelease, p);
    }
    QApplication::processEvents();
}

// What a port raises when asked for a device name it does not have.
template <class TPort>
QString PortError(const std::shared_ptr<TMidiServices> &midi, const QString &name)
{
    TPort port(nullptr, midi);
    try {
        port.SetProductName(name);
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    }
    return QStringLiteral("(no error)");
}

const QByteArray BothPorts = "[Settings]\nMidiIn=Keys\nMidiOut=Synth\n";

class MainWindowTest : public ::testing::Test {
protected:
    MainWindowTest() { SetDialogs(&Boxes); }
    ~MainWindowTest() override
    {
        Window.reset();
        SetDialogs(nullptr);
    }

    QString SettingsFile() const { return Dir.filePath(QStringLiteral("korvane.INI")); }
    void WriteSettingsFile(const QByteArray &text)
    {
        QFile f(SettingsFile());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }
    QByteArray SettingsText() const
    {
        QFile f(SettingsFile());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    TFormMain &Make(bool saveSettings = true)
    {
        TMainWindowOptions options;
        options.SettingsFile = SettingsFile();
        options.Midi = Midi;
        auto source = std::make_unique<TManualTimeSource>();
        Source = source.get();
        options.TimeSource = std::move(source);
        options.SaveSettings = saveSettings;
        Window = std::make_unique<TFormMain>(std::move(options));
        return *Window;
    }
    void Destroy()
    {
        Window->close();
        Window.reset();
    }

    // Runs one tick on this thread (the timer's own source never fires here) and tells
    // whether the patches ran.
    bool TickRan()
    {
        const uint64_t before = Window->TicksRun();
        Window->Tick();
        return Window->TicksRun() > before;
    }

    QTemporaryDir Dir;
    TScriptedDialogs Boxes;
    std::shared_ptr<TLoopbackMidi> Midi = std::make_shared<TLoopbackMidi>(QStringList{"Keys"}, QStringList{"Synth"});
    std::unique_ptr<TFormMain> Window;
    TManualTimeSource *Source = nullptr; // owned by the window's timer
};

TEST_F(MainWindowTest, RunsFromTheStartWithoutPortsAndWithoutAWordAboutThem)
{
    TFormMain &w = Make(false);
    EXPECT_TRUE(w.Running());
    EXPECT_TRUE(w.Timer()->Enabled());
    EXPECT_EQ(w.StartStopButton()->toolTip(), "Stop [F12]");
    EXPECT_EQ(w.OverflowLamp()->Color(), OverflowGreen);
    EXPECT_EQ(w.LastTickTime(), 1);
    EXPECT_EQ(Boxes.Messages, QStringList()) << "no port configured is no failure";
    EXPECT_FALSE(w.MidiInOpen());
    EXPECT_FALSE(w.MidiOutOpen());
    EXPECT_TRUE(w.MidiInName().isEmpty());
    EXPECT_TRUE(w.MidiOutName().isEmpty());
    EXPECT_EQ(Midi->OpenDevices(), 0);
}

TEST_F(MainWindowTest, OpensTheConfiguredPortsAndClosesThemOnClose)
{
    WriteSettingsFile(BothPorts);
    TFormMain &w = Make(false);
    EXPECT_TRUE(Boxes.Messages.isEmpty()) << Boxes.Messages.join(" | ").toStdString();
    EXPECT_TRUE(Boxes.Errors.isEmpty()) << Boxes.Errors.join(" | ").toStdString();
    EXPECT_TRUE(w.MidiInOpen());
    EXPECT_TRUE(w.MidiOutOpen());
    EXPECT_EQ(w.MidiInName(), "Keys");
    EXPECT_EQ(w.MidiOutName(), "Synth");
    EXPECT_EQ(Midi->OpenDevices(), 2);
    w.close();
    EXPECT_FALSE(w.Running());
    EXPECT_FALSE(w.Timer()->Enabled());
    EXPECT_EQ(Midi->OpenDevices(), 0);
}

TEST_F(MainWindowTest, OnlyConfiguredPortsThatCannotBeChosenAreReportedAtTheStart)
{
    struct Case {
        const char *name;
        QByteArray settings;
        QStringList messages;
    };
    const std::vector<Case> cases = {
        {"empty names", "[Settings]\nMidiIn=\nMidiOut=\n", {}},
        {"both present", BothPorts, {}},
        {"an absent input", "[Settings]\nMidiIn=Drums\nMidiOut=Synth\n",
         {"Could not open midi in port : " + PortError<TMidiInput>(Midi, "Drums")}},
        {"both absent", "[Settings]\nMidiIn=Drums\nMidiOut=Piano\n",
         {"Could not open midi in port : " + PortError<TMidiInput>(Midi, "Drums"),
          "Could not open midi out port : " + PortError<TMidiOutput>(Midi, "Piano")}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Boxes.Messages.clear();
        WriteSettingsFile(c.settings);
        Make(false);
        EXPECT_EQ(Boxes.Messages, c.messages);
        Destroy();
    }
}

TEST_F(MainWindowTest, OkInTheMidiDialogWithNoInputListedSaysNothing)
{
    Midi = std::make_shared<TLoopbackMidi>(QStringList{}, QStringList{"Synth"});
    TFormMain &w = Make(false);
    TFormMidiDialog *dialog = w.MidiDialog();
    QTimer::singleShot(0, dialog, [dialog] { dialog->SpeedButtonOkClick(); });
    w.Action("&Midi...")->trigger();
    EXPECT_EQ(Boxes.Messages, QStringList());
    EXPECT_EQ(Boxes.Errors, QStringList());
    EXPECT_FALSE(w.MidiInOpen());
    EXPECT_TRUE(w.MidiInName().isEmpty());
    EXPECT_EQ(w.MidiOutName(), MidiClientName) << "the output list always offers Korvane's own port";
    EXPECT_TRUE(w.MidiOutOpen());
}

TEST_F(MainWindowTest, BringingToTheFrontKeepsTheWindowsSize)
{
    struct Case {
        const char *name;
        Qt::WindowStates before, after;
    };
    const std::vector<Case> cases = {
        {"normal", Qt::WindowNoState, Qt::WindowNoState},
        {"maximised", Qt::WindowMaximized, Qt::WindowMaximized},
        {"minimised from maximised", Qt::WindowMinimized | Qt::WindowMaximized, Qt::WindowMaximized},
        {"minimised", Qt::WindowMinimized, Qt::WindowNoState},
        {"full screen", Qt::WindowFullScreen, Qt::WindowFullScreen},
    };
    TFormMain &w = Make(false);
    w.show();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        w.setWindowState(c.before);
        w.BringToFront();
        EXPECT_EQ(w.windowState(), c.after);
        EXPECT_TRUE(w.isVisible());
    }
}

TEST_F(MainWindowTest, MenuItemsFollowTheSlotAndModuleCounts)
{
    TFormMain &w = Make(false);
    const QStringList slotItems = {"&Save", "Save &as ...", "Sa&ve all", "&Close", "C&lose all"};
    const QStringList moduleItems = {"&Delete", "De&lete all"};
    const auto expectEnabled = [&](const QStringList &items, bool enabled, const char *when) {
        for (const QString &caption : items) {
            ASSERT_NE(w.Action(caption), nullptr) << caption.toStdString();
            EXPECT_EQ(w.Action(caption)->isEnabled(), enabled) << caption.toStdString() << " " << when;
        }
    };
    expectEnabled(slotItems, false, "without slots");
    expectEnabled(moduleItems, false, "without slots");
    EXPECT_FALSE(w.Palette()->ButtonsEnabled());

    w.Action("&New")->trigger();
    expectEnabled(slotItems, true, "with a slot");
    expectEnabled(moduleItems, false, "with an empty slot");
    EXPECT_TRUE(w.Palette()->ButtonsEnabled());

    // The caption names the slot the user chose.
    w.Action("&New")->trigger();
    QTabBar *tabs = w.PageControl()->tabBar();
    for (int i : {0, 1}) {
        SendMouse(tabs, QEvent::MouseButtonPress, tabs->tabRect(i).center());
        SendMouse(tabs, QEvent::MouseButtonRelease, tabs->tabRect(i).center());
        EXPECT_EQ(w.windowTitle(), QStringLiteral("Korvane - Slot%1").arg(i + 1));
    }
    w.Action("&Close")->trigger();
    ASSERT_EQ(w.PageControl()->SlotCount(), 1);

    ASSERT_NE(AddTo<TKorConstant>(w), nullptr);
    expectEnabled(moduleItems, true, "with a module");
    w.Action("De&lete all")->trigger();
    expectEnabled(moduleItems, false, "after deleting all modules");
    expectEnabled(slotItems, true, "after deleting all modules");

    AddTo<TKorConstant>(w);
    w.Action("&Close")->trigger();
    EXPECT_EQ(w.PageControl()->SlotCount(), 0);
    expectEnabled(slotItems, false, "after closing the last slot");
    expectEnabled(moduleItems, false, "after closing the last slot");
    EXPECT_FALSE(w.Palette()->ButtonsEnabled());

    w.Action("&New")->trigger();
    expectEnabled(slotItems, true, "with a new slot");
    EXPECT_TRUE(w.Palette()->ButtonsEnabled());
}

TEST_F(MainWindowTest, FunctionKeysToggleTheRunOnlyWithoutModifiers)
{
    TFormMain &w = Make(false);
    struct Case {
        const char *name;
        int key;
        Qt::KeyboardModifiers modifiers;
        bool toggles;
    };
    const Case cases[] = {
        {"F12", Qt::Key_F12, Qt::NoModifier, true},
        {"F2", Qt::Key_F2, Qt::NoModifier, true},
        {"Shift+F12", Qt::Key_F12, Qt::ShiftModifier, false},
        {"Ctrl+F2", Qt::Key_F2, Qt::ControlModifier, false},
        {"Alt+F12", Qt::Key_F12, Qt::AltModifier, false},
        {"F3", Qt::Key_F3, Qt::NoModifier, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        w.SetLastTickTime(250);
        const bool before = w.Running();
        SendKey(&w, c.key, c.modifiers);
        EXPECT_EQ(w.Running(), c.toggles ? !before : before);
        EXPECT_EQ(w.StartStopButton()->toolTip(), w.Running() ? "Stop [F12]" : "Start [F12]");
        EXPECT_EQ(w.LastTickTime(), 250) << "keys leave the overflow memory alone";
        // Back to running for the next case.
        w.SetRunning(true);
    }
}

TEST_F(MainWindowTest, StartStopButtonTogglesTheRunAndClearsTheOverflowMemory)
{
    TFormMain &w = Make(false);
    w.SetLastTickTime(250);
    w.StartStopButton()->click();
    EXPECT_FALSE(w.Running());
    EXPECT_EQ(w.StartStopButton()->toolTip(), "Start [F12]");
    EXPECT_EQ(w.LastTickTime(), 1);
    EXPECT_TRUE(w.Timer()->Enabled()) << "a pause keeps the timer enabled";

    w.SetLastTickTime(250);
    w.StartStopButton()->click();
    EXPECT_TRUE(w.Running());
    EXPECT_EQ(w.StartStopButton()->toolTip(), "Stop [F12]");
    EXPECT_EQ(w.LastTickTime(), 1);
}

// A note output playing note 62 on channel 5 while its gate is held high by a constant.
const QByteArray HeldNote = "object TKorDrawSheet\r\n"
                            "  Connections = (\r\n"
                            "    'Gate.Out Voice.InGate'\r\n"
                            "    'Note.Out Voice.InNote')\r\n"
                            "  object Gate: TKorConstant\r\n"
                            "    KnobAmpValue = 1000\r\n"
                            "  end\r\n"
                            "  object Note: TKorConstant\r\n"
                            "    Top = 50\r\n"
                            "    KnobAmpValue = 496\r\n"
                            "  end\r\n"
                            "  object Voice: TKorMidiOut\r\n"
                            "    Top = 100\r\n"
                            "    KnobChValue = 5\r\n"
                            "  end\r\n"
                            "end\r\n";

// However the run stops, the sounding note's note-off goes out on its own channel before the
// run halts, no tick plays after it, and the gate still high at the next start plays the note
// again. Adding a module pauses the run for a moment without stopping it: nothing is sent.
TEST_F(MainWindowTest, EveryStopOfTheRunEndsTheSoundingNoteAndTheNextStartPlaysItAgain)
{
    using TMessages = std::vector<std::vector<uint8_t>>;
    const TMessages on = {{0x94, 62, 127}}, off = {{0x84, 62, 127}};
    TMessages offThenAllNotesOff = off;
    for (uint8_t channel = 0; channel < 16; ++channel)
        offThenAllNotesOff.push_back({uint8_t(176 + channel), 123, 0});
    struct TCase {
        const char *Name;
        std::function<void(TFormMain &)> Stop, Start; // Start: none when the window is gone
        TMessages AtStop, AfterStart;
        bool Running;
    };
    const auto key = [](int k) { return [k](TFormMain &w) { SendKey(&w, k); }; };
    const auto button = [](TFormMain &w) { w.StartStopButton()->click(); };
    const std::vector<TCase> cases = {
        {"F12", key(Qt::Key_F12), key(Qt::Key_F12), off, on, false},
        {"F2", key(Qt::Key_F2), key(Qt::Key_F2), off, on, false},
        {"the start/stop button", button, button, off, on, false},
        {"stopped by the program", [](TFormMain &w) { w.SetRunning(false); }, [](TFormMain &w) { w.SetRunning(true); },
         off, on, false},
        {"closing the window", [](TFormMain &w) { w.close(); }, nullptr, offThenAllNotesOff, {}, false},
        {"adding a module from the palette",
         [](TFormMain &w) {
             QToolButton *first = w.Palette()->Buttons().front();
             SendMouse(first, QEvent::MouseButtonPress, first->rect().center());
             EXPECT_EQ(w.PageControl()->ActiveSlot()->Sheet()->ModuleCount(), 4);
         },
         [](TFormMain &) {}, {}, {}, true},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        WriteSettingsFile(BothPorts);
        TFormMain &w = Make(false);
        ASSERT_TRUE(w.MidiOutOpen());
        w.PageControl()->LoadSlotFromText("held.korvane", HeldNote);
        Midi->ClearSent();
        for (int i = 0; i < 3; ++i) // the cables pass their values on one tick late
            w.Tick();
        ASSERT_EQ(Midi->Sent(0), on);

        Midi->ClearSent();
        c.Stop(w);
        EXPECT_EQ(Midi->Sent(0), c.AtStop);
        EXPECT_EQ(w.Running(), c.Running);
        // A tick that was already under way when the stop came plays nothing after it.
        for (int i = 0; i < 3; ++i)
            w.Tick();
        EXPECT_EQ(Midi->Sent(0), c.AtStop);
        if (!c.Start)
            continue;

        Midi->ClearSent();
        c.Start(w);
        for (int i = 0; i < 3; ++i)
            w.Tick();
        EXPECT_TRUE(w.Running());
        EXPECT_EQ(Midi->Sent(0), c.AfterStart);
        Destroy();
    }
}

TEST_F(MainWindowTest, ASlowPatchRunsOnEverySecondTickAndLightsTheLamp)
{
    TFormMain &w = Make(false);
    w.Action("&New")->trigger();
    TKorSlowModule *slow = AddTo<TKorSlowModule>(w);
    ASSERT_NE(slow, nullptr);

    std::vector<bool> ran;
    for (int i = 0; i < 4; ++i)
        ran.push_back(TickRan());
    EXPECT_EQ(ran, std::vector<bool>({true, false, true, false}));
    EXPECT_EQ(slow->Executes, 2);
    EXPECT_EQ(w.TicksSkipped(), 2u);
    EXPECT_EQ(w.OverflowLamp()->Color(), OverflowRed);

    w.ScreenUpdate();
    EXPECT_EQ(w.OverflowLamp()->Color(), OverflowGreen);

    // Fast again: every tick runs and the lamp stays green.
    w.PageControl()->DeleteAllModules();
    w.SetLastTickTime(1);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(TickRan()) << "tick " << i;
    EXPECT_EQ(w.OverflowLamp()->Color(), OverflowGreen);
}

TEST_F(MainWindowTest, AMinuteOfTicksThroughStallsKeepsItsClockAndOnlyABacklogPastTheLimitLightsTheLamp)
{
    WriteSettingsFile(BothPorts);
    TFormMain &w = Make(false);
    ASSERT_TRUE(w.MidiOutOpen());
    w.Action("&New")->trigger();
    ASSERT_NE(AddTo<TKorTickClock>(w), nullptr);
    THiResTimer *timer = w.Timer();
    const auto clocks = [&] {
        const auto sent = Midi->Sent(0);
        return std::count(sent.begin(), sent.end(), std::vector<uint8_t>{MidiTimingClock});
    };
    // Deadlines 1 ms apart, given in bursts as a stalled process finds them on waking; each
    // burst is called before the next comes. The polling processes no events, so the lamp
    // keeps what the ticks set.
    const TTimerClock::time_point start = TTimerClock::now();
    int64_t given = 0;
    uint64_t called = timer->Stats().Calls;
    const auto burst = [&](int deadlines) {
        for (int i = 0; i < deadlines; ++i)
            Source->Fire(start + given++ * 1ms);
        called += uint64_t(deadlines);
        const auto until = TTimerClock::now() + 10s;
        while (timer->Stats().Calls < called && TTimerClock::now() < until)
            std::this_thread::sleep_for(100us);
        return timer->Stats().Calls == called;
    };
    const int sizes[] = {1, 1, 50, 3, 100, 17, 1, 64};
    for (int b = 0; given < 60'000; ++b)
        ASSERT_TRUE(burst(int(std::min<int64_t>(sizes[b % 8], 60'000 - given)))) << "at deadline " << given;
    EXPECT_EQ(clocks(), 2880) << "a minute at 120 beats per minute";
    EXPECT_EQ(timer->Dropped(), 0u);
    EXPECT_EQ(w.TicksSkipped(), 0u);
    EXPECT_EQ(w.OverflowLamp()->Color(), OverflowGreen);

    // A tick held up (here by the patch lock) while 250 deadlines pass: the 148 that lie more
    // than 100 ms before the latest are dropped, counted as skipped and shown by the lamp.
    {
        std::unique_lock held(w.PageControl()->Guard().Mutex);
        Source->Fire(start + given++ * 1ms);
        const auto until = TTimerClock::now() + 10s;
        while (timer->Stats().Calls <= called && TTimerClock::now() < until)
            std::this_thread::sleep_for(100us);
        ASSERT_EQ(timer->Stats().Calls, called + 1) << "the tick began";
        for (int i = 1; i < 250; ++i)
            Source->Fire(start + given++ * 1ms);
    }
    called += 1 + 101;
    const auto until = TTimerClock::now() + 10s;
    while (timer->Stats().Calls < called && TTimerClock::now() < until)
        std::this_thread::sleep_for(100us);
    EXPECT_EQ(timer->Stats().Calls, called);
    EXPECT_EQ(timer->Dropped(), 148u);
    EXPECT_EQ(w.TicksSkipped(), 148u);
    EXPECT_EQ(w.OverflowLamp()->Color(), OverflowRed);
}

TEST_F(MainWindowTest, ASlotThatRaisesLightsTheLampAndARestartTakesItsMarkOff)
{
    TFormMain &w = Make(false);
    w.Action("&New")->trigger();
    ASSERT_NE(AddTo<TKorOverflowing>(w), nullptr);
    w.Action("&New")->trigger();
    TKorNoteSender *sender = AddTo<TKorNoteSender>(w);
    ASSERT_NE(sender, nullptr);
    TKorModulePageControl *pages = w.PageControl();
    TKorSlot *failing = pages->Slots(0);

    w.SetLastTickTime(1);
    EXPECT_TRUE(TickRan());
    EXPECT_TRUE(TickRan());
    EXPECT_EQ(sender->Executes, 2) << "the slot after the failing one runs";
    EXPECT_EQ(w.OverflowLamp()->Color(), OverflowRed);
    QApplication::processEvents();
    EXPECT_FALSE(pages->tabIcon(0).isNull());
    EXPECT_EQ(pages->tabToolTip(0), "Integer overflow");
    EXPECT_TRUE(pages->tabIcon(1).isNull());

    w.SetRunning(false);
    w.SetRunning(true);
    EXPECT_TRUE(pages->tabIcon(0).isNull());
    EXPECT_EQ(pages->tabToolTip(0), "");
    EXPECT_EQ(failing->TickErrors().TicksFailed, 0u);
    EXPECT_EQ(failing->TickErrors().TicksRun, 0u);
}

TEST_F(MainWindowTest, TheTimerDrivesTheTicks)
{
    TFormMain &w = Make(false);
    w.Action("&New")->trigger();
    TKorNoteSender *sender = AddTo<TKorNoteSender>(w);
    ASSERT_NE(sender, nullptr);
    Source->Fire();
    EXPECT_TRUE(ProcessUntil([&] { return w.TicksRun() >= 1; }));
    w.close(); // waits for the timer's worker, so the count is settled
    EXPECT_GE(sender->Executes, 1);
}

TEST_F(MainWindowTest, AllNotesOffSendsTheControllerOnEveryChannelOfAnOpenOutput)
{
    WriteSettingsFile(BothPorts);
    TFormMain &w = Make(false);
    ASSERT_TRUE(w.MidiOutOpen());
    Midi->ClearSent();
    w.AllNotesOff();
    std::vector<std::vector<uint8_t>> expected;
    for (uint8_t channel = 0; channel < 16; ++channel)
        expected.push_back({uint8_t(176 + channel), 123, 0});
    EXPECT_EQ(Midi->Sent(0), expected);

    Midi->ClearSent();
    SendKey(&w, Qt::Key_F10);
    EXPECT_EQ(Midi->Sent(0).size(), 16u) << "F10";
}

TEST_F(MainWindowTest, PatchMidiReachesTheOutputOnlyWhileItIsOpen)
{
    struct Case {
        const char *name;
        QByteArray settings;
        size_t allNotesOff;
        std::vector<std::vector<uint8_t>> sent;
    };
    const std::vector<Case> cases = {
        {"output open", BothPorts, 16, {{0x92, 60, 100}, {0x92, 60, 100}}},
        {"output closed", "", 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WriteSettingsFile(c.settings);
        TFormMain &w = Make(false);
        Midi->ClearSent();
        w.AllNotesOff();
        EXPECT_EQ(Midi->Sent(0).size(), c.allNotesOff);
        Midi->ClearSent();
        w.Action("&New")->trigger();
        TKorNoteSender *sender = AddTo<TKorNoteSender>(w);
        ASSERT_NE(sender, nullptr);
        EXPECT_TRUE(TickRan());
        EXPECT_TRUE(TickRan());
        EXPECT_EQ(sender->Executes, 2) << "MIDI modules run either way";
        EXPECT_EQ(Midi->Sent(0), c.sent);
        Window.reset();
    }
}

TEST_F(MainWindowTest, IncomingMidiReachesTheMidiModulesOfAnActiveSlot)
{
    WriteSettingsFile(BothPorts);
    TFormMain &w = Make(false);
    ASSERT_TRUE(w.MidiInOpen());
    w.Action("&New")->trigger();
    TKorMidiIn *in = AddTo<TKorMidiIn>(w);
    ASSERT_NE(in, nullptr);

    ASSERT_TRUE(Midi->Inject(0, {0x90, 64, 100}));
    ASSERT_TRUE(ProcessUntil([&] { return in->LastShortMidi() != 0; }));
    EXPECT_EQ(in->LastShortMidi(), MakeShortMsg(0, 9, 64, 100));
    EXPECT_EQ(in->OutGate()->Value(), 1000) << "a note-on on the module's channel opens its gate";

    const std::vector<uint8_t> sysex = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    ASSERT_TRUE(Midi->Inject(0, sysex));
    ASSERT_TRUE(ProcessUntil([&] { return !in->LastLongMidi().isEmpty(); }));
    EXPECT_EQ(in->LastLongMidi(), QByteArray(reinterpret_cast<const char *>(sysex.data()), qsizetype(sysex.size())));
    EXPECT_EQ(in->LastShortMidi(), MakeShortMsg(0, 9, 64, 100)) << "the block is not taken apart";
}

TEST_F(MainWindowTest, KnobValueBoxSetsTheTypedNumberWithinTheRange)
{
    TFormMain &w = Make(false);
    w.Action("&New")->trigger();
    TKorConstant *constant = AddTo<TKorConstant>(w);
    ASSERT_NE(constant, nullptr);
    TKorKnob *knob = constant->ValueKnob();
    ASSERT_EQ(knob->Min(), -1000);
    ASSERT_EQ(knob->Max(), 1000);

    struct Case {
        const char *typed;
        int32_t position; // when accepted
        QString error;
    };
    const std::vector<Case> cases = {
        {"5000", 1000, {}},
        {" -250 ", -250, {}},
        {"-5000", -1000, {}},
        {"abc", 0, "'abc' is not a valid integer value"},
        {"12.5", 0, "'12.5' is not a valid integer value"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.typed);
        Boxes.Inputs.clear();
        Boxes.Errors.clear();
        int32_t shown = INT32_MIN;
        Boxes.WhileInputShows = [&] { shown = knob->Position(); };
        Boxes.InputAnswers = {QString::fromLatin1(c.typed)};
        ClickDetail(w, knob, true);
        ASSERT_EQ(Boxes.Inputs.size(), 1u);
        EXPECT_EQ(Boxes.Inputs[0].Caption, "Enter a knob value");
        EXPECT_EQ(Boxes.Inputs[0].Prompt, "Value");
        EXPECT_EQ(Boxes.Inputs[0].Value, QString::number(shown));
        EXPECT_EQ(knob->Position(), c.error.isEmpty() ? c.position : shown);
        EXPECT_EQ(Boxes.Errors, c.error.isEmpty() ? QStringList() : QStringList{c.error});
    }
    EXPECT_EQ(constant->Out()->Value(), knob->Position()) << "the module follows its knob";
}

TEST_F(MainWindowTest, TitleBoxNamesTheModule)
{
    TFormMain &w = Make(false);
    w.Action("&New")->trigger();
    TKorConstant *constant = AddTo<TKorConstant>(w);
    ASSERT_NE(constant, nullptr);
    ASSERT_NE(constant->TitleLabel(), nullptr);

    Boxes.InputAnswers = {QStringLiteral("Bass")};
    w.PageControl()->OnDetailDblClick(constant->TitleLabel());
    ASSERT_EQ(Boxes.Inputs.size(), 1u);
    EXPECT_EQ(Boxes.Inputs[0].Caption, "Enter module title");
    EXPECT_EQ(Boxes.Inputs[0].Prompt, "Module type = KorConstant");
    EXPECT_EQ(constant->Title(), "Bass");

    // Cancelled: the box gives back the current title.
    w.PageControl()->OnDetailDblClick(constant->TitleLabel());
    ASSERT_EQ(Boxes.Inputs.size(), 2u);
    EXPECT_EQ(Boxes.Inputs[1].Value, "Bass");
    EXPECT_EQ(constant->Title(), "Bass");

    // Any other detail opens no box.
    w.PageControl()->OnDetailDblClick(constant->Out());
    EXPECT_EQ(Boxes.Inputs.size(), 2u);
}

TEST_F(MainWindowTest, APatchThatFailsToLoadShowsWhereItFails)
{
    TFormMain &w = Make(false);
    Boxes.Errors.clear();
    const QString file = Dir.filePath(QStringLiteral("p.slt"));
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("object TKorDrawSheet\r\n"
            "  object Osc1: TKorSquare\r\n"
            "    Left = 0\r\n"
            "    Top = 2147483647\r\n"
            "  end\r\n"
            "end\r\n");
    f.close();
    w.OpenFile(file);
    EXPECT_EQ(Boxes.Errors, QStringList{file + ":4: Osc1.Top: Integer overflow"});
}

TEST_F(MainWindowTest, AFailedOpenLeavesNoPageBehind)
{
    const QString corrupt = Dir.filePath(QStringLiteral("corrupt.korvane"));
    QFile f(corrupt);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("object TKorDrawSheet\n  object Osc1: TKorSquare\n    Left = \n");
    f.close();
    ASSERT_TRUE(QDir(Dir.path()).mkdir(QStringLiteral("folder.korvane")));
    struct TCase {
        const char *Name;
        QString File;
        bool FromTheOpenDialog; // else handed over or given on the command line
    };
    const TCase cases[] = {
        {"a missing file chosen in the dialog", Dir.filePath(QStringLiteral("missing.korvane")), true},
        {"a folder chosen in the dialog", Dir.filePath(QStringLiteral("folder.korvane")), true},
        {"a corrupt file chosen in the dialog", corrupt, true},
        {"a corrupt file handed over", corrupt, false},
    };
    TFormMain &w = Make(false);
    TKorSlot *existing = w.PageControl()->NewSlot(QStringLiteral("Mine"));
    ASSERT_NE(AddTo<TKorConstant>(w), nullptr);
    w.PageControl()->NewSlot(QStringLiteral("Other"));
    w.PageControl()->setCurrentWidget(existing);
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        Boxes.Errors.clear();
        if (c.FromTheOpenDialog) {
            Boxes.OpenAnswers = {c.File};
            w.Action("&Open ...")->trigger();
        } else {
            w.OpenFile(c.File);
        }
        EXPECT_EQ(Boxes.Errors.size(), 1) << Boxes.Errors.join('\n').toStdString();
        EXPECT_EQ(w.PageControl()->SlotCount(), 2) << "a page was left behind";
        EXPECT_EQ(w.PageControl()->ActiveSlot(), existing);
        EXPECT_EQ(existing->ModuleCount(), 1);
        EXPECT_TRUE(existing->Modified());
        EXPECT_EQ(w.windowTitle(), "Korvane - Mine*");
        EXPECT_FALSE(w.Settings().RecentFiles.contains(c.File));
    }
}

TEST_F(MainWindowTest, SettingsReachTheFileWhileTheWindowRuns)
{
    // Read while the window lives, as after a kill: a MIDI choice is there at once, the window's
    // place once the window has rested.
    const auto place = [](TFormMain &w) {
        const QRect r = w.geometry();
        return QStringList{QStringLiteral("Left=%1").arg(r.left()), QStringLiteral("Top=%1").arg(r.top()),
                           QStringLiteral("Width=%1").arg(r.width()), QStringLiteral("Height=%1").arg(r.height())};
    };
    struct TCase {
        const char *Name;
        std::function<void(TFormMain &)> Change;
        std::function<QStringList(TFormMain &)> Lines;
        bool AtOnce;
    };
    const std::vector<TCase> cases = {
        {"an output chosen", [](TFormMain &w) { w.SetMidiOutName("Synth"); },
         [](TFormMain &) { return QStringList{"MidiOut=Synth"}; }, true},
        {"an input chosen", [](TFormMain &w) { w.SetMidiInName("Keys"); },
         [](TFormMain &) { return QStringList{"MidiIn=Keys"}; }, true},
        {"the output given up",
         [](TFormMain &w) {
             w.SetMidiOutName("Synth");
             w.SetMidiOutName("");
         },
         [](TFormMain &) { return QStringList{"MidiOut="}; }, true},
        {"the window moved", [](TFormMain &w) { w.move(40, 30); }, place, false},
        {"the window resized", [](TFormMain &w) { w.resize(900, 700); }, place, false},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        Window.reset();
        WriteSettingsFile("[Settings]\nLeft=10\nTop=10\nWidth=800\nHeight=600\n");
        TMainWindowOptions options;
        options.SettingsFile = SettingsFile();
        options.Midi = Midi;
        options.WindowPlaceDelay = 50;
        Window = std::make_unique<TFormMain>(std::move(options));
        Window->show();
        QApplication::processEvents();
        const QRect before = Window->geometry();
        c.Change(*Window);
        const auto written = [&] {
            const QStringList lines = QString::fromUtf8(SettingsText()).split(u'\n');
            const QStringList wanted = c.Lines(*Window);
            return std::all_of(wanted.begin(), wanted.end(), [&](const QString &l) { return lines.contains(l); });
        };
        if (!c.AtOnce) {
            EXPECT_TRUE(ProcessUntil([&] { return Window->geometry() != before; })) << "the window did not change";
        }
        if (c.AtOnce)
            EXPECT_TRUE(written()) << SettingsText().toStdString();
        else
            EXPECT_TRUE(ProcessUntil(written)) << SettingsText().toStdString();
        Window->close();
    }
}

TEST_F(MainWindowTest, SettingsKeepTheConfiguredPortsEvenWhenAbsent)
{
    struct Case {
        const char *name;
        QByteArray settings;
        QStringList lines;
    };
    const std::vector<Case> cases = {
        {"both ports open", BothPorts + "Randomized=0\nRandomSeed=7\n",
         {"MidiIn=Keys", "MidiOut=Synth", "Randomized=0", "RandomSeed=7"}},
        {"an input absent at this start", "[Settings]\nMidiIn=Drums\nMidiOut=Synth\n",
         {"MidiIn=Drums", "MidiOut=Synth", "Randomized=1", "RandomSeed=0"}},
        {"both absent at this start", "[Settings]\nMidiIn=Drums\nMidiOut=Piano\n", {"MidiIn=Drums", "MidiOut=Piano"}},
        {"no settings file", {}, {"MidiIn=", "MidiOut=", "Randomized=1"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(SettingsFile());
        if (!c.settings.isEmpty())
            WriteSettingsFile(c.settings);
        Make(true);
        Destroy();
        const QStringList written =
            QString::fromUtf8(SettingsText()).split(QRegularExpression(QStringLiteral("\r?\n")), Qt::SkipEmptyParts);
        for (const QString &line : c.lines)
            EXPECT_TRUE(written.contains(line)) << line.toStdString() << " in\n" << written.join('\n').toStdString();
    }
}

TEST_F(MainWindowTest, ColourCommandChangesTheColourOnlyWhenConfirmed)
{
    TFormMain &w = Make(false);
    w.Action("&New")->trigger();
    TKorConstant *constant = AddTo<TKorConstant>(w);
    ASSERT_NE(constant, nullptr);
    const uint32_t original = ModuleColor.load();
    const uint32_t chosen = original == 0x123456 ? 0x654321 : 0x123456;

    Boxes.ColorAnswers = {std::nullopt};
    w.Action("&Module color...")->trigger();
    EXPECT_EQ(Boxes.ColorsAsked, std::vector<uint32_t>{original});
    EXPECT_EQ(ModuleColor.load(), original);
    EXPECT_EQ(constant->Color(), original);

    Boxes.ColorAnswers = {chosen};
    w.Action("&Module color...")->trigger();
    EXPECT_EQ(ModuleColor.load(), chosen);
    EXPECT_EQ(constant->Color(), chosen) << "the modules take the new colour";
    ModuleColor = original;
    w.PageControl()->RefreshColors();

    // Every item sets its own colour.
    const std::pair<const char *, std::atomic<uint32_t> *> items[] = {
        {"&Module color...", &ModuleColor},       {"&Asymmetric color...", &AsymmetricColor},
        {"&Symmetric color...", &SymmetricColor}, {"&Logic color...", &LogicColor},
        {"&Neuron color...", &NeuronColor},       {"&Knob color...", &KnobColor},
        {"Led &color on...", &LedColorOn},        {"Led colo&r off...", &LedColorOff},
        {"&Viewer color...", &ViewerColor},       {"Scope color", &ScopeColor},
    };
    for (const auto &[caption, setting] : items) {
        SCOPED_TRACE(caption);
        const uint32_t before = setting->load();
        Boxes.ColorsAsked.clear();
        Boxes.ColorAnswers = {0x0A0B0C};
        ASSERT_NE(w.Action(caption), nullptr);
        w.Action(caption)->trigger();
        EXPECT_EQ(Boxes.ColorsAsked, std::vector<uint32_t>{before});
        EXPECT_EQ(setting->load(), 0x0A0B0Cu);
        *setting = before;
    }
    w.PageControl()->RefreshColors();
}

TEST_F(MainWindowTest, RandomSettingsReseedFromTheWindowsSettingsEvenWhenCancelled)
{
    WriteSettingsFile("[Settings]\nRandomized=0\nRandomSeed=7\n");
    Make(false);
    const int32_t first = Random(1000);
    Window.reset();
    Make(false);
    EXPECT_EQ(Random(1000), first) << "a window with a fixed seed starts the same sequence";

    struct Case {
        const char *name;
        std::function<void(TFormRandomSettings *)> answer;
        int32_t seed;
    };
    const std::vector<Case> cases = {
        {"cancelled", [](TFormRandomSettings *d) { d->SpeedButtonCancelClick(); }, 7},
        {"confirmed with a new seed",
         [](TFormRandomSettings *d) {
             d->EditSeed()->setText(QStringLiteral("9"));
             d->SpeedButtonOkClick();
         },
         9},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RandSeed(uint32_t(c.seed));
        const int32_t expected = Random(1000);
        Random(1000); // somewhere else in the sequence
        TFormRandomSettings *dialog = Window->RandomSettingsDialog();
        QTimer::singleShot(0, dialog, [&] { c.answer(dialog); });
        Window->Action("&Random settings ...")->trigger();
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_EQ(Window->Settings().RandomSeed, c.seed);
        EXPECT_FALSE(Window->Settings().Randomized);
        EXPECT_TRUE(Window->Running());
        EXPECT_EQ(Random(1000), expected) << "the window reseeded";
    }
}

TEST_F(MainWindowTest, MidiCommandSwitchesToTheChosenPortsUnlessCancelled)
{
    TFormMain &w = Make(false);
    ASSERT_FALSE(w.MidiInOpen());
    TFormMidiDialog *dialog = w.MidiDialog();

    QTimer::singleShot(0, dialog, [dialog] {
        dialog->ComboBoxInputs()->setCurrentIndex(dialog->ComboBoxInputs()->findText("Keys"));
        dialog->ComboBoxOutputs()->setCurrentIndex(dialog->ComboBoxOutputs()->findText("Synth"));
        dialog->SpeedButtonCancelClick();
    });
    w.Action("&Midi...")->trigger();
    EXPECT_FALSE(w.MidiInOpen());
    EXPECT_FALSE(w.MidiOutOpen());
    EXPECT_TRUE(w.MidiInName().isEmpty());

    QTimer::singleShot(0, dialog, [dialog] {
        dialog->ComboBoxInputs()->setCurrentIndex(dialog->ComboBoxInputs()->findText("Keys"));
        dialog->ComboBoxOutputs()->setCurrentIndex(dialog->ComboBoxOutputs()->findText("Synth"));
        dialog->SpeedButtonOkClick();
    });
    w.Action("&Midi...")->trigger();
    EXPECT_EQ(w.MidiInName(), "Keys");
    EXPECT_EQ(w.MidiOutName(), "Synth");
    EXPECT_TRUE(w.MidiInOpen());
    EXPECT_TRUE(w.MidiOutOpen());
    EXPECT_EQ(Midi->OpenDevices(), 2);
}

TEST_F(MainWindowTest, ManualAnchorNamesTheClickedModule)
{
    TFormMain &w = Make(false);
    EXPECT_EQ(w.ManualAnchor(), "");
    EXPECT_FALSE(w.ManualTarget().contains('#'));
    w.Action("&New")->trigger();
    TKorConstant *constant = AddTo<TKorConstant>(w);
    ASSERT_NE(constant, nullptr);

    // A plain part of the module's body, away from its details.
    QWidget *canvas = w.PageControl()->ActiveSlot()->Canvas();
    const QPoint body = constant->LocalToSheet(QPoint(100, 40));
    SendMouse(canvas, QEvent::MouseButtonPress, body);
    SendMouse(canvas, QEvent::MouseButtonRelease, body);
    ASSERT_TRUE(ProcessUntil([&] { return w.ClickedDetail() != nullptr; }));
    EXPECT_EQ(w.ManualAnchor(), "#Module_KorConstant");
    EXPECT_TRUE(w.ManualTarget().endsWith("Manual/Index.htm#Module_KorConstant")) << w.ManualTarget().toStdString();

    // A detail that is no module gives no anchor.
    ClickDetail(w, constant->ValueKnob(), false);
    EXPECT_EQ(w.ClickedDetail(), constant->ValueKnob());
    EXPECT_EQ(w.ManualAnchor(), "");

    ClickDetail(w, constant, false);
    ASSERT_EQ(w.ManualAnchor(), "#Module_KorConstant");
    w.Action("&Close")->trigger();
    EXPECT_EQ(w.ClickedDetail(), nullptr);
    EXPECT_EQ(w.ManualAnchor(), "");
}

TEST_F(MainWindowTest, DumpWritesTheSlotsIntoTheCurrentFolder)
{
    TFormMain &w = Make(false);
    w.Action("&New")->trigger();
    AddTo<TKorConstant>(w);
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(Dir.path()));
    w.Action("Dump")->trigger();
    QDir::setCurrent(previous);
    QFile dump(Dir.filePath(QStringLiteral("Dump.txt")));
    ASSERT_TRUE(dump.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(dump.readAll());
    EXPECT_TRUE(text.contains("TKorModulePageControl")) << text.toStdString();
    EXPECT_TRUE(text.contains("TKorConstant")) << text.toStdString();
    EXPECT_TRUE(Boxes.Errors.isEmpty());
}

TEST_F(MainWindowTest, PaletteHasItsPagesInOrder)
{
    TFormMain &w = Make(false);
    const std::vector<std::pair<QString, int>> pages = {{"I/O", 9},     {"Gen", 11},    {"Logic", 2},
                                                        {"Control", 8}, {"Viewers", 1}, {"Other", 4}};
    ASSERT_EQ(w.Palette()->count(), int(pages.size()));
    for (int i = 0; i < int(pages.size()); ++i) {
        EXPECT_EQ(w.Palette()->tabText(i), pages[size_t(i)].first);
        EXPECT_EQ(w.Palette()->ButtonCount(pages[size_t(i)].first), pages[size_t(i)].second)
            << pages[size_t(i)].first.toStdString();
    }
    EXPECT_EQ(w.Palette()->Buttons().front()->ModuleClass(), &ClassOf<TKorMidiIn>());
    // The clock modules close the I/O page, after the six older buttons.
    EXPECT_EQ(w.Palette()->Buttons().at(6)->ModuleClass(), &ClassOf<TKorClockOut>());
    EXPECT_EQ(w.Palette()->Buttons().at(7)->ModuleClass(), &ClassOf<TKorClockIn>());
    EXPECT_EQ(w.Palette()->Buttons().at(8)->ModuleClass(), &ClassOf<TKorLink>());
    EXPECT_EQ(w.Palette()->Buttons().back()->ModuleClass(), &ClassOf<TKorModule8>());
}

} // namespace

#include "test_main_window.moc"

namespace {

struct TCloseCase {
    const char *Name;
    TSaveChoice Answer;
    bool WritableFolder;
    bool Closes, Written;
    int Errors;
};

void PrintTo(const TCloseCase &c, std::ostream *os)
{
    *os << c.Name;
}

class ClosingModified : public MainWindowTest, public ::testing::WithParamInterface<TCloseCase> {};

TEST_P(ClosingModified, AsksToSaveAndKeepsTheSlotUnlessSavedOrDiscarded)
{
    const TCloseCase &c = GetParam();
    TFormMain &w = Make(false);
    TKorSlot *slot = w.PageControl()->NewSlot("Song");
    const QString file = c.WritableFolder ? Dir.filePath("Song.korvane") : Dir.filePath("missing/Song.korvane");
    slot->SetSlotFileName(file);
    w.Action("&Close")->trigger();
    EXPECT_TRUE(Boxes.SaveQuestions.isEmpty()) << "an unmodified slot closes without a question";
    slot = w.PageControl()->NewSlot("Song");
    slot->SetSlotFileName(file);
    ASSERT_NE(AddTo<TKorConstant>(w), nullptr);
    EXPECT_EQ(w.windowTitle(), "Korvane - Song*");

    Boxes.SaveAnswers = {c.Answer};
    w.Action("&Close")->trigger();
    EXPECT_EQ(Boxes.SaveQuestions, QStringList{"Save changes to Song?"});
    EXPECT_EQ(w.PageControl()->SlotCount(), c.Closes ? 0 : 1);
    EXPECT_EQ(QFileInfo::exists(file), c.Written);
    EXPECT_EQ(Boxes.Errors.size(), c.Errors) << Boxes.Errors.join("; ").toStdString();
    if (!c.Closes) {
        EXPECT_TRUE(w.PageControl()->ActiveSlot()->Modified());
    }
}

const TCloseCase CloseCases[] = {
    {"Cancel", TSaveChoice::Cancel, true, false, false, 0},
    {"Discard", TSaveChoice::Discard, true, true, false, 0},
    {"Save", TSaveChoice::Save, true, true, true, 0},
    {"SaveThatFails", TSaveChoice::Save, false, false, false, 1},
};

INSTANTIATE_TEST_SUITE_P(MainWindow, ClosingModified, ::testing::ValuesIn(CloseCases),
                         [](const auto &param) { return std::string(param.param.Name); });

TEST_F(MainWindowTest, ExitAsksForEachModifiedSlotAndCancelKeepsEverythingRunning)
{
    TFormMain &w = Make(false);
    w.show();
    for (const char *name : {"One", "Two", "Three"}) {
        w.PageControl()->NewSlot(name);
        if (QByteArray(name) != "Two")
            AddTo<TKorConstant>(w);
    }
    Boxes.SaveAnswers = {TSaveChoice::Discard, TSaveChoice::Cancel};
    EXPECT_FALSE(w.close());
    EXPECT_EQ(Boxes.SaveQuestions, (QStringList{"Save changes to One?", "Save changes to Three?"}));
    EXPECT_EQ(w.PageControl()->SlotCount(), 3);
    EXPECT_TRUE(w.Running());
    EXPECT_TRUE(TickRan());

    Boxes.SaveQuestions.clear();
    Boxes.SaveAnswers = {TSaveChoice::Discard, TSaveChoice::Cancel};
    w.Action("C&lose all")->trigger();
    EXPECT_EQ(Boxes.SaveQuestions.size(), 2) << "Close all asks the same way";
    EXPECT_EQ(w.PageControl()->SlotCount(), 3);

    Boxes.SaveQuestions.clear();
    Boxes.SaveAnswers = {TSaveChoice::Discard, TSaveChoice::Discard};
    EXPECT_TRUE(w.close());
    EXPECT_EQ(Boxes.SaveQuestions.size(), 2);
    EXPECT_FALSE(w.Running());
}

// A slot that has no file yet is never saved under a made-up name: every way of saving asks
// where, starting in the folder last used.
struct TFirstSaveCase {
    const char *Name;
    std::function<void(TFormMain &)> Save;
    bool Answered;
    int SlotsAfter; // the close and exit prompts close the slot once it is saved
};

TEST_F(MainWindowTest, TheFirstSaveOfANewSlotAsksForAFile)
{
    const TFirstSaveCase cases[] = {
        {"Ctrl+S", [](TFormMain &w) { w.Action("&Save")->trigger(); }, true, 1},
        {"Ctrl+S cancelled", [](TFormMain &w) { w.Action("&Save")->trigger(); }, false, 1},
        {"Save all", [](TFormMain &w) { w.Action("Sa&ve all")->trigger(); }, true, 1},
        {"Save in the close prompt", [](TFormMain &w) { w.Action("&Close")->trigger(); }, true, 0},
        {"Save in the close prompt, cancelled", [](TFormMain &w) { w.Action("&Close")->trigger(); }, false, 1},
        {"Save in the exit prompt", [](TFormMain &w) { EXPECT_TRUE(w.close()); }, true, 1},
        {"Save in the exit prompt, cancelled", [](TFormMain &w) { EXPECT_FALSE(w.close()); }, false, 1},
    };
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    for (const TFirstSaveCase &c : cases) {
        SCOPED_TRACE(c.Name);
        Boxes = {};
        QTemporaryDir appDir;
        SetApplicationDirectory(appDir.path());
        TFormMain &w = Make(false);
        w.show();
        w.PageControl()->NewSlot("");
        w.PageControl()->NewSlot("Song");
        ASSERT_NE(AddTo<TKorConstant>(w), nullptr);
        const QString file = Dir.filePath(QStringLiteral("chosen.korvane"));
        QFile::remove(file);
        Boxes.SaveAnswers = {TSaveChoice::Save};
        if (c.Answered)
            Boxes.SaveFileAnswers = {file};
        c.Save(w);

        ASSERT_EQ(Boxes.SaveRequests.size(), 1u) << "one dialog: the untouched new slot is not asked about";
        const TFileDialogRequest &asked = Boxes.SaveRequests[0];
        EXPECT_EQ(asked.Directory, documents);
        EXPECT_EQ(asked.FileName, "Song.korvane");
        EXPECT_TRUE(asked.Filter.startsWith("Korvane patches (*.korvane)|*.korvane|Slot files (*.slt)|*.slt")) << asked.Filter.toStdString();
        EXPECT_EQ(QFileInfo::exists(file), c.Answered);
        EXPECT_EQ(QDir(appDir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot).filter(".slt"), QStringList())
            << "nothing is written into the program's folder";
        EXPECT_EQ(w.PageControl()->SlotCount(), c.SlotsAfter + 1);
        if (c.Answered) {
            emit w.RecentMenu()->aboutToShow();
            ASSERT_FALSE(w.RecentMenu()->actions().isEmpty());
            EXPECT_EQ(w.RecentMenu()->actions().front()->text(), QDir::toNativeSeparators(file));
        }
        if (c.SlotsAfter == 1) {
            TKorSlot *song = w.PageControl()->Slots(1);
            EXPECT_EQ(song->Modified(), !c.Answered);
            EXPECT_EQ(song->SlotFileName(), c.Answered ? file : QString());
        }
        if (c.Answered && c.SlotsAfter == 1) {
            // The next Save as starts where this one ended.
            w.PageControl()->setCurrentWidget(w.PageControl()->Slots(1));
            w.Action("Save &as ...")->trigger();
            ASSERT_EQ(Boxes.SaveRequests.size(), 2u);
            EXPECT_EQ(Boxes.SaveRequests[1].Directory, Dir.path());
            EXPECT_EQ(Boxes.SaveRequests[1].FileName, file);
        }
        Boxes.SaveAnswers = {TSaveChoice::Discard, TSaveChoice::Discard};
        Destroy();
        SetApplicationDirectory(QStringLiteral(KORVANE_APPDIR));
    }
}

TEST_F(MainWindowTest, UndoAndRedoNameTheStepAndFollowTheActiveSlot)
{
    TFormMain &w = Make(false);
    QAction *undo = w.UndoAction(), *redo = w.RedoAction();
    EXPECT_FALSE(undo->isEnabled());
    EXPECT_EQ(undo->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Z));
    EXPECT_EQ(redo->shortcuts(), (QList<QKeySequence>{QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)}));
    w.Action("&New")->trigger();
    AddTo<TKorConstant>(w);
    EXPECT_TRUE(undo->isEnabled());
    EXPECT_EQ(undo->text(), "&Undo Add module");
    EXPECT_FALSE(redo->isEnabled());

    w.Action("&New")->trigger();
    EXPECT_FALSE(undo->isEnabled()) << "the new slot has nothing to undo";
    EXPECT_EQ(w.windowTitle(), "Korvane - Slot2");
    w.PageControl()->setCurrentIndex(0);
    EXPECT_EQ(w.windowTitle(), "Korvane - Slot1*");
    undo->trigger();
    EXPECT_EQ(w.PageControl()->ActiveSlot()->ModuleCount(), 0);
    EXPECT_EQ(w.windowTitle(), "Korvane - Slot1");
    EXPECT_EQ(redo->text(), "&Redo Add module");
    redo->trigger();
    EXPECT_EQ(w.PageControl()->ActiveSlot()->ModuleCount(), 1);

    // Delete all asks nothing now that it can be undone.
    const QStringList shown = Boxes.Messages + Boxes.Errors;
    w.Action("De&lete all")->trigger();
    EXPECT_EQ(Boxes.Messages + Boxes.Errors, shown);
    EXPECT_EQ(w.PageControl()->ActiveSlot()->ModuleCount(), 0);
    EXPECT_EQ(undo->text(), "&Undo Delete module");
    undo->trigger();
    EXPECT_EQ(w.PageControl()->ActiveSlot()->ModuleCount(), 1);
}

} // namespace

namespace {

// Windows of the desktop program, which keep recovery copies; several may live at once.
class RecoveringWindowTest : public MainWindowTest {
protected:
    TMainWindowOptions RecoveringOptions() const
    {
        TMainWindowOptions options;
        options.SettingsFile = SettingsFile();
        options.Midi = Midi;
        options.SaveSettings = false;
        options.Recovery = true;
        return options;
    }
};

TEST_F(RecoveringWindowTest, APatchLeftModifiedByAnEndedWindowIsOfferedAndRestoredUnderItsFileName)
{
    const QByteArray state = Dir.filePath("state").toUtf8();
    const QByteArray oldState = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", state);
    const QString file = Dir.filePath("Song.korvane");
    {
        TFormMain first(RecoveringOptions());
        first.Recovery()->SetDelay(0);
        TKorSlot *slot = first.PageControl()->NewSlot("Song");
        slot->SaveToFile(file);
        AddTo<TKorConstant>(first);
        ASSERT_TRUE(ProcessUntil([&] { return QDir(first.Recovery()->Folder()).entryList({"*.korvane"}, QDir::Files).size() == 1; }))
            << "the copy is written after the edit";

        // A second window running beside it takes nothing of the first's.
        TFormMain second(RecoveringOptions());
        second.OfferRecoveredPatches();
        EXPECT_TRUE(Boxes.RestoreOffers.isEmpty());
        second.close();

        first.CloseWithoutAsking(); // as a signal ends it: the copy stays
    }
    const QByteArray saved = [&] {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();

    Boxes.RestoreAnswer = TRestoreChoice::Restore;
    TFormMain next(RecoveringOptions());
    next.OfferRecoveredPatches();
    ASSERT_EQ(Boxes.RestoreOffers.size(), 1);
    EXPECT_TRUE(Boxes.RestoreOffers[0].startsWith("Song")) << Boxes.RestoreOffers[0].toStdString();
    ASSERT_EQ(next.PageControl()->SlotCount(), 1);
    TKorSlot *restored = next.PageControl()->ActiveSlot();
    EXPECT_EQ(restored->SlotFileName(), file);
    EXPECT_EQ(restored->SlotName(), "Song");
    EXPECT_TRUE(restored->Modified());
    EXPECT_EQ(restored->ModuleCount(), 1) << "the edit made after the save is back";
    EXPECT_EQ(next.windowTitle(), "Korvane - Song*");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), saved) << "the file is not written until the user saves";

    Boxes.RestoreOffers.clear();
    next.Recovery()->Finish();
    TFormMain after(RecoveringOptions());
    after.OfferRecoveredPatches();
    EXPECT_TRUE(Boxes.RestoreOffers.isEmpty()) << "a clean end leaves nothing to offer";
    qputenv("XDG_STATE_HOME", oldState);
}

// A copy of a large patch is taken in pieces while ticks run on another thread, and made into
// text and written on the recovery's worker: it holds, byte for byte, what a save writes.
TEST_F(RecoveringWindowTest, ACopyTakenWhileTicksRunIsWhatASaveOfThePatchWrites)
{
    const QByteArray oldState = qgetenv("XDG_STATE_HOME");
    qputenv("XDG_STATE_HOME", Dir.filePath("state").toUtf8());
    constexpr int n = 3000; // amplifiers, each fed by the two before it
    QByteArray text = "object TKorDrawSheet\r\n  Connections = (";
    for (int i = 0; i < n; ++i)
        text += QStringLiteral("\r\n    'A%1.Out A%2.In'\r\n    'A%3.Out A%2.InClip'")
                    .arg((i + n - 1) % n)
                    .arg(i)
                    .arg((i + n - 2) % n)
                    .toUtf8();
    text += ")\r\n";
    for (int i = 0; i < n; ++i)
        text += QStringLiteral("  object A%1: TKorAmplifier\r\n    Left = %2\r\n    Top = %3\r\n    KnobAmpValue = %4\r\n  end\r\n")
                    .arg(i)
                    .arg(250 * (i % 40))
                    .arg(50 * (i / 40))
                    .arg(1000 - 4 * (i % 50))
                    .toUtf8();
    text += "end\r\n";
    {
        TFormMain w(RecoveringOptions());
        w.PageControl()->LoadSlotFromText(Dir.filePath("chain.korvane"), text);
        TKorSlot *slot = w.PageControl()->ActiveSlot();
        ASSERT_EQ(slot->ModuleCount(), n);
        {
            std::lock_guard lock(slot->Guard().Mutex);
            static_cast<TKorCustomModule *>(slot->Sheet()->Modules(7))->SetTitle(QStringLiteral("Ampère «7»"));
        }
        slot->SetModified();
        std::atomic<bool> stop{false};
        std::thread ticks([&] {
            while (!stop) {
                w.PageControl()->Execute();
                std::this_thread::sleep_for(100us);
            }
        });
        const bool written = w.Recovery()->WriteNow();
        stop = true;
        ticks.join();
        ASSERT_TRUE(written);
        const QStringList copies = QDir(w.Recovery()->Folder()).entryList({"*.korvane"}, QDir::Files);
        ASSERT_EQ(copies.size(), 1);
        QFile copy(QDir(w.Recovery()->Folder()).filePath(copies[0]));
        ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
        const QString saved = Dir.filePath("saved.korvane");
        w.PageControl()->SaveSlotAs(slot, saved);
        QFile save(saved);
        ASSERT_TRUE(save.open(QIODevice::ReadOnly));
        const QByteArray copyText = copy.readAll();
        EXPECT_TRUE(copyText == save.readAll()) << "the copy differs from the save";
        EXPECT_TRUE(copyText.contains("'A2999.Out A1.InClip'"));
        w.Recovery()->Finish();
        w.close();
    }
    qputenv("XDG_STATE_HOME", oldState);
}

TEST_F(RecoveringWindowTest, AFolderForTheCopiesThatCannotBeWrittenIsShownInTheWindow)
{
    const QByteArray oldState = qgetenv("XDG_STATE_HOME");
    const auto problems = [](TFormMain &w) -> QString {
        auto *label = w.findChild<QLabel *>("LabelProblems");
        return label && !label->isHidden() && !w.statusBar()->isHidden() ? label->text() : QString();
    };
    {
        // The state folder is a file: nothing can be made below it, whoever runs the test.
        const QString state = Dir.filePath("state-file");
        QFile f(state);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.close();
        qputenv("XDG_STATE_HOME", state.toUtf8());
        TFormMain w(RecoveringOptions());
        EXPECT_TRUE(problems(w).contains(state + "/Korvane/recovery")) << problems(w).toStdString();
        w.close();
    }
    {
        // A folder that stops taking copies while the window runs, and takes them again.
        qputenv("XDG_STATE_HOME", Dir.filePath("state").toUtf8());
        TFormMain w(RecoveringOptions());
        EXPECT_EQ(problems(w), QString());
        w.PageControl()->NewSlot("Song");
        AddTo<TKorConstant>(w);
        const QString blocker = w.Recovery()->Folder() + "/index.json";
        ASSERT_TRUE(QDir().mkpath(blocker + "/in the way"));
        EXPECT_FALSE(w.Recovery()->WriteNow());
        EXPECT_TRUE(problems(w).contains("index.json")) << problems(w).toStdString();
        ASSERT_TRUE(QDir(blocker).removeRecursively());
        EXPECT_TRUE(w.Recovery()->WriteNow());
        EXPECT_EQ(problems(w), QString());
        w.Recovery()->Finish();
        w.close();
    }
    qputenv("XDG_STATE_HOME", oldState);
}

// ---- Editing comforts ----

QStringList Captions(const QMenu &menu)
{
    QStringList out;
    for (QAction *a : menu.actions())
        if (!a->isSeparator())
            out << a->text();
    return out;
}

QAction *Item(const QMenu &menu, const QString &caption)
{
    for (QAction *a : menu.actions())
        if (a->text() == caption)
            return a;
    return nullptr;
}

TEST_F(MainWindowTest, ViewMenuFollowsEditAndZoomsTheActiveSlotOnly)
{
    TFormMain &w = Make(false);
    QStringList menus;
    for (QAction *a : w.menuBar()->actions())
        menus << a->text();
    EXPECT_EQ(menus.indexOf("&View"), menus.indexOf("&Edit") + 1);
    EXPECT_EQ(w.Action("Zoom &in")->shortcuts(),
              (QList<QKeySequence>{QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Equal)}));
    EXPECT_EQ(w.Action("Zoom &out")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Minus));
    EXPECT_EQ(w.Action("&Actual size")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_0));
    w.Action("Zoom &in")->trigger(); // without a slot: nothing to zoom, nothing breaks

    w.Action("&New")->trigger();
    TKorSlot *first = w.PageControl()->ActiveSlot();
    w.Action("&New")->trigger();
    TKorSlot *second = w.PageControl()->ActiveSlot();
    const struct {
        const char *Action;
        int Times, Zoom;
    } steps[] = {{"Zoom &in", 2, 150}, {"Zoom &in", 5, 200}, {"Zoom &out", 9, 25}, {"&Actual size", 1, 100}, {"Zoom &out", 1, 75}};
    for (const auto &step : steps) {
        for (int i = 0; i < step.Times; ++i)
            w.Action(step.Action)->trigger();
        EXPECT_EQ(second->Zoom(), step.Zoom) << step.Action << " x" << step.Times;
    }
    EXPECT_EQ(first->Zoom(), 100) << "each slot keeps its own zoom";
    w.PageControl()->setCurrentWidget(first);
    EXPECT_EQ(second->Zoom(), 75);
}

TEST_F(MainWindowTest, RecentFilesSurviveARestartNewestFirstAndMissingOnesAreGreyed)
{
    const QString a = Dir.filePath("a.korvane"), b = Dir.filePath("b.korvane");
    {
        TFormMain &w = Make();
        for (const QString &f : {a, b}) {
            w.Action("&New")->trigger();
            w.PageControl()->SaveActiveSlotAs(f);
        }
        w.OpenFile(a);
        w.OpenFile(b);
        w.OpenFile(a);
        Destroy();
    }
    ASSERT_TRUE(QFile::remove(b));
    TFormMain &w = Make();
    emit w.RecentMenu()->aboutToShow();
    const QList<QAction *> items = w.RecentMenu()->actions();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items[0]->text(), QDir::toNativeSeparators(a));
    EXPECT_EQ(items[1]->text(), QDir::toNativeSeparators(b));
    EXPECT_TRUE(items[0]->isEnabled());
    EXPECT_FALSE(items[1]->isEnabled()) << "a file that is gone stays listed, greyed";
    items[0]->trigger();
    EXPECT_EQ(w.PageControl()->SlotCount(), 1);
    EXPECT_EQ(w.PageControl()->ActiveSlot()->SlotFileName(), a);
}

TEST_F(MainWindowTest, RecentFilesKeepTheLastTen)
{
    TFormMain &w = Make();
    w.Action("&New")->trigger();
    for (int i = 0; i < 12; ++i) {
        const QString f = Dir.filePath(QStringLiteral("p%1.korvane").arg(i));
        w.PageControl()->SaveActiveSlotAs(f);
        w.OpenFile(f);
    }
    emit w.RecentMenu()->aboutToShow();
    const QList<QAction *> items = w.RecentMenu()->actions();
    ASSERT_EQ(items.size(), 10);
    EXPECT_EQ(items.front()->text(), QDir::toNativeSeparators(Dir.filePath("p11.korvane")));
    EXPECT_EQ(items.back()->text(), QDir::toNativeSeparators(Dir.filePath("p2.korvane")));
}

TEST_F(MainWindowTest, TheOpenDialogFirstShowsBothKindsOfPatch)
{
    TFormMain &w = Make(false);
    w.Action("&Open ...")->trigger();
    ASSERT_EQ(Boxes.OpenRequests.size(), 1u);
    const QStringList filters = QtNameFilters(Boxes.OpenRequests[0].Filter).split(";;");
    ASSERT_GE(filters.size(), 4);
    EXPECT_TRUE(filters[0].contains("*.slt") && filters[0].contains("*.korvane")) << filters[0].toStdString();
    EXPECT_TRUE(filters.contains("Old Slot files (*.Slt) (*.slt)")) << "the earlier filters stay";
}

TEST_F(MainWindowTest, ModuleContextMenuCallsTheEditCommands)
{
    TFormMain &w = Make(false);
    w.Action("&New")->trigger();
    TKorSlot *slot = w.PageControl()->ActiveSlot();
    TKorConstant *constant = AddTo<TKorConstant>(w);
    ASSERT_NE(constant, nullptr);
    const QPoint body = constant->LocalToSheet(QPoint(100, 40));
    std::unique_ptr<QMenu> menu = w.ContextMenu(slot, body);
    ASSERT_TRUE(menu);
    EXPECT_EQ(Captions(*menu), (QStringList{"Cu&t", "&Copy", "&Delete", "&Rename title...", "&Manual",
                                            "Learn MIDI controller", "Forget MIDI controller"}));

    Boxes.InputAnswers.push_back("Bass line");
    Item(*menu, "&Rename title...")->trigger();
    EXPECT_EQ(constant->Title(), "Bass line");

    QList<QUrl> shown;
    w.SetUrlOpener([&](const QUrl &url) {
        shown << url;
        return true;
    });
    Item(*menu, "&Manual")->trigger();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0].fragment(), "Module_KorConstant");

    Item(*menu, "&Delete")->trigger();
    EXPECT_EQ(slot->ModuleCount(), 0);
    EXPECT_TRUE(slot->Modified());
    w.UndoAction()->trigger();
    EXPECT_EQ(slot->ModuleCount(), 1);
}

// The module menu's Learn waits for the next control change at the MIDI input, which binds it
// as a step to undo; with pick-up set, the bound controller then takes the knob over only once
// it meets it. Shift+right-click on a knob asks for that menu instead of the value box.
TEST_F(MainWindowTest, LearnBindsTheNextControllerAtTheMidiInputAsAStepToUndo)
{
    WriteSettingsFile(BothPorts + "MidiPickUp=1\n");
    TFormMain &w = Make(false);
    ASSERT_TRUE(w.MidiInOpen());
    EXPECT_TRUE(w.PageControl()->MidiPickUp());
    EXPECT_TRUE(w.Action("MIDI controllers pick up knobs")->isChecked()) << "the Options item shows the setting";
    w.Action("&New")->trigger();
    TKorSlot *slot = w.PageControl()->ActiveSlot();
    auto *keys = AddTo<TKorMidiIn>(w);
    auto *amp = AddTo<TKorAmplifier>(w);
    ASSERT_TRUE(keys && amp);
    {
        std::lock_guard lock(w.PageControl()->Guard().Mutex);
        keys->SetTop(300);
    }
    const QString unbound = w.UndoAction()->text();
    TKorKnob *clip = amp->ClipKnob();
    const QPoint knob = clip->LocalToSheet(clip->Centre());

    std::vector<QPoint> asked;
    w.PageControl()->OnSlotContextMenu = [&](TKorSlot *, QPoint at, QPoint) { asked.push_back(at); };
    const auto rightClick = [&](Qt::KeyboardModifiers modifiers) {
        QContextMenuEvent e(QContextMenuEvent::Mouse, knob, slot->Canvas()->mapToGlobal(knob), modifiers);
        QApplication::sendEvent(slot->Canvas(), &e);
    };
    rightClick(Qt::NoModifier);
    EXPECT_TRUE(asked.empty()) << "a knob's right-click is its value box";
    rightClick(Qt::ShiftModifier);
    EXPECT_EQ(asked, std::vector<QPoint>{knob});

    std::unique_ptr<QMenu> menu = w.ContextMenu(slot, knob);
    ASSERT_TRUE(menu);
    EXPECT_FALSE(Item(*menu, "Forget MIDI controller")->isEnabled());
    Item(*menu, "Learn MIDI controller")->trigger();
    ASSERT_TRUE(w.PageControl()->Learning());
    EXPECT_EQ(w.statusBar()->currentMessage(), "Move a controller to bind Amplifier: Clip (Escape cancels)");
    EXPECT_EQ(slot->LearnControl(), clip);

    ASSERT_TRUE(Midi->Inject(0, {0xB2, 74, 127}));
    ASSERT_TRUE(ProcessUntil([&] { return !w.PageControl()->Learning(); }));
    EXPECT_EQ(slot->BindingText(clip), "CC 74, channel 3");
    EXPECT_EQ(amp->KnobClipValue(), 0) << "the message that binds moves nothing";
    EXPECT_EQ(w.statusBar()->currentMessage(), "");
    EXPECT_EQ(slot->LearnControl(), nullptr);
    EXPECT_EQ(w.UndoAction()->text(), "&Undo Bind MIDI controller");

    // Far from the knob (at 0) the controller does not take it; once it has met it, it does.
    // A note after each controller message tells when the input has delivered it.
    const std::pair<uint8_t, int32_t> moves[] = {{100, 0}, {0, 0}, {64, 504}};
    uint8_t marker = 0;
    for (const auto &[value, want] : moves) {
        ASSERT_TRUE(Midi->Inject(0, {0xB2, 74, value}));
        ASSERT_TRUE(Midi->Inject(0, {0x90, ++marker, 1}));
        ASSERT_TRUE(ProcessUntil([&] { return keys->LastShortMidi() == MakeShortMsg(0, 9, marker, 1); }));
        EXPECT_EQ(amp->KnobClipValue(), want) << "controller at " << int(value);
    }

    w.UndoAction()->trigger();
    EXPECT_EQ(slot->BindingText(clip), "");
    EXPECT_EQ(w.UndoAction()->text(), unbound);

    // Away from the controls the menu lists them; Escape ends a learn unbound.
    menu = w.ContextMenu(slot, amp->LocalToSheet({60, 45}));
    QMenu *learn = Item(*menu, "Learn MIDI controller")->menu();
    ASSERT_NE(learn, nullptr);
    EXPECT_EQ(Captions(*learn), (QStringList{"Amp", "Clip"}));
    EXPECT_FALSE(Item(*menu, "Forget MIDI controller")->isEnabled());
    const QString lastStep = w.UndoAction()->text();
    Item(*learn, "Amp")->trigger();
    EXPECT_EQ(slot->LearnControl(), amp->AmpKnob());
    SendKey(w.Palette(), Qt::Key_Escape);
    EXPECT_FALSE(w.PageControl()->Learning());
    EXPECT_EQ(w.statusBar()->currentMessage(), "");
    Item(*learn, "Amp")->trigger();
    Item(*learn, "Amp")->trigger();
    EXPECT_FALSE(w.PageControl()->Learning()) << "choosing Learn again cancels it";
    EXPECT_EQ(slot->LearnControl(), nullptr);
    EXPECT_EQ(w.UndoAction()->text(), lastStep);
}

TEST_F(MainWindowTest, SheetContextMenuPastesSelectsAndOffersThePalettePages)
{
    TFormMain &w = Make(false);
    w.Action("&New")->trigger();
    TKorSlot *slot = w.PageControl()->ActiveSlot();
    std::unique_ptr<QMenu> menu = w.ContextMenu(slot, {600, 400});
    ASSERT_TRUE(menu);
    EXPECT_EQ(Captions(*menu), (QStringList{"&Paste", "&Select all", "&New module"}));
    QMenu *pages = Item(*menu, "&New module")->menu();
    ASSERT_NE(pages, nullptr);
    QStringList tabs;
    for (int i = 0; i < w.Palette()->count(); ++i)
        tabs << w.Palette()->tabText(i);
    EXPECT_EQ(Captions(*pages), tabs);
    QMenu *gen = Item(*pages, "Gen")->menu();
    ASSERT_NE(gen, nullptr);
    Item(*gen, "Sine")->trigger();
    EXPECT_EQ(slot->ModuleCount(), 1);
    EXPECT_TRUE(slot->Placing()) << "the new module follows the pointer like a palette press";
}

TEST_F(MainWindowTest, ConnectorContextMenuListsItsCablesByTheirFarEnds)
{
    TFormMain &w = Make(false);
    w.Action("&New")->trigger();
    TKorSlot *slot = w.PageControl()->ActiveSlot();
    auto *constant = AddTo<TKorConstant>(w);
    auto *amp = AddTo<TKorAmplifier>(w);
    ASSERT_TRUE(constant && amp);
    {
        std::lock_guard lock(w.PageControl()->Guard().Mutex);
        constant->SetTop(200);
        slot->Sheet()->ToggleConnection(constant->Out(), amp->In());
        slot->Sheet()->ToggleConnection(constant->Out(), amp->InClip());
    }
    const QPoint out = constant->Out()->LocalToSheet(constant->Out()->Centre());
    std::unique_ptr<QMenu> menu = w.ContextMenu(slot, out);
    ASSERT_TRUE(menu);
    EXPECT_EQ(Captions(*menu), (QStringList{"Remove cables", "Remove cable to Amplifier.In", "Remove cable to Amplifier.InClip"}));
    Item(*menu, "Remove cable to Amplifier.InClip")->trigger();
    ASSERT_EQ(slot->Sheet()->CableCount(), 1);
    EXPECT_EQ(slot->Sheet()->CableTo(0), amp->In());
    w.ContextMenu(slot, out)->actions().first()->trigger();
    EXPECT_EQ(slot->Sheet()->CableCount(), 0);
    w.UndoAction()->trigger();
    EXPECT_EQ(slot->Sheet()->CableCount(), 1);
}

TEST_F(MainWindowTest, EscapeTakesBackAPlacementAndDeleteRemovesAPickedCable)
{
    TFormMain &w = Make(false);
    w.Action("&New")->trigger();
    TKorSlot *slot = w.PageControl()->ActiveSlot();
    w.PageControl()->AddModule(ClassOf<TKorConstant>());
    ASSERT_TRUE(slot->Placing());
    SendKey(w.Palette(), Qt::Key_Escape);
    EXPECT_EQ(slot->ModuleCount(), 0);
    EXPECT_FALSE(slot->Modified());

    auto *constant = AddTo<TKorConstant>(w);
    auto *amp = AddTo<TKorAmplifier>(w);
    {
        std::lock_guard lock(w.PageControl()->Guard().Mutex);
        constant->SetTop(200);
        slot->Sheet()->ToggleConnection(constant->Out(), amp->In());
    }
    const QPoint a = constant->Out()->LocalToSheet(constant->Out()->Centre());
    const QPoint b = amp->In()->LocalToSheet(amp->In()->Centre());
    ASSERT_TRUE(slot->SelectCableAt((a + b) / 2));
    w.Action("&Delete")->trigger();
    EXPECT_EQ(slot->Sheet()->CableCount(), 0);
    EXPECT_EQ(slot->ModuleCount(), 2) << "Delete took the cable, not the modules";
    w.Action("&Delete")->trigger();
    EXPECT_EQ(slot->ModuleCount(), 1) << "with no cable picked, the selected module goes";
}

TEST_F(MainWindowTest, TheWheelOnAKnobIsAStepToUndo)
{
    TFormMain &w = Make(false);
    w.Action("&New")->trigger();
    TKorSlot *slot = w.PageControl()->ActiveSlot();
    auto *constant = AddTo<TKorConstant>(w);
    TKorKnob *knob = constant->ValueKnob();
    const int32_t before = knob->Position();
    const QPoint at = knob->LocalToSheet(knob->Centre());
    QWheelEvent e(QPointF(at), QPointF(slot->Canvas()->mapToGlobal(at)), QPoint(), QPoint(0, 120), Qt::NoButton,
                  Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(slot->Canvas(), &e);
    EXPECT_EQ(knob->Position(), before + knob->Step());
    w.UndoAction()->trigger();
    EXPECT_EQ(knob->Position(), before);
}

TEST_F(MainWindowTest, F1WithoutABrowserNamesTheManual)
{
    TFormMain &w = Make(false);
    bool browser = false;
    w.SetUrlOpener([&](const QUrl &) { return browser; });
    w.ShowManual();
    ASSERT_EQ(Boxes.Messages.size(), 1);
    const QString manual = QDir::toNativeSeparators(ApplicationDirectory() + "Manual/Index.htm");
    EXPECT_TRUE(Boxes.Messages[0].contains(manual)) << Boxes.Messages[0].toStdString();
    browser = true;
    w.ShowManual();
    EXPECT_EQ(Boxes.Messages.size(), 1) << "a browser that starts needs no word";
}

TEST_F(MainWindowTest, CtrlFFocusesThePaletteSearchAndItsDescriptionsComeFromTheManual)
{
    TFormMain &w = Make(false);
    EXPECT_EQ(w.Action("&Find module")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_F));
    w.show();
    w.Action("&Find module")->trigger();
    EXPECT_EQ(w.focusWidget(), w.Palette()->SearchBox());
    const struct {
        const char *Text;
        const char *First;
    } cases[] = {{"sine", "Sine"}, {"note", "MidiIn"}, {"random", "Random"}};
    for (const auto &c : cases) {
        w.Palette()->SearchBox()->setText(c.Text);
        const auto matches = w.Palette()->Matches();
        ASSERT_FALSE(matches.empty()) << c.Text;
        EXPECT_EQ(TKorModuleButton::ShortName(*matches.front()->ModuleClass()), c.First) << c.Text;
    }
}

TEST_F(MainWindowTest, AnEmptyWindowSaysHowToBegin)
{
    TFormMain &w = Make(false);
    w.resize(800, 600);
    const QString hint = TKorModulePageControl::EmptyHint();
    // The examples are installed beside the program.
    EXPECT_EQ(hint, "File > New (Ctrl+N), or open a patch (Ctrl+O). Examples are in " +
                        QDir::toNativeSeparators(QDir::cleanPath(ApplicationDirectory() + "examples")) + ".");
    // Some text is drawn on the empty page control, and none once a slot covers it.
    const auto inked = [&] {
        const QImage img = w.PageControl()->grab().toImage();
        int dark = 0;
        for (int x = 0; x < img.width(); ++x)
            dark += qGray(img.pixel(x, img.height() / 2)) < 100;
        return dark;
    };
    EXPECT_GT(inked(), 0);
}

TEST_F(MainWindowTest, EveryDialogLabelFitsItsWidget)
{
    TFormMain &w = Make(false);
    const std::pair<const char *, QDialog *> dialogs[] = {
        {"MIDI", static_cast<QDialog *>(w.MidiDialog())},
        {"random settings", static_cast<QDialog *>(w.RandomSettingsDialog())},
        {"about", static_cast<QDialog *>(w.AboutBox())},
    };
    for (const auto &[name, dialog] : dialogs) {
        SCOPED_TRACE(name);
        dialog->show();
        int texts = 0;
        for (QWidget *child : dialog->findChildren<QWidget *>()) {
            QString text;
            if (auto *label = qobject_cast<QLabel *>(child))
                text = label->text();
            else if (auto *button = qobject_cast<QAbstractButton *>(child))
                text = button->text();
            if (text.isEmpty())
                continue;
            ++texts;
            EXPECT_LE(child->sizeHint().width(), child->width()) << '"' << text.toStdString() << '"';
        }
        EXPECT_GT(texts, 1);
        dialog->hide();
    }
}

} // namespace
