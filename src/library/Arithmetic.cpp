#include "Arithmetic.h"

#include "Checked.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace {

// Keeps `field` equal to the knob's position from now on (the handler runs once at once).
void KeepPosition(TKorKnob *knob, int32_t &field)
{
    knob->SetOnChange([&field](TKorKnob *, int32_t position) { field = position; });
}

} // namespace

void TKorConstant::CreateDetails()
{
    TKorCustomModule::CreateDetails();
    FOut = AddOutput(*this, 227, 30, QStringLiteral("Out"), Symmetric);
    FValueKnob = AddKnobWithViewer(*this, {190, 2}, -2, {193, 18}, {-1000, 1000, 4, 750, "KnobAmpValue"});
    FValueKnob->SetOnChange([this](TKorKnob *, int32_t position) { FOut->SetValue(position); });
    // Once more, so Out holds the knob's value however the handler was run while building.
    FOut->SetValue(FValueKnob->Position());
}

void TKorAmplifier::CreateDetails()
{
    TKorCustomModule::CreateDetails();
    FIn = AddInput(*this, 8, 30, QStringLiteral("In"), Symmetric);
    AddLabel(*this, 10, 14, QStringLiteral("in"));
    FInClip = AddInput(*this, 30, 30, QStringLiteral("InClip"), Symmetric);
    AddLabel(*this, 29, 14, QStringLiteral("clip"));
    FOut = AddOutput(*this, 227, 30, QStringLiteral("Out"), Symmetric);
    FAmpKnob = AddKnobWithViewer(*this, {186, 2}, 6, {193, 18}, {-10000, 10000, 40, 750, "KnobAmpValue"});
    KeepPosition(FAmpKnob, FAmplitude);
    FClipKnob = AddKnobWithViewer(*this, {96, 2}, -2, {99, 18}, {0, 1000, 4, 0, "KnobClipValue"});
    // A limit of 0 cuts everything off; the viewer says so instead of showing the number.
    FClipKnob->SetOnChange([](TKorKnob *knob, int32_t position) {
        if (position == 0)
            knob->Viewer()->SetText(QStringLiteral("Off"));
    });
}

void TKorAmplifier::Execute()
{
    // The limit is kept in 64 bits: the magnitude of the most negative input does not fit 32.
    const int64_t limit = FInClip->IsConnected() ? std::abs(int64_t(FInClip->Value())) : FClipKnob->Position();
    const auto clipped = int32_t(std::clamp<int64_t>(FIn->Value(), -limit, limit));
    FOut->SetValue(Round(Checked::Mul(clipped, FAmplitude) / 1000.0));
}

void TKorMultiplier::CreateDetails()
{
    TKorCustomModule::CreateDetails();
    FIn1 = AddInput(*this, 8, 30, QStringLiteral("In1"), Symmetric);
    FOperator = AddLabel(*this, 15, 14, QStringLiteral("1 x 2"));
    FIn2 = AddInput(*this, 30, 30, QStringLiteral("In2"), Symmetric);
    FOut = AddOutput(*this, 227, 30, QStringLiteral("Out"), Symmetric);
    FAmpKnob = AddKnobWithViewer(*this, {190, 2}, -2, {193, 18}, {-1000, 1000, 4, 750, "KnobAmpValue"});
    KeepPosition(FAmpKnob, FAmplitude);
}

void TKorMultiplier::Execute()
{
    const int32_t product = Checked::Mul(Checked::Mul(FIn1->Value(), FAmplitude), FIn2->Value());
    FOut->SetValue(Round(product / 1000000.0));
}

void TKorDivider::CreateDetails()
{
    TKorMultiplier::CreateDetails();
    FOperator->SetText(QStringLiteral("1 / 2"));
}

void TKorDivider::Execute()
{
    const int32_t a = FIn1->Value(), b = FIn2->Value();
    if (b == 0) {
        FOut->SetValue(a > 0 ? 1000 : a < 0 ? -1000 : 0);
        return;
    }
    // a x amplitude is exact in a double, so the single division rounds once and a quotient
    // that lies exactly halfway between two integers really ties (to even, in Round).
    const double scaled = double(a) * FAmplitude / b;
    constexpr double Lowest = std::numeric_limits<int32_t>::min(), Highest = std::numeric_limits<int32_t>::max();
    FOut->SetValue(Round(std::clamp(scaled, Lowest, Highest)));
}
