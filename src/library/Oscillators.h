// Free-running oscillators: square, sine, saw, random and random-pulse generators that take
// one step per tick, on a shared base that owns the period counter, the panel and the modulation.
#pragma once

#include "PanelKit.h"

#include <utility>

// Base of every oscillator, free-running or clocked: owns (as panel children) the frequency and
// amplitude knobs, the range and symmetric buttons, the lamp, "Out", "Sync", "InFmMod" and
// "InAmMod"; the run button is added by each concrete class. Execute runs on the tick thread
// and allocates nothing; building, handlers and properties run on the user-interface thread.
class TKorOscillator : public TKorCustomModule {
    Q_OBJECT
    Q_PROPERTY(int Range READ Range WRITE SetRange)
    Q_PROPERTY(int KnobFreqValue READ KnobFreqValue WRITE SetKnobFreqValue)
    Q_PROPERTY(int KnobAmpValue READ KnobAmpValue WRITE SetKnobAmpValue)
    Q_PROPERTY(bool ButtonDown READ ButtonDown WRITE SetButtonDown)
    Q_PROPERTY(bool ButSymDown READ ButSymDown WRITE SetButSymDown)
public:
    void CreateDetails() override;
    void Execute() override;

    // The frequency knob's change handler: the base period from a knob position.
    virtual void KnobFreqChange(TKorKnob *Sender, int32_t Value);
    // 1 = milliseconds, 2 = seconds, 3 = minutes; other values keep the knob as it is.
    virtual void SetRange(int32_t Value);
    // Writes "Out" from the counter, period and amplitude of this tick.
    virtual void ComputeOutput() = 0;

    int32_t Range() const { return FRange; }
    int32_t KnobFreqValue() const { return FFreqKnob->Position(); }
    void SetKnobFreqValue(int32_t v) { FFreqKnob->SetPosition(v); }
    int32_t KnobAmpValue() const { return FAmpKnob->Position(); }
    void SetKnobAmpValue(int32_t v) { FAmpKnob->SetPosition(v); }
    bool ButtonDown() const { return FRunButton->Down(); }
    void SetButtonDown(bool v) { FRunButton->SetDown(v); }
    bool ButSymDown() const { return FSymButton->Down(); }
    void SetButSymDown(bool v) { FSymButton->SetDown(v); }

    int32_t Counter() const { return FCounter; }
    int32_t BasePeriod() const { return FBasePeriod; }
    int32_t Period() const { return FPeriod; }
    int32_t Amplitude() const { return FAmplitude; }
    bool Running() const { return FRunning; }
    bool IsSymmetric() const { return FSymmetric; }

    TKorOutput *Out() const { return FOut; }
    TKorInput *SyncInput() const { return FSync; }
    TKorInput *FmInput() const { return FFmMod; }
    TKorInput *AmInput() const { return FAmMod; }
    TKorKnob *FreqKnob() const { return FFreqKnob; }
    TKorKnob *AmpKnob() const { return FAmpKnob; }
    TKorPushButton *RunButton() const { return FRunButton; }
    TKorPushButton *SymButton() const { return FSymButton; }
    TKorPushButton *RangeButton() const { return FRangeButton; }
    TKorLed *Lamp() const { return FLamp; }
    TKorTextLabel *SyncLabel() const { return FSyncLabel; }
    TKorTextLabel *UnitLabel() const { return FUnitLabel; }

protected:
    TKorOscillator() = default;

    // The run button at (5, 20) with its waveform picture, pressed; it copies its state into
    // running.
    void AddRunButton(const QString &picture);
    // The shape control of the square and random waves: a modulation input at (69, 30) with
    // its caption above, and a knob knobMin .. 99 at (162, 18) whose position its handler
    // copies into setting (a field of the module, so it lives as long as the knob); the knob
    // stands for `property`.
    std::pair<TKorInput *, TKorKnob *> AddShapeControl(const QString &inputName, const QString &caption,
                                                       int32_t knobMin, int32_t &setting, const char *property);

    // Steps of a tick shared by both families: period and amplitude after modulation, lamp.
    void Modulate();
    void UpdateLamp();

    // The waveforms, written into "Out" from counter, period and amplitude. Square widths
    // come unlimited from SquareWidth so that each family confines them its own way.
    int32_t SquareWidth(const TKorInput *pwMod, int32_t widthSetting) const;
    void SquareOut(int32_t width);
    void SineOut();
    void SawOut();
    void RandomOut(const TKorInput *colorMod, int32_t colorSetting);
    void RndPulseOut();
    // The value of the low half of a wave: the negated amplitude, or 0 when asymmetric.
    int32_t LowLevel() const;

    TKorOutput *FOut = nullptr;
    TKorInput *FSync = nullptr, *FFmMod = nullptr, *FAmMod = nullptr;
    TKorTextLabel *FSyncLabel = nullptr, *FUnitLabel = nullptr;
    TKorKnob *FFreqKnob = nullptr, *FAmpKnob = nullptr;
    TKorPushButton *FRunButton = nullptr, *FSymButton = nullptr, *FRangeButton = nullptr;
    TKorLed *FLamp = nullptr;

    bool FRunning = false;
    bool FSymmetric = false;
    int32_t FCounter = 0;
    int32_t FBasePeriod = 0;
    int32_t FPeriod = 50;
    int32_t FAmplitude = 0;
    int32_t FAmpSetting = 0;
    int32_t FPrevSync = 0;
    int32_t FRange = 0;
};

// Pulse wave: high while the counter is within the width (percent of the period, or set by
// "InPwMod"). Owns the width knob and "InPwMod"; thread rules as its base.
class TKorSquare : public TKorOscillator {
    Q_OBJECT
    Q_PROPERTY(int KnobWidthValue READ KnobWidthValue WRITE SetKnobWidthValue)
public:
    Q_INVOKABLE TKorSquare() = default;
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

// Sine wave over one period. Owns only its run button; thread rules as its base.
class TKorSine : public TKorOscillator {
    Q_OBJECT
public:
    Q_INVOKABLE TKorSine() = default;
    void CreateDetails() override;
    void ComputeOutput() override { SineOut(); }
};

// Rising saw over one period. Owns only its run button; thread rules as its base.
class TKorSaw : public TKorOscillator {
    Q_OBJECT
public:
    Q_INVOKABLE TKorSaw() = default;
    void CreateDetails() override;
    void ComputeOutput() override { SawOut(); }
};

// A new random value once per period, smoothed with the previous one by the colour (percent).
// Owns the colour knob and "InColorMod"; thread rules as its base.
class TKorRandom : public TKorOscillator {
    Q_OBJECT
    Q_PROPERTY(int KnobColor READ KnobColor WRITE SetKnobColor)
public:
    Q_INVOKABLE TKorRandom() = default;
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

// Toggles between high and low after random lengths of 1 .. period ticks. Owns only its run
// button; thread rules as its base.
class TKorRndPulse : public TKorOscillator {
    Q_OBJECT
public:
    Q_INVOKABLE TKorRndPulse() = default;
    void CreateDetails() override;
    void ComputeOutput() override { RndPulseOut(); }
};
