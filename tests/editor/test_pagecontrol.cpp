// The page control: slot names and counts, the tick with its update count and patch lock,
// active and inactive slots, page events, loading, copy and paste, and the debug dump.
#include "Editor.h"
#include "EditorTestSupport.h"
#include "TestModules.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTabBar>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

// Counts its ticks; sends Pending when set.
class TTickCounter : public TKorTestMidi {
public:
    void Execute() override
    {
        ++Ticks;
        TKorTestMidi::Execute();
    }
    int Ticks = 0;
};

template <class M>
M *AddTo(TKorSlot *slot, int left = 0, int top = 0)
{
    std::lock_guard lock(slot->Guard().Mutex);
    M *m = Create<M>(slot->Sheet());
    m->SetLeft(left);
    m->SetTop(top);
    return m;
}

QStringList Captions(const TKorModulePageControl &pc)
{
    QStringList list;
    for (int i = 0; i < pc.count(); ++i)
        list << pc.tabText(i);
    return list;
}

TEST(PageControl, UnnamedSlotsAreNumberedAndNumbersAreNeverReused)
{
    QTemporaryDir dir;
    TKorModulePageControl pc;
    pc.NewSlot("");
    pc.NewSlot("");
    pc.NewSlot("");
    EXPECT_EQ(Captions(pc), (QStringList{"Slot1", "Slot2", "Slot3"}));
    EXPECT_FALSE(pc.ActiveSlot()->HasFile()) << "a new slot has no file until the user names one";
    pc.CloseActiveSlot();
    EXPECT_EQ(pc.ActiveSlot(), pc.Slots(0)) << "the first page becomes active";
    pc.NewSlot("");
    EXPECT_EQ(Captions(pc), (QStringList{"Slot1", "Slot2", "Slot4"}));

    TKorSlot donor;
    donor.SaveToFile(dir.filePath("Bass.slt"));
    pc.LoadSlot(dir.filePath("Bass.slt"));
    pc.NewSlot("");
    EXPECT_EQ(Captions(pc), (QStringList{"Slot1", "Slot2", "Slot4", "Bass", "Slot5"})) << "opening uses no number";
}

TEST(PageControl, TicksRunActiveSlotsInPageOrderAndAreLostWhileUpdating)
{
    TKorModulePageControl pc;
    auto *first = AddTo<TTickCounter>(pc.NewSlot(""));
    auto *second = AddTo<TTickCounter>(pc.NewSlot(""));
    std::vector<std::pair<QObject *, uint32_t>> sent;
    pc.OnMidiOutShort = [&](QObject *sender, uint32_t msg) { sent.emplace_back(sender, msg); };
    first->Pending = 0x90;
    second->Pending = 0x91;
    pc.Execute();
    EXPECT_EQ(sent, (std::vector<std::pair<QObject *, uint32_t>>{{first, 0x90}, {second, 0x91}}))
        << "page order, the sending module as sender";

    pc.BeginUpdate();
    pc.BeginUpdate();
    pc.Execute();
    pc.EndUpdate();
    pc.Execute();
    EXPECT_EQ(first->Ticks, 1) << "ticks while the count is above 0 are lost";
    pc.EndUpdate();
    pc.EndUpdate(); // at 0 it stays 0
    EXPECT_EQ(pc.UpdateCount(), 0);
    pc.Execute();
    EXPECT_EQ(first->Ticks, 2);
    EXPECT_EQ(second->Ticks, 2);
}

TEST(PageControl, AnInactiveSlotNeitherRunsNorReceivesNorSends)
{
    TKorModulePageControl pc;
    TKorSlot *slot = pc.NewSlot("");
    auto *m = AddTo<TTickCounter>(slot);
    int sent = 0;
    pc.OnMidiOutShort = [&](QObject *, uint32_t) { ++sent; };
    slot->Sheet()->SetActive(false);
    EXPECT_FALSE(slot->Active()) << "the sheet's flag drives the slot's";
    m->Pending = 0x90;
    pc.Execute();
    pc.MidiInShort(0x643C90);
    std::lock_guard lock(slot->Guard().Mutex);
    m->SendShortMidi(0x80); // even a module that sends on its own is silenced
    EXPECT_EQ(m->Ticks, 0);
    EXPECT_TRUE(m->Received.empty());
    EXPECT_EQ(sent, 0);
    slot->Sheet()->SetActive(true);
    pc.MidiInShort(0x643C90);
    EXPECT_EQ(m->Received, std::vector<uint32_t>{0x643C90});
}

