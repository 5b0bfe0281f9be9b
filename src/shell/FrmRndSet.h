// The random settings dialog: whether the random generator is seeded from the clock at start,
// and the seed it gets otherwise.
#pragma once

#include <QDialog>
#include <cstdint>

class QCheckBox;
class QLineEdit;
class QToolButton;

// User-interface thread only. Lives as long as the program and is shown modally any number of
// times: the caller sets the seed and the choice, shows it, and on OK takes Seed() and
// Randomized(). Owns its widgets.
class TFormRandomSettings : public QDialog {
    Q_OBJECT
public:
    explicit TFormRandomSettings(QWidget *parent = nullptr);

    // Each does nothing when the value is the one held. SetSeed shows the seed in the edit;
    // SetRandomized ticks the box and allows editing the seed only when not randomized.
    void SetSeed(int32_t seed);
    void SetRandomized(bool randomized);
    int32_t Seed() const { return FSeed; }
    bool Randomized() const { return FRandomized; }

    QLineEdit *EditSeed() const { return FEditSeed; }
    QCheckBox *CheckBoxRandomized() const { return FCheckBoxRandomized; }
    QToolButton *SpeedButtonOk() const { return FSpeedButtonOk; }
    QToolButton *SpeedButtonCancel() const { return FSpeedButtonCancel; }

    // Unless randomized, takes the edit's decimal number as the seed and closes with OK; text
    // that is no 32-bit decimal number is reported and the dialog stays open on the edit.
    void SpeedButtonOkClick();
    void SpeedButtonCancelClick();
    // Cancel, also by the close box: the edit shows the held seed again, not the text given up.
    void reject() override;

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Enter and Esc without Shift, Ctrl or Alt close the dialog; true when the key was one of them.
    bool HandleKey(QKeyEvent *event);

    int32_t FSeed = -1;
    bool FRandomized = false;
    QLineEdit *FEditSeed = nullptr;
    QCheckBox *FCheckBoxRandomized = nullptr;
    QToolButton *FSpeedButtonOk = nullptr;
    QToolButton *FSpeedButtonCancel = nullptr;
};
