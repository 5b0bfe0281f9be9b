// The MIDI settings dialog over loopback devices: what the lists hold, preselection without
// regard to letter case, OK and Cancel by button and by key, and lists built only once.
#include "FrmMidDlg.h"
#include "MidiTestSupport.h"

#include <QComboBox>
#include <QLabel>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

namespace {

QStringList Entries(const QComboBox *list)
{
    QStringList names;
    for (int i = 0; i < list->count(); ++i)
        names << list->itemText(i);
    return names;
}

struct TDialogFixture {
    std::shared_ptr<TLoopbackMidi> Midi =
        std::make_shared<TLoopbackMidi>(QStringList{"Keys", "Pads"}, QStringList{"Synth A", "Synth B"});
    TFormMidiDialog Dialog{nullptr, Midi};

    // Shows the dialog as the main window does, without blocking the test.
    void Show()
    {
        Dialog.open();
        Settle();
        ASSERT_TRUE(Dialog.isVisible());
    }
};

TEST(MidiDialog, ListsInputsAndTheMapperBeforeTheOutputsWithTheFirstEntriesChosen)
{
    TDialogFixture f;
    EXPECT_EQ(f.Dialog.windowTitle(), "MIDI settings");
    EXPECT_EQ(f.Dialog.size(), QSize(209, 155));
    EXPECT_EQ(Entries(f.Dialog.ComboBoxInputs()), QStringList({"Keys", "Pads"}));
    EXPECT_EQ(Entries(f.Dialog.ComboBoxOutputs()), QStringList({"Korvane", "Synth A", "Synth B"}));
    EXPECT_EQ(f.Dialog.InputName(), "Keys");
    EXPECT_EQ(f.Dialog.OutputName(), "Korvane");
    EXPECT_EQ(f.Dialog.SpeedButtonOk()->text(), "Ok");
    EXPECT_EQ(f.Dialog.SpeedButtonCancel()->text(), "Cancel");
    EXPECT_LT(f.Dialog.SpeedButtonCancel()->x(), f.Dialog.SpeedButtonOk()->x()) << "Cancel on the left";
}

TEST(MidiDialog, WithoutDevicesTheInputIsEmptyAndOnlyTheMapperIsListed)
{
    auto midi = std::make_shared<TLoopbackMidi>();
    TFormMidiDialog dialog(nullptr, midi);
    EXPECT_EQ(dialog.ComboBoxInputs()->count(), 0);
    EXPECT_EQ(dialog.ComboBoxInputs()->currentIndex(), -1);
    EXPECT_EQ(Entries(dialog.ComboBoxOutputs()), QStringList({"Korvane"}));
    dialog.open();
    dialog.SpeedButtonOk()->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.InputName(), "");
    EXPECT_EQ(dialog.OutputName(), "Korvane");
}

TEST(MidiDialog, PreselectionIgnoresLetterCaseAndHandsBackTheListedSpelling)
{
    TDialogFixture f;
    f.Dialog.SelectInput("pads");
    f.Dialog.SelectOutput("SYNTH b");
    EXPECT_EQ(f.Dialog.ComboBoxInputs()->currentText(), "Pads");
    EXPECT_EQ(f.Dialog.InputName(), "Pads");
    EXPECT_EQ(f.Dialog.OutputName(), "Synth B");

    // A name that is not listed selects nothing and leaves the chosen name as it was.
    f.Dialog.SelectOutput("Gone");
    EXPECT_EQ(f.Dialog.ComboBoxOutputs()->currentIndex(), -1);
    EXPECT_EQ(f.Dialog.OutputName(), "Synth B");
    f.Show();
    f.Dialog.SpeedButtonOk()->click();
    EXPECT_EQ(f.Dialog.result(), QDialog::Accepted);
    EXPECT_EQ(f.Dialog.InputName(), "Pads");
    EXPECT_EQ(f.Dialog.OutputName(), "Synth B");
}