TEST(PageControl, SelectingATabReportsTheSlotThenItsModuleCount)
{
    TKorModulePageControl pc;
    TKorSlot *one = pc.NewSlot("One");
    AddTo<TKorTestSource>(one);
    AddTo<TKorTestSource>(one);
    pc.NewSlot("Two");
    QStringList events;
    pc.OnActiveSlotChange = [&](TKorSlot *slot, const QString &name) {
        events << QStringLiteral("active %1 %2").arg(slot == one).arg(name);
    };
    pc.OnModuleCountChange = [&](QObject *sender, int32_t n) {
        events << QStringLiteral("modules %1 %2").arg(sender == one).arg(n);
    };
    pc.setCurrentIndex(0); // as a click on the tab does
    EXPECT_EQ(events, (QStringList{"active 1 One", "modules 1 2"}));
}

TEST(PageControl, ClosingTheLastPageReportsZeroCounts)
{
    TKorModulePageControl pc;
    pc.NewSlot("");
    std::vector<std::pair<QObject *, int>> pages, modules;
    pc.OnCountChange = [&](QObject *s, int32_t n) { pages.emplace_back(s, n); };
    pc.OnModuleCountChange = [&](QObject *s, int32_t n) { modules.emplace_back(s, n); };
    pc.CloseAllSlots();
    EXPECT_EQ(pages, (std::vector<std::pair<QObject *, int>>{{&pc, 0}}));
    EXPECT_EQ(modules, (std::vector<std::pair<QObject *, int>>{{&pc, 0}}));
    EXPECT_EQ(pc.ActiveSlot(), nullptr);
    EXPECT_EQ(pc.AddModule(ClassOf<TKorTestSource>()), nullptr) << "nothing happens without a slot";
    pc.SaveActiveSlot();
    pc.PasteClipboard();
}

