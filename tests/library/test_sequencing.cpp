// Counting and sequencing modules: the binary counter, the settable divider with sync and knob
// changes, the table's indexing and note names, the shift register's timing, the slot control
// stopping and starting its own slot, and the settings kept in patch files.
#include "Editor.h"
#include "LibraryTestSupport.h"
#include "PatchFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <limits>

namespace {

// n rising edges on a driven input: high for a tick, low for a tick. The input follows its
// source one tick later, so the module has seen every edge once this returns.
void Pulse(TKorDrawSheet &sheet, TDrive &drive, int n)
{
    for (int e = 0; e < n; ++e) {
        drive.Set(1000);
        Tick(sheet);
        drive.Set(0);
        Tick(sheet);
    }
}

TEST(SequencingPanels, ConnectorsCarryTheirFileNamesPlacesAndKinds)
{
    struct TRow {
        const char *Class, *Name;
        int32_t Left, Top;
        TSignalKind Kind;
    };
    const std::vector<TRow> rows = {
        {"TKorDividerFixed", "In", 8, 30, Logic},          {"TKorDividerFixed", "Out1", 28, 30, Logic},
        {"TKorDividerFixed", "Out32", 128, 30, Logic},     {"TKorDividerFixed", "Out1024", 228, 30, Logic},
        {"TKorFreqDivider", "Outp", 227, 30, Logic},       {"TKorFreqDivider", "Inp", 8, 30, Logic},
        {"TKorFreqDivider", "Sync", 30, 30, Logic},        {"TKorTable", "Inp", 8, 80, Asymmetric},
        {"TKorTable", "Outp", 219, 80, Symmetric},         {"TKorTable", "Chain", 189, 80, Asymmetric},
        {"TKorShifter", "In", 188, 5, Asymmetric},         {"TKorShifter", "Out1", 8, 30, Asymmetric},
        {"TKorShifter", "Out10", 188, 30, Asymmetric},
    };
    TSheetFixture f;
    for (const TRow &r : rows) {
        SCOPED_TRACE(std::string(r.Class) + "." + r.Name);
        auto *m = static_cast<TKorCustomModule *>(CreateComponent(FindModuleClass(r.Class), f.Sheet.get()));
        auto *c = qobject_cast<TKorConnector *>(m->FindComponent(QString::fromLatin1(r.Name)));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(QPoint(c->Left(), c->Top()), QPoint(r.Left, r.Top));
        EXPECT_EQ(c->SignalKind(), r.Kind);
        EXPECT_EQ(c->Value(), 0);
    }
    EXPECT_EQ(f.Add<TKorTable>()->Height(), 100) << "two rack rows";
}

// ---- Fixed divider ----

TEST(DividerFixed, OutputsAndLampsShowTheBitsOfTheEdgeCount)
{
    struct TCase {
        const char *Name;
        int Edges;
        int32_t Count;
    };
    const std::vector<TCase> cases = {
        {"ThreeEdges", 3, 3},
        {"AllBitsSet", 2047, 2047},
        {"LastBeforeWrap", 65535, 65535},
        {"WrapsToZero", 65536, 0},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *d = f.Add<TKorDividerFixed>();
        TDrive in = Drive(*f.Sheet, d->In());
        Pulse(*f.Sheet, in, c.Edges);
        EXPECT_EQ(d->Count(), c.Count);
        for (int k = 0; k < TKorDividerFixed::OutputCount; ++k) {
            const bool bit = (c.Count >> k) & 1;
            EXPECT_EQ(d->Out(k)->Value(), bit ? 1000 : 0) << "output " << k;
            EXPECT_EQ(d->Lamp(k)->On(), bit) << "lamp " << k;
        }
    }
}

TEST(DividerFixed, AHeldLevelCountsOnceAndOnlyOneAndAboveIsHigh)
{
    TSheetFixture f;
    auto *d = f.Add<TKorDividerFixed>();
    TDrive in = Drive(*f.Sheet, d->In());
    in.Set(1000);
    Tick(*f.Sheet, 20);
    EXPECT_EQ(d->Count(), 1);
    for (int32_t level : {0, -5, 0, 1}) {
        in.Set(level);
        Tick(*f.Sheet, 3);
    }
    EXPECT_EQ(d->Count(), 2) << "a negative level is low; 1 rises";
    EXPECT_EQ(d->Out(1)->Value(), 1000);
    EXPECT_EQ(d->Out(0)->Value(), 0);
}

// ---- Settable divider ----

// Outp after each of a run of rising edges on Inp.
std::vector<int32_t> OutputPerEdge(TSheetFixture &f, TKorFreqDivider *d, TDrive &inp, int edges)
{
    std::vector<int32_t> out;
    for (int e = 0; e < edges; ++e) {
        Pulse(*f.Sheet, inp, 1);
        out.push_back(d->Outp()->Value());
    }
    return out;
}

TEST(FreqDivider, TogglesEveryPositionLessOneEdges)
{
    struct TCase {
        const char *Name;
        int32_t Knob;
        std::vector<int32_t> Out;
    };
    const std::vector<TCase> cases = {
        // A new divider's countdown is 1, so the first edge toggles whatever the knob says.
        {"KnobTwoTogglesOnEveryEdge", 2, {1000, 0, 1000, 0, 1000, 0}},
        {"KnobThreeEveryOtherEdge", 3, {1000, 1000, 0, 0, 1000, 1000}},
        {"KnobFourEveryThirdEdge", 4, {1000, 1000, 1000, 0, 0, 0}},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TSheetFixture f;
        auto *d = f.Add<TKorFreqDivider>();
        d->SetKnobValue(c.Knob);
        EXPECT_EQ(d->Division(), c.Knob - 1);
        TDrive inp = Drive(*f.Sheet, d->Inp());
        std::vector<int32_t> out = OutputPerEdge(f, d, inp, 6);
        EXPECT_EQ(out, c.Out);
        EXPECT_EQ(d->Lamp()->On(), out.back() == 1000);
    }
    TSheetFixture f;
    auto *d = f.Add<TKorFreqDivider>();
    TDrive inp = Drive(*f.Sheet, d->Inp());
    inp.Set(1000);
    Tick(*f.Sheet, 10);
    EXPECT_EQ(d->Outp()->Value(), 1000) << "a held level is one edge";
}

TEST(FreqDivider, RisingSyncStartsTheDivisionAfresh)
{
    TSheetFixture f;
    auto *d = f.Add<TKorFreqDivider>();
    d->SetKnobValue(4); // toggles every 3 edges
    TDrive inp = Drive(*f.Sheet, d->Inp());
    TDrive sync = Drive(*f.Sheet, d->Sync());
    EXPECT_EQ(OutputPerEdge(f, d, inp, 2), (std::vector<int32_t>{1000, 1000}));
    EXPECT_EQ(d->Countdown(), 2) << "unsynced, the next edge but one would toggle";
    sync.Set(1000);
    Tick(*f.Sheet, 2);
    EXPECT_EQ(d->Countdown(), 3);
    // Sync stays high through the edges: only its rise reloads.
    EXPECT_EQ(OutputPerEdge(f, d, inp, 3), (std::vector<int32_t>{1000, 1000, 0})) << "three edges after the sync";
}

TEST(FreqDivider, LoweringTheKnobBelowTheCountdownTakesEffectAtOnce)
{
    TSheetFixture f;
    auto *d = f.Add<TKorFreqDivider>();
    d->SetKnobValue(10);
    TDrive inp = Drive(*f.Sheet, d->Inp());
    EXPECT_EQ(OutputPerEdge(f, d, inp, 2), (std::vector<int32_t>{1000, 1000}));
    EXPECT_EQ(d->Countdown(), 8);
    d->SetKnobValue(3);
    EXPECT_EQ(d->Countdown(), 2) << "no tick needed";
    EXPECT_EQ(OutputPerEdge(f, d, inp, 2), (std::vector<int32_t>{1000, 0}));
    d->SetKnobValue(20);
    EXPECT_EQ(d->Countdown(), 2) << "raising the knob leaves the countdown";
    EXPECT_EQ(OutputPerEdge(f, d, inp, 2), (std::vector<int32_t>{0, 1000}));
    EXPECT_EQ(d->Countdown(), 19) << "then the new division";
}

// ---- Table ----

TEST(Table, PlaysTheStepsFromStartAndIsDarkOutsideThem)
{
    TSheetFixture f;
    auto *t = f.Add<TKorTable>();
    for (int i = 1; i <= TKorTable::StepCount; ++i)
        t->SetValueKnob(i, -100 * i);
    t->SetSV(8);
    EXPECT_EQ(t->Start(), 8);
    TDrive inp = Drive(*f.Sheet, t->Inp());
    struct TRow {
        const char *Name;
        int32_t Inp, Outp, Lamp; // Lamp: the one lit, 0 for none
    };
    const std::vector<TRow> rows = {
        {"start plays t1", 8, -100, 1},     {"start + 7 plays t8", 15, -800, 8}, {"middle step", 11, -400, 4},
        {"just below", 7, 0, 0},            {"just above", 16, 0, 0},            {"far below", -1000, 0, 0},
    };
    for (const TRow &r : rows) {
        SCOPED_TRACE(r.Name);
        inp.Set(r.Inp);
        Tick(*f.Sheet, 2);
        EXPECT_EQ(t->Outp()->Value(), r.Outp);
        EXPECT_EQ(t->Chain()->Value(), r.Inp) << "the chain carries the step on";
        for (int j = 1; j <= TKorTable::StepCount; ++j)
            EXPECT_EQ(t->Lamp(j)->On(), j == r.Lamp) << "lamp " << j;
    }
    inp.Set(std::numeric_limits<int32_t>::min());
    Tick(*f.Sheet);
    EXPECT_THROW(Tick(*f.Sheet), EIntOverflow) << "the step index leaves 32 bits";
}

TEST(Table, ChainedTablesPlayConsecutiveGroupsOfEight)
{
    TSheetFixture f;
    auto *first = f.Add<TKorTable>();
    auto *second = f.Add<TKorTable>(0, 100);
    second->SetSV(8);
    first->SetK8(-8);
    second->SetK1(100);
    f.Sheet->ToggleConnection(first->Chain(), second->Inp());
    TDrive step = Drive(*f.Sheet, first->Inp());
    step.Set(7);
    Tick(*f.Sheet, 3);
    EXPECT_EQ(first->Outp()->Value(), -8);
    EXPECT_EQ(second->Outp()->Value(), 0);
    step.Set(8);
    Tick(*f.Sheet, 2);
    EXPECT_EQ(first->Outp()->Value(), 0);
    EXPECT_EQ(second->Outp()->Value(), 0) << "one more cable, one tick later";
    Tick(*f.Sheet);
    EXPECT_EQ(second->Outp()->Value(), 100);
}

TEST(Table, NoteNames)
{
    struct TRow {
        int32_t Note;
        const char *Name;
    };
    const std::vector<TRow> rows = {
        {60, "C0 "}, {61, "C0#"}, {0, "C-5 "}, {11, "B-5 "}, {12, "C-4 "}, {66, "F0#"},
        {70, "A0#"}, {127, "G5 "}, {128, "inv"}, {-1, "inv"},
    };
    for (const TRow &r : rows)
        EXPECT_EQ(NoteName(r.Note), r.Name) << r.Note;
}

TEST(Table, NewTableIsInNoteModeWithEveryViewerNamingNoteSixty)
{
    TSheetFixture f;
    auto *t = f.Add<TKorTable>();
    EXPECT_TRUE(t->NoteMode());
    EXPECT_TRUE(t->ButModeDown());
    for (int i = 1; i <= TKorTable::StepCount; ++i) {
        EXPECT_EQ(t->ValueViewer(i)->Text(), "C0 ") << i;
        EXPECT_EQ(t->Value(i), 480) << i;
        EXPECT_EQ(t->ValueKnob(i)->Viewer(), t->ValueViewer(i));
    }
    EXPECT_EQ(t->StartKnob()->Viewer()->Text(), "0");
    EXPECT_EQ(t->StartKnob()->Width(), 20) << "the medium knob";
}

TEST(Table, ViewersFollowKnobsAndTheNoteModeButton)
{
    struct TRow {
        const char *Name;
        int32_t Position;
        const char *NoteText;
    };
    // Position div 8 truncates toward zero, so -7 .. 7 all name note 0.
    const std::vector<TRow> rows = {
        {"-8 is below note 0", -8, "inv"},  {"-7", -7, "C-5 "},   {"0", 0, "C-5 "},
        {"7", 7, "C-5 "},                   {"8 is note 1", 8, "C-5#"}, {"488 is note 61", 488, "C0#"},
        {"top of the range", 1000, "F5 "},  {"bottom", -1000, "inv"},
    };
    for (const TRow &r : rows) {
        SCOPED_TRACE(r.Name);
        TSheetFixture f;
        auto *t = f.Add<TKorTable>();
        t->SetK3(r.Position);
        EXPECT_EQ(t->Value(3), r.Position);
        EXPECT_EQ(t->ValueViewer(3)->Text(), r.NoteText) << "the property setter";
        t->SetK3(480);
        t->ValueKnob(3)->SetPosition(r.Position);
        EXPECT_EQ(t->ValueViewer(3)->Text(), r.NoteText) << "turning the knob";
        t->SetButModeDown(false);
        EXPECT_FALSE(t->NoteMode());
        EXPECT_EQ(t->ValueViewer(3)->Text(), QString::number(r.Position));
        EXPECT_EQ(t->ValueViewer(1)->Text(), "480") << "every viewer is rewritten";
        t->SetButModeDown(true);
        EXPECT_EQ(t->ValueViewer(3)->Text(), r.NoteText);
        EXPECT_EQ(t->ValueViewer(1)->Text(), "C0 ");
    }
}

// ---- Shifter ----

TEST(Shifter, WithDelayThreeAValueMovesOneStageEveryFourTicks)
{
    TSheetFixture f;
    auto *s = f.Add<TKorShifter>();
    EXPECT_EQ(s->DelayValue(), 1);
    s->SetDelayValue(3);
    EXPECT_EQ(s->DelayValue(), 3);
    TDrive in = Drive(*f.Sheet, s->In(), 700); // on In from the end of the first tick
    std::vector<int> arrivals; // the tick at which the value first shows, per stage
    for (int tick = 1; tick <= 44 && arrivals.size() < size_t(TKorShifter::StageCount); ++tick) {
        if (tick == 5)
            in.Set(0); // so only the first shift takes 700
        Tick(*f.Sheet);
        if (s->Out(int(arrivals.size()) + 1)->Value() == 700)
            arrivals.push_back(tick);
    }
    EXPECT_EQ(arrivals, (std::vector<int>{4, 8, 12, 16, 20, 24, 28, 32, 36, 40}));
    for (int k = 1; k <= 9; ++k)
        EXPECT_EQ(s->Out(k)->Value(), 0) << "the 0s that followed, stage " << k;
}

TEST(Shifter, DefaultDelayShiftsEveryOtherTick)
{
    TSheetFixture f;
    auto *s = f.Add<TKorShifter>();
    TDrive in = Drive(*f.Sheet, s->In(), 0);
    std::vector<int32_t> out1;
    for (int32_t v : {10, 20, 30, 40, 50, 60}) {
        in.Set(v);
        Tick(*f.Sheet);
        out1.push_back(s->Out(1)->Value());
    }
    // In carries the value set one tick earlier; shifts at ticks 2, 4, 6.
    EXPECT_EQ(out1, (std::vector<int32_t>{0, 10, 10, 30, 30, 50}));
    EXPECT_EQ(s->Out(2)->Value(), 30);
    EXPECT_EQ(s->Out(3)->Value(), 10);
}

// ---- Slot control ----

template <class M>
M *AddTo(TKorSlot *slot, int left = 0, int top = 0)
{
    std::lock_guard lock(slot->Guard().Mutex);
    M *m = Create<M>(slot->Sheet());
    m->SetLeft(left);
    m->SetTop(top);
    return m;
}

// A left click on a panel button through the sheet, as the canvas hands it on.
void ClickButton(TKorDrawSheet &sheet, TKorPushButton *button)
{
    const QPoint p = button->LocalToSheet({10, 10});
    sheet.MouseDown(TMouseButton::mbLeft, 0, p.x(), p.y());
    sheet.Click();
    sheet.MouseUp(TMouseButton::mbLeft, 0, p.x(), p.y());
}

TEST(SlotCtrl, NewModuleIsActiveWithStartPressedAndItsPictures)
{
    TSheetFixture f;
    auto *c = f.Add<TKorSlotCtrl>();
    EXPECT_TRUE(c->Active());
    EXPECT_TRUE(c->StartButton()->Down());
    EXPECT_FALSE(c->StopButton()->Down());
    EXPECT_FALSE(c->StartButton()->Glyph().isNull()) << "Start.bmp";
    EXPECT_FALSE(c->StopButton()->Glyph().isNull()) << "Stop.bmp";
    EXPECT_TRUE(f.Host.ActiveChanges.empty()) << "building changes nothing";

    ClickButton(*f.Sheet, c->StartButton());
    EXPECT_TRUE(c->StartButton()->Down()) << "a pressed radio button stays down";
    EXPECT_TRUE(f.Host.ActiveChanges.empty());
    c->SetActive(false);
    c->SetActive(false);
    EXPECT_TRUE(c->StopButton()->Down());
    EXPECT_FALSE(c->StartButton()->Down());
    EXPECT_FALSE(f.Sheet->Active());
    EXPECT_EQ(f.Host.ActiveChanges, std::vector<bool>{false}) << "an unchanged value does nothing";
}

TEST(SlotCtrl, StopButtonStopsItsSlotAtOnceAndStartRunsItAgain)
{
    TKorModulePageControl pc;
    TKorSlot *slot = pc.NewSlot("");
    TKorSlot *other = pc.NewSlot("");
    auto *ctrl = AddTo<TKorSlotCtrl>(slot);
    auto *counter = AddTo<TKorDividerFixed>(slot, 0, 50);
    auto *clock = AddTo<TKorTestSource>(slot, 0, 100);
    auto *elsewhere = AddTo<TKorShifter>(other);
    elsewhere->SetDelayValue(256); // its counter climbs on every tick
    slot->Sheet()->ToggleConnection(clock->Out, counter->In());

    // Runs the page control for n clock edges of the test source (two ticks each).
    const auto run = [&](int edges) {
        for (int e = 0; e < 2 * edges; ++e) {
            clock->Next = clock->Next ? 0 : 1000;
            pc.Execute();
        }
    };
    run(5);
    ASSERT_EQ(counter->Count(), 5);
    ClickButton(*slot->Sheet(), ctrl->StopButton());
    EXPECT_FALSE(ctrl->Active());
    EXPECT_FALSE(slot->Sheet()->Active());
    EXPECT_FALSE(slot->Active());
    EXPECT_TRUE(ctrl->StopButton()->Down());
    EXPECT_FALSE(ctrl->StartButton()->Down());

    const int32_t shifted = elsewhere->Counter();
    run(3);
    EXPECT_EQ(counter->Count(), 5) << "no tick reaches a stopped patch";
    EXPECT_EQ(counter->Out(0)->Value(), 1000) << "outputs keep their last values";
    EXPECT_EQ(counter->Out(2)->Value(), 1000);
    EXPECT_TRUE(counter->Lamp(0)->On()) << "lamps too";
    EXPECT_NE(elsewhere->Counter(), shifted) << "other slots run on";

    ClickButton(*slot->Sheet(), ctrl->StartButton());
    EXPECT_TRUE(ctrl->Active());
    EXPECT_TRUE(slot->Active());
    run(3);
    EXPECT_EQ(counter->Count(), 8) << "counting again";
}

TEST(SlotCtrl, APatchSavedStoppedOpensStopped)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath("Stopped.slt");
    {
        TKorSlot slot;
        auto *ctrl = AddTo<TKorSlotCtrl>(&slot);
        AddTo<TKorShifter>(&slot, 0, 50);
        ctrl->SetActive(false);
        ASSERT_FALSE(slot.Active());
        slot.SaveToFile(file);
    }
    QFile text(file);
    ASSERT_TRUE(text.open(QIODevice::ReadOnly));
    EXPECT_TRUE(text.readAll().contains("Active = False")) << "the flag is written";

