// The draw sheet: one patch. Holds the modules (run, paint and hit-test order) and the cable
// list, runs a tick, routes the mouse into selection, dragging, placing and cable gestures,
// and paints into any QPainter. It reaches its slot only through ISheetHost.
#pragma once

#include "Connectors.h"
#include "CustomModule.h"
#include "MidiMap.h"

#include <QStringList>
#include <mutex>
#include <optional>
#include <vector>

// A piece of gesture feedback drawn over the sheet (selection band, module outline, the cable
// being drawn). Toggling the same shape twice removes it, like drawing with exclusive-or.
struct TOverlayShape {
    enum class TKind { Focus, Line } Kind = TKind::Focus;
    TRect Rect;           // Focus: the dotted rectangle, sheet coordinates
    QPoint From, To;      // Line: end points, sheet coordinates
    TColor Color = 0;     // Line colour (green over an acceptable target, white elsewhere)

    static TOverlayShape Focus(const TRect &r) { return {TKind::Focus, r.Normalized(), {}, {}, 0}; }
    static TOverlayShape Line(QPoint from, QPoint to, TColor color) { return {TKind::Line, {}, from, to, color}; }
    // Same place and kind; the colour does not matter, so an outdated colour still erases.
    bool SameShape(const TOverlayShape &o) const;
    TRect Bounds() const; // area to repaint, sheet coordinates
};

// What a sheet needs from the slot that shows it. Clipboard sheets have none and report
// nothing. MidiOut* run on the tick thread, or under the patch lock on the user-interface thread
// when an edit ends sounding notes; every other call comes on the user-interface thread.
class ISheetHost {
public:
    virtual ~ISheetHost() = default;
    virtual QSize ClientSize() const = 0;                          // visible area of the slot
    virtual void ExtentChanged(QSize size) = 0;                    // the sheet's new size
    virtual void InvalidateRect(const TRect &r, bool erase) = 0;  // sheet coordinates
    virtual void UpdateNow() = 0;                                  // paint pending damage at once
    virtual QPoint ClientToScreen(QPoint p) const = 0;
    virtual QPoint ScreenToClient(QPoint p) const = 0;
    // Deliver a click (or double-click) report after the current mouse event.
    virtual void PostClick(TComponent *clicked, bool doubleClick) = 0;
    virtual void ScrollInView(TKorCustomDetail *detail) = 0;
    virtual void MidiOutShort(TKorCustomModule *sender, uint32_t msg) = 0;
    virtual void MidiOutLong(TKorCustomModule *sender, const TLongMidi &msg) = 0;
    virtual void ConnectionMade(TKorConnector *from, TKorConnector *to) = 0;
    virtual void ConnectionLost(TKorConnector *from, TKorConnector *to) = 0;
    virtual void ModuleCountChanged() = 0;
    virtual void ActiveChanged(bool active) = 0;
    // The patch lock that user-interface code outside the slot's own event handlers (a knob's
    // repeat timer, for one) takes before changing the patch; null when there is none.
    virtual std::recursive_mutex *PatchMutex() { return nullptr; }
};

// Owns its modules (as children) and its cables. Execute runs on the tick thread under the
// patch lock and allocates nothing; MidiIn* run on the user-interface thread under the lock;
// everything else is user-interface thread. Repaints asked for from another thread are
// collected and handed to the host by one queued call on the sheet's own thread.
class TKorDrawSheet : public TComponent {
    Q_OBJECT
    Q_PROPERTY(int Left READ Left WRITE SetLeft)
    Q_PROPERTY(int Top READ Top WRITE SetTop)
    Q_PROPERTY(int Width READ Width WRITE SetWidth)
    Q_PROPERTY(int Height READ Height WRITE SetHeight)
public:
    Q_INVOKABLE TKorDrawSheet();
    ~TKorDrawSheet() override;

    ISheetHost *Host() const { return FHost; }
    std::recursive_mutex *PatchMutex() const { return FHost ? FHost->PatchMutex() : nullptr; }
    // Links the sheet to its slot (null unlinks) and sizes it to the slot.
    void SetHost(ISheetHost *host);

    // Placement as a control; the extent follows the modules (UpdateExtent).
    int32_t Left() const { return FLeft; }
    int32_t Top() const { return FTop; }
    int32_t Width() const { return FWidth; }
    int32_t Height() const { return FHeight; }
    void SetLeft(int32_t v) { FLeft = v; }
    void SetTop(int32_t v) { FTop = v; }
    void SetWidth(int32_t v) { FWidth = v; }
    void SetHeight(int32_t v) { FHeight = v; }
    TRect ClientRect() const { return {0, 0, FWidth, FHeight}; }