TEST(MidiDialog, OkAndCancelBothTakeTheShownSelectionButOnlyOkAccepts)
{
    struct Row {
        const char *Name;
        std::function<void(TFormMidiDialog &)> Close;
        int Result;
    };
    const std::vector<Row> rows = {
        {"Ok button", [](TFormMidiDialog &d) { d.SpeedButtonOk()->click(); }, QDialog::Accepted},
        {"Cancel button", [](TFormMidiDialog &d) { d.SpeedButtonCancel()->click(); }, QDialog::Rejected},
        {"Enter in a list", [](TFormMidiDialog &d) { QTest::keyClick(d.ComboBoxInputs(), Qt::Key_Return); },
         QDialog::Accepted},
        {"keypad Enter",
         [](TFormMidiDialog &d) { QTest::keyClick(d.ComboBoxOutputs(), Qt::Key_Enter, Qt::KeypadModifier); },
         QDialog::Accepted},
        {"Esc in a list", [](TFormMidiDialog &d) { QTest::keyClick(d.ComboBoxOutputs(), Qt::Key_Escape); },
         QDialog::Rejected},
        {"Esc to the dialog", [](TFormMidiDialog &d) { QTest::keyClick(&d, Qt::Key_Escape); }, QDialog::Rejected},
    };
    for (const Row &r : rows) {
        TDialogFixture f;
        f.Show();
        f.Dialog.ComboBoxInputs()->setCurrentIndex(1);
        f.Dialog.ComboBoxOutputs()->setCurrentIndex(2);
        r.Close(f.Dialog);
        Settle();
        EXPECT_FALSE(f.Dialog.isVisible()) << r.Name;
        EXPECT_EQ(f.Dialog.result(), r.Result) << r.Name;
        EXPECT_EQ(f.Dialog.InputName(), "Pads") << r.Name;
        EXPECT_EQ(f.Dialog.OutputName(), "Synth B") << r.Name;
    }
}

TEST(MidiDialog, EnterAndEscWithShiftCtrlOrAltDoNotClose)
{
    TDialogFixture f;
    f.Show();
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Escape})
        for (Qt::KeyboardModifier m : {Qt::ShiftModifier, Qt::ControlModifier, Qt::AltModifier}) {
            QTest::keyClick(f.Dialog.ComboBoxInputs(), key, m);
            QTest::keyClick(&f.Dialog, key, m);
            Settle();
            EXPECT_TRUE(f.Dialog.isVisible()) << "key " << key << " with modifier " << m;
        }
}

TEST(MidiDialog, ListsAreBuiltOnceAndShowTheDevicesOfTheStart)
{
    TDialogFixture f;
    f.Midi->SetInputs({"Keys", "Pads", "Drums"});
    f.Midi->SetOutputs({"Synth C"});
    f.Show();
    f.Dialog.SpeedButtonCancel()->click();
    f.Show();
    EXPECT_EQ(Entries(f.Dialog.ComboBoxInputs()), QStringList({"Keys", "Pads"}));
    EXPECT_EQ(Entries(f.Dialog.ComboBoxOutputs()), QStringList({"Korvane", "Synth A", "Synth B"}));
    f.Dialog.SpeedButtonCancel()->click();
}

TEST(MidiDialog, LabelsLeadToTheirLists)
{
    TDialogFixture f;
    QLabel *input = nullptr, *output = nullptr;
    for (QLabel *l : f.Dialog.findChildren<QLabel *>()) {
        if (l->text() == "MIDI &Input")
            input = l;
        if (l->text() == "MIDI &Output")
            output = l;
    }
    ASSERT_TRUE(input && output);
    EXPECT_EQ(input->buddy(), f.Dialog.ComboBoxInputs());
    EXPECT_EQ(output->buddy(), f.Dialog.ComboBoxOutputs());
    EXPECT_FALSE(f.Dialog.ComboBoxInputs()->isEditable()) << "only listed names can be chosen";
}

} // namespace
