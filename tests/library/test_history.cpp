// Nothing a musician makes is lost: every edit is one step that undoes to the very text the
// patch had before and redoes to the text after; copy and paste carry every setting; the slot
// knows when it differs from its file.
#include "Editor.h"
#include "EditorTestSupport.h"
#include "LibraryTestSupport.h"
#include "SlotHistory.h"

#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QMetaProperty>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QUndoStack>

#include <algorithm>

namespace {

template <class C>
C *FirstOf(const TKorCustomModule *m, int skip = 0)
{
    for (int i = 0; i < m->ComponentCount(); ++i)
        if (auto *c = qobject_cast<C *>(m->Components(i)); c && skip-- == 0)
            return c;
    return nullptr;
}

QPoint CentreOf(const TKorCustomDetail *d)
{
    return d->LocalToSheet({d->Width() / 2, d->Height() / 2});
}

// Every writable published property set away from its default, where the module takes it.
void SetNonDefaults(TKorCustomModule &m, int seed)
{
    const QMetaObject *meta = m.metaObject();
    for (int i = QObject::staticMetaObject.propertyCount(); i < meta->propertyCount(); ++i) {
        const QMetaProperty p = meta->property(i);
        const QByteArray name = p.name();
        if (!p.isWritable() || name == "Left" || name == "Top" || name == "Width" || name == "Height")
            continue;
        const QVariant was = p.read(&m);
        if (was.typeId() == QMetaType::Bool) {
            p.write(&m, !was.toBool());
        } else if (was.typeId() == QMetaType::QString) {
            p.write(&m, QStringLiteral("%1 #%2").arg(m.ClassName()).arg(seed));
        } else if (was.typeId() == QMetaType::Int) {
            for (int step : {1 + seed % 3, -1 - seed % 3, 1, -1}) {
                try {
                    p.write(&m, was.toInt() + step);
                } catch (const std::exception &) {
                    continue; // outside the setting's range
                }
                if (p.read(&m) != was)
                    break;
            }
        }
    }
}

const auto &Classes = LibraryClasses;

TEST(Paste, EveryModuleClassArrivesWithEverySettingAndItsInnerCables)
{
    TKorModulePageControl pc;
    TKorSlot *from = pc.NewSlot("");
    std::vector<TKorCustomModule *> originals;
    {
        std::lock_guard lock(from->Guard().Mutex);
        int top = 0, seed = 0;
        for (const char *cls : Classes) {
            auto *m = static_cast<TKorCustomModule *>(CreateComponent(FindModuleClass(cls), from->Sheet()));
            m->SetTop(top);
            top += m->Height();
            SetNonDefaults(*m, seed++);
            m->SetSelected(true);
            originals.push_back(m);
        }
        for (size_t i = 0; i + 1 < originals.size(); ++i)
            if (auto *out = FirstOf<TKorOutput>(originals[i])) {
                if (auto *in = FirstOf<TKorInput>(originals[i + 1]))
                    from->Sheet()->ToggleConnection(out, in);
            }
    }
    pc.CopySelection();
    TKorSlot *to = pc.NewSlot("");
    pc.PasteClipboard();

    ASSERT_EQ(to->ModuleCount(), int(originals.size()));
    for (size_t i = 0; i < originals.size(); ++i) {
        SCOPED_TRACE(originals[i]->ClassName().toStdString());
        TKorCustomModule *pasted = to->Sheet()->Modules(int(i));
        ASSERT_EQ(pasted->ClassName(), originals[i]->ClassName());
        EXPECT_EQ(ModuleSettings(*pasted), ModuleSettings(*originals[i]));
    }
    ASSERT_EQ(to->Sheet()->CableCount(), from->Sheet()->CableCount());
    for (int i = 0; i < to->Sheet()->CableCount(); ++i) {
        EXPECT_EQ(to->Sheet()->CableFrom(i)->Name(), from->Sheet()->CableFrom(i)->Name());
        EXPECT_EQ(to->Sheet()->CableFrom(i)->Owner()->ComponentIndex(), from->Sheet()->CableFrom(i)->Owner()->ComponentIndex());
        EXPECT_EQ(to->Sheet()->CableTo(i)->Owner()->ComponentIndex(), from->Sheet()->CableTo(i)->Owner()->ComponentIndex());
    }
}

// A patch shown in a slot: a constant and a sine into an amplifier, a square beside them.
class HistoryTest : public ::testing::Test {
public:
    HistoryTest()
    {
        DragState = TDragState{};
        Pages.resize(1200, 800);
        Pages.show();
        Slot = Pages.NewSlot("Edited");
        QCoreApplication::processEvents();
        std::lock_guard lock(Slot->Guard().Mutex);
        TKorDrawSheet *sheet = Slot->Sheet();
        Constant = Create<TKorConstant>(sheet);
        Sine = Create<TKorSine>(sheet);
        Sine->SetLeft(250);
        Sine->setProperty("Range", 2);
        Amp = Create<TKorAmplifier>(sheet);
        Amp->SetTop(200);
        Square = Create<TKorSquare>(sheet);
        Square->SetLeft(500);
        Square->SetTop(200);
        sheet->ToggleConnection(FirstOf<TKorOutput>(Constant), FirstOf<TKorInput>(Amp));
        sheet->ToggleConnection(FirstOf<TKorOutput>(Sine), FirstOf<TKorInput>(Amp, 1));
        Slot->History()->clear();
    }
    ~HistoryTest() override { DragState = TDragState{}; }