    bool Active() const { return FActive; }
    // Also switches the slot's Active flag. Stopping silences the modules first, while the
    // slot still sends.
    void SetActive(bool v);
    bool CablesVisible() const { return FCablesVisible; }

    int ModuleCount() const { return int(FModules.size()); }
    TKorCustomModule *Modules(int i) const;
    int CableCount() const { return FConnections.Count(); }
    TKorConnection *Cables(int i) const;
    TKorConnector *CableFrom(int i) const;
    TKorConnector *CableTo(int i) const;
    TKorConnections &Connections() { return FConnections; }
    // The MIDI controllers bound to this patch's controls; a module that leaves the sheet
    // takes its bindings with it.
    TKorMidiMap &MidiMap() { return FMidiMap; }
    const TKorMidiMap &MidiMap() const { return FMidiMap; }

    // While one lives, the sheet leaves its whole-sheet bookkeeping (transport plan, extent,
    // module count report) to one pass at its end, so that loading, pasting or deleting
    // thousands of modules costs in proportion to them, not to them times the sheet.
    class TBulkEdit {
    public:
        explicit TBulkEdit(TKorDrawSheet &s) : FSheet(s), FCables(s.FConnections) { ++FSheet.FBulk; }
        ~TBulkEdit();
        TBulkEdit(const TBulkEdit &) = delete;
        TBulkEdit &operator=(const TBulkEdit &) = delete;

    private:
        TKorDrawSheet &FSheet;
        TKorConnections::TBatch FCables;
    };

    // Creates a module that the user then places: invisible, selected, following the pointer
    // until the next release drops it.
    TKorCustomModule *AddModule(const TComponentClass &aModuleClass);
    // Destroys the module at anIndex; an index outside the list is an assertion failure.
    void FreeModule(int anIndex);
    void DeleteAllModules();
    void DeleteSelectedModules();
    // Puts the selected modules, with the cables between them, on the system clipboard.
    void CopySelection();
    // Adds the clipboard's modules and their cables, selected, at the places they were copied
    // from; "Clipboard has no modules." when it holds none.
    void PasteClipboard();
    void SelectAll();
    void InvertSelection();
    TKorCustomModule *ModuleAt(QPoint P) const;
    TKorConnector *ConnectorAt(const TKorConnector *Except, QPoint P) const;
    void BringToFront(TKorCustomModule *module);
    // Moves a module to a place in run (and paint) order, as an undone deletion does.
    void MoveInRunOrder(TKorCustomModule *module, int index);
    // Makes the cable aFrom -> aTo at cable list position `index`, reported like a drawn one.
    void InsertConnection(int index, TKorConnector *aFrom, TKorConnector *aTo);
    void DeselectAllBut(TKorCustomModule *module);
    void DrawDragRects(QPoint Offset);
    // Moves every selected module by Offset (dead zone: both axes under 10 pixels).
    void MoveSelection(QPoint Offset);
    void RemoveConnectionsOf(TKorConnector *Connector);
    // Marks a rectangle (sheet coordinates) for repainting. Any thread.
    void InvalidateArea(const TRect &R, bool Erase);
    // Paints pending damage at once. Any thread.
    void Update();
    // Sizes the sheet to its modules, at least the host's visible area, and tells the host.
    void UpdateExtent();
    // A module of this sheet moved or changed size (from `old`), so the extent can follow it.
    void ModuleBoundsChanged(const TRect &old, const TRect &now);
    void RefreshColors();
    void ScrollInView(TKorCustomDetail *detail);
    QPoint ClientToScreen(QPoint P) const;
    QPoint ScreenToClient(QPoint P) const;

    void MidiInShort(uint32_t Msg);
    void MidiInLong(const TLongMidi &Msg);
    // Every MIDI module sends what ends the notes it sounds (TKorMidiBaseModule::Silence).
    // User-interface thread, under the patch lock.
    void Silence();
    // The run stops: every MIDI module of an active sheet ends its notes (StopRun); a stopped
    // sheet has ended them already and keeps what it knows of its inputs for its own start.
    void StopRun();
    void MidiOutShort(TKorCustomModule *sender, uint32_t Msg);
    void MidiOutLong(TKorCustomModule *sender, const TLongMidi &Msg);

