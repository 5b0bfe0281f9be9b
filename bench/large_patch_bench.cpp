// Large patches: loading, saving and running a chain of 1 000 to 20 000 amplifiers (two cables
// each), beside the floors read in the same run (the plain array loop for the tick, the
// smallest size for load and save); pasting, deleting and closing thousands of modules in a
// slot; repainting a scroll step of a 2 000-module sheet; heap memory per module.
// Prints Google Benchmark's lines, then one table of the ratios.
// Run: build-bench/bench/large_patch_bench (built with -DKORVANE_BENCH=ON).
#include "AmplifierChain.h"
#include "Editor.h"
#include "PatchFile.h"

#include <QApplication>
#include <QDateTime>
#include <QImage>
#include <QPainter>
#include <QSysInfo>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <map>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Sizes[] = {1000, 2000, 5000, 10000, 20000};

TOwned<TKorDrawSheet> Chain(int n)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    BuildAmplifierChain(*sheet, n);
    return sheet;
}

// The chains as files, written once per run.
QString ChainFile(int n)
{
    static QTemporaryDir dir;
    static std::map<int, QString> files;
    auto [it, added] = files.try_emplace(n, dir.filePath(QStringLiteral("chain%1.korvane").arg(n)));
    if (added)
        SaveSheetToFile(*Chain(n), it->second);
    return it->second;
}

// Bytes the program holds from the heap: unlike the resident size, it does not hide what a
// load takes when earlier runs left freed memory behind.
double HeapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return double(info.uordblks + info.hblkhd);
}

void Load(benchmark::State &state)
{
    const QString file = ChainFile(int(state.range(0)));
    for (auto _ : state) {
        TOwned<TKorDrawSheet> sheet = ReadSheetFromFile(file);
        sheet->ResolveConnections();
        benchmark::DoNotOptimize(sheet->CableCount());
        state.PauseTiming(); // freeing is CloseSlot's figure
        sheet.reset();
        state.ResumeTiming();
    }
    state.counters["modules"] = double(state.range(0));
}

void Save(benchmark::State &state)
{
    TOwned<TKorDrawSheet> sheet = ReadSheetFromFile(ChainFile(int(state.range(0))));
    sheet->ResolveConnections();
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("saved.korvane"));
    for (auto _ : state)
        SaveSheetToFile(*sheet, file);
    state.counters["modules"] = double(state.range(0));
}

void Tick(benchmark::State &state)
{
    TOwned<TKorDrawSheet> sheet = Chain(int(state.range(0)));
    for (auto _ : state)
        sheet->Execute();
    benchmark::DoNotOptimize(sheet->Modules(0));
    CountModuleSteps(state, state.range(0));
}

// A user's paste: `range(0)` modules from the clipboard into a slot of 10 000, one undo step.
void PasteIntoSlot(benchmark::State &state)
{
    {
        TKorSlot source;
        BuildAmplifierChain(*source.Sheet(), int(state.range(0)));
        source.SelectAll();
        source.CopySelection();
    }
    for (auto _ : state) {
        state.PauseTiming();
        auto slot = std::make_unique<TKorSlot>();
        slot->LoadFromFile(ChainFile(10000));
        state.ResumeTiming();
        slot->PasteClipboard();
        state.PauseTiming();
        slot.reset();
        state.ResumeTiming();
    }
    state.counters["modules"] = double(state.range(0));
}

// Select all and delete in a slot of `range(0)` modules, one undo step.
void DeleteAllInSlot(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        auto slot = std::make_unique<TKorSlot>();
        slot->LoadFromFile(ChainFile(int(state.range(0))));
        slot->SelectAll();
        state.ResumeTiming();
        slot->DeleteSelectedModules();
        state.PauseTiming();
        slot.reset();
        state.ResumeTiming();
    }
    state.counters["modules"] = double(state.range(0));
}

// Closing a slot of `range(0)` modules: the slot, its sheet, modules and cables freed.
void CloseSlot(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        auto slot = std::make_unique<TKorSlot>();
        slot->LoadFromFile(ChainFile(int(state.range(0))));
        state.ResumeTiming();
        slot.reset();
    }
    state.counters["modules"] = double(state.range(0));
}

// The strip a mouse-wheel step uncovers (60 pixels of a 1 000 x 700 view, in the middle of
// the sheet), or with range(1) the whole view, painted as the slot's canvas paints it.
void PaintView(benchmark::State &state)
{
    TKorSlot slot;
    slot.resize(1000, 700);
    BuildAmplifierChain(*slot.Sheet(), int(state.range(0)));
    slot.Sheet()->UpdateExtent();
    QWidget *canvas = slot.Canvas();
    const int top = canvas->height() / 2;
    const QRect area(0, top, 1000, state.range(1) ? 700 : 60);
    QImage image(area.size(), QImage::Format_RGB32);
    for (auto _ : state)
        canvas->render(&image, QPoint(), QRegion(area));
    state.counters["modules"] = double(state.range(0));
}

