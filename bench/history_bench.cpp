// How long undo and redo take: a one-module edit (a module with its two cables deleted, a
// module moved) and a paste of many modules, on slots of growing size. The smallest slot is
// the floor the larger ones are read against: a step should cost what it touches, not what
// the slot holds. Run: build-bench/bench/history_bench (built with -DKORVANE_BENCH=ON).
#include "Editor.h"
#include "AmplifierChain.h"

#include <QApplication>
#include <QUndoStack>
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

// A slot holding a ring of n amplifiers, each fed by the two before it, in rows of cells.
std::unique_ptr<TKorSlot> AmplifierSlot(int n)
{
    auto slot = std::make_unique<TKorSlot>();
    std::lock_guard lock(slot->Guard().Mutex);
    BuildAmplifierChain(*slot->Sheet(), n);
    return slot;
}

void SelectOnly(TKorDrawSheet &sheet, int from, int count)
{
    for (int i = 0; i < sheet.ModuleCount(); ++i)
        sheet.Modules(i)->SetSelected(i >= from && i < from + count);
}

// Undo then redo of deleting the module in the middle of the slot, with its two cables.
void UndoRedoDeleteOne(benchmark::State &state)
{
    auto slot = AmplifierSlot(int(state.range(0)));
    SelectOnly(*slot->Sheet(), int(state.range(0) / 2), 1);
    slot->DeleteSelectedModules();
    for (auto _ : state) {
        slot->History()->undo();
        slot->History()->redo();
    }
    state.counters["modules"] = double(state.range(0));
}
BENCHMARK(UndoRedoDeleteOne)->Arg(10)->Arg(2000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Undo then redo of moving one module (a settings step).
void UndoRedoMoveOne(benchmark::State &state)
{
    auto slot = AmplifierSlot(int(state.range(0)));
    TKorCustomModule *m = slot->Sheet()->Modules(int(state.range(0) / 2));
    slot->EditModule(m, [&] { m->SetTop(m->Top() + 50); });
    for (auto _ : state) {
        slot->History()->undo();
        slot->History()->redo();
    }
    state.counters["modules"] = double(state.range(0));
}
BENCHMARK(UndoRedoMoveOne)->Arg(10)->Arg(2000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Undo then redo of pasting `range(1)` modules with their inner cables into a slot of
// `range(0)` modules.
void UndoRedoPaste(benchmark::State &state)
{
    const int pasted = int(state.range(1));
    auto source = AmplifierSlot(pasted);
    source->SelectAll();
    source->CopySelection();
    auto slot = AmplifierSlot(int(state.range(0)));
    slot->PasteClipboard();
    for (auto _ : state) {
        slot->History()->undo();
        slot->History()->redo();
    }
    state.counters["pasted"] = pasted;
}
BENCHMARK(UndoRedoPaste)->Args({10, 10})->Args({2000, 10})->Args({2000, 500})->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return RunBenchmarks(argc, argv, [] {});
}
