// The main window: owner of the page control, the palette, the MIDI ports and the timer that runs
// the patches; its menus, tool buttons and function keys, and the run control with its overflow rule.
#pragma once

#include "Globals.h"
#include "HiResTim.h"
#include "MidiIn.h"
#include "MidiKeeper.h"
#include "MidiOut.h"
#include "OscControl.h"
#include "PageControl.h"
#include "Palette.h"
#include "Recorder.h"
#include "Recovery.h"
#include "SessionClock.h"

#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>

class QAction;
class QActionGroup;
class QLabel;
class QMenu;
class QUrl;
class QToolButton;
class TFormMidiDialog;
class TFormRandomSettings;
class TFormAbout;

// The green and red of the overflow lamp (0x00BBGGRR).
constexpr uint32_t OverflowGreen = 32768, OverflowRed = 255;

// A small filled shape in one colour, which any thread may change (the tick sets it red).
class TOverflowLamp : public QWidget {
    Q_OBJECT
public:
    explicit TOverflowLamp(QWidget *parent = nullptr);
    uint32_t Color() const { return FColor.load(std::memory_order_relaxed); }
    // Any thread; the repaint happens on the user-interface thread.
    void SetColor(uint32_t color);

protected:
    void paintEvent(QPaintEvent *) override;

private:
    std::atomic<uint32_t> FColor{OverflowGreen};
};

// What the window is made with besides the settings file: tests and headless runs choose
// other MIDI services, a manual time source, and whether the settings are written back.
struct TMainWindowOptions {
    QString SettingsFile;                   // empty: SettingsFilePath()
    QStringList Arguments;                  // the command line's file arguments
    std::shared_ptr<TMidiServices> Midi;    // null: the program-wide services
    std::unique_ptr<ITimeSource> TimeSource; // null: the real clock
    bool SaveSettings = true;
    // How long after the last move or resize the window's place is written (ms).
    int WindowPlaceDelay = 1000;
    // Overrides of the settings file (headless runs); unset keeps the file's value.
    std::optional<QString> MidiIn, MidiOut;
    std::optional<int32_t> PeriodMs;
    // Keep recovery copies of modified patches and offer those an ended instance left behind
    // (the desktop program; tests and headless runs leave the user's state folder alone).
    bool Recovery = false;
    // Where the port keeper's one-line reports go (the MIDI system stopped or returned, a port
    // that does not open); none: nowhere. The top bar shows the state in any case.
    std::function<void(const QString &)> MidiReport;
    // The UDP port OSC is listened on instead of the settings file's (0: none); not stored.
    std::optional<int32_t> OscPort;
    // Where the OSC lines go (a port that cannot be bound, messages ignored); none: the status
    // line.
    std::function<void(const QString &)> OscReport;
    // Where the line saying what a recording holds goes when it ends; none: a message box when
    // messages were lost.
    std::function<void(const QString &)> RecordReport;
    // Follow an Ableton Link session in this run whatever the settings say (--link); not stored.
    bool Link = false;
    // Makes the Link source; null: CreateLinkClock (tests give a stand-in).
    std::function<std::unique_ptr<TKorSessionClock>()> LinkClock;
    // Makes the JACK transport source; null: CreateJackTransportClock.
    std::function<std::unique_ptr<TKorSessionClock>()> JackTransportClock;
};

// User-interface thread, except Tick and the MIDI output routing, which run on the timer's
// worker thread inside the patch lock. Owns everything it shows and runs.
class TFormMain : public QMainWindow, private IRecoverySource, private IMidiPortHost {
    Q_OBJECT
public:
    explicit TFormMain(TMainWindowOptions options = {});
    // Writes the settings (unless told not to); Shutdown must have run (closeEvent runs it).
    // They are also written while the window lives, so that a killed program keeps them: a
    // MIDI choice at once, the window's place once it has stopped moving.
    ~TFormMain() override;