TEST(PageControl, AFileThatFailsToLoadLeavesAnEmptyPageNamedAfterIt)
{
    QTemporaryDir dir;
    QFile bad(dir.filePath("Broken.slt"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("object TKorDrawSheet\r\n  Left = 'x\r\n");
    bad.close();
    TKorModulePageControl pc;
    pc.BeginUpdate();
    EXPECT_THROW(pc.LoadSlot(bad.fileName()), EStreamError);
    EXPECT_EQ(Captions(pc), QStringList{"Broken"});
    EXPECT_EQ(pc.ActiveSlot()->ModuleCount(), 0);
    EXPECT_EQ(pc.UpdateCount(), 1) << "back where it was";
    pc.EndUpdate();
}

// Every error of a patch's content names the file, the line and, where there is one, the
// object or property, through the load that "korvane --check" runs (old class names
// converted on a copy, which the messages must not name instead of the user's file).
TEST(PageControl, LoadErrorsNameTheFileLineAndProperty)
{
    struct TCase {
        const char *Name;
        QByteArray Text;
        const char *Where; // the message after "FILE:"
    };
    const QByteArray sheet = "object TKorDrawSheet\r\n";
    const std::vector<TCase> cases = {
        {"SetterOverflows",
         sheet + "  object Osc1: TKorTestSource\r\n    Left = 0\r\n    Top = 2147483647\r\n  end\r\nend\r\n",
         "4: Osc1.Top: Integer overflow"},
        {"LineFeedsOnly", "object TKorDrawSheet\n\n  object Osc1: TKorTestSource\n    Top = 2147483647\n  end\nend\n",
         "4: Osc1.Top: Integer overflow"},
        {"UnknownProperty", sheet + "  object S: TKorTestSettings\r\n    Volume = 3\r\n  end\r\nend\r\n",
         "3: S.Volume: Property Volume does not exist"},
        {"MistypedProperty", sheet + "  object S: TKorTestSettings\r\n    KnobValue = 'ten'\r\n  end\r\nend\r\n",
         "3: S.KnobValue: Invalid property value"},
        {"SheetProperty", sheet + "  Color = 'red'\r\nend\r\n", "2: TKorDrawSheet.Color: Property Color does not exist"},
        {"ConnectionsNotAList", sheet + "  Left = 0\r\n  Connections = 3\r\nend\r\n",
         "3: TKorDrawSheet.Connections: Invalid property value"},
        {"ObjectInsideAModule",
         sheet + "  object Osc1: TKorTestSource\r\n    Top = 0\r\n    object Inner: TKorTestThrough\r\n    end\r\n"
                 "  end\r\nend\r\n",
         "4: Inner: Osc1 cannot hold a TKorTestThrough"},
        {"SheetInsideTheSheet", sheet + "  object Sub: TKorDrawSheet\r\n  end\r\nend\r\n",
         "2: Sub: TKorDrawSheet cannot hold a TKorDrawSheet"},
        {"TwoModulesOneName",
         sheet + "  object a: TKorTestSource\r\n  end\r\n  object A: TKorTestThrough\r\n  end\r\nend\r\n",
         "4: A: A component named A already exists"},
        {"UnknownClassAfterConversion", sheet + "  Left = 0\r\n  object X: TKorNoSuchModule\r\n  end\r\nend\r\n",
         "3: X: Class TKorNoSuchModule not found"},
        {"NumberTooBig", sheet + "  Left = 2147483648\r\nend\r\n", "2: Integer value out of range"},
        {"Truncated", sheet + "  Left = 1\r\n", "3: 'end' expected"},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        QTemporaryDir dir;
        const QString file = dir.filePath("p.slt");
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(c.Text);
        f.close();
        TKorModulePageControl pc;
        try {
            pc.LoadSlot(file, TKorModulePageControl::TOldFiles::ConvertCopy);
            ADD_FAILURE() << "loaded";
        } catch (const Exception &e) {
            EXPECT_EQ(e.Message(), file + ":" + c.Where);
        }
        EXPECT_EQ(pc.ActiveSlot()->ModuleCount(), 0) << "nothing of a refused patch is kept";
    }
}

TEST(PageControl, EarlierFilesAreConvertedWhenOpened)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("Old.slt");
    ASSERT_TRUE(
QFile::copy(QStringLiteral(KORVANE_FIXTURES "/old_format.slt"), file));
    TDialogRecorder shown;
    TKorModulePageControl pc;
    pc.LoadSlot(file);
    EXPECT_EQ(Captions(pc), QStringList{"Old"});
    EXPECT_EQ(pc.ActiveSlot()->ModuleCount(), 3);
    EXPECT_EQ(pc.ActiveSlot()->Sheet()->CableCount(), 2);
    EXPECT_TRUE(QFile::exists(dir.filePath("Old.bak")));
    EXPECT_TRUE(shown.Messages.isEmpty());
}

TEST(PageControl, CopyAndPasteKeepPlacesAndOnlyTheInnerCables)
{
    TKorModulePageControl pc;
    TKorSlot *slot = pc.NewSlot("");
    auto *a = AddTo<TKorTestSource>(slot, 0, 0);
    auto *b = AddTo<TKorTestThrough>(slot, 250, 50);
    auto *outside = AddTo<TKorTestThrough>(slot, 500, 100);
    {
        std::lock_guard lock(slot->Guard().Mutex);
        slot->Sheet()->ToggleConnection(a->Out, b->In);
        slot->Sheet()->ToggleConnection(b->Out, outside->In);
        a->SetSelected(true);
        b->SetSelected(true);
        a->SetTitle("Copied");
    }
    pc.CopySelection();
    pc.PasteClipboard();

    TKorDrawSheet *sheet = slot->Sheet();
    ASSERT_EQ(sheet->ModuleCount(), 5);
    auto *a2 = qobject_cast<TKorTestSource *>(sheet->Modules(3));
    auto *b2 = qobject_cast<TKorTestThrough *>(sheet->Modules(4));
    ASSERT_TRUE(a2 && b2);
    EXPECT_EQ(a2->BoundsRect(), a->BoundsRect());
    EXPECT_EQ(b2->BoundsRect(), b->BoundsRect());
    EXPECT_EQ(a2->Title(), "Copied");
    EXPECT_TRUE(a2->Selected() && b2->Selected());
    EXPECT_FALSE(a->Selected() || b->Selected()) << "the originals are deselected";
    EXPECT_FALSE(a2->BeingCreated());
    EXPECT_FALSE(a2->Name().isEmpty());
    EXPECT_NE(a2->Name(), a->Name());
    ASSERT_EQ(sheet->CableCount(), 3);
    EXPECT_EQ(sheet->CableFrom(2), a2->Out);
    EXPECT_EQ(sheet->CableTo(2), b2->In);
    EXPECT_EQ(b2->Out->ConnectionCount(), 0) << "the cable that left the selection is not copied";
}

TEST(PageControl, PastingTextSaysThereAreNoModules)
{
    TDialogRecorder shown;
    TKorModulePageControl pc;
    TKorSlot *slot = pc.NewSlot("");
    auto *a = AddTo<TKorTestSource>(slot);
    a->SetSelected(true);
    QGuiApplication::clipboard()->setText("Constant0.Out Amplifier0.In");
    pc.PasteClipboard();
    EXPECT_EQ(shown.Messages, QStringList{"Clipboard has no modules."});
    EXPECT_EQ(slot->ModuleCount(), 1);
    EXPECT_FALSE(a->Selected());
}

TEST(PageControl, AFreshSlotIsNeverSavedUnderAMadeUpName)
{
    // Earlier, a first save wrote "Slot<n>.slt" beside the program, over the file of an
    // earlier session with the same number.
    QTemporaryDir dir;
    SetApplicationDirectory(dir.path());
    TKorModulePageControl pc;
    pc.NewSlot("");
    EXPECT_THROW(pc.SaveActiveSlot(), EFileError);
    EXPECT_THROW(pc.SaveAllSlots(), EFileError);
    SetApplicationDirectory(QStringLiteral(KORVANE_APPDIR));
    EXPECT_TRUE(QDir(dir.path()).isEmpty());
    pc.SaveActiveSlotAs(dir.filePath("Lead.Line.slt"));
    EXPECT_EQ(Captions(pc).last(), "Lead.Line");
    EXPECT_EQ(pc.ActiveSlot()->SlotFileName(), dir.filePath("Lead.Line.slt"));
    EXPECT_NO_THROW(pc.SaveActiveSlot()) << "from then on it saves to its file";
}

// Deleting modules while another thread ticks: an edit never runs while a tick is inside
// a module, and a tick never sees a half-deleted patch.
class TSlowModule : public TKorTestSource {
public:
    void Execute() override
    {
        Inside = true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        TKorTestSource::Execute();
        Inside = false;
    }
    void BeforeDestruction() override
    {
        if (Inside)
            Overlapped = true;
        TKorTestSource::BeforeDestruction();
    }
    static inline std::atomic<bool> Inside{false}, Overlapped{false};
};

TEST(PageControl, StructuralEditsNeverOverlapARunningTick)
{
    TKorModulePageControl pc;
    TKorSlot *slot = pc.NewSlot("");
    std::atomic<bool> stop{false};
    std::atomic<int> ticks{0};
    std::thread ticker([&] {
        while (!stop) {
            pc.Execute();
            ++ticks;
        }
    });
    for (int round = 0; round < 40; ++round) {
        for (int i = 0; i < 5; ++i) {
            std::lock_guard lock(slot->Guard().Mutex);
            auto *m = Create<TSlowModule>(slot->Sheet());
            auto *t = Create<TKorTestThrough>(slot->Sheet());
            slot->Sheet()->ToggleConnection(m->Out, t->In);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pc.SelectAll();
        pc.DeleteSelectedModules();
    }
    stop = true;
    ticker.join();
    EXPECT_FALSE(TSlowModule::Overlapped);
    EXPECT_GT(ticks.load(), 40);
    EXPECT_EQ(slot->ModuleCount(), 0);
}

// A long read of the patch on the user-interface thread (a recovery copy) holds the lock in
// pieces: a tick that waits runs between two pieces, never inside one.
TEST(PageControl, ALongReadInPiecesLetsAWaitingTickRunBetweenThem)
{
    TKorModulePageControl pc;
    TKorSlot *slot = pc.NewSlot("");
    auto *counter = AddTo<TTickCounter>(slot);
    std::atomic<bool> stop{false};
    std::thread ticker([&] {
        while (!stop)
            pc.Execute();
    });
    int ranBetween = 0, ranInside = 0;
    {
        TPatchPieces pieces(slot->Guard(), std::chrono::nanoseconds(0));
        // Each piece waits for a tick to wait for the lock; a breath may miss it now and then
        // on a busy machine, but not every time.
        for (int piece = 0; piece < 10000 && ranBetween < 3; ++piece) {
            const int before = counter->Ticks;
            const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (slot->Guard().TicksWaiting() == 0 && std::chrono::steady_clock::now() < patience)
                std::this_thread::yield();
            ranInside += counter->Ticks != before;
            const int waited = counter->Ticks;
            pieces.Breathe();
            ranBetween += counter->Ticks != waited;
        }
    }
    stop = true;
    ticker.join();
    EXPECT_EQ(ranInside, 0);
    EXPECT_EQ(ranBetween, 3);
}

// Whether the tab of `slot` carries the tick-error mark: a red icon and red text.
bool TabMarked(const TKorModulePageControl &pc, TKorSlot *slot)
{
    const int i = pc.indexOf(slot);
    return !pc.tabIcon(i).isNull() && pc.tabBar()->tabTextColor(i) == QColor(Qt::red);
}

TEST(PageControl, ASlotThatRaisesLosesOnlyItsOwnTicksAndItsTabShowsTheFirstError)
{
    TKorModulePageControl pc;
    TKorSlot *first = pc.NewSlot(""), *middle = pc.NewSlot(""), *last = pc.NewSlot("");
    auto *a = AddTo<TTickCounter>(first);
    auto *thrower = AddTo<TKorTestThrower>(middle);
    auto *b = AddTo<TTickCounter>(last);
    std::vector<std::pair<QObject *, uint32_t>> sent, expected;
    pc.OnMidiOutShort = [&](QObject *sender, uint32_t msg) { sent.emplace_back(sender, msg); };
    for (uint32_t tick = 0; tick < 3; ++tick) {
        a->Pending = 0x90 + tick;
        b->Pending = 0x80 + tick;
        EXPECT_FALSE(pc.Execute()) << "tick " << tick << " had a failing slot";
        expected.insert(expected.end(), {{a, 0x90 + tick}, {b, 0x80 + tick}});
    }
    EXPECT_EQ(sent, expected) << "the slots before and after the failing one send on every tick";
    EXPECT_EQ(thrower->Ticks, 3);

    struct TCase {
        const char *Name;
        TKorSlot *Slot;
        uint64_t Failed;
        int64_t FirstTick;
        QString FirstError;
    };
    const std::vector<TCase> cases = {
        {"First", first, 0, -1, ""},
        {"Middle", middle, 3, 0, "Integer overflow"},
        {"Last", last, 0, -1, ""},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        const TKorSlot::TTickErrors e = c.Slot->TickErrors();
        EXPECT_EQ(e.TicksRun, 3u);
        EXPECT_EQ(e.TicksFailed, c.Failed);
        EXPECT_EQ(e.FirstTick, c.FirstTick);
        EXPECT_EQ(e.FirstError, c.FirstError);
        EXPECT_FALSE(TabMarked(pc, c.Slot)) << "the mark waits for the user-interface thread";
    }
    QCoreApplication::processEvents();
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(TabMarked(pc, c.Slot), c.Failed > 0);
        EXPECT_EQ(pc.tabToolTip(pc.indexOf(c.Slot)), c.FirstError);
    }

    // An edit takes the mark off and counts afresh; the error, still there, is found again at
    // the page control's tick number, and the first of a run of errors is the one kept.
    middle->EditModule(thrower, [&] { thrower->SetLeft(250); });
    EXPECT_FALSE(TabMarked(pc, middle));
    EXPECT_EQ(pc.tabToolTip(1), "");
    EXPECT_EQ(middle->TickErrors().TicksFailed, 0u);
    pc.Execute();
    pc.Execute();
    QCoreApplication::processEvents();
    const TKorSlot::TTickErrors again = middle->TickErrors();
    EXPECT_EQ(again.TicksRun, 2u);
    EXPECT_EQ(again.TicksFailed, 2u);
    EXPECT_EQ(again.FirstTick, 3);
    EXPECT_TRUE(TabMarked(pc, middle));

    // Mended: every slot runs clean and no mark comes back.
    pc.setCurrentWidget(middle);
    pc.DeleteAllModules();
    EXPECT_TRUE(pc.Execute());
    QCoreApplication::processEvents();
    EXPECT_FALSE(TabMarked(pc, middle));
    EXPECT_EQ(middle->TickErrors().TicksFailed, 0u);
}

TEST(PageControl, DumpWrapsEverySlot)
{
    TKorModulePageControl pc;
    AddTo<TKorTestSource>(pc.NewSlot(""));
    QString text;
    QTextStream out(&text);
    pc.Dump(out, 0, 5);
    out.flush();
    EXPECT_EQ(text, " TKorModulePageControl\n"
                    " Begin\n"
                    "   Slot\n"
                    "   TKorDrawSheet\n"
                    "   Begin\n"
                    "     TKorTestSource : 'TestSource0'\n"
                    "       TKorTextLabel : 'TextLabel0'\n"
                    "       TKorOutput : 'Out'\n"
                    "   End\n"
                    " End\n");
}

} // namespace

