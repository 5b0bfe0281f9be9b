// How long one tick of a sheet takes: every module's Execute, then the cable transport.
// Run: build/bench/engine_bench (QT_QPA_PLATFORM=offscreen when there is no display).
#include "Modules.h"

#include <QGuiApplication>
#include <benchmark/benchmark.h>

namespace {

// Output "Out" follows input "In" plus one: enough work to keep the optimiser honest.
class TKorBenchStage : public TKorModule {
public:
    void CreateDetails() override
    {
        TKorModule::CreateDetails();
        In = AddDetail<TKorInput>(10, 20, QStringLiteral("In"));
        Out = AddDetail<TKorOutput>(220, 20, QStringLiteral("Out"));
    }
    void Execute() override { Out->SetValue(Checked::Add(In->Value() & 0xFFFF, 1)); }
    TKorInput *In = nullptr;
    TKorOutput *Out = nullptr;
};

// A chain of N stages with one extra fan-in cable per stage: N modules, 2N - 1 cables.
void SheetTick(benchmark::State &state)
{
    const int n = int(state.range(0));
    auto sheet = CreateOwned<TKorDrawSheet>();
    std::vector<TKorBenchStage *> stages;
    for (int i = 0; i < n; ++i)
        stages.push_back(Create<TKorBenchStage>(sheet.get()));
    for (int i = 1; i < n; ++i) {
        sheet->ToggleConnection(stages[size_t(i - 1)]->Out, stages[size_t(i)]->In);
        if (i >= 2)
            sheet->ToggleConnection(stages[size_t(i - 2)]->Out, stages[size_t(i)]->In);
    }
    for (auto _ : state) {
        sheet->Execute();
        benchmark::DoNotOptimize(stages.back()->Out->Value());
    }
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["cables"] = sheet->CableCount();
}
BENCHMARK(SheetTick)->Arg(10)->Arg(100)->Arg(1000);

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
