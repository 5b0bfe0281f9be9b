// The one way Korvane talks to the user in boxes: message boxes and error boxes. The program
// installs Qt dialogs; headless runs and tests install their own (a recorder, standard error).
#pragma once

#include <QString>

// User-interface thread only. Texts are shown exactly as given.
class IDialogs {
public:
    virtual ~IDialogs() = default;
    // A plain information box with an OK button.
    virtual void ShowMessage(const QString &text) = 0;
    // The application's standard error box.
    virtual void ShowError(const QString &text) = 0;
};

// The installed dialogs; by default every text goes to standard error.
IDialogs &Dialogs();
// Installs d (not owned; must outlive its use); null restores the default.
void SetDialogs(IDialogs *d);
