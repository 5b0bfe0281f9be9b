// A slot holds one patch: a scroll area whose canvas paints the slot's draw sheet, routes the
// mouse to it, and is the sheet's host. Slots live on the pages of the page control.
#pragma once

#include "Modules.h"
#include "PatchGuard.h"

#include <QPointer>
#include <QScrollArea>
#include <atomic>
#include <functional>

class TKorSlot;

using TNotifyCountChange = std::function<void(QObject *Sender, int32_t aCount)>;
using TNotifyConnectionChange = std::function<void(QObject *Sender, TKorConnector *aFrom, TKorConnector *aTo)>;
using TNotifyActiveSlotChange = std::function<void(TKorSlot *Sender, const QString &aSlotName)>;
using TMidiOutShortProc = std::function<void(QObject *aSender, uint32_t aShortMidi)>;
using TMidiOutLongProc = std::function<void(QObject *aSender, const TLongMidi &aLongMidi)>;
using TNotifyEvent = std::function<void(QObject *Sender)>;

// Owns its sheet. User-interface thread, except Execute and the MIDI output events, which run
// on the tick thread. Every change to the patch happens under the guard's lock; loading and
// deleting also raise its update count so that ticks skip them.
class TKorSlot : public QScrollArea, public ISheetHost {
    Q_OBJECT
public:
    // guard: the page control's; a slot made without one keeps its own.
    explicit TKorSlot(TPatchGuard *guard = nullptr, QWidget *parent = nullptr);
    ~TKorSlot() override;

    TKorDrawSheet *Sheet() const { return FSheet.get(); }
    QWidget *Canvas() const { return widget(); }
    TPatchGuard &Guard() const { return *FGuard; }
    QString SlotFileName() const { return FSlotFileName; }
    void SetSlotFileName(const QString &name) { FSlotFileName = name; }
    bool Active() const { return FActive; }
    void SetActive(bool v) { FActive = v; }
    int ModuleCount() const { return FSheet ? FSheet->ModuleCount() : 0; }

    // Events; each fires only when set.
    TNotifyCountChange OnCountChange;
    TNotifyCountChange OnModuleCountChange; // taken by the page control
    TNotifyConnectionChange OnConnectionMade, OnConnectionLost;
    TMidiOutShortProc OnMidiOutShort;
    TMidiOutLongProc OnMidiOutLong;
    TNotifyEvent OnClick, OnDblClick; // detail clicks, after the mouse event; taken by the page control

    // Runs the sheet once when the slot is active. Tick thread, under the lock.
    void Execute();
    void MidiInShort(uint32_t aMessage);
    void MidiInLong(const TLongMidi &aMessage);
    void Save();
    // Writes the patch; the previous file survives a failed save. Raises EFileError.
    void SaveToFile(const QString &aFileName);
    // Replaces the sheet by the patch in the file; on any error the slot keeps its sheet.
    // Errors name the file as `shownName` when given (see ReadSheetFromFile).
    void LoadFromFile(const QString &aFileName, const QString &shownName = QString());
    TKorCustomModule *AddModule(const TComponentClass &aModuleClass);
    void DeleteAllModules();
    void DeleteSelectedModules();
    void CopySelection();
    void PasteClipboard();
    void SelectAll();
    void InvertSelection();
    void RefreshColors();
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
    void LinkSheet(TOwned<TKorDrawSheet> sheet);

    std::unique_ptr<TPatchGuard> FOwnGuard;
    TPatchGuard *FGuard;
    TOwned<TKorDrawSheet> FSheet;
    QString FSlotFileName;
    std::atomic<bool> FActive{true};
    bool FDestroying = false;
};
