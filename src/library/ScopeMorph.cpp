#include "ScopeMorph.h"

#include "Checked.h"

#include <algorithm>

namespace {
constexpr int32_t ConnectorPitch = 20;
} // namespace

void TKorScope::CreateDetails()
{
    TKorCustomModule::CreateDetails();
    SetHeight(Checked::Mul(Height(), 4));
    FGraph = AddDetail<TKorGraphSheet>(45, 25);
    FGraph->SetWidth(Checked::Sub(Width(), 60));
    FGraph->SetHeight(Checked::Sub(Height(), 40));
    // One point per pixel column: a sweep is as many ticks long as the graph is wide. The
    // scale puts the last index on the right edge, so the trace fills the width without gaps
    // (a per-mille X would skip columns where it rounds).
    FGraph->SetCount(FGraph->Width());
    FGraph->SetXScale(Round(1000000.0 / std::max(FGraph->Count() - 1, 1)));
    FInp = AddInput(*this, 9, 85, QStringLiteral("Inp"), Symmetric);
    FTrig = AddInput(*this, 9, 105, QStringLiteral("Trig"), Logic);
    FSenseKnob = AddKnobWithViewer(*this, {5, 25}, 0, {8, 45}, {0, 10000, 40, 1000, "SenseValue"});
    FSenseKnob->SetOnChange([this](TKorKnob *, int32_t position) { FSense = position; });
}

void TKorScope::Execute()
{
    const int32_t trigger = FTrig->Value();
    const int32_t n = FGraph->Count();
    if (!FSweeping) {
        FSweeping = trigger > 0 && FPreviousTrigger < 1;
        if (FSweeping)
            FX = 0;
    }
    if (FSweeping) {
        // The tick that finds the sweep complete still draws its sample, at the first point.
        if (FX < 0 || FX >= n) {
            FX = 0;
            FSweeping = false;
        }
        FGraph->SetPoint(FX, {FX, Checked::Mul(FInp->Value(), FSense) / 1000});
        FX = Checked::Add(FX, 1);
    }
    FPreviousTrigger = trigger;
}

void TKorMorph::CreateDetails()
{
    TKorCustomModule::CreateDetails();
    SetHeight(Checked::Mul(Height(), 2));
    for (int k = 1; k <= PairCount; ++k)
        FFirst[size_t(k - 1)] =
            AddInput(*this, 8 + ConnectorPitch * (k - 1), 23, QStringLiteral("In1_%1").arg(k), Symmetric);
    for (int k = 1; k <= PairCount; ++k)
        FSecond[size_t(k - 1)] =
            AddInput(*this, 8 + ConnectorPitch * (k - 1), 48, QStringLiteral("In2_%1").arg(k), Symmetric);
    FSelect = AddInput(*this, 228, 48, QStringLiteral("InSelect"), Symmetric);
    for (int k = 1; k <= PairCount; ++k)
        FOut[size_t(k - 1)] =
            AddOutput(*this, 8 + ConnectorPitch * (k - 1), 73, QStringLiteral("Out_%1").arg(k), Symmetric);
}

void TKorMorph::Execute()
{
    const double m = FSelect->IsConnected() ? FSelect->Value() / 2000.0 + 0.5 : 0.5;
    for (size_t k = 0; k < FOut.size(); ++k)
        FOut[k]->SetValue(Round(FFirst[k]->Value() * m + FSecond[k]->Value() * (1 - m)));
}