    // Starts or stops the patches; a start forgets the slots' tick errors. A stop ends every
    // sounding note with its note-off on its own channel before the run halts, and a gate still
    // high at the next start plays its note again (TKorModulePageControl::StopRun).
    void SetRunning(bool b);
    bool Running() const { return FRunning; }
    // Chooses a port by device name; an empty name chooses no port (closing the open one)
    // without a word. A failure is reported in a message box and keeps the old name with the
    // port closed. The settings keep the last name chosen, and the names read from the settings
    // file even where the port could not be chosen at this start: they are tried again at the next.
    void SetMidiInName(const QString &name);
    void SetMidiOutName(const QString &name);
    // Open or close a port; failures reach the caller. `notesOffFirst`: all notes off on the
    // newly opened output before any tick can send (a port opened again after it was gone).
    void SetMidiInOpen(bool b);
    void SetMidiOutOpen(bool b, bool notesOffFirst = false);
    // Closes the ports, makes new ones over `services` (another MIDI system, as chosen in the
    // MIDI dialog) and opens the configured ports again where they are there.
    void SwitchMidiServices(std::shared_ptr<TMidiServices> services);
    QString MidiInName() const { return FMidiInName; }
    QString MidiOutName() const { return FMidiOutName; }
    bool MidiInOpen() const { return FMidiInOpen; }
    bool MidiOutOpen() const { return FMidiOutOpen; }
    // The all-notes-off controller on all sixteen channels of the open output port.
    void AllNotesOff();
    // Shows the window in front, out of the task bar, keeping it maximised or full-screen.
    void BringToFront();
    // Opens a patch file handed over by a second start or the command line, if it exists.
    void OpenFile(const QString &fileName);
    // Stops the run for good: pause, end the timer's worker, all notes off, close the ports.
    // Idempotent.
    void Shutdown();
    // Asks "Save changes to NAME?" for a modified slot: true when it may close (saved or
    // discarded), false for Cancel or a save that failed (the error shown).
    bool ConfirmClose(TKorSlot *slot);
    // The same for every slot, in page order; false as soon as one answer keeps it open.
    bool ConfirmCloseAll();
    // Closes without asking (a signal): whatever is modified stays in the recovery copies.
    void CloseWithoutAsking();
    QAction *UndoAction() const { return FUndo; }
    // Offers what an ended instance left behind; restored patches open modified. The start
    // calls it once the window shows.
    void OfferRecoveredPatches();
    TRecovery *Recovery() const { return FRecovery.get(); }
    QAction *RedoAction() const { return FRedo; }

    // One tick of the timer: runs the patches unless the last tick took 200 ms or more. The
    // overflow lamp turns red for a tick not run, or one in which a slot raised.
    void Tick();
    // Every 500 ms: the overflow lamp back to green.
    void ScreenUpdate();

    // The menu and button commands, by their captions, for the keys and for tests.
    QAction *Action(const QString &caption) const;
    TKorModulePageControl *PageControl() const { return FPages; }
    TKormoduleSelector *Palette() const { return FPalette; }
    THiResTimer *Timer() const { return FTimer.get(); }
    TMidiInput *MidiInput() const { return FMidiInput; }
    TMidiOutput *MidiOutput() const { return FMidiOutput; }
    TOverflowLamp *OverflowLamp() const { return FOverflowLamp; }
    QToolButton *StartStopButton() const { return FStartStop; }
    TFormMidiDialog *MidiDialog() const { return FMidiDialog; }
    TMidiPortKeeper *MidiKeeper() const { return FMidiKeeper; }
    TFormRandomSettings *RandomSettingsDialog() const { return FRandomSettings; }
    TFormAbout *AboutBox() const { return FAbout; }
    int32_t LastTickTime() const { return FLastTickTime.load(std::memory_order_relaxed); }
    void SetLastTickTime(int32_t ms) { FLastTickTime = ms; }
    const TAppSettings &Settings() const { return FSettings; }
    TComponent *ClickedDetail() const { return FClickedDetail; }
    // "#Module_KorConstant" for a clicked module, else empty; and the manual's address.
    QString ManualAnchor() const;
    QString ManualTarget() const;

    // What a headless run reports: ticks run, and ticks skipped by the 200 ms rule or an edit.
    uint64_t TicksRun() const { return FTicksRun.load(); }
    uint64_t TicksSkipped() const { return FTicksSkipped.load(); }
    // A system-exclusive message the output port refused, as the status bar says it: set with
    // the first refusal, cleared by the next message it takes; empty meanwhile. Told to
    // OnSendProblem (a headless run prints it) once each time it is set.
    QString SendProblem() const { return FSendProblem; }
    std::function<void(const QString &)> OnSendProblem;

