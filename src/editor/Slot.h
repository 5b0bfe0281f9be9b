// A slot holds one patch: a scroll area whose canvas paints the slot's draw sheet, routes the
// mouse to it, and is the sheet's host. Slots live on the pages of the page control.
#pragma once

#include "Modules.h"
#include "PanelControls.h"
#include "ObjectStream.h"
#include "PatchGuard.h"

#include <QPointer>
#include <QScrollArea>
#include <QVariantList>
#include <atomic>
#include <functional>
#include <optional>

class TKorSlot;
class TSlotStep;
class QUndoStack;

using TNotifyCountChange = std::function<void(QObject *Sender, int32_t aCount)>;
using TNotifyConnectionChange = std::function<void(QObject *Sender, TKorConnector *aFrom, TKorConnector *aTo)>;
using TNotifyActiveSlotChange = std::function<void(TKorSlot *Sender, const QString &aSlotName)>;
using TMidiOutShortProc = std::function<void(QObject *aSender, uint32_t aShortMidi)>;
using TMidiOutLongProc = std::function<void(QObject *aSender, const TLongMidi &aLongMidi)>;
using TNotifyEvent = std::function<void(QObject *Sender)>;
// A right-click asking for a context menu: where on the sheet (sheet coordinates) and where
// on the screen the menu goes.
using TContextMenuRequest = std::function<void(TKorSlot *Sender, QPoint aSheetPoint, QPoint aGlobalPoint)>;

// Owns its sheet and its history. User-interface thread, except Execute and the MIDI output
// events, which run on the tick thread (or, for the note-offs of an edit, here under the lock).
// Every change to the patch happens under the guard's lock; loading and deleting also raise its
// update count so that ticks skip them. Every edit the user makes becomes one step of the
// history, whose clean state is "not modified".
class TKorSlot : public QScrollArea, public ISheetHost {
    Q_OBJECT
public:
    // guard: the page control's; a slot made without one keeps its own.
    explicit TKorSlot(TPatchGuard *guard = nullptr, QWidget *parent = nullptr);
    ~TKorSlot() override;

    TKorDrawSheet *Sheet() const { return FSheet.get(); }
    QWidget *Canvas() const { return widget(); }
    TPatchGuard &Guard() const { return *FGuard; }
    // The file the slot saves to; empty for a new slot, which has none until Save as.
    QString SlotFileName() const { return FSlotFileName; }
    void SetSlotFileName(const QString &name) { FSlotFileName = name; }
    bool HasFile() const { return !FSlotFileName.isEmpty(); }
    bool Active() const { return FActive; }
    void SetActive(bool v) { FActive = v; }
    int ModuleCount() const { return FSheet ? FSheet->ModuleCount() : 0; }
    // The name on the tab and in the window caption, without the modified mark.
    QString SlotName() const { return FSlotName; }
    void SetSlotName(const QString &name) { FSlotName = name; }

    // Undo and redo. Owned by the slot; loading a file clears it.
    QUndoStack *History() const { return FHistory; }
    // Whether the patch differs from its file (or was never saved since it was changed).
    bool Modified() const;
    // Marks the patch modified without a step to undo (a patch restored after a crash).
    void SetModified();
    // The patch as text, the way a save would write it but without renaming anything, for
    // recovery copies: PatchText(PatchSnapshot()).
    QByteArray PatchText() const;
    // What that text is made of, taken under the patch lock in pieces of PatchPiece at most
    // (and a module), so that no tick waits much longer than a piece. User-interface thread,
    // not already holding the patch lock.
    TObjectSnapshot PatchSnapshot() const;
    // The text of a snapshot; any thread.
    static QByteArray PatchText(const TObjectSnapshot &snapshot);
    static constexpr std::chrono::microseconds PatchPiece{50};
    // Binds a MIDI controller (channel 1-16, controller 0-127) to the control that stands for
    // `property` of `module`, replacing a binding the control had, as one step. False, with no
    // step, when there is no such control, the numbers are out of range or nothing changes.
    bool BindMidiController(TKorCustomModule *module, const QByteArray &property, int channel, int controller);
    // Removes the control's binding as one step; false when it had none.
    bool ForgetMidiController(TKorCustomModule *module, const QByteArray &property);
    // Changes one module's settings as one step (a title or a knob value typed in a box).
    void EditModule(TKorCustomModule *module, const std::function<void()> &edit);
    // A step of this slot's history did not fit the patch (`redo` tells which way it ran).
    // The patch stays as it is; once QUndoStack is done with the step, the history is cleared,
    // the slot marked modified and the user told "Undo could not be applied: REASON. The
    // history of SLOT was cleared." Until then no step is applied and no change of the modified
    // state is reported.
    void StepFailed(bool redo, const QString &reason);
    bool HistoryFailed() const { return FHistoryFailed; }
    // While one lives, the slot records no steps: the history itself is changing the patch.
    class TQuiet {
    public:
        explicit TQuiet(TKorSlot &slot) : FSlot(slot) { ++FSlot.FQuiet; }
        ~TQuiet() { --FSlot.FQuiet; }
        TQuiet(const TQuiet &) = delete;
        TQuiet &operator=(const TQuiet &) = delete;

