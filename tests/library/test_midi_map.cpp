// MIDI learn: controllers bound to knobs and buttons turn them, with soft takeover when asked;
// the bindings travel in the patch file, follow their modules through deletion, undo and a
// new name, and bad ones in a file are reported and dropped.
#include "EditorTestSupport.h"
#include "LibraryTestSupport.h"
#include "MidiMapDialog.h"
#include "MidiMsg.h"
#include "PageControl.h"
#include "SlotHistory.h"

#include <QApplication>
#include <QHelpEvent>
#include <QPushButton>
#include <QToolTip>
#include <QTableWidget>
#include <QUndoStack>
#include <gtest/gtest.h>

namespace {

constexpr uint32_t CC(int channel, int controller, int value)
{
    return MakeShortMsg(uint8_t(channel - 1), 0xB, uint8_t(controller), uint8_t(value));
}

// A controller message (Hand false) or the knob set by hand (the mouse, an undo).
struct TMove {
    bool Hand;
    int Value;
};
constexpr TMove Cc(int v) { return {false, v}; }
constexpr TMove Hand(int v) { return {true, v}; }

struct TTakeoverCase {
    const char *Name;
    bool PickUp;
    int32_t Start; // the clip knob: 0 .. 1000, step 4
    std::vector<TMove> Moves;
    int32_t Want;
};

TEST(MidiMap, ControllersSetTheirKnobAtOnceOrOnlyOnceTheyMeetIt)
{
    const std::vector<TTakeoverCase> cases = {
        {"without pick-up the knob jumps to the controller", false, 500, {Cc(10)}, 80},
        {"controller 127 gives the top", false, 0, {Cc(127)}, 1000},
        {"controller 64, stepped by 4", false, 0, {Cc(64)}, 504},
        {"with pick-up a controller below the knob leaves it", true, 500, {Cc(10), Cc(40)}, 500},
        {"with pick-up passing the knob upward takes it over", true, 500, {Cc(10), Cc(100)}, 788},
        {"with pick-up passing the knob downward takes it over", true, 500, {Cc(120), Cc(20)}, 156},
        {"with pick-up meeting the knob's value takes it over", true, 504, {Cc(64), Cc(65)}, 512},
        {"the first message alone never takes over from afar", true, 500, {Cc(127)}, 500},
        {"a knob moved by hand must be met again", true, 504, {Cc(64), Hand(200), Cc(127), Cc(126)}, 200},
        {"... and is taken over once passed", true, 504, {Cc(64), Hand(200), Cc(127), Cc(0)}, 0},
        {"without pick-up a hand move is simply overridden", false, 504, {Cc(64), Hand(200), Cc(127)}, 1000},
    };
    for (const TTakeoverCase &c : cases) {
        TSheetFixture f;
        auto *amp = f.Add<TKorAmplifier>();
        amp->SetKnobClipValue(c.Start);
        TKorMidiMap map;
        ASSERT_TRUE(map.Bind(*amp, "KnobClipValue", 3, 74));
        for (const TMove &m : c.Moves) {
            if (m.Hand)
                amp->SetKnobClipValue(m.Value);
            else
                map.Apply(CC(3, 74, m.Value), c.PickUp);
        }
        EXPECT_EQ(amp->KnobClipValue(), c.Want) << c.Name;
    }
}

TEST(MidiMap, OnlyItsOwnChannelAndControllerMoveAControlAndOneControllerMayDriveSeveral)
{
    TSheetFixture f;
    auto *amp = f.Add<TKorAmplifier>();
    auto *sine = f.Add<TKorSine>();
    TKorMidiMap map;
    ASSERT_TRUE(map.Bind(*amp, "KnobClipValue", 1, 7));
    ASSERT_TRUE(map.Bind(*amp, "KnobAmpValue", 1, 7));
    ASSERT_TRUE(map.Bind(*sine, "ButtonDown", 16, 0));
    EXPECT_FALSE(map.Bind(*amp, "Title", 1, 8)) << "no control stands for it";
    EXPECT_FALSE(map.Bind(*amp, "KnobClipValue", 17, 8));
    EXPECT_FALSE(map.Bind(*amp, "KnobClipValue", 1, 128));
    EXPECT_EQ(map.Bindings().size(), 3u);

    EXPECT_FALSE(map.Apply(CC(2, 7, 127), false)) << "another channel";
    EXPECT_FALSE(map.Apply(CC(1, 8, 127), false)) << "another controller";
    EXPECT_FALSE(map.Apply(MakeShortMsg(0, 0x9, 7, 127), false)) << "a note-on with the same bytes";
    EXPECT_EQ(amp->KnobClipValue(), 0);
    EXPECT_TRUE(map.Apply(CC(1, 7, 127), false));
    EXPECT_EQ(amp->KnobClipValue(), 1000);
    EXPECT_EQ(amp->KnobAmpValue(), 10000);
    EXPECT_FALSE(map.Apply(CC(1, 7, 127), false)) << "nothing changes";

    EXPECT_TRUE(sine->ButtonDown());
    EXPECT_TRUE(map.Apply(CC(16, 0, 63), false));
    EXPECT_FALSE(sine->ButtonDown());

    // A new binding of a control replaces its old one in place.
    ASSERT_TRUE(map.Bind(*amp, "KnobClipValue", 2, 9));
    ASSERT_EQ(map.Bindings().size(), 3u);
    EXPECT_EQ(map.Bindings()[0].Channel, 2);
    EXPECT_EQ(map.Bindings()[0].Controller, 9);
    EXPECT_EQ(map.Forget(amp, "KnobAmpValue"), 1);
    EXPECT_EQ(map.Forget(amp, "KnobAmpValue"), -1);
}

TEST(MidiMap, EntryLinesParseAndFormat)
{
    TMidiMapText e;
    ASSERT_TRUE(ParseMidiMapLine("16 127 Amplifier0.KnobAmpValue", e));
    EXPECT_EQ(e.Channel, 16);
    EXPECT_EQ(e.Controller, 127);
    EXPECT_EQ(e.Module, "Amplifier0");
    EXPECT_EQ(e.Property, "KnobAmpValue");
    EXPECT_EQ(FormatMidiMapLine(e), "16 127 Amplifier0.KnobAmpValue");
    for (const char *bad : {"0 7 A.B", "17 7 A.B", "1 128 A.B", "1 -1 A.B", "+1 7 A.B", "1 7 AB", "1 7 .B", "1 7 A.",
                            "1  7 A.B", "1 7 A.B extra", "", "x 7 A.B"})
        EXPECT_FALSE(ParseMidiMapLine(bad, e)) << '"' << bad << '"';
}

// A patch in a slot: a constant and an amplifier, the constant wired into the amplifier.
class MidiMapSlot : public ::testing::Test {
public:
    MidiMapSlot()
    {
        DragState = TDragState{};
        Slot = Pages.NewSlot("Mapped");
        std::lock_guard lock(Slot->Guard().Mutex);
        Constant = Create<TKorConstant>(Slot->Sheet());
        Amp = Create<TKorAmplifier>(Slot->Sheet());
        Amp->SetTop(100);
        Slot->Sheet()->ToggleConnection(Constant->Out(), Amp->In());
        Slot->History()->clear();
    }
    ~MidiMapSlot() override { DragState = TDragState{}; }

