#include "Neuron.h"

#include <QThread>
#include <algorithm>
#include <cmath>

namespace {
// A 16 x 16 knob without a value viewer; the caller attaches the change handler afterwards.
TKorKnob *AddSmallKnob(TKorCustomModule &m, int32_t left, int32_t top, const TKnobSpec &settings)
{
    auto *knob = m.AddDetail<TKorKnobSmall>(left, top);
    ConfigureKnob(*knob, settings);
    return knob;
}

// The weight knobs stand for the published properties K1 .. K10.
constexpr const char *WeightProperties[] = {"K1", "K2", "K3", "K4", "K5", "K6", "K7", "K8", "K9", "K10"};
constexpr int32_t ConnectorRow = 45, CaptionRow = 27, LampRow = 20, KnobRow = 79, Pitch = 20;
} // namespace

void TKorNeuron::CreateDetails()
{
    TKorCustomModule::CreateDetails();
    SetHeight(2 * Height());

    for (int i = 0; i < InputCount; ++i)
        FInputs[size_t(i)] = AddInput(*this, 8 + Pitch * i, ConnectorRow, QStringLiteral("In%1").arg(i + 1), Neuron);
    FInLearn = AddInput(*this, 208, ConnectorRow, QStringLiteral("InLearn"), Neuron);
    FOut = AddOutput(*this, 228, ConnectorRow, QStringLiteral("Out"), Neuron);
    FOutLearn = AddOutput(*this, 208, 80, QStringLiteral("OutLearn"), Neuron);
    for (size_t k = 0; k < FLamps.size(); ++k)
        FLamps[k] = AddLamp(*this, 11 + Pitch * int32_t(k), LampRow);

    for (int i = 1; i <= 9; ++i)
        AddLabel(*this, 13 + Pitch * (i - 1), CaptionRow, QString::number(i));
    AddLabel(*this, 189, CaptionRow, QStringLiteral("10"));
    AddLabel(*this, 210, CaptionRow, QStringLiteral("ctr"));
    AddLabel(*this, 228, CaptionRow, QStringLiteral("out"));
    AddLabel(*this, 8, 64, QStringLiteral("weight controls"));
    AddLabel(*this, 200, 64, QStringLiteral("ctr out"));

    // Each new neuron starts from its own even weights in -998 .. 1000.
    for (size_t i = 0; i < FWeightKnobs.size(); ++i) {
        const int32_t start = 1000 - 2 * Random(1000);
        FWeightKnobs[i] = AddSmallKnob(*this, 7 + Pitch * int32_t(i), KnobRow, {-1000, 1000, 4, start, WeightProperties[i]});
        FWeightKnobs[i]->SetOnChange([this, i](TKorKnob *, int32_t v) { FWeights[i] = v; });
    }
    FParamKnob = AddSmallKnob(*this, 155, 62, {1, 1000, 4, 500, "KnobParamValue"});
    FParamKnob->SetOnChange([this](TKorKnob *, int32_t v) { FParam = v; });

    FAlgorithmLabel = AddLabel(*this, 100, 64, QStringLiteral("neur"));
    SetAlgorithm(Neur);
    FAlgorithmButton = AddButton(*this, 125, 62, {QString(), 25, 15, true, false, 0});
    FAlgorithmButton->SetOnClick([this](TKorPushButton *button) {
        button->SetDown(false);
        // Widened so a stored value near the top of the range cannot overflow.
        SetAlgorithm(int((int64_t(FAlgorithm) + 1) % 3));
    });
}

void TKorNeuron::SetAlgorithm(int v)
{
    if (v == FAlgorithm)
        return;
    FAlgorithm = v;
    ShowAlgorithm();
}

void TKorNeuron::ShowAlgorithm()
{
    switch (FAlgorithm) {
    case Mix: FAlgorithmLabel->SetText(QStringLiteral("mix")); break;
    case Clip: FAlgorithmLabel->SetText(QStringLiteral("clip")); break;
    case Neur: FAlgorithmLabel->SetText(QStringLiteral("neur")); break;
    default: break; // an unknown value keeps the last name until a tick repairs it
    }
}

int TKorNeuron::KnobParamValue() const
{
    return FParamKnob->Position();
}

void TKorNeuron::SetKnobParamValue(int v)
{
    FParamKnob->SetPosition(v);
}

int TKorNeuron::WeightKnob(int i) const
{
    return FWeightKnobs[size_t(i - 1)]->Position();
}

void TKorNeuron::SetWeightKnob(int i, int v)
{
    FWeightKnobs[size_t(i - 1)]->SetPosition(v);
}

void TKorNeuron::Execute()
{
    std::array<int32_t, InputCount> terms;
    int32_t sum = 0;
    for (size_t i = 0; i < terms.size(); ++i) {
        terms[i] = Checked::Mul(FInputs[i]->Value(), FWeights[i]) / 1000;
        sum = Checked::Add(sum, terms[i]);
    }
    const int32_t y = Output(sum);
    FOut->SetValue(y);
    for (size_t i = 0; i < terms.size(); ++i)
        FLamps[i]->SetOn(terms[i] > 0);
    FLamps[InputCount + 1]->SetOn(y > 0);

    // Only a change teaches: a steady learn signal adjusts the weights once.
    const int32_t learn = FInLearn->Value();
    if (learn != FPreviousLearn) {
        Learn(learn);
        FPreviousLearn = learn;
    }
    FOutLearn->SetValue(Checked::Mul(learn, y) / 1000);
}

int32_t TKorNeuron::Output(int32_t sum)
{
    switch (FAlgorithm) {
    case Mix:
        return sum;
    case Clip:
        return std::clamp(sum, -FParam, FParam); // P >= 1: the knob's minimum
    case Neur: {
        const double e = std::exp(-double(sum) / FParam);
        // A sum far below zero overflows the exponential: the sigmoid has reached its floor.
        return std::isinf(e) ? -1000 : Round(2000.0 / (1.0 + e) - 1000.0);
    }
    default:
        FAlgorithm = Mix;
        // The label belongs to the user-interface thread; a tick elsewhere hands it over.
        if (QThread::currentThread() == thread())
            ShowAlgorithm();
        else
            QMetaObject::invokeMethod(this, [this] { ShowAlgorithm(); }, Qt::QueuedConnection);
        return sum;
    }
}

void TKorNeuron::Learn(int32_t amount)
{
    const bool away = amount >= 1;
    // -(a div 100) rather than (-a) div 100: the same, and safe for the most negative amount.
    const int32_t reach = away ? amount / 100 : -(amount / 100);
    for (int32_t &w : FWeights) {
        const int32_t r = Random(reach);
        w = (w < 0) == away ? Checked::Sub(w, r) : Checked::Add(w, r);
        w = Checked::Add(w, 5 - Random(11));
    }
}