namespace {

TEST(PageControl, APalettePressMakesAModuleThatTheNextReleaseDropsOnTheNearestCell)
{
    DragState = TDragState{};
    TKorModulePageControl pc;
    pc.resize(1000, 600);
    pc.show();
    TKorSlot *slot = pc.NewSlot("");
    QCoreApplication::processEvents();
    TKormoduleSelector palette;
    TKorModuleButton *button = palette.AddModuleButton("Gen", ClassOf<TKorTestSource>());
    palette.SetButtonsEnabled(true);
    TKorCustomModule *made = nullptr;
    palette.SetOnModuleButtonClick([&](TKorModuleButton *, const TComponentClass &cls) { made = pc.AddModule(cls); });

    SendMouse(button, QEvent::MouseButtonPress, {5, 5}, Qt::LeftButton);
    ASSERT_NE(made, nullptr) << "made at the press";
    SendMouse(button, QEvent::MouseButtonRelease, {5, 5}, Qt::LeftButton);
    EXPECT_TRUE(made->BeingCreated());
    EXPECT_TRUE(made->Selected());
    QImage img = slot->Canvas()->grab().toImage();
    EXPECT_EQ(QColor(img.pixel(150, 30)), QColor(Qt::black)) << "invisible while it is placed";

    QWidget *canvas = slot->Canvas();
    SendMouse(canvas, QEvent::MouseMove, {400, 130}, Qt::NoButton);
    ASSERT_EQ(slot->Sheet()->Overlay().size(), 1u);
    EXPECT_EQ(slot->Sheet()->Overlay()[0].Rect, (TRect{275, 105, 525, 155})) << "the outline is centred on the pointer";
    SendMouse(canvas, QEvent::MouseButtonPress, {400, 130}, Qt::LeftButton);
    EXPECT_EQ(DragState.DragObject, made) << "a press in between is ignored";
    SendMouse(canvas, QEvent::MouseButtonRelease, {400, 130}, Qt::LeftButton);
    EXPECT_EQ(QPoint(made->Left(), made->Top()), QPoint(250, 100));
    EXPECT_FALSE(made->BeingCreated());
    EXPECT_TRUE(slot->Sheet()->Overlay().empty());
    img = slot->Canvas()->grab().toImage();
    EXPECT_EQ(QColor(img.pixel(400, 130)), QColor(192, 192, 192)) << "visible where it was dropped";
    DragState = TDragState{};
}

} // namespace
