// Module bases: a module is a detail on the sheet that owns a panel of details, runs once
// per tick (Execute) and takes part in the editor's press-drag-release gestures.
#pragma once

#include "Details.h"
#include "MidiMsg.h"

#include <QByteArray>

class TKorConnector;
class TKorTextLabel;

// Base of every module: 250 x 50 at creation on a 250 x 50 grid, a title label at (2, 2).
// Owned by its draw sheet. Execute runs on the tick thread under the patch lock and must not
// allocate or paint; everything else runs on the user-interface thread.
class TKorCustomModule : public TKorCustomDetail {
    Q_OBJECT
    Q_PROPERTY(QString Title READ Title WRITE SetTitle)
public:
    Q_INVOKABLE TKorCustomModule() = default;
    void Init() override;

    bool Selected() const { return FSelected; }
    void SetSelected(bool v);
    bool BeingCreated() const { return FBeingCreated; }
    void SetBeingCreated(bool v) { FBeingCreated = v; }
    TKorTextLabel *TitleLabel() const { return FTitleLabel; }
    // Always written to patch files, an empty title too: a title the user cleared stays cleared.
    QString Title() const;
    void SetTitle(const QString &s);

    // Creates a detail of class cls owned by this module at (ALeft, ATop) named AName; the one
    // way CreateDetails builds a panel. A connector needs a non-empty name (EInvalidName).
    TKorCustomDetail *AddDetail(int32_t ALeft, int32_t ATop, const QString &AName, const TComponentClass &cls);
    template <class D>
    D *AddDetail(int32_t ALeft, int32_t ATop, const QString &AName = {})
    {
        return static_cast<D *>(AddDetail(ALeft, ATop, AName, ClassOf<D>()));
    }

    // The topmost detail under P (module coordinates), the module itself on its body, or null.
    TKorCustomDetail *DetailAt(QPoint P);
    // A connector of this module under P, skipping Except; failing that, one of another
    // module under the same place, found through the sheet.
    TKorConnector *ConnectorAt(const TKorConnector *Except, QPoint P);
    // Only this module's own connectors (what the sheet asks each module).
    TKorConnector *OwnConnectorAt(const TKorConnector *Except, QPoint P);
    TKorDrawSheet *DrawSheet() const; // the owner when it is a sheet

    virtual void ConnectorRemoved(TKorConnector *Connector);
    virtual void SelectedChanged(bool Selected);
    virtual void MoveBy(QPoint Offset);
    virtual void PaintDetails(QPainter &Canvas);
    virtual void CreateDetails();
    virtual void RequestConnection(TKorConnector *From, TKorConnector *To);
    // Per-tick work: read inputs' Value, set outputs with SetValue. Tick thread.
    virtual void Execute() {}

    void MouseDown(QObject *Sender, TMouseButton Button, TShiftState Shift, int X, int Y) override;
    void MouseUp(QObject *Sender, TMouseButton Button, TShiftState Shift, int X, int Y) override;
    void MouseMove(QObject *Sender, TShiftState Shift, int X, int Y) override;
    void EndDrag(QPoint Offset) override;
    void DragMove(QPoint Offset) override;
    void Paint(QPainter &Canvas) override;
    void Dump(QTextStream &File, int Level, int Depth) const override;
    void RefreshColors() override;
    void Assign(const TKorCustomDetail &Source) override;

protected:
    void Notification(TComponent *child, TOperation operation) override;
    void BeforeDestruction() override;

private:
    void DrawOutline(QPoint Offset);

    bool FSelected = false;
    bool FBeingCreated = false;
    TKorTextLabel *FTitleLabel = nullptr; // owned as a child
};

// The standard one-row module, 250 x 50.
class TKorModule : public TKorCustomModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorModule() = default;
};

// Modules of 2, 4 and 8 rack rows (100, 200 and 400 pixels high).
class TKorModule2 : public TKorModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorModule2() = default;
    void Init() override;
};

class TKorModule4 : public TKorModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorModule4() = default;
    void Init() override;
};

class TKorModule8 : public TKorModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorModule8() = default;
    void Init() override;
};

// Base of the MIDI modules. Input arrives on the user-interface thread under the patch lock;
// sending happens from Execute on the tick thread and goes up through the sheet to its slot.
// Silence and StopRun are the other senders: they run on the user-interface thread under the
// patch lock (so they never interleave with a tick) when the module is freed, when its sheet
// stops and when the run stops.
class TKorMidiBaseModule : public TKorCustomModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorMidiBaseModule() = default;

    virtual void ShortMidiIn(uint32_t Msg) { FLastShortMidi = Msg; }
    // Keeps a copy: the caller's block dies when the call returns.
    virtual void LongMidiIn(const TLongMidi &Msg);
    virtual void SendShortMidi(uint32_t Msg);
    virtual void SendLongMidi(const TLongMidi &Msg);
    // Sends what ends every note the module is sounding and forgets those notes, so that no
    // edit leaves a note hanging; sends nothing when none sounds. Nothing by default.
    virtual void Silence() {}
    // The whole run stops (not just this module's sheet): what Silence sends. A module whose
    // input still asks for a note when the run starts again may forget here what it has seen
    // of that input, so that the restarted run plays the note again.
    virtual void StopRun() { Silence(); }

    uint32_t LastShortMidi() const { return FLastShortMidi; }
    const QByteArray &LastLongMidi() const { return FLastLongMidi; }

protected:
    // Silences the module first, while its sheet and the sheet's slot can still send.
    void BeforeDestruction() override;

private:
    uint32_t FLastShortMidi = 0;
    QByteArray FLastLongMidi;
};
