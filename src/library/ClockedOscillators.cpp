#include "ClockedOscillators.h"

#include <algorithm>
#include <tuple>

void TKorClockedOscillator::CreateDetails()
{
    // The base ends with SetRange(0), SetRange(1), which reach the clocked SetRange below.
    TKorOscillator::CreateDetails();
    FSyncLabel->SetText(QStringLiteral("clk"));
    FFreqKnob->SetMin(1);
    FFreqKnob->SetMax(250);
    FFreqKnob->SetStep(1);
    FFreqKnob->SetPosition(2);
}

void TKorClockedOscillator::KnobFreqChange(TKorKnob *, int32_t Value)
{
    FBasePeriod = std::max(Value, 1);
    if (FRange == 2)
        FBasePeriod = Checked::Mul(FBasePeriod, 100);
    else if (FRange == 3)
        FBasePeriod = Checked::Mul(FBasePeriod, 10000);
}

void TKorClockedOscillator::SetRange(int32_t Value)
{
    if (Value == FRange)
        return;
    FRange = Value;
    static const char *const Units[] = {"e0", "e2", "e4"}; // powers of ten of the multiplier
    if (Value >= 1 && Value <= 3)
        FUnitLabel->SetText(QString::fromLatin1(Units[Value - 1]));
    // The knob's range stays; only the multiplier changes.
    KnobFreqChange(FFreqKnob, FFreqKnob->Position());
}

void TKorClockedOscillator::Execute()
{
    // Frozen means frozen: not even the clock level is remembered.
    if (!FRunning)
        return;
    const int32_t clock = FSync->Value();
    if ((clock > 0) != (FPrevSync > 0)) {
        Modulate();
        FCounter = FCounter >= 0 && FCounter < FPeriod ? (FCounter + 1) % FPeriod : 0;
        ComputeOutput();
        UpdateLamp();
    }
    FPrevSync = clock;
}

void TKorClSquare::CreateDetails()
{
    TKorClockedOscillator::CreateDetails();
    AddRunButton(QStringLiteral("ClSquare.bmp"));
    std::tie(FPwMod, FWidthKnob) = AddShapeControl(QStringLiteral("InPwMod"), QStringLiteral("pw"), 1, FWidth,
                                                   "KnobWidthValue");
}

void TKorClSquare::ComputeOutput()
{
    // At least two steps high and one low; below three steps the bounds swap (1 .. P - 2).
    const int32_t edge = Checked::Sub(FPeriod, 2);
    SquareOut(std::clamp(SquareWidth(FPwMod, FWidth), std::min(1, edge), std::max(1, edge)));
}

void TKorClSine::CreateDetails()
{
    TKorClockedOscillator::CreateDetails();
    AddRunButton(QStringLiteral("ClSine.bmp"));
}

void TKorClSaw::CreateDetails()
{
    TKorClockedOscillator::CreateDetails();
    AddRunButton(QStringLiteral("ClSaw.bmp"));
}

void TKorClRandom::CreateDetails()
{
    TKorClockedOscillator::CreateDetails();
    AddRunButton(QStringLiteral("ClRandom.bmp"));
    std::tie(FColorMod, FColorKnob) =
        AddShapeControl(QStringLiteral("InColorMod"), QStringLiteral("clr"), 0, FColor, "KnobColor");
}

void TKorClRndPulse::CreateDetails()
{
    TKorClockedOscillator::CreateDetails();
    AddRunButton(QStringLiteral("ClRndPulse.bmp"));
}
