// Small modules for framework tests: a value source, a pass-through, a MIDI module and a
// probe detail that records what reaches it.
#pragma once

#include "Modules.h"
#include "TestPrint.h"

#include <limits>
#include <vector>

// Output "Out" at (220, 20) takes the value Next on every tick.
class TKorTestSource : public TKorModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorTestSource() = default;
    void CreateDetails() override
    {
        TKorModule::CreateDetails();
        Out = AddDetail<TKorOutput>(220, 20, QStringLiteral("Out"));
    }
    void Execute() override { Out->SetValue(Next); }
    int32_t Next = 0;
    TKorOutput *Out = nullptr;
};

// Input "In" at (10, 20), output "Out" at (220, 20): Out takes In on every tick.
class TKorTestThrough : public TKorModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorTestThrough() = default;
    void CreateDetails() override
    {
        TKorModule::CreateDetails();
        In = AddDetail<TKorInput>(10, 20, QStringLiteral("In"));
        Caption = AddDetail<TKorTextLabel>(40, 20);
        Caption->SetText(QStringLiteral("in"));
        Out = AddDetail<TKorOutput>(220, 20, QStringLiteral("Out"));
    }
    void Execute() override { Out->SetValue(In->Value()); }
    TKorInput *In = nullptr;
    TKorTextLabel *Caption = nullptr;
    TKorOutput *Out = nullptr;
};

// Sends Pending (when non-zero) on the next tick; remembers what it receives.
class TKorTestMidi : public TKorMidiBaseModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorTestMidi() = default;
    void Execute() override
    {
        if (Pending) {
            SendShortMidi(Pending);
            Pending = 0;
        }
    }
    void ShortMidiIn(uint32_t Msg) override
    {
        TKorMidiBaseModule::ShortMidiIn(Msg);
        Received.push_back(Msg);
    }
    uint32_t Pending = 0;
    std::vector<uint32_t> Received;
};

// A detail that takes the mouse and records presses; paints a fill much larger than itself
// in FillColor, so clipping shows.
class TKorTestProbe : public TKorCustomDetail {
    Q_OBJECT
public:
    Q_INVOKABLE TKorTestProbe() = default;
    void MouseDown(QObject *Sender, TMouseButton Button, TShiftState Shift, int X, int Y) override
    {
        Presses.push_back({Button, QPoint(X, Y)});
        TKorCustomDetail::MouseDown(Sender, Button, Shift, X, Y);
    }
    void Paint(QPainter &Canvas) override
    {
        ++Paints;
        Canvas.fillRect(QRect(-100, -100, 400, 400), ToQColor(FillColor));
    }
    struct TPress {
        TMouseButton Button;
        QPoint At;
    };
    std::vector<TPress> Presses;
    int Paints = 0;
    TColor FillColor = 0x0000FF;
};

// Settings of every stored kind, and connectors whose names hold "_".
class TKorTestSettings : public TKorModule2 {
    Q_OBJECT
    Q_PROPERTY(int KnobValue READ KnobValue WRITE SetKnobValue)
    Q_PROPERTY(bool ButtonDown READ ButtonDown WRITE SetButtonDown)
    Q_PROPERTY(QString Note READ Note WRITE SetNote)
public:
    Q_INVOKABLE TKorTestSettings() = default;
    void CreateDetails() override
    {
        TKorModule2::CreateDetails();
        In = AddDetail<TKorInput>(10, 20, QStringLiteral("In1_1"));
        Out = AddDetail<TKorOutput>(220, 20, QStringLiteral("Out_1"));
    }
    void Execute() override { Out->SetValue(In->Value() + KnobValue()); }
    int KnobValue() const { return FKnob; }
    void SetKnobValue(int v) { FKnob = v; }
    bool ButtonDown() const { return FDown; }
    void SetButtonDown(bool v) { FDown = v; }
    QString Note() const { return FNote; }
    void SetNote(const QString &s) { FNote = s; }
    TKorInput *In = nullptr;
    TKorOutput *Out = nullptr;

private:
    int FKnob = 0;
    bool FDown = false;
    QString FNote;
};

// Counts its ticks and raises "Integer overflow" on each of them, the way an arithmetic
// module does when its result leaves 32 bits.
class TKorTestThrower : public TKorModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorTestThrower() = default;
    void Execute() override
    {
        ++Ticks;
        static_cast<void>(Checked::Add(std::numeric_limits<int32_t>::max(), 1));
    }
    int Ticks = 0;
};

// Registers the test modules with the class registry (patch files create them by name).
inline void RegisterTestModules()
{
    RegisterModuleClasses({&ClassOf<TKorTestSource>(), &ClassOf<TKorTestThrough>(), &ClassOf<TKorTestMidi>(),
                           &ClassOf<TKorTestSettings>()});
}

// A module carrying one probe at (100, 10), 30 x 20.
class TKorTestProbed : public TKorModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorTestProbed() = default;
    void CreateDetails() override
    {
        TKorModule::CreateDetails();
        Probe = AddDetail<TKorTestProbe>(100, 10, QStringLiteral("Probe"));
        Probe->SetWidth(30);
        Probe->SetHeight(20);
    }
    TKorTestProbe *Probe = nullptr;
};
