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

// Song position pointer, a system common message: two data bytes (low seven bits first) giving
// the position from the top of the song in sixteenth notes.
constexpr uint8_t MidiSongPosition = 0xF2;

// When, in microseconds on the host's own time line, the MIDI message now being handed to the
// patches arrived. The host sets it before it hands each message over (the desktop program from
// the input port's time stamp, a render from the file's time); any thread may read it.
void SetMidiArrivalTimeUs(int64_t us);
int64_t MidiArrivalTimeUs();
// The same in whole milliseconds, for hosts whose time has no finer grain.
void SetMidiArrivalTime(int64_t ms);
int64_t MidiArrivalTime();

// The period of an incoming clock, from the arrival times of its clocks: a least-squares line
// through the latest clocks, up to Capacity of them. A steady sender's clocks fall on a grid of
// its own, each off by a jitter of its own, and a line through many of them finds that grid's
// step far more closely than the span of a few. The window grows from the first clock and is
// cut back when the clocks leave the line: each clock's distance from where the line foretold
// it, in units of the noise the line has seen, feeds a two-sided cumulative sum, and once that
// passes a bound only the clocks since the sum last stood at zero are kept. A clock enters the
// line (and the sums) no further than a few noises from where it was foretold, so that a single
// stray clock neither bends the line nor cuts it; the clocks kept by a cut enter as they came.
// Fixed size; Add allocates nothing.
class TClockPeriod {
public:
    static constexpr int32_t Capacity = 384; // 16 beats of 24 clocks

    // Forgets every clock.
    void Reset();
    // One clock arrived at `us` (microseconds on any steady time line).
    void Add(int64_t us);
    // Microseconds per clock; 0 until two clocks at different times arrived.
    double Period() const { return FPeriod; }
    // The clocks the line is drawn through.
    int32_t Held() const { return FHeld; }

private:
    void Fit();

    // Each clock's arrival, and where it entered the line; rings, FNewest the latest.
    std::array<int64_t, Capacity> FArrived{}, FOnLine{};
    int32_t FHeld = 0, FNewest = 0;
    double FPeriod = 0;
    double FEnd = 0;   // where the line puts the newest clock, relative to its place on the line
    double FNoise = 0; // spread of the clocks around the line (us); 0 until measured
    double FRise = 0, FFall = 0;        // the two sums
    int32_t FRiseFor = 0, FFallFor = 0; // clocks since each sum last stood at zero
};

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
// tenths of a beat per minute from the clocks of the run (TClockPeriod; 0 while stopped and
// until two clocks of the run arrived). A song position pointer sets the place in the beat, so
// that the Beat pulse falls on the sender's next beat. Several clocks between two ticks make one
// pulse. Owns its panel and a fixed history of arrival times; Execute and ShortMidiIn allocate
// nothing.
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
    TKorOutput *FOutClock = nullptr, *FOutBeat = nullptr, *FOutRun = nullptr, *FOutTempo = nullptr;
    TKorLed *FLamp = nullptr;
    bool FClockSeen = false, FBeatSeen = false, FRunning = false;
    int32_t FCount = -1; // clocks of the current beat that went by; -1 before the first start
    int32_t FTempo = 0;
    TClockPeriod FPeriod;
};
