// The page control: one tab per slot. It runs every active patch once per tick under the
// patch lock, routes MIDI between the patches and the main window, and forwards slot events.
#pragma once

#include "PatchGuard.h"
#include "Slot.h"

#include <QIcon>
#include <QPointer>
#include <QTabWidget>
#include <atomic>
#include <vector>

class QMenu;
class QUndoGroup;

// Owns its slots (as tab pages) and the patch guard they share. User-interface thread, except
// Execute (tick thread). Its MIDI output events fire on the thread that runs the patches, and
// under the patch lock on the user-interface thread for the note-offs an edit sends.
class TKorModulePageControl : public QTabWidget {
    Q_OBJECT
public:
    explicit TKorModulePageControl(QWidget *parent = nullptr);
    ~TKorModulePageControl() override;

    // Events; each fires only when set. Counts are 0 while the page control is being destroyed.
    TNotifyCountChange OnCountChange;       // (page control, page count)
    TNotifyCountChange OnModuleCountChange; // (slot, its module count) or (page control, 0)
    TNotifyConnectionChange OnConnectionMade, OnConnectionLost;
    TNotifyActiveSlotChange OnActiveSlotChange; // when the user selects another tab
    TNotifyEvent OnModifiedChange;              // (slot) its modified mark came or went
    TNotifyEvent OnSlotEdited;                  // (slot) an edit, undo or redo changed it
    TMidiOutShortProc OnMidiOutShort;
    TMidiOutLongProc OnMidiOutLong;
    TNotifyEvent OnDetailClick, OnDetailDblClick;
    TContextMenuRequest OnSlotContextMenu; // a slot's right-click asking for a menu

    // One tick: nothing while the update count is above 0 (the tick is lost) or the run is
    // stopped; otherwise, holding the patch lock, every active slot in page order. A slot whose tick raises loses
    // that tick only: the error is counted on the slot (see TKorSlot::TickFailed), its tab
    // marked by a queued call, and the later slots run as usual. Returns false when a slot
    // failed. A failed allocation is no tick error: std::bad_alloc reaches the caller.
    // Tick thread.
    bool Execute();
    // Ticks run so far (a tick lost to the update count is not one): the number the next
    // tick's errors are reported at.
    int64_t TickNumber() const { return FTickNumber.load(std::memory_order_relaxed); }
    // Forgets every slot's tick errors and takes the marks off their tabs (a restarted run).
    void ClearTickErrors();
    // The run stops: under the patch lock every MIDI module of an active slot ends what it
    // sounds (TKorDrawSheet::StopRun), and from then on Execute runs nothing, so a tick that
    // was already waiting for the lock cannot play a note after its note-off. StartRun lets the
    // ticks run again. User-interface thread; they take the patch lock.
    void StopRun();
    void StartRun();
    bool RunStopped() const { return FRunStopped; }

