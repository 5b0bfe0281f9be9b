// Following the time Korvane shares with other programs (an Ableton Link session, the JACK
// transport): its clock, beats, bars, phase, tempo and run as signals, and the patch's own
// tempo and start and stop handed back.
#pragma once

#include "PanelKit.h"
#include "SessionClock.h"

#include <QObject>

// Tells the following modules, on the user-interface thread, that the program chose another
// source (SetSessionClock): their panels name it.
class TSessionClockNews : public QObject {
    Q_OBJECT
signals:
    void Changed();
};
TSessionClockNews &SessionClockNews();

// Reads the session (SessionClock()) once per tick at the tick's deadline, with bars of
// "Quantum" beats. "Clock" is 1000 in the tick whose deadline first reaches one of the 24
// clocks of a beat, "Beat" in the tick that reaches a whole beat, "Bar" in the one that
// reaches the start of a quantum; a tick that reaches two clocks (a tick period longer than a
// clock) gives one pulse. After a jump of the beat time backwards (a start that puts beat 0 at
// this tick, a peer that moves the beats) the tick counts what lies one ordinary tick's
// length before the new position. "Phase" is the place in the quantum, 0-999, "Tempo" tenths
// of a beat per minute, "Run" 1000 while the session plays. A change at a wired "InTempo"
// (tenths, 1 and above) asks the session for that tempo, a rise and fall at a wired "InRun"
// for start and stop. Without a source, or while it has no session, every output is 0 and
// nothing is asked. Execute allocates nothing and takes no lock; the panel's source text is
// set on the user-interface thread when the source changes.
class TKorLink : public TKorCustomModule {
    Q_OBJECT
    Q_PROPERTY(int KnobQuantumValue READ KnobQuantumValue WRITE SetKnobQuantumValue)
public:
    static constexpr int32_t ClocksPerBeat = 24;

    Q_INVOKABLE TKorLink() = default;
    void CreateDetails() override;
    void Execute() override;

    int KnobQuantumValue() const { return FQuantumKnob->Position(); }
    void SetKnobQuantumValue(int v) { FQuantumKnob->SetPosition(v); }

    TKorOutput *OutClock() const { return FOutClock; }
    TKorOutput *OutBeat() const { return FOutBeat; }
    TKorOutput *OutBar() const { return FOutBar; }
    TKorOutput *OutPhase() const { return FOutPhase; }
    TKorOutput *OutTempo() const { return FOutTempo; }
    TKorOutput *OutRun() const { return FOutRun; }
    TKorInput *InTempo() const { return FInTempo; }
    TKorInput *InRun() const { return FInRun; }
    TKorKnob *QuantumKnob() const { return FQuantumKnob; }
    // The source's name, or "Link off".
    TKorTextLabel *SourceLabel() const { return FSourceLabel; }
    // Lit for the first half of every beat.
    TKorLed *Lamp() const { return FLamp; }

private:
    void ShowSource();
    void Request(TKorSessionClock &clock);
    void Show(const TSessionPosition &at);
    void Rest();

    TKorOutput *FOutClock = nullptr, *FOutBeat = nullptr, *FOutBar = nullptr, *FOutPhase = nullptr,
               *FOutTempo = nullptr, *FOutRun = nullptr;
    TKorInput *FInTempo = nullptr, *FInRun = nullptr;
    TKorKnob *FQuantumKnob = nullptr;
    TKorTextLabel *FSourceLabel = nullptr;
    TKorLed *FLamp = nullptr;
    int32_t FQuantum = 4;
    // The beat time and quantum of the last tick that followed a session, and how far an
    // ordinary tick went.
    bool FFollowing = false;
    double FLastBeat = 0, FLastQuantum = 0, FTickSpan = 0;
    // What the inputs last asked of a source.
    int32_t FAskedTempo = 0;
    bool FAskedRun = false;
};
