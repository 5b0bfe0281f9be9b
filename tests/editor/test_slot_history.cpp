// A slot's history stays in step with its patch: edits made while a module from the palette is
// still being placed undo and redo in turn; a step that no longer fits the patch (changed behind
// the history's back) is reported, its slot's history cleared, and the program goes on.
#include "Editor.h"
#include "EditorTestSupport.h"
#include "TestModules.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QUndoGroup>
#include <QUndoStack>

#include <functional>

namespace {

// Two slots on a shown page control; slot A holds a source wired into a pass-through.
class SlotHistory : public ::testing::Test {
public:
    SlotHistory()
    {
        DragState = TDragState{};
        Pages.resize(1000, 600);
        Pages.show();
        B = Pages.NewSlot(QStringLiteral("B"));
        A = Pages.NewSlot(QStringLiteral("A"));
        QCoreApplication::processEvents();
        std::lock_guard lock(Pages.Guard().Mutex);
        Source = Create<TKorTestSource>(A->Sheet());
        Through = Create<TKorTestThrough>(A->Sheet());
        Through->SetLeft(300);
        A->Sheet()->ToggleConnection(Source->Out, Through->In);
        A->History()->clear();
    }
    ~SlotHistory() override { DragState = TDragState{}; }

    // The patch as text, as a save writes it but for the renaming.
    static QString Text(TKorSlot *slot) { return QString::fromUtf8(slot->PatchText()); }
    // A palette press on the active slot: the module follows the pointer until dropped.
    TKorCustomModule *Place(const TComponentClass &cls)
    {
        TKorCustomModule *m = Pages.AddModule(cls);
        EXPECT_TRUE(m && m->BeingCreated());
        return m;
    }
    // The release on the active slot's canvas that drops the module being placed.
    void Drop(QPoint at = {700, 400})
    {
        QWidget *canvas = Pages.ActiveSlot()->Canvas();
        SendMouse(canvas, QEvent::MouseMove, at, Qt::NoButton);
        SendMouse(canvas, QEvent::MouseButtonRelease, at, Qt::LeftButton);
    }
    void CopyAllAndPaste()
    {
        Pages.SelectAll();
        Pages.CopySelection();
        Pages.PasteClipboard();
    }
    // A change to A's patch that its history does not see.
    template <class F>
    void BehindTheHistory(F &&change)
    {
        const TKorSlot::TQuiet quiet(*A);
        std::lock_guard lock(Pages.Guard().Mutex);
        change(*A->Sheet());
    }

