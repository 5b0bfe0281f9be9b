#include "QtDialogs.h"

#include "Colors.h"

#include <QColorDialog>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

namespace {

// A box's text keeps its line breaks, whichever way the message wrote them.
QString BoxText(QString text)
{
    return text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
}

QString FileDialog(QWidget *parent, const TFileDialogRequest &request, bool save)
{
    QFileDialog dialog(parent, request.Title, request.Directory, QtNameFilters(request.Filter));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(request.DefaultExtension);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, !save);
    if (!request.FileName.isEmpty())
        dialog.selectFile(request.FileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

} // namespace

QString QtNameFilters(const QString &filter)
{
    const QStringList parts = filter.split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(u';', u' ').replace(QStringLiteral("*.*"), QStringLiteral("*"));
        filters << QStringLiteral("%1 (%2)").arg(parts[i], patterns);
    }
    return filters.join(QStringLiteral(";;"));
}

void TQtDialogs::ShowMessage(const QString &text)
{
    QMessageBox::information(FParent, QStringLiteral("Korvane"), BoxText(text));
}

void TQtDialogs::ShowError(const QString &text)
{
    QMessageBox::critical(FParent, QStringLiteral("Korvane"), BoxText(text));
}

QString TQtDialogs::InputBox(const QString &caption, const QString &prompt, const QString &value)
{
    bool ok = false;
    const QString text = QInputDialog::getText(FParent, caption, prompt, QLineEdit::Normal, value, &ok);
    return ok ? text : value;
}

QString TQtDialogs::OpenFileName(const TFileDialogRequest &request)
{
    return FileDialog(FParent, request, false);
}

QString TQtDialogs::SaveFileName(const TFileDialogRequest &request)
{
    return FileDialog(FParent, request, true);
}

std::optional<uint32_t> TQtDialogs::ChooseColor(uint32_t initial)
{
    const QColor chosen = QColorDialog::getColor(ToQColor(initial), FParent);
    if (!chosen.isValid())
        return std::nullopt;
    return uint32_t(chosen.red()) | uint32_t(chosen.green()) << 8 | uint32_t(chosen.blue()) << 16;
}

TSaveChoice TQtDialogs::AskSaveChanges(const QString &text)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Korvane"), BoxText(text),
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, FParent);
    box.setDefaultButton(QMessageBox::Save);
    box.setEscapeButton(QMessageBox::Cancel);
    switch (box.exec()) {
    case QMessageBox::Save:
        return TSaveChoice::Save;
    case QMessageBox::Discard:
        return TSaveChoice::Discard;
    default:
        return TSaveChoice::Cancel;
    }
}

TRestoreChoice TQtDialogs::AskRestore(const QString &text, const QStringList &items)
{
    const int discarded = 2; // beside QDialog's Accepted and Rejected
    QDialog box(FParent);
    box.setWindowTitle(QStringLiteral("Korvane"));
    auto *layout = new QVBoxLayout(&box);
    auto *label = new QLabel(BoxText(text), &box);
    label->setWordWrap(true);
    layout->addWidget(label);
    auto *list = new QListWidget(&box);
    list->addItems(items);
    list->setSelectionMode(QAbstractItemView::NoSelection);
    // Wide enough for the file names (up to most of a screen), short for a short list.
    const int rows = std::min<int>(int(items.size()), 10);
    list->setMinimumWidth(std::min(list->sizeHintForColumn(0) + 2 * list->frameWidth() + 8, 900));
    list->setFixedHeight(std::max(rows, 1) * list->sizeHintForRow(0) + 2 * list->frameWidth() + 4);
    layout->addWidget(list);
    auto *buttons = new QDialogButtonBox(&box);
    QPushButton *restore = buttons->addButton(QStringLiteral("Restore"), QDialogButtonBox::AcceptRole);
    QPushButton *discard = buttons->addButton(QStringLiteral("Discard"), QDialogButtonBox::DestructiveRole);
    restore->setDefault(true);
    QObject::connect(restore, &QPushButton::clicked, &box, &QDialog::accept);
    QObject::connect(discard, &QPushButton::clicked, &box, [&box] { box.done(discarded); });
    layout->addWidget(buttons);
    switch (box.exec()) {
    case QDialog::Accepted:
        return TRestoreChoice::Restore;
    case discarded:
        return TRestoreChoice::Discard;
    default:
        return TRestoreChoice::Later;
    }
}
