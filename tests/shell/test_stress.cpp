// The run timer driving a page control at 1 ms while the user-interface thread edits the patches
// as fast as it can: slots opened, loaded and closed, modules added, pasted and deleted, cables
// toggled, knobs turned, events processed. Every tick either runs the patches or is lost to an
// edit that raised the update count; edits that only take the patch lock delay a tick but never
// lose it. Meant to run under ThreadSanitizer as well (KORVANE_STRESS_SECONDS sets the length;
// tests/tsan-suppressions.txt says what the sanitizer cannot see in Qt).
// The edits depend only on the seed and on the patches they meet, never on the ticks: a
// failure reported with its seed and edit number comes again with KORVANE_STRESS_SEED and
// KORVANE_STRESS_EDITS set to them (the run then makes exactly that many edits).
#include "Arithmetic.h"
#include "EditorTestSupport.h"
#include "HiResTim.h"
#include "MidiModules.h"
#include "Oscillators.h"
#include "PageControl.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QUndoGroup>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <random>

namespace {

// Counts the ticks that reach it. Only one exists at a time, in a slot that is never edited
// structurally, first in page order.
class TTickProbe : public TKorCustomModule {
    Q_OBJECT
public:
    Q_INVOKABLE TTickProbe() = default;
    void Execute() override { Runs.fetch_add(1, std::memory_order_relaxed); }
    static inline std::atomic<uint64_t> Runs{0};
};

// What the program tells the user, each text after the number of the edit it came during.
struct TEditDialogs : TDialogRecorder {
    explicit TEditDialogs(const uint64_t &edit) : Edit(edit) {}
    void ShowMessage(const QString &text) override { Messages << Numbered(text); }
    void ShowError(const QString &text) override { Errors << Numbered(text); }
    QString Numbered(const QString &text) const { return QStringLiteral("edit %1: %2").arg(Edit).arg(text); }
    const uint64_t &Edit;
};

const char Patch[] = "object TKorDrawSheet\n"
                     "  Connections = (\n"
                     "    'Wave.Out Amp.In'\n"
                     "    'Level.Out Amp.InClip'\n"
                     "    'Amp.Out Volume.In')\n"
                     "  object Level: TKorConstant\n"
                     "    KnobAmpValue = 500\n"
                     "  end\n"
                     "  object Wave: TKorSquare\n"
                     "    Top = 100\n"
                     "  end\n"
                     "  object Amp: TKorAmplifier\n"
                     "    Top = 200\n"
                     "  end\n"
                     "  object Volume: TKorControlOut\n"
                     "    Top = 300\n"
                     "  end\n"
                     "end\n";

constexpr int MaxSlots = 6;
constexpr int MaxModules = 24;

class Stress : public ::testing::Test {
protected:
    void SetUp() override
    {
        bool ok = false;
        const int seconds = qEnvironmentVariableIntValue("KORVANE_STRESS_SECONDS", &ok);
        Seconds = ok && seconds > 0 ? seconds : 2;
        const int seed = qEnvironmentVariableIntValue("KORVANE_STRESS_SEED", &ok);
        Seed = ok ? uint32_t(seed) : Seed;
        Rng.seed(Seed);
        const int edits = qEnvironmentVariableIntValue("KORVANE_STRESS_EDITS", &ok);
        EditLimit = ok && edits > 0 ? uint64_t(edits) : 0;
        ASSERT_TRUE(Dir.isValid());
        File = Dir.filePath(QStringLiteral("Stress.korvane"));
        QFile f(File);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(Patch);
    }

    // An edit that raises the update count: the ticks it overlaps may be lost.
    template <class F>
    void Structural(F &&edit)
    {
        Edits.fetch_add(1); // odd: an edit is under way
        Guarded(edit);
        Edits.fetch_add(1);
    }
    // Anything else the user does; it may hold the patch lock, never the update count.
    template <class F>
    void Guarded(F &&edit)
    {
        try {
            edit();
        } catch (const std::exception &e) {
            Failures << QStringLiteral("edit %1: %2").arg(EditNumber).arg(QString::fromUtf8(e.what()));
        }
    }

