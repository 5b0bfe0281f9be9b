// MIDI modules: incoming notes, controllers and bends as values, and values sent as notes,
// controller changes and pitch bends through the sheet's slot.
#pragma once

#include "PanelKit.h"

// Base of the six MIDI modules: owns (as a panel child) the channel knob, which reads 1 .. 16,
// and keeps its position less one as the selected channel 0 .. 15. The knob handler and the
// property run on the user-interface thread under the patch lock; the tick and the incoming
// messages read the copy.
class TKorMidiChannelModule : public TKorMidiBaseModule {
    Q_OBJECT
    Q_PROPERTY(int KnobChValue READ KnobChValue WRITE SetKnobChValue)
public:
    int KnobChValue() const { return FChannelKnob->Position(); }
    void SetKnobChValue(int v) { FChannelKnob->SetPosition(v); }

    int32_t Channel() const { return FChannel; }
    TKorKnob *ChannelKnob() const { return FChannelKnob; }

protected:
    TKorMidiChannelModule() = default;
    // The channel viewer (default width less 15) and knob 1 .. 16 at position 1.
    void AddChannelKnob(QPoint viewerAt, QPoint knobAt);

    TKorKnob *FChannelKnob = nullptr;
    int32_t FChannel = 0;
};

// Note messages of the selected channel as note, gate and velocities (8 units per MIDI step).
// The gate follows the most recent note only: a note-off for an older note leaves it high.
// Owns its panel; no per-tick work. ShortMidiIn runs on the user-interface thread under the
// patch lock; the next tick reads the outputs.
class TKorMidiIn : public TKorMidiChannelModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorMidiIn() = default;
    void CreateDetails() override;
    void ShortMidiIn(uint32_t Msg) override;

    TKorOutput *OutNote() const { return FOutNote; }
    TKorOutput *OutGate() const { return FOutGate; }
    TKorOutput *OutVel() const { return FOutVel; }
    TKorOutput *OutVelOff() const { return FOutVelOff; }
    TKorLed *Lamp() const { return FLamp; }

private:
    TKorOutput *FOutNote = nullptr, *FOutGate = nullptr, *FOutVel = nullptr, *FOutVelOff = nullptr;
    TKorLed *FLamp = nullptr;
};

// Plays "InNote" while "InGate" is high: note-on at the rising gate, note-off at the falling
// one; with the gate-mode button down (retrigger) every new note while the gate is high stops
// the old note and starts the new one. A note-off goes out on the channel its note-on used,
// so a channel change never leaves a note hanging; nor does freeing the module or stopping its
// sheet: Silence sends the note-off with the release velocity of the latest tick. Owns its
// panel and the sounding note. Execute runs on the tick thread, allocates nothing and sends
// only on gate edges and note changes; the handlers run on the user-interface thread under
// the patch lock.
class TKorMidiOut : public TKorMidiChannelModule {
    Q_OBJECT
    Q_PROPERTY(bool ButtonGateDown READ ButtonGateDown WRITE SetButtonGateDown)
public:
    Q_INVOKABLE TKorMidiOut() = default;
    void CreateDetails() override;
    void Execute() override;
    void Silence() override;
    // Silence, and the gate counts as low: still high when the run starts again, it plays the
    // note again.
    void StopRun() override;

    bool ButtonGateDown() const { return FGateButton->Down(); }
    void SetButtonGateDown(bool v) { FGateButton->SetDown(v); }

    bool Retrigger() const { return FRetrigger; }
    // The note now playing, or -1.
    int32_t SoundingNote() const { return FSoundingNote; }
    TKorInput *InNote() const { return FInNote; }
    TKorInput *InGate() const { return FInGate; }
    TKorInput *InVel() const { return FInVel; }
    TKorInput *InVelOff() const { return FInVelOff; }
    TKorInput *InCh() const { return FInCh; }
    TKorPushButton *GateButton() const { return FGateButton; }
    TKorLed *Lamp() const { return FLamp; }

private:
    void NoteOff(int32_t releaseVelocity);

    TKorInput *FInNote = nullptr, *FInGate = nullptr, *FInVel = nullptr, *FInVelOff = nullptr, *FInCh = nullptr;
    TKorPushButton *FGateButton = nullptr;
    TKorLed *FLamp = nullptr;
    bool FRetrigger = false;
    int32_t FSoundingNote = -1;
    int32_t FSoundingChannel = 0;
    int32_t FPrevGate = 0;
    int32_t FRelease = 127; // the release velocity the latest tick read
};