    TKorModulePageControl pc;
    pc.LoadSlot(file);
    TKorSlot *slot = pc.ActiveSlot();
    ASSERT_NE(slot, nullptr);
    ASSERT_EQ(slot->ModuleCount(), 2);
    auto *ctrl = qobject_cast<TKorSlotCtrl *>(slot->Sheet()->Modules(0));
    auto *shifter = qobject_cast<TKorShifter *>(slot->Sheet()->Modules(1));
    ASSERT_TRUE(ctrl && shifter);
    EXPECT_FALSE(ctrl->Active());
    EXPECT_TRUE(ctrl->StopButton()->Down());
    EXPECT_FALSE(ctrl->StartButton()->Down());
    EXPECT_FALSE(slot->Sheet()->Active());
    EXPECT_FALSE(slot->Active());
    pc.Execute();
    pc.Execute();
    EXPECT_EQ(shifter->Counter(), 0) << "the loaded patch does not run";

    ClickButton(*slot->Sheet(), ctrl->StartButton());
    EXPECT_TRUE(slot->Active());
    pc.Execute();
    EXPECT_EQ(shifter->Counter(), 1);
}

// ---- Patch files ----

TEST(SequencingPatch, SettingsSurviveSaveAndLoadButCountersStartAfresh)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("sequencing.slt");
    {
        TSheetFixture f;
        auto *fixed = f.Add<TKorDividerFixed>(0, 0);
        TDrive in = Drive(*f.Sheet, fixed->In());
        Pulse(*f.Sheet, in, 3);
        Free(in.Source); // test modules are not for files
        ASSERT_EQ(fixed->Count(), 3);
        auto *divider = f.Add<TKorFreqDivider>(0, 50);
        divider->SetKnobValue(7);
        auto *table = f.Add<TKorTable>(0, 100);
        for (int i = 1; i <= TKorTable::StepCount; ++i)
            table->SetValueKnob(i, 8 * i - 500);
        table->SetSV(16);
        table->SetButModeDown(false);
        auto *shifter = f.Add<TKorShifter>(0, 200);
        shifter->SetDelayValue(9);
        Tick(*f.Sheet, 5);
        ASSERT_EQ(shifter->Counter(), 5);
        SaveSheetToFile(*f.Sheet, path);
    }
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_TRUE(text.contains("    KnobValue = 7\r\n"));
    EXPECT_TRUE(text.contains("    K7 = -444\r\n    K8 = -436\r\n    SV = 16\r\n    ButModeDown = False\r\n"))
        << "the table's settings in declaration order";
    EXPECT_TRUE(text.contains("    DelayValue = 9\r\n"));

    TOwned<TKorDrawSheet> sheet = ReadSheetFromFile(path);
    sheet->ResolveConnections();
    ASSERT_EQ(sheet->ModuleCount(), 4);
    auto *fixed = qobject_cast<TKorDividerFixed *>(sheet->Modules(0));
    auto *divider = qobject_cast<TKorFreqDivider *>(sheet->Modules(1));
    auto *table = qobject_cast<TKorTable *>(sheet->Modules(2));
    auto *shifter = qobject_cast<TKorShifter *>(sheet->Modules(3));
    ASSERT_TRUE(fixed && divider && table && shifter);
    EXPECT_EQ(fixed->Count(), 0);
    EXPECT_EQ(divider->KnobValue(), 7);
    EXPECT_EQ(divider->Division(), 6);
    for (int i = 1; i <= TKorTable::StepCount; ++i) {
        EXPECT_EQ(table->Value(i), 8 * i - 500) << i;
        EXPECT_EQ(table->ValueViewer(i)->Text(), QString::number(8 * i - 500)) << i;
    }
    EXPECT_EQ(table->Start(), 16);
    EXPECT_FALSE(table->NoteMode());
    EXPECT_EQ(shifter->DelayValue(), 9);
    EXPECT_EQ(shifter->Counter(), 0);
}

} // namespace