    // Mouse events in sheet coordinates, as the slot's canvas receives them. The toolkit
    // raises Click before MouseUp.
    void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y);
    void MouseMove(TShiftState Shift, int X, int Y);
    void MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y);
    void Click();
    void DblClick();
    // A click report climbing from a detail; posted to the slot.
    void ReportClick(TComponent *clicked, bool doubleClick);

    const std::vector<TOverlayShape> &Overlay() const { return FOverlay; }
    void ToggleOverlay(const TOverlayShape &shape);
    void PaintOverlay(QPainter &Canvas) const;

    virtual void BeginBand(QPoint) {}
    virtual void SelectInBand(QPoint Size);
    virtual void DrawBand(QPoint Size);
    virtual bool ContainsPoint(QPoint P) const { return ClientRect().Contains(P); }
    virtual void ToggleConnection(TKorConnector *aFrom, TKorConnector *aTo);
    // Modules in list order, each clipped to itself and skipped outside the clip, then the
    // cables on top.
    virtual void PaintAll(QPainter &Canvas);
    virtual void ConnectionMade(TKorConnector *aFrom, TKorConnector *aTo);
    virtual void ConnectionLost(TKorConnector *aFrom, TKorConnector *aTo);
    // One tick: every module's Execute in list order, then the cables' Propagate.
    virtual void Execute();
    virtual void Dump(QTextStream &File, int Level, int Depth) const;

    // Patch files. Before writing: the module list back in creation order, and a name from
    // GetUniqueName for each module whose name is empty or not a valid name. Other names stay,
    // so saving an unchanged patch writes the same text and outside references keep working.
    void PrepareForSave();
    // The modules this sheet owns, in creation order.
    QList<TComponent *> StreamedChildren() const override;
    // Modules only: a sheet inside a sheet is never written.
    bool AcceptsStreamedChild(const TComponentClass &cls) const override;
    // "Connections": one "Module.Connector Module.Connector" line per cable, in list order;
    // then, when there are any, "MidiMap": one "CHANNEL CONTROLLER Module.Property" line per
    // binding.
    void WriteDefinedProperties(TStreamWriter &writer) const override;
    bool ReadDefinedProperty(const QString &name, const QVariant &value, std::span<const int32_t> elementLines = {}) override;
    // Cable lines read from a file, waiting for ResolveConnections; null when there are none.
    const QStringList *PendingLines() const { return FPendingLines ? &*FPendingLines : nullptr; }
    // Makes the cables of the pending lines once the whole patch is read. Only the first
    // ECorruptPatch is shown (through Dialogs), followed by the line at fault and, when the
    // patch text gave it, its line number; other failures end it and reach the caller.
    // Then the MIDI bindings read, the first bad one shown the same way; bad ones are dropped.
    // The pending lines are gone afterwards in every case.
    void ResolveConnections();
    // Makes the cable one line describes: "M.K M.K" by names or "A.B C.D" by indexes. A line
    // that fits neither form raises ECorruptPatch, so that it is reported, not lost unseen.
    void ParseConnectionLine(const QString &line);

protected:
    void Notification(TComponent *child, TOperation operation) override;
    void BeforeDestruction() override;

private:
    TRect BandRect(QPoint Size) const;
    TRect CableArea(const TKorConnector *from, const TKorConnector *to) const;
    void InvalidateMarkedCables(bool Erase);
    void CancelDetailGesture();
    // Frees modules (in that order) with their cables removed in one pass first.
    void FreeModules(const std::vector<TKorCustomModule *> &modules);
    bool OnOwnThread() const;
    void FlushPendingRepaint();

    ISheetHost *FHost = nullptr;
    int32_t FLeft = 0, FTop = 0, FWidth = 0, FHeight = 0;
    bool FActive = true;
    bool FCablesVisible = true;
    std::vector<TKorCustomModule *> FModules; // children, in run order; not owning
    TKorConnections FConnections;
    std::vector<TOverlayShape> FOverlay;
    // The modules' extent (largest right and bottom edge), kept as they come, go and move;
    // worked out again only when the module on an edge left it.
    int32_t FContentRight = 0, FContentBottom = 0;
    bool FContentStale = false;
    int FBulk = 0;
    bool FCountPending = false, FExtentPending = false;
    std::optional<QStringList> FPendingLines;
    std::vector<int32_t> FPendingLineNumbers; // in the patch text, where it gave them
    std::optional<QStringList> FPendingMapLines;
    std::vector<int32_t> FPendingMapLineNumbers;
    TKorMidiMap FMidiMap;
    // Binds the pending MIDI map lines; see ResolveConnections.
    void ResolveMidiMap();

    // Repaints requested on another thread, waiting for the sheet's thread.
    std::mutex FPendingMutex;
    TRect FPendingRect;
    bool FPendingErase = false, FPendingUpdate = false, FFlushQueued = false;
};