    TKorSlot *RandomSlot(bool probeToo)
    {
        const int first = probeToo ? 0 : 1;
        if (Pages.SlotCount() <= first)
            return nullptr;
        return Pages.Slots(std::uniform_int_distribution<int>(first, Pages.SlotCount() - 1)(Rng));
    }
    int Random(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(Rng); }

    void TurnKnob(TKorSlot *slot)
    {
        std::lock_guard lock(Pages.Guard().Mutex);
        TKorDrawSheet *sheet = slot->Sheet();
        if (sheet->ModuleCount() == 0)
            return;
        TKorCustomModule *m = sheet->Modules(Random(0, sheet->ModuleCount() - 1));
        if (auto *c = qobject_cast<TKorConstant *>(m))
            c->SetKnobAmpValue(Random(-1000, 1000));
        else if (auto *a = qobject_cast<TKorAmplifier *>(m))
            a->AmpKnob()->SetPosition(Random(0, 1000));
        else if (auto *o = qobject_cast<TKorControlOut *>(m))
            o->SetKnobCtrValue(Random(0, 127));
    }

    void ToggleCable(TKorSlot *slot)
    {
        std::lock_guard lock(Pages.Guard().Mutex);
        TKorDrawSheet *sheet = slot->Sheet();
        std::vector<TKorConnector *> outs, ins;
        for (int i = 0; i < sheet->ModuleCount(); ++i) {
            TKorCustomModule *m = sheet->Modules(i);
            if (auto *c = qobject_cast<TKorConstant *>(m))
                outs.push_back(c->Out());
            if (auto *a = qobject_cast<TKorAmplifier *>(m)) {
                outs.push_back(a->Out());
                ins.push_back(a->In());
                ins.push_back(a->InClip());
            }
            if (auto *o = qobject_cast<TKorControlOut *>(m))
                ins.push_back(o->In());
        }
        if (outs.empty() || ins.empty())
            return;
        sheet->ToggleConnection(outs[size_t(Random(0, int(outs.size()) - 1))],
                                ins[size_t(Random(0, int(ins.size()) - 1))]);
    }

    // Makes `slot` the active page, as a click on its tab does.
    void Show(TKorSlot *slot) { Pages.setCurrentWidget(slot); }

    void OneEdit()
    {
        switch (Random(0, 10)) {
        case 0:
        case 1:
            if (TKorSlot *slot = RandomSlot(true))
                Guarded([&] { TurnKnob(slot); });
            break;
        case 2:
            if (TKorSlot *slot = RandomSlot(true))
                Guarded([&] { ToggleCable(slot); });
            break;
        case 3:
            if (TKorSlot *slot = RandomSlot(false); slot && slot->ModuleCount() < MaxModules) {
                Show(slot);
                Guarded([&] { Pages.AddModule(ClassOf<TKorConstant>()); });
            }
            break;
        case 4:
            if (Pages.SlotCount() < MaxSlots)
                Structural([&] { Pages.LoadSlot(File); });
            break;
        case 5:
            if (Pages.SlotCount() < MaxSlots)
                Structural([&] { Pages.NewSlot(QString()); });
            break;
        case 6:
            if (TKorSlot *slot = RandomSlot(false)) {
                Show(slot);
                Structural([&] { Pages.CloseActiveSlot(); });
            }
            break;
        case 7:
            if (TKorSlot *slot = RandomSlot(false); slot && slot->ModuleCount() > 0) {
                Show(slot);
                Guarded([&] {
                    Pages.SelectAll();
                    Pages.CopySelection();
                });
                if (slot->ModuleCount() * 2 <= MaxModules)
                    Structural([&] { Pages.PasteClipboard(); });
            }
            break;
        case 8:
            if (TKorSlot *slot = RandomSlot(false); slot && slot->ModuleCount() > 0) {
                Show(slot);
                Guarded([&] {
                    std::lock_guard lock(Pages.Guard().Mutex);
                    TKorCustomModule *chosen = slot->Sheet()->Modules(Random(0, slot->ModuleCount() - 1));
                    slot->Sheet()->DeselectAllBut(chosen);
                    chosen->SetSelected(true);
                });
                Structural([&] { Pages.DeleteSelectedModules(); });
                if (Random(0, 3) == 0)
                    Structural([&] { Pages.DeleteAllModules(); });
            }
            break;
        case 9:
            if (TKorSlot *slot = RandomSlot(false)) {
                Show(slot);
                if (Random(0, 2) == 0)
                    Structural([&] { Pages.Histories()->redo(); });
                else
                    Structural([&] { Pages.Histories()->undo(); });
            }
            break;
        default:
            QCoreApplication::processEvents();
            break;
        }
    }