    TKorSlot *ActiveSlot() const;
    int SlotCount() const { return int(FSlots.size()); }
    TKorSlot *Slots(int i) const { return FSlots.at(size_t(i)); }
    // A new page with an empty slot, made active; an empty name gives "Slot<n>". The slot has
    // no file until it is saved with SaveSlotAs.
    TKorSlot *NewSlot(const QString &aName);
    void CloseActiveSlot();
    void CloseAllSlots();
    // How a file written under the old class names is converted on opening: in place (the
    // earlier text kept as ".bak"), or in memory so the file is never written.
    enum class TOldFiles { ConvertInPlace, ConvertCopy };
    // Opens a patch file in a new slot, converting a file of an earlier version once. Errors
    // reach the caller, those of the patch's content naming the file and line (see
    // ReadSheetFromFile); the new, empty page stays, named after the file.
    void LoadSlot(const QString &aFileName, TOldFiles oldFiles = TOldFiles::ConvertInPlace);
    // The same for a patch text already read, as if it were the file's (the slot saves to it,
    // errors name it); old class names converted in memory.
    void LoadSlotFromText(const QString &aFileName, const QByteArray &text);
    // Save the slots that have a file; a slot without one raises EFileError (the window asks
    // for a file first).
    void SaveActiveSlot();
    void SaveAllSlots();
    // Saves `slot` (the active one) to `aFileName`, which becomes its file and names its tab.
    void SaveSlotAs(TKorSlot *slot, const QString &aFileName);
    void SaveActiveSlotAs(const QString &aFileName) { SaveSlotAs(ActiveSlot(), aFileName); }
    // Opens a patch recovered after a crash in a new slot that saves to `originalFile` (no file
    // when empty), marked modified, so that nothing is written over the original until the
    // user saves. `name` is the name the slot had (its file's name when empty).
    TKorSlot *RestoreSlot(const QString &recoveredFile, const QString &originalFile, const QString &name);
    // The histories of all slots, the active slot's active: what Undo and Redo act on.
    QUndoGroup *Histories() const { return FHistories; }
    // A module placed by the user on the active sheet; null without a slot.
    TKorCustomModule *AddModule(const TComponentClass &aModuleClass);
    void DeleteAllModules();
    void DeleteSelectedModules();
    void CutSelection();
    void CopySelection();
    void PasteClipboard();
    void SelectAll();
    void InvertSelection();
    void RefreshColors();
    // Controls set from a MIDI controller or another program (OSC) are played, not edited: they
    // make no undo step and mark their slot modified only while this is on (off by default).
    bool RemoteChangesAreEdits() const { return FRemoteChangesAreEdits; }
    void SetRemoteChangesAreEdits(bool v) { FRemoteChangesAreEdits = v; }
    // Soft takeover of bound MIDI controllers (see TKorMidiMap::Apply); off by default.
    bool MidiPickUp() const { return FMidiPickUp; }
    void SetMidiPickUp(bool v) { FMidiPickUp = v; }
    // MIDI learn: the control standing for `property` of `module` (on `slot`) waits for the next
    // control change at the MIDI input, which binds it (an undo step) instead of going on to
    // the patches. One control at a time; beginning again for the same control cancels.
    void BeginLearn(TKorSlot *slot, TKorCustomModule *module, const QByteArray &property);
    // Ends learning without a binding; false when nothing was learning.
    bool CancelLearn();
    bool Learning() const { return FLearnSlot && FLearnControl; }
    // "Move a controller to bind Amp: Amp (Escape cancels)" while learning, else empty.
    QString LearnStatus() const;
    TNotifyEvent OnLearnChange; // learning began or ended (bound or cancelled)
    // The module menu's "Learn MIDI controller" and "Forget MIDI controller": for `control` when
    // it is one a controller may drive, else submenus of the module's controls.
    void AddMidiLearnItems(QMenu &menu, TKorSlot *slot, TKorCustomModule *module, TKorCustomDetail *control);
    // A control of `slot` took a value from outside. User-interface thread.
    void RemoteChanged(TKorSlot *slot);
    // Incoming MIDI for the MIDI modules of every active slot. User-interface thread.
    void MidiInShort(uint32_t aMessage);
    void MidiInLong(const TLongMidi &aMessage);
    void Dump(QTextStream &aFile, int aLevel, int aDepth) const;

    void BeginUpdate() { FGuard.BeginUpdate(); }
    void EndUpdate() { FGuard.EndUpdate(); }
    int UpdateCount() const { return FGuard.UpdateCount(); }
    TPatchGuard &Guard() { return FGuard; }
    // The line shown in the empty page control, saying how to begin.
    static QString EmptyHint();

private:
    void NotifyCountChange();
    void NotifyModuleCountChange(TKorSlot *aSlot);
    void PageChanged();
    void paintEvent(QPaintEvent *e) override;
    void MakeActive(int index);
    static void LoadTextConverting(TKorSlot &slot, const QByteArray &text, const QString &aFileName);
    // The tab shows the slot's name, with "*" while it is modified.
    void ShowSlotName(TKorSlot *slot);
    // A red tab with the first error as its tooltip while the slot has tick errors.
    void ShowTickErrors(TKorSlot *slot);
    void FollowActiveSlot();

    TPatchGuard FGuard;
    QUndoGroup *FHistories; // a child object
    std::vector<TKorSlot *> FSlots; // page order; changed under the lock, read by the tick
    std::atomic<int64_t> FTickNumber{0}; // written by the tick under the lock
    bool FRemoteChangesAreEdits = false;
    bool FMidiPickUp = false;
    QPointer<TKorSlot> FLearnSlot;
    QPointer<TKorCustomDetail> FLearnControl;
    void EndLearn();
    bool FRunStopped = false;            // under the lock
    int FSlotCounter = 0;
    QIcon FErrorIcon; // the red mark, made when first shown
    bool FDestroying = false;
    bool FSettingPage = false; // the program, not the user, is changing the active page
};