    // Everything a save writes (the patch text as it stands, since a save also renames the
    // modules afresh each time), and the order of the sheet's children, which the save lists
    // the modules in.
    std::string Saved()
    {
        QByteArray text = Slot->PatchText() + "children:";
        for (int i = 0; i < Slot->Sheet()->ComponentCount(); ++i)
            text += ' ' + Slot->Sheet()->Components(i)->Name().toLatin1();
        return text.toStdString();
    }
    QWidget *Canvas() { return Slot->Canvas(); }
    void Select(std::initializer_list<TKorCustomModule *> modules)
    {
        std::lock_guard lock(Slot->Guard().Mutex);
        for (int i = 0; i < Slot->ModuleCount(); ++i)
            Slot->Sheet()->Modules(i)->SetSelected(false);
        for (TKorCustomModule *m : modules)
            m->SetSelected(true);
    }

    QTemporaryDir Dir;
    TKorModulePageControl Pages;
    TKorSlot *Slot = nullptr;
    TKorCustomModule *Constant = nullptr, *Sine = nullptr, *Amp = nullptr, *Square = nullptr;
};

struct TEditCase {
    const char *Name;
    const char *UndoText; // what the step is called
    std::function<void(HistoryTest &)> Edit;
};

void PrintTo(const TEditCase &c, std::ostream *os)
{
    *os << c.Name;
}

class EditKinds : public HistoryTest, public ::testing::WithParamInterface<TEditCase> {};

TEST_P(EditKinds, UndoGivesBackTheTextBeforeAndRedoTheTextAfter)
{
    const std::string before = Saved();
    ASSERT_FALSE(Slot->Modified());
    GetParam().Edit(*this);
    QCoreApplication::processEvents();
    ASSERT_EQ(Slot->History()->count(), 1) << "one step";
    EXPECT_EQ(Slot->History()->undoText(), GetParam().UndoText);
    EXPECT_TRUE(Slot->Modified());
    const std::string after = Saved();
    ASSERT_NE(after, before) << "the edit changed the patch";

    Slot->History()->undo();
    EXPECT_EQ(Saved(), before);
    Slot->History()->redo();
    EXPECT_EQ(Saved(), after);
    Slot->History()->undo();
    Slot->History()->redo();
    EXPECT_EQ(Saved(), after) << "a second round trip";
}

const TEditCase EditCases[] = {
    {"MoveByDrag", "Move", [](HistoryTest &t) { DragMouse(t.Canvas(), {120, 25}, {620, 425}); }},
    {"MoveOfASelectionByDrag", "Move",
     [](HistoryTest &t) {
         t.Select({t.Constant, t.Amp});
         DragMouse(t.Canvas(), {120, 25}, {120, 525});
     }},
    {"KnobTurnedByDrag", "Change Sine0",
     [](HistoryTest &t) {
         const QPoint c = CentreOf(FirstOf<TKorKnob>(t.Sine));
         SendMouse(t.Canvas(), QEvent::MouseButtonPress, c, Qt::LeftButton);
         for (int dy = 2; dy <= 40; dy += 2)
             SendMouse(t.Canvas(), QEvent::MouseMove, c - QPoint(0, dy), Qt::LeftButton);
         SendMouse(t.Canvas(), QEvent::MouseButtonRelease, c - QPoint(0, 40), Qt::LeftButton);
     }},
    {"ButtonPressed", "Change Square0",
     [](HistoryTest &t) {
         const QPoint c = CentreOf(FirstOf<TKorPushButton>(t.Square));
         DragMouse(t.Canvas(), c, c);
     }},
    {"TitleTyped", "Title", [](HistoryTest &t) { t.Slot->EditModule(t.Amp, [&] { t.Amp->SetTitle("Mixer"); }); }},
    {"CableDrawn", "Cable",
     [](HistoryTest &t) {
         DragMouse(t.Canvas(), CentreOf(FirstOf<TKorOutput>(t.Amp)), CentreOf(FirstOf<TKorInput>(t.Square)));
     }},
    {"CableRemovedByDrawingItAgain", "Remove cable",
     [](HistoryTest &t) {
         DragMouse(t.Canvas(), CentreOf(FirstOf<TKorOutput>(t.Constant)), CentreOf(FirstOf<TKorInput>(t.Amp)));
     }},
    {"ModulePlacedFromThePalette", "Add module",
     [](HistoryTest &t) {
         t.Pages.AddModule(ClassOf<TKorSaw>());
         SendMouse(t.Canvas(), QEvent::MouseMove, {900, 500}, Qt::NoButton);
         DragMouse(t.Canvas(), {900, 500}, {900, 500});
     }},
    {"DeleteSelected", "Delete 2 modules",
     [](HistoryTest &t) {
         t.Select({t.Constant, t.Sine});
         t.Pages.DeleteSelectedModules();
     }},
    {"Cut", "Cut module",
     [](HistoryTest &t) {
         t.Select({t.Amp});
         t.Pages.CutSelection();
     }},
    {"Paste", "Paste 2 modules",
     [](HistoryTest &t) {
         t.Select({t.Constant, t.Amp});
         t.Pages.CopySelection();
         t.Pages.PasteClipboard();
     }},
    {"DeleteAll", "Delete 4 modules", [](HistoryTest &t) { t.Pages.DeleteAllModules(); }},
};

INSTANTIATE_TEST_SUITE_P(History, EditKinds, ::testing::ValuesIn(EditCases),
                         [](const auto &row) { return std::string(row.param.Name); });

TEST_F(HistoryTest, StepsUndoInTurnBackToTheLoadedPatch)
{
    const std::string start = Saved();
    DragMouse(Canvas(), {120, 25}, {620, 425});
    Select({Sine});
    Pages.DeleteSelectedModules();
    Pages.AddModule(ClassOf<TKorNeuron>());
    SendMouse(Canvas(), QEvent::MouseMove, {130, 30}, Qt::NoButton);
    DragMouse(Canvas(), {130, 30}, {130, 30});
    DragMouse(Canvas(), CentreOf(FirstOf<TKorOutput>(Amp)), CentreOf(FirstOf<TKorInput>(Square)));
    ASSERT_EQ(Slot->History()->count(), 4);
    const std::string end = Saved();
    while (Slot->History()->canUndo())
        Slot->History()->undo();
    EXPECT_EQ(Saved(), start);
    while (Slot->History()->canRedo())
        Slot->History()->redo();
    EXPECT_EQ(Saved(), end);
}

// A second palette press while the first module is still being placed drops the first where
// its outline is, as a release would: visible, one step of its own (its drop within it), no
// outline left behind. Each module is a step from its press on.
TEST_F(HistoryTest, ASecondPalettePressDropsTheModuleStillBeingPlaced)
{
    const std::string start = Saved();
    TKorCustomModule *first = Pages.AddModule(ClassOf<TKorSaw>());
    ASSERT_NE(first, nullptr);
    SendMouse(Canvas(), QEvent::MouseMove, {900, 530}, Qt::NoButton);
    TKorCustomModule *second = Pages.AddModule(ClassOf<TKorNeuron>());
    ASSERT_NE(second, nullptr);

    EXPECT_FALSE(first->BeingCreated()) << "visible";
    EXPECT_EQ(QPoint(first->Left(), first->Top()), QPoint(750, 500)) << "on the cell its outline was centred on";
    EXPECT_FALSE(first->Selected());
    EXPECT_TRUE(second->BeingCreated());
    EXPECT_EQ(DragState.DragObject, second);
    ASSERT_EQ(Slot->Sheet()->Overlay().size(), 1u) << "only the second module's outline";
    EXPECT_EQ(Slot->History()->count(), 2);
    EXPECT_EQ(Slot->History()->undoText(), "Add module");

    SendMouse(Canvas(), QEvent::MouseMove, {130, 430}, Qt::NoButton);
    DragMouse(Canvas(), {130, 430}, {130, 430});
    EXPECT_FALSE(second->BeingCreated());
    EXPECT_TRUE(Slot->Sheet()->Overlay().empty());
    ASSERT_EQ(Slot->History()->count(), 2);
    Slot->History()->undo();
    EXPECT_EQ(Slot->ModuleCount(), 5) << "the second undone, the first still there";
    Slot->History()->undo();
    EXPECT_EQ(Saved(), start);
}

TEST_F(HistoryTest, TheModifiedMarkFollowsEditsSavesUndoAndLoads)
{
    std::vector<bool> reported;
    Pages.OnModifiedChange = [&](QObject *) { reported.push_back(Slot->Modified()); };
    auto tab = [&] { return Pages.tabText(Pages.indexOf(Slot)); };
    EXPECT_EQ(tab(), "Edited");

    DragMouse(Canvas(), {120, 25}, {620, 425});
    EXPECT_EQ(tab(), "Edited*");
    EXPECT_EQ(Slot->SlotName(), "Edited") << "the name itself never carries the mark";
    Slot->History()->undo();
    EXPECT_EQ(tab(), "Edited") << "back where the file was";
    Slot->History()->redo();
    const QString file = Dir.filePath("saved.korvane");
    Slot->SaveToFile(file);
    EXPECT_FALSE(Slot->Modified());
    EXPECT_EQ(tab(), "Edited");
    Slot->History()->undo();
    EXPECT_TRUE(Slot->Modified()) << "undoing past the save differs from the file";
    Slot->LoadFromFile(file);
    EXPECT_FALSE(Slot->Modified());
    EXPECT_FALSE(Slot->History()->canUndo()) << "loading clears the history";
    EXPECT_EQ(Slot->SlotFileName(), file);
    EXPECT_EQ(reported, (std::vector<bool>{true, false, true, false, true, false}));
}

TEST_F(HistoryTest, AModuleUndoneAwayEndsItsSoundingNoteFirst)
{
    std::vector<uint32_t> sent;
    Pages.OnMidiOutShort = [&](QObject *, uint32_t msg) { sent.push_back(msg); };
    {
        std::lock_guard lock(Slot->Guard().Mutex);
        TKorDrawSheet *sheet = Slot->Sheet();
        for (int i = sheet->ModuleCount() - 1; i >= 0; --i)
            sheet->FreeModule(i);
        auto *note = Create<TKorConstant>(sheet);
        note->SetKnobAmpValue(480); // note 60
        auto *gate = Create<TKorConstant>(sheet);
        gate->SetKnobAmpValue(1000);
        gate->SetTop(50);
        auto *out = Create<TKorMidiOut>(sheet);
        out->SetTop(100);
        sheet->ToggleConnection(note->Out(), out->InNote());
        sheet->ToggleConnection(gate->Out(), out->InGate());
        sheet->SelectAll();
    }
    Pages.CopySelection();
    Slot->History()->clear();
    Pages.PasteClipboard(); // a note output wired to its note and gate, as one step
    for (int i = 0; i < 5; ++i)
        Pages.Execute();
    const auto noteOns = [&] {
        return std::count_if(sent.begin(), sent.end(), [](uint32_t m) { return (m & 0xF0) == 0x90 && (m >> 16 & 0x7F) > 0; });
    };
    ASSERT_EQ(noteOns(), 2) << "the original and the pasted note output both play";
    sent.clear();
    Slot->History()->undo();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0] & 0xFFFF, 0x3C80u) << "note-off of note 60 on channel 1";
}