// One controller of the selected channel as a value 0 .. 1016; the lamp toggles with every
// message taken. Owns its panel; no per-tick work; threads as the note input.
class TKorControlIn : public TKorMidiChannelModule {
    Q_OBJECT
    Q_PROPERTY(int KnobCtrValue READ KnobCtrValue WRITE SetKnobCtrValue)
public:
    Q_INVOKABLE TKorControlIn() = default;
    void CreateDetails() override;
    void ShortMidiIn(uint32_t Msg) override;

    int KnobCtrValue() const { return FControllerKnob->Position(); }
    void SetKnobCtrValue(int v) { FControllerKnob->SetPosition(v); }

    int32_t Controller() const { return FController; }
    TKorOutput *Out() const { return FOut; }
    TKorKnob *ControllerKnob() const { return FControllerKnob; }
    TKorLed *Lamp() const { return FLamp; }

private:
    TKorOutput *FOut = nullptr;
    TKorKnob *FControllerKnob = nullptr;
    TKorLed *FLamp = nullptr;
    int32_t FController = 0;
};

// Sends "In" as a control change whenever value, channel or controller differs from what it
// sent last (so a new module sends once on its first tick). Owns its panel. Execute runs on
// the tick thread and allocates nothing; the handlers run on the user-interface thread.
class TKorControlOut : public TKorMidiChannelModule {
    Q_OBJECT
    Q_PROPERTY(int KnobCtrValue READ KnobCtrValue WRITE SetKnobCtrValue)
public:
    Q_INVOKABLE TKorControlOut() = default;
    void CreateDetails() override;
    void Execute() override;

    int KnobCtrValue() const { return FControllerKnob->Position(); }
    void SetKnobCtrValue(int v) { FControllerKnob->SetPosition(v); }

    TKorInput *InCh() const { return FInCh; }
    TKorInput *InCtr() const { return FInCtr; }
    TKorInput *In() const { return FIn; }
    TKorKnob *ControllerKnob() const { return FControllerKnob; }

private:
    TKorInput *FInCh = nullptr, *FInCtr = nullptr, *FIn = nullptr;
    TKorKnob *FControllerKnob = nullptr;
    int32_t FLastValue = 0, FLastChannel = 0, FLastController = 0;
};

// Pitch bends of the selected channel as a symmetric value: -1000 .. 1000 at sense 1000, the
// sense (per mille) narrowing the swing around 0. The lamp toggles every 41st bend taken.
// Owns its panel; no per-tick work; threads as the note input.
class TKorBendIn : public TKorMidiChannelModule {
    Q_OBJECT
    Q_PROPERTY(int KnobSenseValue READ KnobSenseValue WRITE SetKnobSenseValue)
public:
    static constexpr int32_t MessagesPerBlink = 41;

    Q_INVOKABLE TKorBendIn() = default;
    void CreateDetails() override;
    void ShortMidiIn(uint32_t Msg) override;

    int KnobSenseValue() const { return FSenseKnob->Position(); }
    void SetKnobSenseValue(int v) { FSenseKnob->SetPosition(v); }

    int32_t Sense() const { return FSense; }
    TKorOutput *Out() const { return FOut; }
    TKorKnob *SenseKnob() const { return FSenseKnob; }
    TKorLed *Lamp() const { return FLamp; }

private:
    TKorOutput *FOut = nullptr;
    TKorKnob *FSenseKnob = nullptr;
    TKorLed *FLamp = nullptr;
    int32_t FSense = 0;
    int32_t FCounter = 0;
};

// Sends "In" (-1000 .. 1000) as a pitch bend 0 .. 16383 scaled by the sense, whenever bend or
// channel differs from what it sent last. The sense scales the whole range, so below 1000 it
// lowers the centre too. Owns its panel. Execute runs on the tick thread and allocates
// nothing; it raises EIntOverflow when "InSense" times the sense knob leaves 32 bits.
class TKorBendOut : public TKorMidiChannelModule {
    Q_OBJECT
    Q_PROPERTY(int KnobSenseValue READ KnobSenseValue WRITE SetKnobSenseValue)
public:
    Q_INVOKABLE TKorBendOut() = default;
    void CreateDetails() override;
    void Execute() override;

    int KnobSenseValue() const { return FSenseKnob->Position(); }
    void SetKnobSenseValue(int v) { FSenseKnob->SetPosition(v); }

    int32_t Sense() const { return FSense; }
    TKorInput *InCh() const { return FInCh; }
    TKorInput *InSense() const { return FInSense; }
    TKorInput *In() const { return FIn; }
    TKorKnob *SenseKnob() const { return FSenseKnob; }

private:
    TKorInput *FInCh = nullptr, *FInSense = nullptr, *FIn = nullptr;
    TKorKnob *FSenseKnob = nullptr;
    int32_t FSense = 0;
    int32_t FLastBend = 0, FLastChannel = 0;
};
