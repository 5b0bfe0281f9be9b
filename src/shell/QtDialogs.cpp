#include "QtDialogs.h"

#include "Colors.h"

#include <QColorDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

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
