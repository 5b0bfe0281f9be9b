// Modules and details: creation defaults, naming, panel building, geometry with damage
// reports, coordinate conversion, assignment and the debug dump.
#include "Modules.h"
#include "TestHost.h"
#include "TestModules.h"

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QVariant>

namespace {

TEST(Modules, NewModulesSitOnTheRackWithATitle)
{
    struct Case {
        const TComponentClass &cls;
        int height;
    };
    const Case cases[] = {{ClassOf<TKorModule>(), 50}, {ClassOf<TKorModule2>(), 100},
                          {ClassOf<TKorModule4>(), 200}, {ClassOf<TKorModule8>(), 400}};
    auto sheet = CreateOwned<TKorDrawSheet>();
    for (const Case &c : cases) {
        auto *m = static_cast<TKorCustomModule *>(CreateComponent(c.cls, sheet.get()));
        SCOPED_TRACE(m->ClassName().toStdString());
        EXPECT_EQ(m->BoundsRect(), (TRect{0, 0, 250, c.height}));
        EXPECT_EQ(m->Grid(), QPoint(250, 50));
        EXPECT_EQ(m->Color(), 0xC0C0C0u);
        EXPECT_FALSE(m->Selected());
        EXPECT_FALSE(m->BeingCreated());
        ASSERT_NE(m->TitleLabel(), nullptr);
        EXPECT_EQ(m->Title(), m->ClassName().mid(4));
        EXPECT_EQ(m->TitleLabel()->BoundsRect(), (TRect{2, 2, 57, 14}));
        EXPECT_TRUE(m->TitleLabel()->AcceptsMouse());
        EXPECT_EQ(m->TitleLabel()->Name(), "TextLabel0");
    }
}

TEST(Modules, NamesAreClassNameAndTheFirstFreeNumber)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *a = Create<TKorTestSource>(sheet.get());
    auto *b = Create<TKorTestSource>(sheet.get());
    auto *c = Create<TKorTestThrough>(sheet.get());
    EXPECT_EQ(a->Name(), "TestSource0");
    EXPECT_EQ(b->Name(), "TestSource1");
    EXPECT_EQ(c->Name(), "TestThrough0");
    Free(a);
    EXPECT_EQ(Create<TKorTestSource>(sheet.get())->Name(), "TestSource0") << "freed numbers are reused";
    // The through module's caption is its second label: the title holds TextLabel0.
    EXPECT_EQ(c->Caption->Name(), "TextLabel1");
    auto *extra = c->AddDetail<TKorTextLabel>(0, 30);
    EXPECT_EQ(extra->Name(), "TextLabel2");
}

TEST(Modules, UniqueNameSkipsTheCurrentNameAndIsNeverEmptyOnASheet)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *only = Create<TKorTestSource>(sheet.get());
    ASSERT_EQ(only->Name(), "TestSource0");
    // Its own name counts as taken; with every one of the first N names taken the count
    // goes on, so a module that is renamed before saving always gets a name.
    EXPECT_EQ(only->GetUniqueName(), "TestSource1");
    auto *second = Create<TKorTestSource>(sheet.get());
    EXPECT_EQ(second->Name(), "TestSource1");
    EXPECT_EQ(second->GetUniqueName(), "TestSource2");
    TOwned<TKorTestSource> orphan(Create<TKorTestSource>(nullptr));
    EXPECT_EQ(orphan->Name(), "") << "a detail without owner has no name";
}

TEST(Modules, AddDetailNamesConnectorsAndRefusesUnnamedOnes)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *m = Create<TKorModule>(sheet.get());
    const int before = m->ComponentCount();
    try {
        m->AddDetail<TKorInput>(10, 10);
        FAIL() << "an unnamed connector was accepted";
    } catch (const EInvalidName &e) {
        EXPECT_EQ(e.Message(), "Connectors must have a non-empty name !");
    }
    EXPECT_EQ(m->ComponentCount(), before + 1) << "the half-made connector stays a child";
    auto *label = m->AddDetail<TKorTextLabel>(7, 9);
    EXPECT_EQ(label->Left(), 7);
    EXPECT_EQ(label->Top(), 9);
    EXPECT_FALSE(label->Name().isEmpty());
    auto *in = m->AddDetail<TKorInput>(30, 20, "In");
    EXPECT_EQ(in->Name(), "In");
    EXPECT_EQ(in->BoundsRect(), (TRect{30, 20, 45, 35}));
    EXPECT_EQ(in->SignalKind(), Asymmetric);
    EXPECT_EQ(in->KindColor(), 0xFF0000u);
    EXPECT_THROW(m->AddDetail<TKorOutput>(60, 20, "in"), EComponentError) << "connector names clash regardless of case";
}

