// Clocked oscillators: the waveforms of the free-running family, advanced by the edges of a
// clock on "Sync" instead of by ticks, so that periods count clock edges.
#pragma once

#include "Oscillators.h"

// Base of the clocked oscillators: the free-running panel with "Sync" captioned "clk" and a
// frequency knob of 1 .. 250 edges that Range multiplies by 1, 100 or 10 000. Owns nothing
// beyond its base. Execute runs on the tick thread and allocates nothing; the rest runs on
// the user-interface thread.
class TKorClockedOscillator : public TKorOscillator {
    Q_OBJECT
public:
    void CreateDetails() override;
    void Execute() override;
    void KnobFreqChange(TKorKnob *Sender, int32_t Value) override;
    void SetRange(int32_t Value) override;

protected:
    TKorClockedOscillator() = default;
};

// Pulse wave whose width keeps at least two steps high and one low. Owns the width knob and
// "InPwMod"; thread rules as its base.
class TKorClSquare : public TKorClockedOscillator {
    Q_OBJECT
    Q_PROPERTY(int KnobWidthValue READ KnobWidthValue WRITE SetKnobWidthValue)
public:
    Q_INVOKABLE TKorClSquare() = default;
    void CreateDetails() override;
    void ComputeOutput() override;
    int32_t KnobWidthValue() const { return FWidthKnob->Position(); }
    void SetKnobWidthValue(int32_t v) { FWidthKnob->SetPosition(v); }
    TKorInput *PwInput() const { return FPwMod; }

private:
    TKorKnob *FWidthKnob = nullptr;
    TKorInput *FPwMod = nullptr;
    int32_t FWidth = 0;
};

// Sine wave over one period of clock edges. Owns only its run button; thread rules as its base.
class TKorClSine : public TKorClockedOscillator {
    Q_OBJECT
public:
    Q_INVOKABLE TKorClSine() = default;
    void CreateDetails() override;
    void ComputeOutput() override { SineOut(); }
};

// Rising saw over one period of clock edges. Owns only its run button; thread rules as its base.
class TKorClSaw : public TKorClockedOscillator {
    Q_OBJECT
public:
    Q_INVOKABLE TKorClSaw() = default;
    void CreateDetails() override;
    void ComputeOutput() override { SawOut(); }
};

// A new smoothed random value once per period of clock edges. Owns the colour knob and
// "InColorMod"; thread rules as its base.
class TKorClRandom : public TKorClockedOscillator {
    Q_OBJECT
    Q_PROPERTY(int KnobColor READ KnobColor WRITE SetKnobColor)
public:
    Q_INVOKABLE TKorClRandom() = default;
    void CreateDetails() override;
    void ComputeOutput() override { RandomOut(FColorMod, FColor); }
    int32_t KnobColor() const { return FColorKnob->Position(); }
    void SetKnobColor(int32_t v) { FColorKnob->SetPosition(v); }
    TKorInput *ColorInput() const { return FColorMod; }

private:
    TKorKnob *FColorKnob = nullptr;
    TKorInput *FColorMod = nullptr;
    int32_t FColor = 0;
};

// Toggles after random lengths of 1 .. period clock edges. Owns only its run button; thread
// rules as its base.
class TKorClRndPulse : public TKorClockedOscillator {
    Q_OBJECT
public:
    Q_INVOKABLE TKorClRndPulse() = default;
    void CreateDetails() override;
    void ComputeOutput() override { RndPulseOut(); }
};
