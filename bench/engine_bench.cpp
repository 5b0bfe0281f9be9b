// How fast the engine runs patches: one tick of synthetic patches (every module's Execute, then
// the cables) per module, beside a plain loop doing the same arithmetic on arrays, the floor
// the engine can approach; loading and saving a large patch; offline renders of the examples.
// Run: build-bench/bench/engine_bench (built with -DKORVANE_BENCH=ON).
#include "MoreMods.h"
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

// Reports the time per module and tick, the figure that compares across sizes.
void CountModuleSteps(benchmark::State &state, int64_t modules)
{
    state.SetItemsProcessed(state.iterations() * modules);
    state.counters["per_module_step"] =
        benchmark::Counter(double(modules), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// A ring of n amplifiers, each fed by the two before it ("In" and "InClip"): 2n cables.
TOwned<TKorDrawSheet> AmplifierRing(int n)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    std::vector<TKorAmplifier *> amps;
    for (int i = 0; i < n; ++i) {
        auto *a = Create<TKorAmplifier>(sheet.get());
        a->SetKnobAmpValue(1000 - 4 * (i % 50));
        a->SetKnobClipValue(1000);
        amps.push_back(a);
    }
    for (int i = 0; i < n; ++i) {
        sheet->ToggleConnection(amps[size_t((i + n - 1) % n)]->Out(), amps[size_t(i)]->In());
        sheet->ToggleConnection(amps[size_t((i + n - 2) % n)]->Out(), amps[size_t(i)]->InClip());
    }
    // Something to carry: the first output starts at full scale.
    amps[0]->Out()->SetValue(1000);
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

// The same amplifiers as plain arrays: clip, scale, round half to even with the overflow check,
// then each input takes the outputs before it, as the cables do.
void PlainLoop(benchmark::State &state)
{
    const auto n = size_t(state.range(0));
    std::vector<int32_t> in(n, 0), clip(n, 0), out(n, 0), amp(n, 0);
    for (size_t i = 0; i < n; ++i)
        amp[i] = 1000 - 4 * int32_t(i % 50);
    out[0] = 1000;
    bool overflow = false;
    for (auto _ : state) {
        for (size_t i = 0; i < n; ++i) {
            const int64_t limit = std::abs(int64_t(clip[i]));
            const int64_t product = std::clamp<int64_t>(in[i], -limit, limit) * amp[i];
            overflow |= product != int32_t(product);
            out[i] = int32_t(std::nearbyint(double(product) / 1000.0));
        }
        in[0] = out[n - 1];
        clip[0] = out[n - 2];
        clip[1] = out[n - 1];
        in[1] = out[0];
        for (size_t i = 2; i < n; ++i) {
            in[i] = out[i - 1];
            clip[i] = out[i - 2];
        }
        benchmark::DoNotOptimize(out.data());
    }
    if (overflow)
        state.SkipWithError("overflow");
    CountModuleSteps(state, int64_t(n));
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
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    RegisterLibraryModules();
    const QDir examples(QStringLiteral(KORVANE_EXAMPLES));
    for (const QString &name : examples.entryList({QStringLiteral("*.korvane")}, QDir::Files, QDir::Name))
        benchmark::RegisterBenchmark(("RenderExample/" + name).toStdString().c_str(), RenderExample,
                                     examples.filePath(name))
            ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