TEST(Modules, PositionsSnapToTheRackAndUnchangedValuesRepaintNothing)
{
    TSheetFixture f;
    auto *m = f.Add<TKorTestSource>();
    struct Case {
        const char *name;
        void (TKorCustomDetail::*set)(int32_t);
        int32_t value;
        TRect expected;
    };
    const Case cases[] = {
        {"Left 124", &TKorCustomDetail::SetLeft, 124, {0, 0, 250, 50}},
        {"Left 125", &TKorCustomDetail::SetLeft, 125, {250, 0, 500, 50}},
        {"Left -130", &TKorCustomDetail::SetLeft, -130, {0, 0, 250, 50}},
        {"Left 37", &TKorCustomDetail::SetLeft, 37, {0, 0, 250, 50}},
        {"Top 24", &TKorCustomDetail::SetTop, 24, {0, 0, 250, 50}},
        {"Top 25", &TKorCustomDetail::SetTop, 25, {0, 50, 250, 100}},
    };
    for (const Case &c : cases) {
        m->SetBoundsRect({0, 0, 250, 50});
        (m->*c.set)(c.value);
        EXPECT_EQ(m->BoundsRect(), c.expected) << c.name;
    }
    m->SetBoundsRect({250, 50, 500, 100});
    f.Host.Invalidated.clear();
    m->SetLeft(250);
    m->SetTop(50);
    m->SetWidth(250);
    m->SetHeight(50);
    m->SetLeft(260); // snaps back to where it is
    EXPECT_TRUE(f.Host.Invalidated.empty());
    m->SetLeft(500);
    // The old place is erased, the new one painted.
    ASSERT_EQ(f.Host.Invalidated.size(), 2u);
    EXPECT_EQ(f.Host.Invalidated[0], std::make_pair(TRect{250, 50, 500, 100}, true));
    EXPECT_EQ(f.Host.Invalidated[1], std::make_pair(TRect{500, 50, 750, 100}, false));
}

TEST(Modules, DetailDamageClimbsToTheSheetInSheetCoordinates)
{
    TSheetFixture f;
    auto *m = f.Add<TKorTestThrough>(250, 100);
    f.Host.Invalidated.clear();
    m->In->Invalidate();
    ASSERT_EQ(f.Host.Invalidated.size(), 1u);
    EXPECT_EQ(f.Host.Invalidated[0].first, (TRect{260, 120, 275, 135}));
    // Moving a panel detail erases its old place and makes the sheet paint at once.
    f.Host.Invalidated.clear();
    const int updates = f.Host.UpdatesNow;
    m->Caption->SetLeft(60);
    EXPECT_EQ(f.Host.Invalidated.front(), std::make_pair(m->Caption->BoundsRect().Translated({-20 + 250, 100}), true));
    EXPECT_GT(f.Host.UpdatesNow, updates);
    // A module off any sheet reports nothing and does not fail.
    TOwned<TKorTestThrough> loose(Create<TKorTestThrough>(nullptr));
    EXPECT_NO_THROW(loose->In->Invalidate());
    EXPECT_NO_THROW(loose->Refresh());
}

TEST(Modules, ScreenCoordinatesGoThroughTheSheet)
{
    TSheetFixture f; // the sheet's (0, 0) is at (100, 200) on the screen
    auto *m = f.Add<TKorTestThrough>(250, 50);
    EXPECT_EQ(m->LocalToScreen({0, 0}), QPoint(350, 250));
    EXPECT_EQ(m->In->LocalToScreen({1, 2}), QPoint(361, 272));
    EXPECT_EQ(m->In->ScreenToLocal({361, 272}), QPoint(1, 2));
    EXPECT_EQ(m->In->LocalToSheet({0, 0}), QPoint(260, 70));
    EXPECT_EQ(m->In->SheetToLocal({260, 70}), QPoint(0, 0));
    TOwned<TKorTestThrough> loose(Create<TKorTestThrough>(nullptr));
    EXPECT_EQ(loose->In->LocalToScreen({1, 1}), QPoint(11, 21)) << "without a sheet only the offsets count";
}

TEST(Modules, DetailAtFindsTheTopmostDetailThatTakesTheMouse)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *m = Create<TKorTestThrough>(sheet.get());
    EXPECT_EQ(m->DetailAt({12, 22}), m->In);
    EXPECT_EQ(m->DetailAt({3, 3}), m->TitleLabel()) << "the title takes the mouse";
    EXPECT_EQ(m->DetailAt({42, 22}), m) << "a caption lets the press fall through to the body";
    EXPECT_EQ(m->DetailAt({250, 10}), nullptr);
    auto *over = m->AddDetail<TKorOutput>(15, 25, "Over"); // added later, lies over In
    EXPECT_EQ(m->DetailAt({16, 26}), over);
    EXPECT_EQ(m->ConnectorAt(over, {16, 26}), m->In) << "the excepted connector is skipped";
}