    // The right-click menu for a sheet point of a slot: a module's, a wired connector's or the
    // bare sheet's. Owned by the caller; its items call what the menus call.
    std::unique_ptr<QMenu> ContextMenu(TKorSlot *slot, QPoint sheetPoint);
    QMenu *RecentMenu() const { return FRecentMenu; }
    // What F1 uses to show the manual; true when a browser took it. Tests replace it.
    void SetUrlOpener(std::function<bool(const QUrl &)> opener) { FUrlOpener = std::move(opener); }

    // The commands behind the menu items that open dialogs, for the keys and tests.
    void MidiSettings();
    void RandomSettings();
    void ChooseColor(std::atomic<uint32_t> &setting);
    void ShowManual();
    void DebugDump();
    void Reseed();
    // OSC is listened for on `host` (empty: 127.0.0.1) and `port` (0: not at all) from now on
    // and at the next start; a socket that cannot be bound is said in the status line.
    void SetOscAddress(const QString &host, int32_t port);
    void OscSettings();
    TOscControl *Osc() const { return FOsc; }
    // Whether controls set by OSC or MIDI mark their slot modified; stored in the settings.
    void SetRemoteChangesAreEdits(bool on);
    // Soft takeover: a bound controller moves its knob only once it has met the knob's value.
    void SetMidiPickUp(bool on);
    // Records everything sent to the MIDI output (whether a port is open or not) and, with the
    // RecordInput setting, what arrives at the input, to `fileName` until StopRecording, which
    // Shutdown runs after the last notes-off. Raises EFileError when the file cannot be made.
    void StartRecording(const QString &fileName);
    void StopRecording();
    TMidiRecorder *Recorder() const { return FRecorder.get(); }
    void SetRecordInput(bool on);
    // The shared time the following modules (TKorLink) read: an Ableton Link session, or none.
    // Stored in the settings as Link=1. The Options item is one of an exclusive group, so that
    // at most one source is on.
    void SetLink(bool on);
    TKorSessionClock *SessionSource() const { return FSessionClock.get(); }

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void CreateMenus();
    void FillRecentMenu();
    // Opens a patch in a new slot and remembers it among the recent files when that worked.
    void LoadAndRemember(const QString &file);
    // One-line module descriptions for the palette: each module section's first sentence.
    void LoadPaletteDescriptions();
    void CreatePanels();
    void CreatePorts();
    void CreatePalette();
    void CreatePageControl();
    void UpdateStartStop();
    // Runs `step` with the timer paused and resumes it, sending nothing: a pause, not a stop.
    void PausedFor(const std::function<void()> &step);
    void CountChanged(int count);
    // "Korvane - NAME" for the active slot, with "*" while it is modified.
    void UpdateCaption();
    void ModuleCountChanged(int count);
    void DetailDoubleClicked(QObject *sender);
    // Runs a change to a detail under the patch lock, as a step of its slot's history.
    void EditDetail(TKorCustomDetail *detail, const std::function<void()> &edit);
    void MidiInputArrived();
    void MidiOutShort(uint32_t msg);
    void MidiOutLong(const TLongMidi &msg);
    void RecordCommand();
    void AddModule(const TComponentClass &cls);
    void OpenCommand();
    // Saves `slot` to its file; one without a file asks for one first, as Save as does.
    // False when the user cancelled or the save failed (the error shown).
    bool SaveSlot(TKorSlot *slot);
    // Asks for a file (the last folder used, the slot's file or "NAME.korvane" proposed) and
    // saves `slot` there; false when cancelled or failed (the error shown).
    bool SaveSlotAs(TKorSlot *slot);
    void SaveAllCommand();
    // Runs one of the four port steps of the start, showing what it raises.
    template <class F>
    void Guarded(F step);
    bool FunctionKey(int key);
    // Writes the settings when they differ from the file's (or `force`: the colours changed).
    void StoreSettings(bool force = false);
    // What keeps the window from keeping the user's work (recovery copies, settings), in the
    // status bar while there is any.
    void ShowProblems();
    void SetSendProblem(const QString &text);
    void ListenForOsc(const QString &host, int32_t port);
    void SetOscProblem(const QString &text);
    // A source of shared time on the Options menu: its item, the setting that keeps it on, and
    // how it is made.
    struct TSessionSource {
        QAction *Item;
        bool TAppSettings::*Setting;
        std::function<std::unique_ptr<TKorSessionClock>()> Create;
    };
    void AddSessionSource(QMenu *menu, const QString &caption, bool TAppSettings::*setting,
                          std::function<std::unique_ptr<TKorSessionClock>()> create);
    // Turns on the source of `item` (null: none), and keeps the choice in the settings when
    // `store`.
    void ChooseSessionSource(QAction *item, bool store);
    // Swaps the source under the patch lock; the one replaced is freed after it.
    void UseSessionClock(std::unique_ptr<TKorSessionClock> clock);
    std::vector<TRecoverySlot> RecoverySlots() const override;
    TRecoveryText RecoveryText(quintptr id) const override;
    // The port keeper's view of the ports.
    TMidiServices &PortServices() const override { return *FMidi; }
    QString ConfiguredPort(TMidiSide side) const override;
    bool PortOpen(TMidiSide side) const override;
    QString OpenPortName(TMidiSide side) const override;
    bool PortLost(TMidiSide side) const override;
    void OpenPort(TMidiSide side, const QString &name) override;
    void ClosePort(TMidiSide side) override;