    int Seconds = 2;
    uint32_t Seed = 20240229;
    uint64_t EditLimit = 0; // when set, exactly this many edits, however long they take
    uint64_t EditNumber = 0; // of the edit under way, from 1
    QTemporaryDir Dir;
    QString File;
    TEditDialogs Dialogs{EditNumber};
    TKorModulePageControl Pages;
    std::mt19937 Rng;
    std::atomic<uint64_t> Edits{0};
    QStringList Failures;
};

TEST_F(Stress, TheTimerRunsThePatchesWhileTheyAreEdited)
{
    std::atomic<uint64_t> midiOut{0};
    Pages.OnMidiOutShort = [&](QObject *, uint32_t) { midiOut.fetch_add(1, std::memory_order_relaxed); };
    Pages.resize(800, 500);
    Pages.show();
    TTickProbe::Runs = 0;
    Pages.LoadSlot(File);
    ASSERT_NE(Pages.AddModule(ClassOf<TTickProbe>()), nullptr);
    ASSERT_EQ(Pages.Slots(0)->ModuleCount(), 5);
    ASSERT_EQ(Pages.Slots(0)->Sheet()->CableCount(), 3);

    // Tick thread only.
    uint64_t calls = 0, executed = 0, skipped = 0, escaped = 0;
    auto timer = CreateOwned<THiResTimer>();
    timer->SetInterval(1);
    timer->SetResolution(1);
    timer->OnTimer = [&](THiResTimer *) {
        ++calls;
        const uint64_t editsBefore = Edits.load();
        const int countBefore = Pages.UpdateCount();
        const uint64_t runsBefore = TTickProbe::Runs.load(std::memory_order_relaxed);
        try {
            Pages.Execute();
        } catch (...) {
            ++escaped;
        }
        const bool ran = TTickProbe::Runs.load(std::memory_order_relaxed) != runsBefore;
        const bool editOverlapped =
            countBefore > 0 || Pages.UpdateCount() > 0 || editsBefore % 2 == 1 || Edits.load() != editsBefore;
        if (ran)
            ++executed;
        else if (editOverlapped)
            ++skipped;
    };
    timer->SetEnabled(true);

    QElapsedTimer elapsed;
    elapsed.start();
    uint64_t &edits = EditNumber;
    while (EditLimit > 0 ? edits < EditLimit : elapsed.elapsed() < Seconds * 1000LL) {
        ++edits;
        OneEdit();
    }
    timer->SetEnabled(false); // no call runs once this returns

    SCOPED_TRACE(QStringLiteral("seed %1, %2 edits").arg(Seed).arg(edits).toStdString());
    EXPECT_EQ(calls, executed + skipped) << "ticks lost without an edit that raised the update count";
    EXPECT_GT(executed, 0u);
    EXPECT_EQ(escaped, 0u);
    EXPECT_EQ(TTickProbe::Runs.load(), executed);
    EXPECT_GT(midiOut.load(), 0u) << "the patches never sent";
    EXPECT_EQ(Failures, QStringList());
    EXPECT_EQ(Dialogs.Errors, QStringList());
    EXPECT_EQ(Dialogs.Messages, QStringList());
    RecordProperty("seed", std::to_string(Seed));
    RecordProperty("ticks", std::to_string(calls));
    RecordProperty("skipped", std::to_string(skipped));
    RecordProperty("edits", std::to_string(edits));
}

} // namespace

#include "test_stress.moc"
