// MIDI clock modules: timing clock, start, stop and continue sent from logic signals, and the
// clock of another instrument received as pulses, beats, run state and tempo.
#pragma once

#include "PanelKit.h"

#include <array>
#include <atomic>

// MIDI system real-time status bytes.
enum TMidiRealTime : uint8_t {
    MidiTimingClock = 0xF8,
    MidiStart = 0xFA,
    MidiContinue = 0xFB,
    MidiStop = 0xFC,
};

// When, in milliseconds on the host's own time line, the MIDI message now being handed to the
// patches arrived. The host sets it before it hands each message over (the desktop program from
// the input port's time stamp, a render from the file's time); any thread may read it.
void SetMidiArrivalTime(int64_t ms);
int64_t MidiArrivalTime();

// Sends one timing clock per rising edge at "Clock"; a rising "Run" sends start (or continue
// with the button down), a falling one stop. With nothing wired to "Run", the module starts
// with its first tick and stops when the run or its sheet stops or it is freed (Silence). Start goes out
// before the clock of the same tick. Owns its panel. Execute runs on the tick thread,
// allocates nothing and sends only on edges; the handlers run on the user-interface thread
// under the patch lock.
class TKorClockOut : public TKorMidiBaseModule {
    Q_OBJECT
    Q_PROPERTY(bool ButtonContinueDown READ ButtonContinueDown WRITE SetButtonContinueDown)
public:
    Q_INVOKABLE TKorClockOut() = default;
    void CreateDetails() override;
    void Execute() override;
    void Silence() override;

    bool ButtonContinueDown() const { return FContinueButton->Down(); }
    void SetButtonContinueDown(bool v) { FContinueButton->SetDown(v); }

    // Whether the receiver was last told to run.
    bool Running() const { return FRunning; }
    TKorInput *InClock() const { return FInClock; }
    TKorInput *InRun() const { return FInRun; }
    TKorPushButton *ContinueButton() const { return FContinueButton; }
    TKorLed *Lamp() const { return FLamp; }

private:
    TKorInput *FInClock = nullptr, *FInRun = nullptr;
    TKorPushButton *FContinueButton = nullptr;
    TKorLed *FLamp = nullptr;
    bool FContinue = false;
    bool FRunning = false;
    bool FClockHigh = false;
};

// The clock of another instrument as signals. ShortMidiIn (user-interface thread, under the
// patch lock) notes what arrived; the next tick shows it: "Clock" 1000 for the tick after any
// timing clock, "Beat" 1000 for the tick after the first clock following start and after every
// 24th clock from there, "Run" 1000 from start or continue until stop, "Tempo" the tempo in
// tenths of a beat per minute measured over the last 24 clocks of the run (0 while stopped and
// until two clocks of the run arrived). Several clocks between two ticks make one pulse. Owns its panel and a
// fixed history of arrival times; Execute allocates nothing.
class TKorClockIn : public TKorMidiBaseModule {
    Q_OBJECT
public:
    static constexpr int32_t ClocksPerBeat = 24;

    Q_INVOKABLE TKorClockIn() = default;
    void CreateDetails() override;
    void ShortMidiIn(uint32_t Msg) override;
    void Execute() override;

    TKorOutput *OutClock() const { return FOutClock; }
    TKorOutput *OutBeat() const { return FOutBeat; }
    TKorOutput *OutRun() const { return FOutRun; }
    TKorOutput *OutTempo() const { return FOutTempo; }
    // Lit for the first half of each beat while running.
    TKorLed *Lamp() const { return FLamp; }

private:
    int32_t Tempo() const;

    TKorOutput *FOutClock = nullptr, *FOutBeat = nullptr, *FOutRun = nullptr, *FOutTempo = nullptr;
    TKorLed *FLamp = nullptr;
    bool FClockSeen = false, FBeatSeen = false, FRunning = false;
    int32_t FCount = -1; // clocks since start; -1 before the first start
    // Arrival times of the latest clocks, a ring of ClocksPerBeat + 1 (24 intervals).
    std::array<int64_t, ClocksPerBeat + 1> FTimes{};
    int32_t FTimesHeld = 0, FNewest = 0;
};
