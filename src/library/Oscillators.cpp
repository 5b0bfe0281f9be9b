#include "Oscillators.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <tuple>

void TKorOscillator::CreateDetails()
{
    TKorCustomModule::CreateDetails();
    FOut = AddOutput(*this, 227, 30, QStringLiteral("Out"), TSignalKind::Symmetric);
    FSync = AddInput(*this, 35, 30, QStringLiteral("Sync"), TSignalKind::Logic);
    FSyncLabel = AddLabel(*this, 35, 14, QStringLiteral("snc"));
    FFmMod = AddInput(*this, 52, 30, QStringLiteral("InFmMod"), TSignalKind::Symmetric);
    AddLabel(*this, 54, 14, QStringLiteral("fm"));
    FAmMod = AddInput(*this, 86, 30, QStringLiteral("InAmMod"), TSignalKind::Symmetric);
    AddLabel(*this, 86, 14, QStringLiteral("am"));
    FFreqKnob = AddKnobWithViewer(*this, {110, 2}, -2, {112, 18}, {60, 6000000, 60, 500, "KnobFreqValue"});
    FUnitLabel = AddLabel(*this, 142, 21, QStringLiteral("ms"));
    FRangeButton = AddButton(*this, 142, 32, {.Picture = {}, .Width = 15, .Height = 15, .AllowAllUp = true});
    FAmpKnob = AddKnobWithViewer(*this, {188, 2}, -2, {192, 18}, {-1000, 1000, 4, 750, "KnobAmpValue"});
    FLamp = AddLamp(*this, 230, 20);
    FSymButton = AddButton(*this, 222, 2,
                           {.Picture = QStringLiteral("Sym.bmp"), .Height = 15, .AllowAllUp = true, .Down = true,
                            .Property = "ButSymDown"});

    FCounter = 0;
    FPeriod = 50;
    FFreqKnob->SetOnChange([this](TKorKnob *Sender, int32_t Value) { KnobFreqChange(Sender, Value); });
    FAmpKnob->SetOnChange([this](TKorKnob *, int32_t Value) { FAmpSetting = Value; });
    FRunning = false;
    FSymButton->SetOnChange([this](TKorPushButton *, bool Down) {
        FSymmetric = Down;
        FOut->SetKind(Down ? TSignalKind::Symmetric : TSignalKind::Asymmetric);
    });
    FRangeButton->SetOnClick([this](TKorPushButton *Sender) {
        Sender->SetDown(false);
        SetRange(FRange % 3 + 1);
    });
    // From 0, so that Range 1 applies its knob range and label whatever came before.
    SetRange(0);
    SetRange(1);
}

void TKorOscillator::AddRunButton(const QString &picture)
{
    FRunButton = AddButton(*this, 5, 20, {.Picture = picture, .AllowAllUp = true, .Down = true, .Property = "ButtonDown"});
    FRunButton->SetOnChange([this](TKorPushButton *, bool Down) { FRunning = Down; });
}

std::pair<TKorInput *, TKorKnob *> TKorOscillator::AddShapeControl(const QString &inputName, const QString &caption,
                                                                   int32_t knobMin, int32_t &setting,
                                                                   const char *property)
{
    TKorInput *input = AddInput(*this, 69, 30, inputName, TSignalKind::Symmetric);
    AddLabel(*this, 69, 14, caption);
    TKorKnob *knob = AddKnobWithViewer(*this, {165, 2}, -15, {162, 18}, {knobMin, 99, 1, 50, property});
    knob->SetOnChange([&setting](TKorKnob *, int32_t Value) { setting = Value; });
    return {input, knob};
}

void TKorOscillator::KnobFreqChange(TKorKnob *, int32_t Value)
{
    // The knob reads milliseconds, seconds or minutes; a tick lasts 20 ms.
    double t = Value / 20.0;
    if (t <= 0)
        t = 1;
    switch (FRange) {
    case 1: FBasePeriod = Round(t); break;
    case 2: FBasePeriod = Round(t * 1000); break;
    case 3: FBasePeriod = Round(t * 60000); break;
    default: break;
    }
}

void TKorOscillator::SetRange(int32_t Value)
{
    if (Value == FRange)
        return;
    FRange = Value;
    struct TRangeSetting {
        int32_t Min, Max, Step;
        const char *Unit;
    };
    static constexpr TRangeSetting Settings[] = {{60, 4500, 30, "ms"}, {2, 150, 1, " s"}, {1, 250, 1, " m"}};
    if (Value < 1 || Value > 3)
        return;
    const TRangeSetting &s = Settings[Value - 1];
    // Each bound clamps the position and runs KnobFreqChange, so the base period follows.
    FFreqKnob->SetMin(s.Min);
    FFreqKnob->SetMax(s.Max);
    FFreqKnob->SetStep(s.Step);
    FUnitLabel->SetText(QString::fromLatin1(s.Unit));
}

