// The neuron: its panel and starting weights, the output functions with truncation and
// rounding, lamps and the learn output, learning on a change of the learn input, overflow,
// the algorithm button and unknown algorithms, and patches saved and loaded.
#include "LibraryTestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <thread>
#include <utility>
#include <vector>

namespace {

using TPairs = std::vector<std::pair<int, int32_t>>; // (input or weight number 1 .. 10, value)
using TWeights = std::array<int32_t, TKorNeuron::InputCount>;

class NeuronTest : public ::testing::Test {
protected:
    void SetUp() override { RegisterModuleClasses({&ClassOf<TKorNeuron>()}); }

    template <class C>
    static C *Part(TKorNeuron *n, const QString &name)
    {
        return qobject_cast<C *>(n->FindComponent(name));
    }
    TKorInput *In(int i) const { return Part<TKorInput>(N, QStringLiteral("In%1").arg(i)); }
    TKorInput *InLearn() const { return Part<TKorInput>(N, QStringLiteral("InLearn")); }
    int32_t Out() const { return Part<TKorOutput>(N, QStringLiteral("Out"))->Value(); }
    int32_t OutLearn() const { return Part<TKorOutput>(N, QStringLiteral("OutLearn"))->Value(); }

    // Weights through the knobs: the listed ones, every other weight 0.
    void SetWeights(const TPairs &weights) const
    {
        for (int i = 1; i <= TKorNeuron::InputCount; ++i)
            N->SetWeightKnob(i, 0);
        for (auto [i, w] : weights)
            N->SetWeightKnob(i, w);
    }
    void SetInputs(const TPairs &inputs) const
    {
        for (int i = 1; i <= TKorNeuron::InputCount; ++i)
            In(i)->SetValue(0);
        for (auto [i, v] : inputs)
            In(i)->SetValue(v);
    }
    TWeights Weights() const
    {
        TWeights w;
        for (int i = 1; i <= TKorNeuron::InputCount; ++i)
            w[size_t(i - 1)] = N->Weight(i);
        return w;
    }