    TMainWindowOptions FOptions;
    TAppSettings FSettings;
    std::shared_ptr<TMidiServices> FMidi;
    QString FAppTitle;
    TKorModulePageControl *FPages = nullptr;
    TKormoduleSelector *FPalette = nullptr;
    TMidiInput *FMidiInput = nullptr;
    TMidiOutput *FMidiOutput = nullptr;
    std::unique_ptr<THiResTimer> FTimer;
    QTimer FScreenUpdates;
    TOverflowLamp *FOverflowLamp = nullptr;
    QToolButton *FAllNotesOff = nullptr, *FRandomize = nullptr, *FStartStop = nullptr;
    QWidget *FPanelTopLeft = nullptr, *FPanelTopRightTop = nullptr, *FPanelTopRightBottom = nullptr;
    TFormMidiDialog *FMidiDialog = nullptr;
    TMidiPortKeeper *FMidiKeeper = nullptr;
    TFormRandomSettings *FRandomSettings = nullptr;
    TFormAbout *FAbout = nullptr;
    QList<QAction *> FActions;
    QMenu *FEditMenu = nullptr;
    QMenu *FRecentMenu = nullptr;
    std::function<bool(const QUrl &)> FUrlOpener;
    QAction *FUndo = nullptr, *FRedo = nullptr;
    bool FAskBeforeClosing = true;
    std::unique_ptr<TRecovery> FRecovery;
    TAppSettings FStoredSettings; // as the settings file holds them
    QTimer FPlaceSettle;          // the window's place is written when it runs out
    QString FSettingsProblem;
    QString FSendProblem;
    std::atomic<bool> FSendRefused{false}; // the tick's own note of FSendProblem
    QLabel *FProblems = nullptr;  // in the status bar, made with the first problem
    TOscControl *FOsc = nullptr;  // a child object
    QString FOscProblem;
    // The recording, and the tick's view of it: set and cleared under the patch lock.
    std::unique_ptr<TMidiRecorder> FRecorder;
    std::atomic<TMidiRecorder *> FRecording{nullptr};
    QLabel *FRecordLabel = nullptr;
    QActionGroup *FSessionSources = nullptr;
    std::vector<TSessionSource> FSources;
    std::unique_ptr<TKorSessionClock> FSessionClock;
    QAction *FActiveSource = nullptr; // the item whose source FSessionClock is

    bool FRunning = false;
    std::atomic<int32_t> FLastTickTime{1};
    QString FMidiInName, FMidiOutName;
    std::atomic<bool> FMidiInOpen{false}, FMidiOutOpen{false};
    QPointer<TComponent> FClickedDetail;
    bool FShutDown = false;
    std::atomic<uint64_t> FTicksRun{0}, FTicksSkipped{0};
};
