// The neuron module: ten weighted inputs summed and shaped by a chosen output function, with a
// learn input that nudges the weights at random so a patch can adjust its own behaviour.
#pragma once

#include "PanelKit.h"

#include <array>

// One artificial neuron, two rack rows high. Owns its panel (13 connectors, 12 lamps, 11 small
// knobs, the algorithm label and button) and the live weights, which start at the knob
// positions and then drift under learning without moving the knobs.
// Execute (and with it learning) runs on the tick thread and allocates nothing, save the
// one queued label update that repairs an unknown algorithm; building,
// the knob and button handlers and the property setters run on the user-interface thread.
// Both write the weights: the patch lock keeps them apart.
class TKorNeuron : public TKorCustomModule {
    Q_OBJECT
    Q_PROPERTY(int K1 READ K1 WRITE SetK1)
    Q_PROPERTY(int K2 READ K2 WRITE SetK2)
    Q_PROPERTY(int K3 READ K3 WRITE SetK3)
    Q_PROPERTY(int K4 READ K4 WRITE SetK4)
    Q_PROPERTY(int K5 READ K5 WRITE SetK5)
    Q_PROPERTY(int K6 READ K6 WRITE SetK6)
    Q_PROPERTY(int K7 READ K7 WRITE SetK7)
    Q_PROPERTY(int K8 READ K8 WRITE SetK8)
    Q_PROPERTY(int K9 READ K9 WRITE SetK9)
    Q_PROPERTY(int K10 READ K10 WRITE SetK10)
    Q_PROPERTY(int Algorithm READ Algorithm WRITE SetAlgorithm)
    Q_PROPERTY(int KnobParamValue READ KnobParamValue WRITE SetKnobParamValue)
public:
    static constexpr int InputCount = 10;
    enum TAlgorithm : int32_t { Mix = 0, Clip = 1, Neur = 2 };

    Q_INVOKABLE TKorNeuron() = default;
    void CreateDetails() override;
    void Execute() override;

    // Published weight knob positions; the live weights are not saved.
    int K1() const { return WeightKnob(1); }
    int K2() const { return WeightKnob(2); }
    int K3() const { return WeightKnob(3); }
    int K4() const { return WeightKnob(4); }
    int K5() const { return WeightKnob(5); }
    int K6() const { return WeightKnob(6); }
    int K7() const { return WeightKnob(7); }
    int K8() const { return WeightKnob(8); }
    int K9() const { return WeightKnob(9); }
    int K10() const { return WeightKnob(10); }
    void SetK1(int v) { SetWeightKnob(1, v); }
    void SetK2(int v) { SetWeightKnob(2, v); }
    void SetK3(int v) { SetWeightKnob(3, v); }
    void SetK4(int v) { SetWeightKnob(4, v); }
    void SetK5(int v) { SetWeightKnob(5, v); }
    void SetK6(int v) { SetWeightKnob(6, v); }
    void SetK7(int v) { SetWeightKnob(7, v); }
    void SetK8(int v) { SetWeightKnob(8, v); }
    void SetK9(int v) { SetWeightKnob(9, v); }
    void SetK10(int v) { SetWeightKnob(10, v); }

    int Algorithm() const { return FAlgorithm; }
    // Values outside 0 .. 2 are stored but leave the label alone; the next tick resets them to "mix".
    void SetAlgorithm(int v);
    int KnobParamValue() const;
    void SetKnobParamValue(int v);

    // Knob i (1 .. 10) and live weight i, in thousandths.
    int WeightKnob(int i) const;
    void SetWeightKnob(int i, int v);
    int32_t Weight(int i) const { return FWeights[size_t(i - 1)]; }
    int32_t Param() const { return FParam; }
    TKorTextLabel *AlgorithmLabel() const { return FAlgorithmLabel; }
    TKorPushButton *AlgorithmButton() const { return FAlgorithmButton; }
    // Lamps 0 .. 9 above the inputs, 10 above "InLearn" (never lit), 11 above "Out".
    TKorLed *Lamp(int k) const { return FLamps[size_t(k)]; }

private:
    // y for the current algorithm; an unknown algorithm gives the plain sum and becomes "mix".
    int32_t Output(int32_t sum);
    void Learn(int32_t amount);
    void ShowAlgorithm();

    std::array<TKorInput *, InputCount> FInputs{};
    TKorInput *FInLearn = nullptr;
    TKorOutput *FOut = nullptr, *FOutLearn = nullptr;
    std::array<TKorLed *, InputCount + 2> FLamps{};
    std::array<TKorKnob *, InputCount> FWeightKnobs{};
    TKorKnob *FParamKnob = nullptr;
    TKorTextLabel *FAlgorithmLabel = nullptr;
    TKorPushButton *FAlgorithmButton = nullptr;

    std::array<int32_t, InputCount> FWeights{};
    int32_t FAlgorithm = Mix; // building sets "neur"
    int32_t FParam = 500;
    int32_t FPreviousLearn = 0;
};