    TDialogRecorder Dialogs;
    TKorModulePageControl Pages;
    TKorSlot *A = nullptr, *B = nullptr;
    TKorTestSource *Source = nullptr;
    TKorTestThrough *Through = nullptr;
};

struct TPlacingCase {
    const char *Name;
    std::function<void(SlotHistory &)> Edits;
};

void PrintTo(const TPlacingCase &c, std::ostream *os)
{
    *os << c.Name;
}

class EditsWhilePlacing : public SlotHistory, public ::testing::WithParamInterface<TPlacingCase> {};

// The module being placed is part of the patch from the palette press on: every edit made
// before its drop is recorded with it there, so undoing them all gives back the patch before the
// press and redoing them all gives back the end.
TEST_P(EditsWhilePlacing, UndoAllAndRedoAllGiveBackBothEnds)
{
    const QString start = Text(A);
    GetParam().Edits(*this);
    ASSERT_EQ(Pages.ActiveSlot(), A);
    const QString end = Text(A);
    ASSERT_NE(end, start);
    while (A->History()->canUndo())
        Pages.Histories()->undo();
    EXPECT_EQ(Text(A), start);
    while (A->History()->canRedo())
        Pages.Histories()->redo();
    EXPECT_EQ(Text(A), end);
    QCoreApplication::processEvents();
    EXPECT_EQ(Dialogs.Errors, QStringList());
}

const TPlacingCase PlacingCases[] = {
    {"PasteThenTheNextPressDropsIt",
     [](SlotHistory &t) {
         t.Place(ClassOf<TKorTestThrough>());
         t.CopyAllAndPaste();
         t.Place(ClassOf<TKorTestSource>());
         t.Drop();
     }},
    {"CableToItThenTheReleaseDropsIt",
     [](SlotHistory &t) {
         auto *placed = static_cast<TKorTestThrough *>(t.Place(ClassOf<TKorTestThrough>()));
         {
             std::lock_guard lock(t.Pages.Guard().Mutex);
             t.A->Sheet()->ToggleConnection(t.Source->Out, placed->In);
         }
         t.Drop();
     }},
    {"DroppedByAPressOnAnotherSlotThenPaste",
     [](SlotHistory &t) {
         t.Place(ClassOf<TKorTestThrough>());
         t.Pages.setCurrentWidget(t.B);
         t.Place(ClassOf<TKorTestSource>());
         t.Drop();
         t.Pages.setCurrentWidget(t.A);
         t.CopyAllAndPaste();
         t.Place(ClassOf<TKorTestSource>());
         t.Drop();
     }},
    {"PasteThenEscapeTakesItBack",
     [](SlotHistory &t) {
         t.Place(ClassOf<TKorTestThrough>());
         t.CopyAllAndPaste();
         EXPECT_TRUE(t.A->CancelPlacing());
     }},
};

INSTANTIATE_TEST_SUITE_P(SlotHistory, EditsWhilePlacing, ::testing::ValuesIn(PlacingCases),
                         [](const auto &row) { return std::string(row.param.Name); });

TEST_F(SlotHistory, UndoWhileAModuleIsPlacedTakesItBack)
{
    Place(ClassOf<TKorTestThrough>());
    EXPECT_TRUE(A->Modified());
    Pages.Histories()->undo();
    EXPECT_EQ(A->ModuleCount(), 2);
    EXPECT_FALSE(A->Placing());
    EXPECT_FALSE(A->Modified());
    EXPECT_TRUE(A->Sheet()->Overlay().empty()) << "the outline that followed the pointer is gone";
    Drop();
    EXPECT_EQ(A->ModuleCount(), 2) << "a release afterwards drops nothing";
    ASSERT_EQ(A->History()->redoText(), "Add module");
    Pages.Histories()->redo();
    ASSERT_EQ(A->ModuleCount(), 3);
    EXPECT_FALSE(A->Sheet()->Modules(2)->BeingCreated()) << "back as a module on the sheet";
}

// A step meets a patch that was changed behind the history's back.
struct TMisfitCase {
    const char *Name;
    std::function<void(SlotHistory &)> Edit; // makes one step, which is undone first for a redo
    std::function<void(SlotHistory &, TKorDrawSheet &)> Change;
    bool Redo;
    const char *Message;
};

void PrintTo(const TMisfitCase &c, std::ostream *os)
{
    *os << c.Name;
}

class StepsThatNoLongerFit : public SlotHistory, public ::testing::WithParamInterface<TMisfitCase> {};

TEST_P(StepsThatNoLongerFit, AreReportedAndClearTheHistoryOfTheirSlotOnly)
{
    const TMisfitCase &c = GetParam();
    {
        std::lock_guard lock(Pages.Guard().Mutex);
        Create<TKorTestSource>(B->Sheet());
    }
    Pages.setCurrentWidget(B);
    Place(ClassOf<TKorTestSource>());
    Drop();
    Pages.setCurrentWidget(A);
    c.Edit(*this);
    ASSERT_EQ(A->History()->count(), 1);
    if (c.Redo)
        Pages.Histories()->undo();
    BehindTheHistory([&](TKorDrawSheet &sheet) { c.Change(*this, sheet); });
    const QString patch = Text(A);
    const bool modified = A->Modified();
    std::vector<bool> reported;
    Pages.OnModifiedChange = [&](QObject *) { reported.push_back(A->Modified()); };

    if (c.Redo)
        Pages.Histories()->redo();
    else
        Pages.Histories()->undo();
    QCoreApplication::processEvents();
    EXPECT_EQ(Dialogs.Errors, QStringList{c.Message});
    EXPECT_EQ(Text(A), patch) << "the patch stays as it is";
    EXPECT_EQ(A->History()->count(), 0);
    EXPECT_TRUE(A->Modified());
    EXPECT_EQ(reported, modified ? std::vector<bool>{} : std::vector<bool>{true}) << "never taken for a save";
    EXPECT_EQ(B->History()->count(), 1) << "another slot keeps its history";
}

const TMisfitCase MisfitCases[] = {
    {"CableOfAModuleThatIsGone",
     [](SlotHistory &t) {
         std::lock_guard lock(t.Pages.Guard().Mutex);
         t.A->Sheet()->ToggleConnection(t.Source->Out, t.Through->In);
     },
     [](SlotHistory &t, TKorDrawSheet &) { Free(t.Through); }, false,
     "Undo could not be applied: The history does not match the patch: no module at 1. The history of A was cleared."},
    {"CableThatIsThereAgain",
     [](SlotHistory &t) {
         std::lock_guard lock(t.Pages.Guard().Mutex);
         t.A->Sheet()->ToggleConnection(t.Source->Out, t.Through->In);
     },
     [](SlotHistory &t, TKorDrawSheet &sheet) { sheet.ToggleConnection(t.Source->Out, t.Through->In); }, false,
     "Undo could not be applied: The history does not match the patch: a cable from TestSource0.Out to "
     "TestThrough0.In is there already. The history of A was cleared."},
    {"SettingsOfAModuleOfAnotherClass",
     [](SlotHistory &t) { t.A->EditModule(t.Through, [&] { t.Through->SetTop(200); }); },
     [](SlotHistory &t, TKorDrawSheet &sheet) {
         Free(t.Through);
         Create<TKorTestSource>(&sheet);
     },
     false,
     "Undo could not be applied: The history does not match the patch: TestSource1 at 1 is no TKorTestThrough. "
     "The history of A was cleared."},
    {"DeletionOfAModuleOfAnotherClass",
     [](SlotHistory &t) {
         t.Pages.SelectAll();
         t.Pages.DeleteSelectedModules();
     },
     [](SlotHistory &t, TKorDrawSheet &sheet) {
         Free(t.A->Sheet()->Modules(1));
         Create<TKorTestSource>(&sheet);
     },
     true,
     "Redo could not be applied: The history does not match the patch: TestSource1 at 1 is no TKorTestThrough. "
     "The history of A was cleared."},
};

INSTANTIATE_TEST_SUITE_P(SlotHistory, StepsThatNoLongerFit, ::testing::ValuesIn(MisfitCases),
                         [](const auto &row) { return std::string(row.param.Name); });

} // namespace