// Heap memory a loaded chain holds, per module (its panel, connectors and cables).
void MemoryPerModule(benchmark::State &state)
{
    const QString file = ChainFile(int(state.range(0)));
    double perModule = 0;
    for (auto _ : state) {
        const double before = HeapInUse();
        TOwned<TKorDrawSheet> sheet = ReadSheetFromFile(file);
        sheet->ResolveConnections();
        perModule = (HeapInUse() - before) / double(state.range(0));
    }
    state.counters["bytes_per_module"] = perModule;
}

// Collects every run's time per iteration, then prints the ratios as one table.
class TTableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
                FSeconds[r.benchmark_name()] = r.GetAdjustedRealTime() * TimeScale(r.time_unit);
                for (const auto &[name, counter] : r.counters)
                    FCounters[r.benchmark_name() + ":" + name] = counter.value;
            }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\nLarge patches, %s, %s, %d cores\n\n",
                    qPrintable(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd"))),
                    qPrintable(QSysInfo::prettyProductName()), int(sysconf(_SC_NPROCESSORS_ONLN)));
        std::printf("| modules | load | load per module / 1 000's | save | save per module / 1 000's "
                    "| tick per module-step | plain loop | tick / plain loop |\n|---|---|---|---|---|---|---|---|\n");
        const double load1 = Get("Load/1000") / 1000, save1 = Get("Save/1000") / 1000;
        for (int n : Sizes) {
            const std::string k = "/" + std::to_string(n);
            const double tick = Get("Tick" + k) / n, plain = Get("PlainLoop" + k) / n;
            std::printf("| %d | %.3f s | %.2f | %.3f s | %.2f | %.1f ns | %.1f ns | %.2fx |\n", n, Get("Load" + k),
                        Get("Load" + k) / n / load1, Get("Save" + k), Get("Save" + k) / n / save1, tick * 1e9,
                        plain * 1e9, tick / plain);
        }
        std::printf("\n| slot edit | time |\n|---|---|\n");
        std::printf("| paste 1 000 modules into 10 000 | %.1f ms |\n", Get("PasteIntoSlot/1000") * 1e3);
        std::printf("| delete 10 000 modules (select all, Delete) | %.1f ms |\n", Get("DeleteAllInSlot/10000") * 1e3);
        std::printf("| close a 10 000-module slot | %.1f ms |\n", Get("CloseSlot/10000") * 1e3);
        std::printf("| scroll step repaint, 2 000 modules (60 x 1 000 px) | %.2f ms |\n", Get("PaintView/2000/0") * 1e3);
        std::printf("| whole view repaint, 2 000 modules (1 000 x 700 px) | %.2f ms |\n", Get("PaintView/2000/1") * 1e3);
        std::printf("| heap memory per module, 10 000 loaded | %.0f bytes |\n",
                    FCounters["MemoryPerModule/10000/iterations:1:bytes_per_module"]);
    }

private:
    static double TimeScale(benchmark::TimeUnit unit)
    {
        switch (unit) {
        case benchmark::kNanosecond: return 1e-9;
        case benchmark::kMicrosecond: return 1e-6;
        case benchmark::kMillisecond: return 1e-3;
        default: return 1;
        }
    }
    double Get(const std::string &name) const
    {
        const auto it = FSeconds.find(name);
        return it == FSeconds.end() ? std::nan("") : it->second;
    }
    std::map<std::string, double> FSeconds;
    std::map<std::string, double> FCounters;
};

} // namespace

int main(int argc, char **argv)
{
    TTableReporter reporter;
    const auto registerAll = [] {
        benchmark::RegisterBenchmark("MemoryPerModule", MemoryPerModule)->Arg(10000)->Iterations(1);
        // The ticks first, on patches built in a fresh program as a user's first open is: after
        // thousands of modules have come and gone, a new patch's blocks lie less in order.
        for (int n : Sizes) {
            benchmark::RegisterBenchmark("Tick", Tick)->Arg(n);
            benchmark::RegisterBenchmark("PlainLoop", PlainAmplifierLoop)->Arg(n);
        }
        for (int n : Sizes) {
            benchmark::RegisterBenchmark("Load", Load)->Arg(n)->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark("Save", Save)->Arg(n)->Unit(benchmark::kMillisecond);
        }
        benchmark::RegisterBenchmark("PasteIntoSlot", PasteIntoSlot)->Arg(1000)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("DeleteAllInSlot", DeleteAllInSlot)->Arg(10000)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("CloseSlot", CloseSlot)->Arg(10000)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("PaintView", PaintView)->Args({2000, 0})->Args({2000, 1})->Unit(benchmark::kMillisecond);
    };
    return RunBenchmarks(argc, argv, registerAll, &reporter);
}