TEST(Modules, ConnectorAtLooksIntoOtherModulesThroughTheSheet)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *a = Create<TKorTestSource>(sheet.get());
    auto *b = Create<TKorTestThrough>(sheet.get());
    b->SetLeft(250);
    // A point right of a's panel lies on b's input.
    EXPECT_EQ(a->ConnectorAt(a->Out, {262, 22}), b->In);
    EXPECT_EQ(a->ConnectorAt(a->Out, {100, 40}), nullptr);
}

TEST(Modules, AssignCopiesPlacePanelSettingsAndSelection)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *from = Create<TKorTestThrough>(sheet.get());
    from->SetLeft(500);
    from->SetTop(150);
    from->SetTitle("Lead");
    from->In->SetKind(Logic);
    from->Caption->SetText("gate");
    from->SetSelected(true);
    auto *to = Create<TKorTestThrough>(sheet.get());
    to->Assign(*from);
    EXPECT_EQ(to->BoundsRect(), from->BoundsRect());
    EXPECT_EQ(to->Title(), "Lead");
    EXPECT_EQ(to->In->SignalKind(), Logic);
    EXPECT_EQ(to->In->KindColor(), 0xFFFFFFu);
    EXPECT_EQ(to->Caption->Text(), "gate");
    EXPECT_TRUE(to->Selected());
    EXPECT_EQ(to->TitleLabel()->Color(), 0xFFFFFFu) << "a selected module shows a white title";
}

TEST(Modules, SelectionAndColourRefreshRecolourTheTitle)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *m = Create<TKorTestThrough>(sheet.get());
    m->SetSelected(true);
    EXPECT_EQ(m->TitleLabel()->Color(), 0xFFFFFFu);
    m->SetSelected(false);
    EXPECT_EQ(m->TitleLabel()->Color(), 0xC0C0C0u);
    ModuleColor = 0x00FF00;
    SymmetricColor = 0x0000FF;
    m->In->SetKind(Symmetric);
    AsymmetricColor = 0x111111;
    sheet->RefreshColors();
    EXPECT_EQ(m->Color(), 0x00FF00u);
    EXPECT_EQ(m->TitleLabel()->Color(), 0x00FF00u);
    EXPECT_EQ(m->In->KindColor(), 0x0000FFu);
    EXPECT_EQ(m->Out->KindColor(), 0x111111u);
    ResetColorSettings();
}

TEST(Modules, DumpWritesOneIndentedLinePerComponent)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    Create<TKorTestSource>(sheet.get());
    QString text;
    QTextStream out(&text);
    sheet->Dump(out, 1, 2);
    out.flush();
    EXPECT_EQ(text, "   TKorDrawSheet\n"
                    "   Begin\n"
                    "     TKorTestSource : 'TestSource0'\n"
                    "       TKorTextLabel : 'TextLabel0'\n"
                    "       TKorOutput : 'Out'\n"
                    "   End\n");
    text.clear();
    sheet->Modules(0)->Dump(out, 0, 0);
    out.flush();
    EXPECT_EQ(text, " TKorTestSource : 'TestSource0'\n") << "depth 0 leaves the details out";
}

TEST(Modules, TitleFollowsTheLabelAndIsStoredEvenWhenEmpty)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    auto *m = Create<TKorTestSource>(sheet.get());
    EXPECT_TRUE(m->setProperty("Title", QStringLiteral("Bass")));
    EXPECT_EQ(m->TitleLabel()->Text(), "Bass");
    EXPECT_EQ(m->property("Title").toString(), "Bass");
    EXPECT_TRUE(m->IsStored("Title"));
    m->SetTitle("");
    EXPECT_TRUE(m->IsStored("Title")) << "a cleared title is written, or it comes back as the default";
    EXPECT_TRUE(m->IsStored("Left"));
}

TEST(Modules, LabelsRepaintOnlyForRealChangesAndAutoSizeFitsTheText)
{
    TSheetFixture f;
    auto *m = f.Add<TKorTestThrough>();
    TKorTextLabel *label = m->Caption;
    label->SetText("in");
    f.Host.Invalidated.clear();
    label->SetText("in");
    EXPECT_TRUE(f.Host.Invalidated.empty()) << "the same text repaints nothing";
    label->SetText("out");
    ASSERT_EQ(f.Host.Invalidated.size(), 1u);
    EXPECT_EQ(f.Host.Invalidated[0].first, (TRect{41, 21, 129, 34})) << "the inside, shrunk by one pixel";

    label->SetAutoSize(true);
    const QFontMetrics fm(label->Font());
    label->SetText("weight controls");
    EXPECT_EQ(label->BoundsRect(),
              (TRect{40, 20, 40 + fm.horizontalAdvance("weight controls") + 2, 20 + fm.height() + 1}));
    EXPECT_FALSE(label->HitTest({1, 1}));
    label->SetAcceptsMouse(true);
    EXPECT_TRUE(label->HitTest({1, 1}));
}

} // namespace
