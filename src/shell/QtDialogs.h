// The desktop program's message boxes, input boxes and file and colour dialogs: the one
// implementation of the dialog interface that shows real windows.
#pragma once

#include "Dialogs.h"

#include <QPointer>
#include <QWidget>

// User-interface thread only. Boxes are modal to `parent` (not owned; may go away first).
class TQtDialogs : public IDialogs {
public:
    explicit TQtDialogs(QWidget *parent = nullptr) : FParent(parent) {}
    void SetParent(QWidget *parent) { FParent = parent; }

    void ShowMessage(const QString &text) override;
    void ShowError(const QString &text) override;
    QString InputBox(const QString &caption, const QString &prompt, const QString &value) override;
    QString OpenFileName(const TFileDialogRequest &request) override;
    QString SaveFileName(const TFileDialogRequest &request) override;
    std::optional<uint32_t> ChooseColor(uint32_t initial) override;
    // A question box with Save (the default), Discard and Cancel; Esc and closing it cancel.
    TSaveChoice AskSaveChanges(const QString &text) override;
    // The text above a list of the items, with Restore (the default) and Discard; Esc and
    // closing the box answer Later.
    TRestoreChoice AskRestore(const QString &text, const QStringList &items) override;

private:
    QPointer<QWidget> FParent;
};

// "Old Slot files (*.Slt)|*.slt|All files (*.*)|*.*" as a Qt name filter list
// ("Old Slot files (*.Slt) (*.slt);;All files (*.*) (*)").
QString QtNameFilters(const QString &filter);