    TSheetFixture F;
    TKorNeuron *N = F.Add<TKorNeuron>();
};

TEST_F(NeuronTest, PanelIsTwoRowsOfNeuronConnectorsWithRandomEvenWeights)
{
    EXPECT_EQ(N->Width(), 250);
    EXPECT_EQ(N->Height(), 100);
    struct TPlace {
        QString Name;
        bool Input;
        QPoint At;
    };
    const std::vector<TPlace> places = {{"In1", true, {8, 45}},        {"In2", true, {28, 45}},
                                        {"In10", true, {188, 45}},     {"InLearn", true, {208, 45}},
                                        {"Out", false, {228, 45}},     {"OutLearn", false, {208, 80}}};
    for (const TPlace &p : places) {
        auto *c = Part<TKorConnector>(N, p.Name);
        ASSERT_NE(c, nullptr) << p.Name.toStdString();
        EXPECT_EQ(c->Direction(), p.Input ? TKorConnector::TDirection::Input : TKorConnector::TDirection::Output);
        EXPECT_EQ(QPoint(c->Left(), c->Top()), p.At) << p.Name.toStdString();
    }
    int connectors = 0;
    for (int i = 0; i < N->ComponentCount(); ++i)
        if (auto *c = qobject_cast<TKorConnector *>(N->Components(i))) {
            ++connectors;
            EXPECT_EQ(c->SignalKind(), Neuron) << c->Name().toStdString();
        }
    EXPECT_EQ(connectors, 13);
    EXPECT_EQ(QPoint(N->Lamp(11)->Left(), N->Lamp(11)->Top()), QPoint(231, 20));

    EXPECT_EQ(N->Algorithm(), TKorNeuron::Neur);
    EXPECT_EQ(N->AlgorithmLabel()->Text(), "neur");
    EXPECT_EQ(N->KnobParamValue(), 500);
    EXPECT_EQ(N->Param(), 500);
    EXPECT_EQ(N->AlgorithmButton()->Height(), 15);
    N->SetKnobParamValue(0);
    EXPECT_EQ(N->Param(), 1) << "the parameter never reaches 0";

    // Each knob takes 1000 - 2 * Random(1000), knob 1 first, and nothing else is drawn.
    RandSeed(2024);
    auto *fresh = F.Add<TKorNeuron>();
    const int32_t drawnAfter = Random(1 << 30);
    RandSeed(2024);
    for (int i = 1; i <= TKorNeuron::InputCount; ++i) {
        const int32_t expected = 1000 - 2 * Random(1000);
        EXPECT_EQ(fresh->WeightKnob(i), expected) << "knob " << i;
        EXPECT_EQ(fresh->Weight(i), expected) << "weight " << i;
    }
    EXPECT_EQ(drawnAfter, Random(1 << 30));
}

struct TOutputCase {
    const char *Name;
    int Algorithm;
    int Param;
    TPairs Inputs, Weights;
    int32_t Learn;
    int32_t Out, OutLearn;
    std::vector<int> Lit; // lamps 0 .. 9 above the inputs, 11 above "Out"
};

TEST_F(NeuronTest, OutputFunctionsLampsAndLearnOutput)
{
    const std::vector<TOutputCase> cases = {
        {"all zero, mix", 0, 500, {}, {}, 0, 0, 0, {}},
        {"all zero, clip", 1, 300, {}, {}, 0, 0, 0, {}},
        {"all zero, neur", 2, 500, {}, {}, 0, 0, 0, {}},
        {"mix of one input", 0, 500, {{1, 1000}}, {{1, 500}}, 0, 500, 0, {0, 11}},
        {"clip above P", 1, 300, {{1, 1000}}, {{1, 500}}, 0, 300, 0, {0, 11}},
        {"clip below -P", 1, 300, {{1, -1000}}, {{1, 800}}, 0, -300, 0, {}},
        {"clip inside", 1, 300, {{1, 200}}, {{1, 1000}}, 0, 200, 0, {0, 11}},
        {"neur at P 500", 2, 500, {{1, 1000}}, {{1, 500}}, 0, 462, 0, {0, 11}},
        {"neur mirrored", 2, 500, {{1, -1000}}, {{1, 500}}, 0, -462, 0, {}},
        {"neur flatter for larger P", 2, 1000, {{1, 1000}}, {{1, 500}}, 0, 245, 0, {0, 11}},
        {"neur floor when the exponential overflows", 2, 1, {{1, -2000000}}, {{1, 1000}}, 0, -1000, 0, {}},
        {"neur ceiling", 2, 1, {{1, 2000000}}, {{1, 1000}}, 0, 1000, 0, {0, 11}},
        {"small negative term truncates to 0", 0, 500, {{1, -7}}, {{1, 100}}, 0, 0, 0, {}},
        {"negative term truncates toward zero", 0, 500, {{1, -1500}}, {{1, 999}}, 0, -1498, 0, {}},
        {"terms truncate before summing", 0, 500, {{1, 333}, {2, 333}, {3, 333}}, {{1, 3}, {2, 3}, {3, 3}}, 0, 0, 0,
         {}},
        {"negative times negative lights its lamp", 0, 500, {{4, -1000}, {5, 1000}}, {{4, -250}, {5, -100}}, 0, 150,
         0, {3, 11}},
        {"every input counts", 0, 500,
         {{1, 100}, {2, 200}, {3, 300}, {4, 400}, {5, 500}, {6, 600}, {7, 700}, {8, 800}, {9, 900}, {10, 1000}},
         {{1, 1000}, {2, 1000}, {3, 1000}, {4, 1000}, {5, 1000}, {6, 1000}, {7, 1000}, {8, 1000}, {9, 1000},
          {10, -1000}},
         0, 3500, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 11}},
        {"learn output uses the output before learning", 0, 500, {{1, 1000}}, {{1, 500}}, 1000, 500, 500, {0, 11}},
        {"learn output truncates", 0, 500, {{1, 1000}}, {{1, 500}}, -3, 500, -1, {0, 11}},
        {"learn output of a negative output", 1, 300, {{1, -1000}}, {{1, 800}}, 500, -300, -150, {}},
    };
    for (const TOutputCase &c : cases) {
        SCOPED_TRACE(c.Name);
        N = F.Add<TKorNeuron>();
        N->SetAlgorithm(c.Algorithm);
        N->SetKnobParamValue(c.Param);
        SetWeights(c.Weights);
        SetInputs(c.Inputs);
        InLearn()->SetValue(c.Learn);
        N->Execute();
        EXPECT_EQ(Out(), c.Out);
        EXPECT_EQ(OutLearn(), c.OutLearn);
        for (int k = 0; k < TKorNeuron::InputCount + 2; ++k)
            EXPECT_EQ(N->Lamp(k)->On(), std::find(c.Lit.begin(), c.Lit.end(), k) != c.Lit.end()) << "lamp " << k;
    }
}

