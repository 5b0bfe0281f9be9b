// The scope, which draws one input as a trace a sample per tick, and the morph, which
// crossfades two banks of eleven inputs.
#pragma once

#include "PanelKit.h"

#include <array>

// Draws "Inp" (times the sense per mille) on its graph, one sample per tick: a rising edge on
// "Trig" starts a sweep that stores sample i as point i, at X = i, and the graph's horizontal
// scale stretches the sweep across its whole width; triggers during a sweep are ignored, and
// the trace stays until the next sweep overwrites it. Four rack rows.
// Owned by its sheet; owns its panel details. Execute runs on the tick thread and allocates
// nothing (the graph only stores each point and queues the repaint of its pixel); building,
// the knob handler and the property setter run on the user-interface thread under the patch lock.
class TKorScope : public TKorCustomModule {
    Q_OBJECT
    Q_PROPERTY(int SenseValue READ SenseValue WRITE SetSenseValue)
public:
    Q_INVOKABLE TKorScope() = default;
    void CreateDetails() override;
    // Raises EIntOverflow when "Inp" times the sense leaves 32 bits.
    void Execute() override;

    int SenseValue() const { return FSenseKnob->Position(); }
    void SetSenseValue(int v) { FSenseKnob->SetPosition(v); }

    TKorInput *Inp() const { return FInp; }
    TKorInput *Trig() const { return FTrig; }
    TKorGraphSheet *Graph() const { return FGraph; }
    TKorKnob *SenseKnob() const { return FSenseKnob; }
    int32_t Sense() const { return FSense; }
    bool Sweeping() const { return FSweeping; }
    // The point the next sample of a sweep goes to.
    int32_t SampleIndex() const { return FX; }

private:
    TKorInput *FInp = nullptr;
    TKorInput *FTrig = nullptr;
    TKorGraphSheet *FGraph = nullptr;
    TKorKnob *FSenseKnob = nullptr;
    int32_t FSense = 1000; // copy of the sense knob, so the tick reads a plain field
    bool FSweeping = false;
    int32_t FX = 0;
    int32_t FPreviousTrigger = 0;
};

// Crossfades the first bank "In1_k" into the second "In2_k", pair by pair, onto "Out_k":
// "InSelect" at +1000 gives the first bank, at -1000 the second, unwired the rounded mean;
// values beyond that range extrapolate. Two rack rows, every connector symmetric.
// Owned by its sheet; owns its connectors. Execute runs on the tick thread and allocates
// nothing; building runs on the user-interface thread.
class TKorMorph : public TKorCustomModule {
    Q_OBJECT
public:
    static constexpr int PairCount = 11;

    Q_INVOKABLE TKorMorph() = default;
    void CreateDetails() override;
    // Raises EIntOverflow when an extrapolated output leaves 32 bits.
    void Execute() override;

    // k counts from 1, as the connector names do.
    TKorInput *First(int k) const { return FFirst[size_t(k - 1)]; }
    TKorInput *Second(int k) const { return FSecond[size_t(k - 1)]; }
    TKorOutput *Out(int k) const { return FOut[size_t(k - 1)]; }
    TKorInput *Select() const { return FSelect; }

private:
    std::array<TKorInput *, PairCount> FFirst{}, FSecond{};
    std::array<TKorOutput *, PairCount> FOut{};
    TKorInput *FSelect = nullptr;
};