    QStringList Lines() const
    {
        QStringList out;
        for (const TMidiBinding &b : Slot->Sheet()->MidiMap().Bindings())
            out << FormatMidiMapLine({b.Channel, b.Controller, b.ModuleName(), QString::fromLatin1(b.Property())});
        return out;
    }

    TKorModulePageControl Pages;
    TKorSlot *Slot = nullptr;
    TKorConstant *Constant = nullptr;
    TKorAmplifier *Amp = nullptr;
    TDialogRecorder Dialogs;
};

TEST_F(MidiMapSlot, BindingsAreWrittenAfterTheCablesOnlyWhenThereAreAnyAndReadBack)
{
    const QByteArray plain = Slot->PatchText();
    EXPECT_FALSE(plain.contains("MidiMap"));
    ASSERT_TRUE(Slot->BindMidiController(Amp, "KnobAmpValue", 1, 7));
    ASSERT_TRUE(Slot->BindMidiController(Constant, "KnobAmpValue", 16, 0));
    EXPECT_TRUE(Slot->Modified());
    const QByteArray text = Slot->PatchText();
    EXPECT_TRUE(QByteArray(text).replace('\r', "").contains("'Constant0.Out Amplifier0.In')\n"
                              "  MidiMap = (\n"
                              "    '1 7 Amplifier0.KnobAmpValue'\n"
                              "    '16 0 Constant0.KnobAmpValue')\n"))
        << text.toStdString();

    TKorSlot *again = Pages.NewSlot("Again");
    again->LoadFromText(text, "again.korvane");
    EXPECT_TRUE(Dialogs.Messages.isEmpty());
    EXPECT_EQ(again->PatchText(), text);
    ASSERT_EQ(again->Sheet()->MidiMap().Bindings().size(), 2u);
    EXPECT_EQ(again->Sheet()->MidiMap().Bindings()[0].Ref.Module, again->Sheet()->Modules(1));

    Slot->History()->undo();
    Slot->History()->undo();
    EXPECT_EQ(Slot->PatchText(), plain) << "a patch whose bindings are undone is written as before";
    EXPECT_FALSE(Slot->Modified());
}

TEST_F(MidiMapSlot, BindingsFollowTheirModuleThroughDeletionUndoAndANewName)
{
    ASSERT_TRUE(Slot->BindMidiController(Constant, "KnobAmpValue", 2, 20));
    ASSERT_TRUE(Slot->BindMidiController(Amp, "KnobClipValue", 1, 7));
    ASSERT_TRUE(Slot->BindMidiController(Amp, "KnobAmpValue", 1, 7));
    const QStringList bound = Lines();

    // A learn again replaces the control's binding, one step.
    ASSERT_TRUE(Slot->BindMidiController(Amp, "KnobClipValue", 3, 9));
    EXPECT_EQ(Lines(), (QStringList{"2 20 Constant0.KnobAmpValue", "3 9 Amplifier0.KnobClipValue",
                                    "1 7 Amplifier0.KnobAmpValue"}));
    Slot->History()->undo();
    EXPECT_EQ(Lines(), bound);
    ASSERT_TRUE(Slot->ForgetMidiController(Amp, "KnobClipValue"));
    EXPECT_FALSE(Slot->ForgetMidiController(Amp, "KnobClipValue")) << "nothing left to forget";
    Slot->History()->undo();
    EXPECT_EQ(Lines(), bound) << "undone in its old place";

    const QByteArray before = Slot->PatchText();
    {
        std::lock_guard lock(Slot->Guard().Mutex);
        Amp->SetSelected(true);
    }
    Slot->DeleteSelectedModules();
    EXPECT_EQ(Lines(), QStringList{"2 20 Constant0.KnobAmpValue"});
    // Another module takes the deleted one's name, so the undone one comes back under a new one.
    {
        std::lock_guard lock(Slot->Guard().Mutex);
        auto *other = Create<TKorAmplifier>(Slot->Sheet());
        ASSERT_EQ(other->Name(), "Amplifier0");
        other->SetName("Taken");
        Create<TKorMultiplier>(Slot->Sheet())->SetName("Amplifier0");
    }
    Slot->History()->undo();
    const auto *back = qobject_cast<TKorAmplifier *>(Slot->Sheet()->Components(1));
    ASSERT_NE(back, nullptr);
    ASSERT_NE(back->Name(), "Amplifier0");
    EXPECT_EQ(Lines(), (QStringList{"2 20 Constant0.KnobAmpValue", QStringLiteral("1 7 %1.KnobClipValue").arg(back->Name()),
                                    QStringLiteral("1 7 %1.KnobAmpValue").arg(back->Name())}));
    Slot->History()->redo();
    EXPECT_EQ(Lines(), QStringList{"2 20 Constant0.KnobAmpValue"});
    {
        std::lock_guard lock(Slot->Guard().Mutex);
        FreeComponents({Slot->Sheet()->FindComponent("Taken"), Slot->Sheet()->FindComponent("Amplifier0")});
    }
    Slot->History()->undo();
    EXPECT_EQ(Slot->PatchText(), before) << "with its name free again, everything is as it was";
}

TEST_F(MidiMapSlot, BadEntriesInAFileAreReportedOnceWithTheirLineAndDropped)
{
    ASSERT_TRUE(Slot->BindMidiController(Amp, "KnobAmpValue", 1, 7));
    const QByteArray good = Slot->PatchText().replace('\r', "");
    const QByteArray goodLine = "    '1 7 Amplifier0.KnobAmpValue')\n";
    ASSERT_TRUE(good.contains(goodLine));
    const int goodAt = int(good.left(good.indexOf(goodLine)).count('\n')) + 1;
    for (const char *bad : {"0 7 Amplifier0.KnobClipValue", "17 7 Amplifier0.KnobClipValue",
                            "1 128 Amplifier0.KnobClipValue", "1 7 Nowhere0.KnobClipValue", "1 7 Amplifier0.Title",
                            "1 7 Amplifier0.NoSuch", "seven Amplifier0.KnobClipValue"}) {
        SCOPED_TRACE(bad);
        QByteArray text = good;
        text.replace(goodLine, "    '1 7 Amplifier0.KnobAmpValue'\n    '" + QByteArray(bad) + "'\n    '" + QByteArray(bad) +
                                   "')\n");
        Dialogs.Messages.clear();
        TKorSlot *loaded = Pages.NewSlot("");
        loaded->LoadFromText(text, "bad.korvane");
        ASSERT_EQ(Dialogs.Messages.size(), 1) << "once, however many";
        EXPECT_TRUE(Dialogs.Messages[0].endsWith(QStringLiteral("Line %1: '%2'").arg(goodAt + 1).arg(bad)))
            << Dialogs.Messages[0].toStdString();
        ASSERT_EQ(loaded->Sheet()->MidiMap().Bindings().size(), 1u);
        EXPECT_EQ(loaded->PatchText().replace('\r', ""), good) << "the bad ones are gone";
    }
}

TEST_F(MidiMapSlot, TheSlotAppliesControllersBeforeItsModulesSeeThem)
{
    ASSERT_TRUE(Slot->BindMidiController(Amp, "KnobClipValue", 1, 7));
    EXPECT_TRUE(Slot->MidiInShort(CC(1, 7, 127)));
    EXPECT_EQ(Amp->KnobClipValue(), 1000);
    EXPECT_EQ(Slot->History()->count(), 1) << "playing makes no step";

    Pages.SetMidiPickUp(true);
    Amp->SetKnobClipValue(500);
    Pages.MidiInShort(CC(1, 7, 127));
    EXPECT_EQ(Amp->KnobClipValue(), 500) << "moved by hand, and not met since";
    Pages.SetMidiPickUp(false);
    Pages.MidiInShort(CC(1, 7, 0));
    EXPECT_EQ(Amp->KnobClipValue(), 0);
}

TEST_F(MidiMapSlot, TheMappingsDialogListsTheBindingsAndRemovesOneAsAStep)
{
    {
        std::lock_guard lock(Slot->Guard().Mutex);
        Amp->SetTitle("Lead amp");
    }
    ASSERT_TRUE(Slot->BindMidiController(Amp, "KnobClipValue", 1, 7));
    ASSERT_TRUE(Slot->BindMidiController(Constant, "KnobAmpValue", 16, 74));
    TMidiMapDialog dialog(Slot);
    const auto rows = [&] {
        QStringList out;
        for (int r = 0; r < dialog.Table()->rowCount(); ++r) {
            QStringList cells;
            for (int c = 0; c < dialog.Table()->columnCount(); ++c)
                cells << dialog.Table()->item(r, c)->text();
            out << cells.join(u'|');
        }
        return out;
    };
    EXPECT_EQ(rows(), (QStringList{"Lead amp|Clip|1|7", "Constant|Amp|16|74"}));
    EXPECT_FALSE(dialog.RemoveButton()->isEnabled()) << "nothing chosen yet";

    dialog.Table()->selectRow(0);
    ASSERT_TRUE(dialog.RemoveButton()->isEnabled());
    dialog.RemoveButton()->click();
    EXPECT_EQ(rows(), QStringList{"Constant|Amp|16|74"});
    EXPECT_EQ(Lines(), QStringList{"16 74 Constant0.KnobAmpValue"});
    Slot->History()->undo();
    EXPECT_EQ(rows(), (QStringList{"Lead amp|Clip|1|7", "Constant|Amp|16|74"})) << "the list follows the history";
}

TEST_F(MidiMapSlot, ABoundControlIsMarkedOnThePanelAndNamesItsControllerInItsTooltip)
{
    Pages.resize(800, 600);
    Pages.show();
    QCoreApplication::processEvents();
    TKorKnob *clip = Amp->ClipKnob();
    // Just inside the knob's top right corner, where the mark goes.
    const QPoint corner = clip->LocalToSheet({clip->Width() - 2, 1});
    const auto markColour = [&] { return Slot->Canvas()->grab().toImage().pixelColor(corner); };
    const QColor unmarked = markColour();
    ASSERT_TRUE(Slot->BindMidiController(Amp, "KnobClipValue", 1, 7));
    EXPECT_EQ(markColour(), QColor(255, 128, 0));
    EXPECT_NE(unmarked, QColor(255, 128, 0));

    const QPoint centre = clip->LocalToSheet(clip->Centre());
    QHelpEvent help(QEvent::ToolTip, centre, Slot->Canvas()->mapToGlobal(centre));
    QApplication::sendEvent(Slot->Canvas(), &help);
    EXPECT_EQ(QToolTip::text(), "CC 7, channel 1");
    Slot->History()->undo();
    EXPECT_EQ(markColour(), unmarked);
}

} // namespace