    private:
        TKorSlot &FSlot;
    };
    TNotifyEvent OnModifiedChange; // the modified state flipped
    TNotifyEvent OnEdited;         // an edit, undo or redo changed the patch

    // Events; each fires only when set.
    TNotifyCountChange OnCountChange;
    TNotifyCountChange OnModuleCountChange; // taken by the page control
    TNotifyConnectionChange OnConnectionMade, OnConnectionLost;
    TMidiOutShortProc OnMidiOutShort;
    TMidiOutLongProc OnMidiOutLong;
    TNotifyEvent OnClick, OnDblClick; // detail clicks, after the mouse event; taken by the page control
    // A right-click on the sheet anywhere but on a knob (whose right-click edits its value).
    TContextMenuRequest OnContextMenu;
    // The first tick error since the errors were last cleared; a queued call on the
    // user-interface thread, dropped when the slot is gone. Taken by the page control.
    TNotifyEvent OnTickFailed;

    // Runs the sheet once when the slot is active, counting the tick. What the sheet raises
    // reaches the caller, who reports it through TickFailed. Tick thread, under the lock.
    void Execute();
    // Counts a tick that raised `what`, the page control's tick number `tick`; the first since
    // the errors were cleared keeps its text (cut to TickErrorTextSize - 1 bytes) and queues
    // OnTickFailed. Allocates nothing after that first one. Tick thread, under the lock.
    void TickFailed(int64_t tick, const char *what);
    // What the ticks since the errors were last cleared did. Takes the patch lock.
    struct TTickErrors {
        uint64_t TicksRun = 0, TicksFailed = 0;
        int64_t FirstTick = -1;
        QString FirstError;
    };
    TTickErrors TickErrors() const;
    // Whether a tick failed since the errors were cleared, without the lock. Any thread.
    bool HasTickErrors() const { return FTicksFailed.load(std::memory_order_relaxed) > 0; }
    // Starts counting afresh (an edit, a restarted run). Takes the patch lock.
    void ClearTickErrors();
    static constexpr size_t TickErrorTextSize = 256;
    // Incoming MIDI: a control change first sets the controls bound to its controller (with
    // pickUp only those it has taken over; see TKorMidiMap::Apply), then the message goes on
    // to the MIDI modules. Nothing while the slot is stopped. True when a bound control took a
    // new value. Takes the patch lock.
    bool MidiInShort(uint32_t aMessage, bool pickUp = false);
    void MidiInLong(const TLongMidi &aMessage);
    void Save();
    // Writes the patch; the previous file survives a failed save. Raises EFileError.
    void SaveToFile(const QString &aFileName);
    // Replaces the sheet by the patch in the file; on any error the slot keeps its sheet.
    // Errors name the file as `shownName` when given (see ReadSheetFromFile).
    void LoadFromFile(const QString &aFileName, const QString &shownName = QString());
    // The same for the text of a patch file already read: errors name aFileName, which the
    // slot then saves to.
    void LoadFromText(const QByteArray &text, const QString &aFileName);
    TKorCustomModule *AddModule(const TComponentClass &aModuleClass);
    void DeleteAllModules();
    void DeleteSelectedModules();
    // Copy, then delete, as one step.
    void CutSelection();
    void CopySelection();
    void PasteClipboard();
    void SelectAll();
    void InvertSelection();
    void RefreshColors();

    // Zoom in percent of the sheet's pixels: the canvas paints and takes the mouse scaled,
    // the sheet itself always works in its own coordinates. 100 paints exactly as unzoomed.
    static constexpr int ZoomMin = 25, ZoomMax = 200, ZoomStep = 25;
    int Zoom() const { return FZoom; }
    // Clamped into [ZoomMin, ZoomMax]; the sheet point under `anchor` (viewport coordinates;
    // the viewport's centre when omitted) stays where it is.
    void SetZoom(int percent, std::optional<QPoint> anchor = std::nullopt);
    void ZoomIn(std::optional<QPoint> anchor = std::nullopt) { SetZoom(FZoom + ZoomStep, anchor); }
    void ZoomOut(std::optional<QPoint> anchor = std::nullopt) { SetZoom(FZoom - ZoomStep, anchor); }
    // Canvas pixels to sheet coordinates and back.
    QPoint ToSheet(QPoint canvasPoint) const;
    QRect ToCanvas(const TRect &sheetRect) const;

    // The module being placed from the palette is taken away again, leaving no step when
    // its "Add module" is still the last step (else the removal is a step). False when none is
    // being placed.
    bool CancelPlacing();
    bool Placing() const { return FPlacing && FPlacing->BeingCreated(); }

    // The cable a click picked, drawn highlighted; null ends when none is.
    TKorConnector *SelectedCableFrom() const { return FCableFrom; }
    TKorConnector *SelectedCableTo() const { return FCableTo; }
    // Picks the cable within a few pixels of a sheet point; false (and none picked) when none is.
    bool SelectCableAt(QPoint sheetPoint);
    // The index of the topmost cable within `tolerance` pixels of a sheet point, or -1.
    int CableAt(QPoint sheetPoint, int tolerance) const;
    // Removes the picked cable as one step; false when none is picked.
    bool RemoveSelectedCable();
    // Removes the cables of a connector (all of them when `only` is null, else that one
    // cable) as one step.
    void RemoveCablesOf(TKorConnector *connector, TKorConnection *only = nullptr);
    // The connector whose cables are drawn highlighted while the pointer rests on it.
    TKorConnector *HoveredConnector() const { return FHover; }