TEST_F(HistoryTest, UndoNeverChangesWhereTheSlotSaves)
{
    const QString file = Dir.filePath("kept.korvane");
    DragMouse(Canvas(), {120, 25}, {620, 425});
    Slot->SaveToFile(file);
    Slot->History()->undo();
    Slot->History()->undo(); // nothing more to undo: harmless
    EXPECT_EQ(Slot->SlotFileName(), file);
}

TEST_F(HistoryTest, ASavedFileScrollsToItsEdgesOnceOpened)
{
    // A patch larger than the slot in both directions, as a file.
    {
        std::lock_guard lock(Slot->Guard().Mutex);
        Square->SetLeft(2000);
        Square->SetTop(1500);
    }
    const QString file = Dir.filePath("wide.korvane");
    Slot->SaveToFile(file);
    Pages.LoadSlot(file);
    TKorSlot *opened = Pages.ActiveSlot();
    QCoreApplication::processEvents();
    TKorCustomModule *far = nullptr;
    for (int i = 0; i < opened->ModuleCount(); ++i)
        if (opened->Sheet()->Modules(i)->Left() == 2000)
            far = opened->Sheet()->Modules(i);
    ASSERT_NE(far, nullptr);
    const QSize want(far->BoundsRect().Right, far->BoundsRect().Bottom);
    EXPECT_EQ(opened->Canvas()->size(), want);
    EXPECT_EQ(opened->horizontalScrollBar()->maximum(), want.width() - opened->viewport()->width());
    EXPECT_EQ(opened->verticalScrollBar()->maximum(), want.height() - opened->viewport()->height());

    Pages.resize(600, 400);
    QCoreApplication::processEvents();
    EXPECT_EQ(opened->Canvas()->size(), want) << "after a resize";
    EXPECT_EQ(opened->horizontalScrollBar()->maximum(), want.width() - opened->viewport()->width());

    {
        std::lock_guard lock(opened->Guard().Mutex);
        for (int i = 0; i < opened->ModuleCount(); ++i)
            opened->Sheet()->Modules(i)->SetSelected(opened->Sheet()->Modules(i) == far);
        opened->Sheet()->MoveSelection({250, 100});
    }
    EXPECT_EQ(opened->Canvas()->size(), want + QSize(250, 100)) << "after a move";
    Pages.CopySelection();
    TKorSlot *fresh = Pages.NewSlot("");
    Pages.PasteClipboard();
    EXPECT_EQ(fresh->Canvas()->size(), want + QSize(250, 100)) << "after a paste";
}

} // namespace
