// The MIDI settings dialog over loopback devices: what the lists hold, preselection without
// regard to letter case, OK and Cancel by button and by key, lists that follow the ports while
// the dialog is open, configured ports kept as absent, and the choice of the MIDI system.
#include "FrmMidDlg.h"
#include "MidiTestSupport.h"

#include <QComboBox>
#include <QLabel>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

#include <unistd.h>

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
    EXPECT_EQ(f.Dialog.size(), QSize(209, 255));
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

TEST(MidiDialog, ListsFollowThePortsWhileTheDialogIsOpenKeepingWhatIsShown)
{
    TDialogFixture f;
    f.Show();
    f.Dialog.ComboBoxInputs()->setCurrentIndex(1);  // Pads
    f.Dialog.ComboBoxOutputs()->setCurrentIndex(2); // Synth B
    f.Midi->SetInputs({"Drums", "Pads", "Keys"});
    f.Midi->SetOutputs({"Synth C", "Synth B"});
    Settle();
    EXPECT_EQ(Entries(f.Dialog.ComboBoxInputs()), QStringList({"Drums", "Pads", "Keys"}));
    EXPECT_EQ(Entries(f.Dialog.ComboBoxOutputs()), QStringList({"Korvane", "Synth C", "Synth B"}));
    EXPECT_EQ(f.Dialog.ComboBoxInputs()->currentText(), "Pads");
    EXPECT_EQ(f.Dialog.ComboBoxOutputs()->currentText(), "Synth B");

    // A shown port that goes stays shown, as absent, and OK hands back its plain name.
    f.Midi->SetOutputs({"Synth C"});
    Settle();
    EXPECT_EQ(Entries(f.Dialog.ComboBoxOutputs()), QStringList({"Korvane", "Synth C", "Synth B (absent)"}));
    EXPECT_EQ(f.Dialog.ComboBoxOutputs()->currentText(), "Synth B (absent)");
    f.Dialog.SpeedButtonOk()->click();
    EXPECT_EQ(f.Dialog.InputName(), "Pads");
    EXPECT_EQ(f.Dialog.OutputName(), "Synth B");
}

TEST(MidiDialog, ConfiguredPortsThatAreAbsentStayListedAndChosen)
{
    struct TCase {
        const char *Name;
        QString KeepInput, KeepOutput;
        QStringList Inputs, Outputs;
    };
    const std::vector<TCase> cases = {
        {"both absent", "Drums", "Piano", {"Keys", "Pads", "Drums (absent)"},
         {"Korvane", "Synth A", "Synth B", "Piano (absent)"}},
        {"both there", "Pads", "Synth A", {"Keys", "Pads"}, {"Korvane", "Synth A", "Synth B"}},
        {"none configured", "", "", {"Keys", "Pads"}, {"Korvane", "Synth A", "Synth B"}},
    };
    for (const TCase &c : cases) {
        SCOPED_TRACE(c.Name);
        TDialogFixture f;
        f.Dialog.KeepListed(c.KeepInput, c.KeepOutput);
        f.Dialog.SelectInput(c.KeepInput);
        f.Dialog.SelectOutput(c.KeepOutput);
        f.Show();
        EXPECT_EQ(Entries(f.Dialog.ComboBoxInputs()), c.Inputs);
        EXPECT_EQ(Entries(f.Dialog.ComboBoxOutputs()), c.Outputs);
        f.Dialog.SpeedButtonOk()->click();
        EXPECT_EQ(f.Dialog.InputName(), c.KeepInput.isEmpty() ? "Keys" : c.KeepInput);
        EXPECT_EQ(f.Dialog.OutputName(), c.KeepOutput.isEmpty() ? "Korvane" : c.KeepOutput);
    }

    // The absent port, once there, is listed once, under its own name.
    TDialogFixture f;
    f.Dialog.KeepListed("Drums", "");
    f.Midi->SetInputs({"Keys", "Drums"});
    Settle();
    EXPECT_EQ(Entries(f.Dialog.ComboBoxInputs()), QStringList({"Keys", "Drums"}));
}

TEST(MidiDialog, OffersTheMidiSystemsAndSaysWhenJackHasNoServer)
{
    // A server name nobody runs, and no server started on demand.
    qputenv("JACK_DEFAULT_SERVER", QByteArray("korvane-test-absent-") + QByteArray::number(getpid()));
    qputenv("JACK_NO_START_SERVER", "1");
    TDialogFixture f;
    QStringList systems;
    for (int i = 0; i < f.Dialog.ComboBoxApis()->count(); ++i)
        systems << f.Dialog.ComboBoxApis()->itemText(i);
    for (const QString &system : systems)
        EXPECT_TRUE(system == "ALSA" || system == "JACK") << system.toStdString();
    EXPECT_EQ(f.Dialog.ComboBoxApis()->currentIndex(), -1) << "loopback devices are neither";
    EXPECT_EQ(f.Dialog.ProblemText(), "");
    if (!systems.contains("JACK"))
        GTEST_SKIP() << "this RtMidi has no JACK";
    f.Dialog.ChooseApi(TMidiApi::Jack);
    EXPECT_EQ(f.Dialog.Services()->Name(), "jack");
    EXPECT_EQ(f.Dialog.ComboBoxApis()->currentText(), "JACK");
    EXPECT_TRUE(f.Dialog.ProblemText().startsWith("No JACK server is running.")) << f.Dialog.ProblemText().toStdString();
    EXPECT_EQ(Entries(f.Dialog.ComboBoxOutputs()), QStringList({"Korvane"}));
    // Chosen again, JACK is asked again (a server may have started meanwhile).
    const std::shared_ptr<TMidiServices> first = f.Dialog.Services();
    f.Dialog.ChooseApi(TMidiApi::Jack);
    EXPECT_NE(f.Dialog.Services(), first);
    qunsetenv("JACK_DEFAULT_SERVER");
    qunsetenv("JACK_NO_START_SERVER");
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
