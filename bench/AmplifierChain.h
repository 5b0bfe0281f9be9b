// What the engine benchmarks share: a chain of amplifiers each fed by the two before it, the
// plain array loop doing the same arithmetic (the floor a tick is read against), the per-module
// counter, and a Qt application for the library's modules.
#pragma once

#include "MoreMods.h"

#include <QApplication>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

// Reports the time per module and tick, the figure that compares across sizes.
inline void CountModuleSteps(benchmark::State &state, int64_t modules)
{
    state.SetItemsProcessed(state.iterations() * modules);
    state.counters["per_module_step"] =
        benchmark::Counter(double(modules), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// n amplifiers in rows of the sheet's cells, each fed by the two before it ("In" and
// "InClip"), round the ring: 2n cables. The first output starts at full scale.
inline void BuildAmplifierChain(TKorDrawSheet &sheet, int n)
{
    const TKorDrawSheet::TBulkEdit bulk(sheet);
    std::vector<TKorAmplifier *> amps;
    for (int i = 0; i < n; ++i) {
        auto *a = Create<TKorAmplifier>(&sheet);
        a->SetLeft(250 * (i % 40));
        a->SetTop(50 * (i / 40));
        a->SetKnobAmpValue(1000 - 4 * (i % 50));
        a->SetKnobClipValue(1000);
        amps.push_back(a);
    }
    for (int i = 0; i < n; ++i) {
        sheet.ToggleConnection(amps[size_t((i + n - 1) % n)]->Out(), amps[size_t(i)]->In());
        sheet.ToggleConnection(amps[size_t((i + n - 2) % n)]->Out(), amps[size_t(i)]->InClip());
    }
    amps[0]->Out()->SetValue(1000);
}

// The same amplifiers as plain arrays: clip, scale, round half to even with the overflow
// check, then each input takes the outputs before it, as the cables do.
inline void PlainAmplifierLoop(benchmark::State &state)
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

// The benchmarks' main: an offscreen Qt application with the library registered, then
// `registerMore` (benchmarks found at run time) and the run with `reporter` (null: the console).
template <class F>
int RunBenchmarks(int argc, char **argv, F registerMore, benchmark::BenchmarkReporter *reporter = nullptr)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    RegisterLibraryModules();
    registerMore();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks(reporter);
    benchmark::Shutdown();
    return 0;
}
