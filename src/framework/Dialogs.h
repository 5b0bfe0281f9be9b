// The one way Korvane talks to the user in boxes: message boxes and error boxes. The program
// installs Qt dialogs; headless runs and tests install their own (a recorder, standard error).
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

// What a file dialog shows. Filter is a list of "Description|patterns" pairs joined by "|"
// ("Slot files (*.Slt)|*.Slt|All files (*.*)|*.*").
struct TFileDialogRequest {
    QString Title, Filter, DefaultExtension, Directory, FileName;
};

// The answer to "Save changes to NAME?".
enum class TSaveChoice { Save, Discard, Cancel };
// The answer to the offer of patches recovered from an instance that ended without saving:
// Later (the box closed without a choice) keeps them for the next start.
enum class TRestoreChoice { Restore, Discard, Later };

// User-interface thread only. Texts are shown exactly as given. The questions answer as a
// cancelled dialog unless an implementation overrides them, so a run without a person never
// waits for one.
class IDialogs {
public:
    virtual ~IDialogs() = default;
    // A plain information box with an OK button.
    virtual void ShowMessage(const QString &text) = 0;
    // The application's standard error box.
    virtual void ShowError(const QString &text) = 0;
    // An input box with a caption, a prompt and a default; cancelling gives the default.
    virtual QString InputBox(const QString &caption, const QString &prompt, const QString &value)
    {
        (void)caption, (void)prompt;
        return value;
    }
    // A file to open (which must exist) or to save into (asking before overwriting); empty when
    // cancelled.
    virtual QString OpenFileName(const TFileDialogRequest &) { return {}; }
    virtual QString SaveFileName(const TFileDialogRequest &) { return {}; }
    // Save / Discard / Cancel for one modified patch.
    virtual TSaveChoice AskSaveChanges(const QString &text)
    {
        (void)text;
        return TSaveChoice::Cancel;
    }
    // Restore / Discard for the recovered patches listed in `items`.
    virtual TRestoreChoice AskRestore(const QString &text, const QStringList &items)
    {
        (void)text, (void)items;
        return TRestoreChoice::Later;
    }
    // A colour (0x00BBGGRR) chosen starting from `initial`; none when cancelled.
    virtual std::optional<uint32_t> ChooseColor(uint32_t initial)
    {
        (void)initial;
        return std::nullopt;
    }
};

// The installed dialogs; by default every text goes to standard error.
IDialogs &Dialogs();
// Installs d (not owned; must outlive its use); null restores the default.
void SetDialogs(IDialogs *d);