TEST_F(NeuronTest, OverflowRaisesOutOfExecute)
{
    struct TCase {
        const char *Name;
        int32_t Input, Weight, Learn;
    };
    const std::vector<TCase> cases = {
        {"input times weight", 3000000, 1000, 0},
        {"negative input times weight", -3000000, 1000, 0},
        {"learn times output", 1000, 1000, 3000000},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        N = F.Add<TKorNeuron>();
        N->SetAlgorithm(TKorNeuron::Mix);
        SetWeights({{1, c.Weight}});
        SetInputs({{1, c.Input}});
        InLearn()->SetValue(c.Learn);
        EXPECT_THROW(N->Execute(), EIntOverflow);
    }
}

// The weights one learning step with amount a gives, drawing from the generator seeded with seed:
// per weight, first the move r (away from zero for a >= 1, toward it otherwise; 0 counts as
// positive), then the noise 5 - Random(11).
TWeights LearnedWeights(TWeights w, int32_t a, uint32_t seed)
{
    RandSeed(seed);
    const auto reach = int32_t((a >= 1 ? int64_t(a) : -int64_t(a)) / 100);
    for (int32_t &wi : w) {
        const int32_t r = Random(reach);
        const int32_t side = wi < 0 ? -1 : 1;
        wi += (a >= 1 ? side : -side) * r;
        wi += 5 - Random(11);
    }
    return w;
}

TEST_F(NeuronTest, LearningStepMovesEachWeightThenAddsNoise)
{
    struct TCase {
        const char *Name;
        int32_t Before, Amount;
    };
    const std::vector<TCase> cases = {
        {"away from zero", 0, 500},
        {"by 0 or 1 at 250", 0, 250},
        {"far away", 0, 100000},
        {"toward zero, crossing it", 0, -700},
        {"back to 0: noise only", 500, 0},
        {"under one hundred: noise only", 0, 99},
        {"most negative amount", 0, INT32_MIN},
    };
    const TPairs weights = {{1, -300}, {2, 0}, {3, 300}, {4, 1000}, {5, -1000},
                            {6, 2},    {7, -2}, {8, 4},  {9, -4},   {10, 6}};
    uint32_t seed = 11;
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        N = F.Add<TKorNeuron>();
        N->SetAlgorithm(TKorNeuron::Mix);
        SetWeights(weights);
        InLearn()->SetValue(c.Before);
        N->Execute();
        const TWeights before = Weights();
        InLearn()->SetValue(c.Amount);
        RandSeed(++seed);
        N->Execute();
        EXPECT_EQ(Weights(), LearnedWeights(before, c.Amount, seed));
        for (auto [i, w] : weights)
            EXPECT_EQ(N->WeightKnob(i), w) << "knobs do not follow learning";
    }
}

TEST_F(NeuronTest, OnlyAChangeOfTheLearnInputTeaches)
{
    SetWeights({{1, 100}, {2, -100}});
    auto learn = Drive(*F.Sheet, InLearn(), 500);
    Tick(*F.Sheet, 1); // the cable delivers 500 at the end of the first tick
    const TWeights start = Weights();
    Tick(*F.Sheet, 1);
    const TWeights taught = Weights();
    EXPECT_NE(taught, start) << "500 differs from the initial 0";
    Tick(*F.Sheet, 5);
    EXPECT_EQ(Weights(), taught) << "a steady signal teaches once";

    TWeights previous = Weights();
    for (int32_t v : {600, 500, 600}) {
        learn.Set(v);
        Tick(*F.Sheet, 2);
        EXPECT_NE(Weights(), previous) << "change to " << v;
        previous = Weights();
    }
}

TEST_F(NeuronTest, AlgorithmButtonCyclesAndLeavesItselfUp)
{
    struct TCase {
        int From, To;
        const char *Label;
    };
    const std::vector<TCase> cases = {
        {0, 1, "clip"}, {1, 2, "neur"}, {2, 0, "mix"}, {7, 2, "neur"}, {INT_MAX, 2, "neur"}};
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.From);
        N->SetAlgorithm(c.From);
        TKorPushButton *button = N->AlgorithmButton();
        button->SetDown(true);
        button->OnClick()(button);
        EXPECT_EQ(N->Algorithm(), c.To);
        EXPECT_EQ(N->AlgorithmLabel()->Text(), c.Label);
        EXPECT_FALSE(button->Down());
    }
}

