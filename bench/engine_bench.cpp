// How fast the engine runs patches: one tick of synthetic patches (every module's Execute, then
// the cables) per module, beside a plain loop doing the same arithmetic on arrays, the floor
// the engine can approach; loading and saving a large patch; offline renders of the examples.
// Run: build-bench/bench/engine_bench (built with -DKORVANE_BENCH=ON).
#include "AmplifierChain.h"
#include "OfflineRun.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

// A ring of n amplifiers, each fed by the two before it: 2n cables.
TOwned<TKorDrawSheet> AmplifierRing(int n)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    BuildAmplifierChain(*sheet, n);
    return sheet;
}

void SheetTick(benchmark::State &state)
{
    const int n = int(state.range(0));
    TOwned<TKorDrawSheet> sheet = AmplifierRing(n);
    for (auto _ : state)
        sheet->Execute();
    benchmark::DoNotOptimize(sheet->Modules(0));
    state.counters["cables"] = sheet->CableCount();
    CountModuleSteps(state, n);
}
BENCHMARK(SheetTick)->Arg(100)->Arg(1000)->Arg(10000);

void PlainLoop(benchmark::State &state)
{
    PlainAmplifierLoop(state);
}
BENCHMARK(PlainLoop)->Arg(100)->Arg(1000)->Arg(10000);

// A 2000-module patch of mixed classes with two cables per module, as a file.
TOwned<TKorDrawSheet> LargePatch()
{
    const char *const classes[] = {"TKorConstant", "TKorAmplifier", "TKorSine", "TKorClSaw", "TKorTable",
                                   "TKorMidiOut", "TKorNeuron", "TKorMorph"};
    auto sheet = CreateOwned<TKorDrawSheet>();
    std::vector<TKorCustomModule *> modules;
    int top = 0;
    for (int i = 0; i < 2000; ++i) {
        auto *m = static_cast<TKorCustomModule *>(
            CreateComponent(FindModuleClass(QString::fromLatin1(classes[i % std::size(classes)])), sheet.get()));
        m->SetTop(top);
        top += m->Height();
        modules.push_back(m);
    }
    const auto connectors = [](TKorCustomModule *m, bool outputs) {
        std::vector<TKorConnector *> found;
        for (int c = 0; c < m->ComponentCount(); ++c) {
            auto *conn = qobject_cast<TKorConnector *>(m->Components(c));
            if (conn && (qobject_cast<TKorOutput *>(conn) != nullptr) == outputs)
                found.push_back(conn);
        }
        return found;
    };
    for (size_t i = 0; i < modules.size(); ++i) {
        const auto outs = connectors(modules[i], true);
        const auto ins = connectors(modules[(i + 1) % modules.size()], false);
        for (size_t k = 0; k < 2 && !outs.empty() && k < ins.size(); ++k)
            sheet->ToggleConnection(outs[0], ins[k]);
    }
    return sheet;
}

void SaveLargePatch(benchmark::State &state)
{
    TOwned<TKorDrawSheet> sheet = LargePatch();
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("large.korvane"));
    for (auto _ : state)
        SaveSheetToFile(*sheet, file);
    state.counters["cables"] = sheet->CableCount();
    state.counters["bytes"] = double(QFileInfo(file).size());
}
BENCHMARK(SaveLargePatch)->Unit(benchmark::kMillisecond);

void LoadLargePatch(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("large.korvane"));
    SaveSheetToFile(*LargePatch(), file);
    for (auto _ : state) {
        TOwned<TKorDrawSheet> loaded = ReadSheetFromFile(file);
        loaded->ResolveConnections();
        benchmark::DoNotOptimize(loaded.get());
    }
}
BENCHMARK(LoadLargePatch)->Unit(benchmark::kMillisecond);

// One minute of music (3000 ticks of 20 ms) from an example patch, without the timer.
void RenderExample(benchmark::State &state, const QString &file)
{
    TKorModulePageControl pages;
    pages.LoadSlot(file, TKorModulePageControl::TOldFiles::ConvertCopy);
    size_t sent = 0;
    for (auto _ : state) {
        RandSeed(1);
        sent = 0;
        TOfflineRun run(pages, 20, [&sent](int64_t, const char *, size_t) { ++sent; });
        run.Run(3000);
    }
    state.counters["messages"] = double(sent);
    state.counters["ticks_per_s"] = benchmark::Counter(3000, benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace

int main(int argc, char **argv)
{
    return RunBenchmarks(argc, argv, [] {
        const QDir examples(QStringLiteral(KORVANE_EXAMPLES));
        for (const QString &name : examples.entryList({QStringLiteral("*.korvane")}, QDir::Files, QDir::Name))
            benchmark::RegisterBenchmark(("RenderExample/" + name).toStdString().c_str(), RenderExample,
                                         examples.filePath(name))
                ->Unit(benchmark::kMillisecond);
    });
}
