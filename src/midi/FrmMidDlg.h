// The MIDI settings dialog: the user picks the MIDI system (ALSA or JACK) and the input and the
// output device by name, the mapper listed first among the outputs. The lists follow the ports
// as they come and go while the dialog is open.
#pragma once

#include "MidiServices.h"

#include <QDialog>
#include <memory>

class QComboBox;
class TMidiPortNews;
class QKeyEvent;
class QToolButton;
class QLabel;

// How Korvane's dialogs take a key: Enter confirms and Esc cancels, but only without Shift, Ctrl
// or Alt; with one of those held the key is swallowed; any other key is not the dialog's.
enum class TDialogKey { Other, Confirm, Cancel, Swallowed };
TDialogKey ClassifyDialogKey(const QKeyEvent &event);

// User-interface thread only. Lives as long as the program and is shown modally any number of
// times; the lists are built at the first showing and again whenever ports come or go, the
// chosen names persist between showings. Owns its widgets and, until OK hands them on, the
// services of a MIDI system chosen in it.
class TFormMidiDialog : public QDialog {
    Q_OBJECT
public:
    explicit TFormMidiDialog(QWidget *parent = nullptr, std::shared_ptr<TMidiServices> services = nullptr);

    // Selects the entry equal to `name` without regard to letter case and takes its text as
    // the chosen name; with no such entry nothing is selected and the chosen name stays.
    void SelectInput(const QString &name);
    void SelectOutput(const QString &name);
    // The chosen names, for the caller once the dialog closed with OK.
    QString InputName() const { return FInputName; }
    QString OutputName() const { return FOutputName; }
    // The configured ports: listed as "NAME (absent)" while their ports are missing, so that OK
    // keeps them. Empty names list nothing.
    void KeepListed(const QString &input, const QString &output);
    // The services the lists show: those given, or those of the MIDI system chosen in the
    // dialog. The caller takes over the latter once the dialog closed with OK.
    std::shared_ptr<TMidiServices> Services() const { return FServices; }
    // Shows the devices of `services` from now on (the main window's, before each showing).
    void SetServices(std::shared_ptr<TMidiServices> services);
    // Chooses the MIDI system as the list of systems does: services for it are made (again, if
    // the shown ones could not be used), the lists show its devices and the problem line says
    // why it cannot be used, if it cannot.
    void ChooseApi(TMidiApi api);
    // The text under the lists: empty, or why the shown MIDI system cannot be used.
    QString ProblemText() const;

    QComboBox *ComboBoxInputs() const { return FComboBoxInputs; }
    QComboBox *ComboBoxOutputs() const { return FComboBoxOutputs; }
    QComboBox *ComboBoxApis() const { return FComboBoxApis; }
    QToolButton *SpeedButtonOk() const { return FSpeedButtonOk; }
    QToolButton *SpeedButtonCancel() const { return FSpeedButtonCancel; }

    // Both take the shown selections as the chosen names, then close with OK / Cancel.
    void SpeedButtonOkClick();
    void SpeedButtonCancelClick();
    void reject() override; // closing the window is Cancel

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Fill();
    // Both lists as the MIDI system has them now, Korvane's own output first.
    void ListPorts();
    void Refill();
    void ShowProblem();
    static void AddAbsent(QComboBox *list, const QString &name);
    void TakeSelections();
    // Enter and Esc without Shift, Ctrl or Alt close the dialog; true when the key was one of them.
    bool HandleKey(QKeyEvent *event);
    static void Select(QComboBox *list, const QString &name, QString &chosen);

    std::shared_ptr<TMidiServices> FServices;
    bool FFilled = false;
    QString FInputName, FOutputName;
    QString FKeepInput, FKeepOutput;
    TMidiPortNews *FNews = nullptr;
    QComboBox *FComboBoxApis = nullptr;
    QComboBox *FComboBoxInputs = nullptr;
    QComboBox *FComboBoxOutputs = nullptr;
    QLabel *FProblem = nullptr;
    QToolButton *FSpeedButtonOk = nullptr;
    QToolButton *FSpeedButtonCancel = nullptr;
};