TEST_F(NeuronTest, UnknownAlgorithmGivesTheSumAndTurnsIntoMix)
{
    N->SetAlgorithm(TKorNeuron::Clip);
    N->SetKnobParamValue(300);
    SetWeights({{1, 500}});
    SetInputs({{1, 1000}});
    N->SetAlgorithm(7);
    EXPECT_EQ(N->AlgorithmLabel()->Text(), "clip") << "an unknown value keeps the label";
    N->Execute();
    EXPECT_EQ(Out(), 500) << "neither clipped nor shaped";
    EXPECT_EQ(N->Algorithm(), TKorNeuron::Mix);
    EXPECT_EQ(N->AlgorithmLabel()->Text(), "mix");

    // On the tick thread the label waits for the user-interface thread.
    N->SetAlgorithm(TKorNeuron::Clip);
    N->SetAlgorithm(-1);
    std::thread tick([this] { N->Execute(); });
    tick.join();
    EXPECT_EQ(N->Algorithm(), TKorNeuron::Mix);
    EXPECT_EQ(N->AlgorithmLabel()->Text(), "clip");
    QCoreApplication::sendPostedEvents(N);
    EXPECT_EQ(N->AlgorithmLabel()->Text(), "mix");
}

class NeuronPatch : public NeuronTest {
protected:
    TKorNeuron *SaveAndLoad()
    {
        const QString path = Dir.filePath(QStringLiteral("neuron.korvane"));
        SaveSheetToFile(*F.Sheet, path);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        Text = QString::fromUtf8(file.readAll());
        Loaded = ReadSheetFromFile(path);
        Loaded->ResolveConnections();
        EXPECT_EQ(Loaded->ModuleCount(), 1);
        return qobject_cast<TKorNeuron *>(Loaded->Modules(0));
    }
    QTemporaryDir Dir;
    QString Text;
    TOwned<TKorDrawSheet> Loaded;
};

TEST_F(NeuronPatch, KnobsAlgorithmAndParameterRoundTripButLearnedWeightsDoNot)
{
    const TPairs knobs = {{1, 1000}, {2, -1000}, {3, 0},    {4, 4},    {5, -4},
                          {6, 500},  {7, -500},  {8, 250}, {9, -250}, {10, 333}};
    SetWeights(knobs);
    N->SetAlgorithm(TKorNeuron::Clip);
    N->SetKnobParamValue(300);
    InLearn()->SetValue(50000);
    RandSeed(5);
    N->Execute();
    for (auto [i, k] : knobs)
        ASSERT_NE(N->Weight(i), k) << "learning moved weight " << i;

    TKorNeuron *loaded = SaveAndLoad();
    ASSERT_NE(loaded, nullptr);
    for (auto [i, k] : knobs) {
        EXPECT_EQ(loaded->WeightKnob(i), k) << "knob " << i;
        EXPECT_EQ(loaded->Weight(i), k) << "weight " << i << " starts from its knob";
    }
    EXPECT_EQ(loaded->Algorithm(), TKorNeuron::Clip);
    EXPECT_EQ(loaded->AlgorithmLabel()->Text(), "clip");
    EXPECT_EQ(loaded->KnobParamValue(), 300);
    EXPECT_EQ(loaded->Param(), 300);

    qsizetype at = -1;
    for (const char *name : {"Left", "Top", "Title", "K1", "K2", "K3", "K4", "K5", "K6", "K7", "K8", "K9", "K10",
                             "Algorithm", "KnobParamValue"}) {
        const qsizetype next = Text.indexOf(QStringLiteral("\n    %1 = ").arg(name));
        EXPECT_GT(next, at) << name << " in order";
        at = next;
    }
}

TEST_F(NeuronPatch, UnknownAlgorithmFromAPatchIsRepairedByTheFirstTick)
{
    SetWeights({{1, 500}});
    N->SetKnobParamValue(300);
    N->SetAlgorithm(7);
    TKorNeuron *loaded = SaveAndLoad();
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded->Algorithm(), 7);
    EXPECT_EQ(loaded->AlgorithmLabel()->Text(), "neur") << "the label a new neuron starts with";
    Part<TKorInput>(loaded, QStringLiteral("In1"))->SetValue(1000);
    loaded->Execute();
    EXPECT_EQ(Part<TKorOutput>(loaded, QStringLiteral("Out"))->Value(), 500);
    EXPECT_EQ(loaded->Algorithm(), TKorNeuron::Mix);
    EXPECT_EQ(loaded->AlgorithmLabel()->Text(), "mix");
}

} // namespace