    // The control waiting for a MIDI controller to bind (drawn with a focus mark); null for none.
    TKorCustomDetail *LearnControl() const { return FLearnControl; }
    void SetLearnControl(TKorCustomDetail *control);
    // "CC 7, channel 1" for a control a controller is bound to, else empty.
    QString BindingText(const TKorCustomDetail *control) const;

    // The knob a click last went to: the arrow keys and Page Up/Down step it.
    TKorKnob *FocusedKnob() const { return FFocusedKnob; }
    // Turns a knob by `steps` of its step (at least 1) as one step of the history.
    void TurnKnob(TKorKnob *knob, int32_t steps);

    void Dump(QTextStream &aFile, int aLevel, int aDepth) const;

    // The sheet's host.
    QSize ClientSize() const override;
    void ExtentChanged(QSize size) override;
    void InvalidateRect(const TRect &r, bool erase) override;
    void UpdateNow() override;
    QPoint ClientToScreen(QPoint p) const override;
    QPoint ScreenToClient(QPoint p) const override;
    void PostClick(TComponent *clicked, bool doubleClick) override;
    void ScrollInView(TKorCustomDetail *detail) override;
    void MidiOutShort(TKorCustomModule *sender, uint32_t msg) override;
    void MidiOutLong(TKorCustomModule *sender, const TLongMidi &msg) override;
    void ConnectionMade(TKorConnector *from, TKorConnector *to) override;
    void ConnectionLost(TKorConnector *from, TKorConnector *to) override;
    void ModuleCountChanged() override;
    void ActiveChanged(bool active) override { FActive = active; }
    std::recursive_mutex *PatchMutex() override { return &FGuard->Mutex; }

protected:
    bool event(QEvent *e) override;
    void resizeEvent(QResizeEvent *e) override;

private:
    friend class TKorSlotCanvas;
    // What a load does once the file's sheet is read: it replaces the slot's sheet.
    void AdoptSheet(TOwned<TKorDrawSheet> sheet, const QString &aFileName);
    void LinkSheet(TOwned<TKorDrawSheet> sheet);
    // A step whose edit has happened; nothing while the slot is quiet.
    void Push(TSlotStep *step);
    // Removes all modules, or the selected ones, as one step named `verb` (Delete, Cut).
    void RemoveModules(const QString &verb, bool all);
    void RemoveChosenModules(const QString &verb, const std::vector<TKorCustomModule *> &chosen);
    // A mouse gesture on the canvas: the settings of the modules it may change are taken at
    // the press and compared at the release, so a drag is one step however long it is.
    void BeginGesture(QPoint p);
    void EndGesture();
    void PushSettingsChanges(const std::vector<std::pair<QPointer<TKorCustomModule>, QVariantList>> &before);

    std::unique_ptr<TPatchGuard> FOwnGuard;
    TPatchGuard *FGuard;
    TOwned<TKorDrawSheet> FSheet;
    QString FSlotFileName, FSlotName;
    QUndoStack *FHistory; // a child widget object
    int FQuiet = 0;
    bool FGestureOpen = false;
    std::vector<std::pair<QPointer<TKorCustomModule>, QVariantList>> FGestureBefore;
    // Made by the palette, waiting to be dropped. It joins the patch, and so the history (as
    // placement number FPlacement), at once: whatever is done before its drop is recorded with
    // it there. FPlacingBefore: its settings then, for the move its drop makes.
    QPointer<TKorCustomModule> FPlacing;
    QVariantList FPlacingBefore;
    uint64_t FPlacement = 0;
    // The move that dropped FPlacing, if it has been dropped; it merges into the placement's
    // step while nothing came between.
    void RecordPlaced();
    // The slot whose module is being placed, if any: a palette press on any slot drops it.
    static TKorSlot *SlotPlacingAModule();
    bool FHistoryFailed = false; // from a failed step until its queued clearing
    std::atomic<bool> FActive{true};
    bool FDestroying = false;
    int FZoom = 100;
    QPointer<TKorConnector> FCableFrom, FCableTo, FHover;
    QPointer<TKorKnob> FFocusedKnob;
    QPointer<TKorCustomDetail> FLearnControl;
    // Repaints the cables of a connector, or the picked one, where the highlight goes.
    void InvalidateCables(TKorConnector *connector);
    void InvalidateSelectedCable();
    void DropCable();
    void SetHover(TKorConnector *connector);
    // Tick errors: written by the tick thread and read by the user-interface thread, both under
    // the patch lock; the counters are atomic so that either may peek without it.
    std::atomic<uint64_t> FTicksRun{0}, FTicksFailed{0};
    int64_t FFirstErrorTick = -1;
    char FFirstError[TickErrorTextSize] = {};
};