void TKorOscillator::Modulate()
{
    if (FFmMod->IsConnected()) {
        const int32_t f = std::max(Checked::Add(FFmMod->Value(), 1000), 1);
        // In floating point: a clocked base period of up to 2 500 000 edges times 1000 leaves
        // 32 bits, and an overflow on every edge would silence the module for good. The
        // period saturates at the longest one a counter can hold.
        constexpr double Longest = std::numeric_limits<int32_t>::max();
        FPeriod = Round(std::min(FBasePeriod * 1000.0 / f, Longest));
    } else {
        FPeriod = FBasePeriod;
    }
    FPeriod = std::max(FPeriod, 1);
    FAmplitude = FAmMod->IsConnected() ? Checked::Mul(FAmMod->Value(), FAmpSetting) / 1000 : FAmpSetting;
}

void TKorOscillator::UpdateLamp()
{
    const int32_t out = FOut->Value();
    FLamp->SetOn(FSymmetric ? out > 0 : out > FAmplitude / 2);
}

void TKorOscillator::Execute()
{
    if (!FRunning)
        return;
    Modulate();
    FCounter = Checked::Add(FCounter, 1);
    if (FCounter < 0 || FCounter >= FPeriod)
        FCounter = 0;
    const int32_t sync = FSync->Value();
    if (sync > 0 && FPrevSync <= 0)
        FCounter = 0;
    FPrevSync = sync;
    ComputeOutput();
    UpdateLamp();
}

int32_t TKorOscillator::LowLevel() const
{
    return FSymmetric ? Checked::Sub(0, FAmplitude) : 0;
}

int32_t TKorOscillator::SquareWidth(const TKorInput *pwMod, int32_t widthSetting) const
{
    // In 64 bits: the longest periods (up to the largest counter, after FM) times a width
    // of up to 99 leave 32 bits; the width itself, below the period, always fits.
    if (!pwMod->IsConnected())
        return int32_t(int64_t(FPeriod) * widthSetting / 100);
    // The span in floating point for the same reason as the modulated period; a width beyond
    // the period only keeps the output high.
    const double span = double(Checked::Add(pwMod->Value(), 1000)) * FPeriod;
    constexpr double Widest = std::numeric_limits<int32_t>::max();
    return Round(std::clamp(span / 2000.0 * (widthSetting / 100.0), -Widest, Widest));
}

void TKorOscillator::SquareOut(int32_t width)
{
    FOut->SetValue(FCounter <= width ? FAmplitude : LowLevel());
}

void TKorOscillator::SineOut()
{
    const double wave = std::sin(2 * std::numbers::pi * FCounter / FPeriod) * FAmplitude;
    FOut->SetValue(FSymmetric ? Round(wave) : Round((wave + FAmplitude) / 2));
}

void TKorOscillator::SawOut()
{
    // In floating point: amplitude times counter leaves 32 bits from counter 2 147 484 on,
    // well inside the longest periods; the product of two 32-bit values is exact in a double.
    FOut->SetValue(FSymmetric ? Round((2.0 * FCounter / FPeriod - 1) * FAmplitude)
                              : Round(double(FAmplitude) * FCounter / FPeriod));
}

void TKorOscillator::RandomOut(const TKorInput *colorMod, int32_t colorSetting)
{
    if (FCounter != 0)
        return;
    int32_t k = colorMod->IsConnected() ? Checked::Mul(colorMod->Value(), colorSetting) / 1000 : colorSetting;
    k = std::clamp(k, 1, 100);
    // A random walk: k percent of the previous value, the rest a fresh draw in [-A, A].
    const double fresh = (1 - 2 * RandomFloat()) * Checked::Mul(100 - k, FAmplitude);
    const int32_t v = Round((fresh + Checked::Mul(FOut->Value(), k)) / 100);
    FOut->SetValue(FSymmetric ? v : std::abs(v));
}

void TKorOscillator::RndPulseOut()
{
    if (FCounter != 0)
        return;
    FOut->SetValue(FOut->Value() < 1 ? FAmplitude : LowLevel());
    // The counter wraps to 0 after period - counter more steps: 1 .. period.
    FCounter = Random(FPeriod);
}

void TKorSquare::CreateDetails()
{
    TKorOscillator::CreateDetails();
    AddRunButton(QStringLiteral("Square.bmp"));
    std::tie(FPwMod, FWidthKnob) = AddShapeControl(QStringLiteral("InPwMod"), QStringLiteral("pw"), 1, FWidth,
                                                   "KnobWidthValue");
}

void TKorSquare::ComputeOutput()
{
    SquareOut(std::max(SquareWidth(FPwMod, FWidth), 1));
}

void TKorSine::CreateDetails()
{
    TKorOscillator::CreateDetails();
    AddRunButton(QStringLiteral("Sine.bmp"));
}

void TKorSaw::CreateDetails()
{
    TKorOscillator::CreateDetails();
    AddRunButton(QStringLiteral("Saw.bmp"));
}

void TKorRandom::CreateDetails()
{
    TKorOscillator::CreateDetails();
    AddRunButton(QStringLiteral("Random.bmp"));
    std::tie(FColorMod, FColorKnob) =
        AddShapeControl(QStringLiteral("InColorMod"), QStringLiteral("clr"), 0, FColor, "KnobColor");
}

void TKorRndPulse::CreateDetails()
{
    TKorOscillator::CreateDetails();
    AddRunButton(QStringLiteral("RndPulse.bmp"));
}
