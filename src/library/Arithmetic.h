// Arithmetic modules: a knob-set constant, an amplifier with a clip limit, and the product and
// the quotient of two inputs. Values are signed 32-bit numbers with 1000 as full scale.
#pragma once

#include "PanelKit.h"

// A value set by its knob. "Out" follows the knob at once, even while no patch runs, so the
// module has no per-tick work. Owned by its sheet; owns its panel details. The knob may be
// moved on either thread (the property setter), always under the patch lock when a patch runs.
class TKorConstant : public TKorCustomModule {
    Q_OBJECT
    Q_PROPERTY(int KnobAmpValue READ KnobAmpValue WRITE SetKnobAmpValue)
public:
    Q_INVOKABLE TKorConstant() = default;
    void CreateDetails() override;

    int KnobAmpValue() const { return FValueKnob->Position(); }
    void SetKnobAmpValue(int v) { FValueKnob->SetPosition(v); }

    TKorOutput *Out() const { return FOut; }
    TKorKnob *ValueKnob() const { return FValueKnob; }

private:
    TKorOutput *FOut = nullptr;
    TKorKnob *FValueKnob = nullptr;
};

// "In" confined to a clip limit (the magnitude of "InClip" when it is wired, else the clip
// knob; 0 means everything is cut off), then scaled by the amplitude per mille.
// Owned by its sheet; owns its panel details. Execute runs on the tick thread; the knobs are
// moved on the user-interface thread under the patch lock.
class TKorAmplifier : public TKorCustomModule {
    Q_OBJECT
    Q_PROPERTY(int KnobAmpValue READ KnobAmpValue WRITE SetKnobAmpValue)
    Q_PROPERTY(int KnobClipValue READ KnobClipValue WRITE SetKnobClipValue)
public:
    Q_INVOKABLE TKorAmplifier() = default;
    void CreateDetails() override;
    // Raises EIntOverflow when the clipped input times the amplitude leaves 32 bits.
    void Execute() override;

    int KnobAmpValue() const { return FAmpKnob->Position(); }
    void SetKnobAmpValue(int v) { FAmpKnob->SetPosition(v); }
    int KnobClipValue() const { return FClipKnob->Position(); }
    void SetKnobClipValue(int v) { FClipKnob->SetPosition(v); }

    TKorInput *In() const { return FIn; }
    TKorInput *InClip() const { return FInClip; }
    TKorOutput *Out() const { return FOut; }
    TKorKnob *AmpKnob() const { return FAmpKnob; }
    TKorKnob *ClipKnob() const { return FClipKnob; }

private:
    TKorInput *FIn = nullptr;
    TKorInput *FInClip = nullptr;
    TKorOutput *FOut = nullptr;
    TKorKnob *FAmpKnob = nullptr;
    TKorKnob *FClipKnob = nullptr;
    int32_t FAmplitude = 0; // copy of the amplitude knob, so the tick reads a plain field
};

// "In1" times "In2" times the amplitude, all per mille. Also the panel and the amplitude of
// the divider, which changes only the operator label and the per-tick computation.
// Owned by its sheet; owns its panel details. Execute runs on the tick thread; the knob is
// moved on the user-interface thread under the patch lock.
class TKorMultiplier : public TKorCustomModule {
    Q_OBJECT
    Q_PROPERTY(int KnobAmpValue READ KnobAmpValue WRITE SetKnobAmpValue)
public:
    Q_INVOKABLE TKorMultiplier() = default;
    void CreateDetails() override;
    // Raises EIntOverflow when In1 x amplitude, or that times In2, leaves 32 bits.
    void Execute() override;

    int KnobAmpValue() const { return FAmpKnob->Position(); }
    void SetKnobAmpValue(int v) { FAmpKnob->SetPosition(v); }

    TKorInput *In1() const { return FIn1; }
    TKorInput *In2() const { return FIn2; }
    TKorOutput *Out() const { return FOut; }
    TKorKnob *AmpKnob() const { return FAmpKnob; }
    TKorTextLabel *OperatorLabel() const { return FOperator; }

protected:
    TKorInput *FIn1 = nullptr;
    TKorInput *FIn2 = nullptr;
    TKorOutput *FOut = nullptr;
    TKorKnob *FAmpKnob = nullptr;
    TKorTextLabel *FOperator = nullptr;
    int32_t FAmplitude = 0; // copy of the amplitude knob
};

// "In1" divided by "In2": a quotient of 1 gives the amplitude, so at amplitude 1000 equal
// inputs give full scale; larger quotients give larger values, up to the 32-bit limits.
// A zero divisor gives full scale with the sign of "In1" (0 when "In1" is 0 too).
// Owned by its sheet; owns its panel details; threads as for the multiplier.
class TKorDivider : public TKorMultiplier {
    Q_OBJECT
public:
    Q_INVOKABLE TKorDivider() = default;
    void CreateDetails() override;
    void Execute() override;
};
