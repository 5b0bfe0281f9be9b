// The MIDI settings dialog: the user picks the input and the output device by name from the
// devices present when the program started, the mapper listed first among the outputs.
#pragma once

#include "MidiServices.h"

#include <QDialog>
#include <memory>

class QComboBox;
class QKeyEvent;
class QToolButton;
class QLabel;

// How Korvane's dialogs take a key: Enter confirms and Esc cancels, but only without Shift, Ctrl
// or Alt; with one of those held the key is swallowed; any other key is not the dialog's.
enum class TDialogKey { Other, Confirm, Cancel, Swallowed };
TDialogKey ClassifyDialogKey(const QKeyEvent &event);

// User-interface thread only. Lives as long as the program and is shown modally any number of
// times; the lists are built once, the chosen names persist between showings. Owns its widgets.
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

    QComboBox *ComboBoxInputs() const { return FComboBoxInputs; }
    QComboBox *ComboBoxOutputs() const { return FComboBoxOutputs; }
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
    void TakeSelections();
    // Enter and Esc without Shift, Ctrl or Alt close the dialog; true when the key was one of them.
    bool HandleKey(QKeyEvent *event);
    static void Select(QComboBox *list, const QString &name, QString &chosen);

    std::shared_ptr<TMidiServices> FServices;
    bool FFilled = false;
    QString FInputName, FOutputName;
    QComboBox *FComboBoxInputs = nullptr;
    QComboBox *FComboBoxOutputs = nullptr;
    QToolButton *FSpeedButtonOk = nullptr;
    QToolButton *FSpeedButtonCancel = nullptr;
};
