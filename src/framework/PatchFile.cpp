#include "PatchFile.h"

#include "Errors.h"
#include "FileWriter.h"
#include "ObjectStream.h"
#include "Registry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

QByteArray ReadWholeFile(const QString &fileName)
{
    if (QFileInfo(fileName).isDir())
        throw EFileError(QStringLiteral("Cannot open file \"%1\". Is a directory").arg(QDir::toNativeSeparators(fileName)));
    QFile f(fileName);
    if (!f.open(QIODevice::ReadOnly))
        throw EFileError(QStringLiteral("Cannot open file \"%1\". %2").arg(QDir::toNativeSeparators(fileName), f.errorString()));
    QByteArray data = f.readAll();
    if (f.error() != QFileDevice::NoError)
        throw EFileError(QStringLiteral("Cannot read file \"%1\". %2").arg(QDir::toNativeSeparators(fileName), f.errorString()));
    return data;
}

// A temporary file that is gone when the scope ends, whatever happens.
struct TTemporaryFile {
    QString Path;
    explicit TTemporaryFile(const QString &name) : Path(TemporaryFilePath(name)) {}
    ~TTemporaryFile() { QFile::remove(Path); }
};

} // namespace

QString TemporaryFilePath(const QString &name)
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/korvane-XXXXXX"));
    if (!dir.isValid())
        throw EFileError(QStringLiteral("Cannot create a temporary folder in \"%1\". %2")
                             .arg(QDir::toNativeSeparators(QDir::tempPath()), dir.errorString()));
    return dir.filePath(name);
}

QByteArray PrepareSheetBinary(TKorDrawSheet &sheet)
{
    sheet.PrepareForSave();
    return WriteComponent(sheet);
}

void WriteSheetBinary(const QByteArray &binary, const QString &fileName)
{
    const TTemporaryFile temporary(QStringLiteral("tmps.slb"));
    try {
        WriteWholeFile(temporary.Path, binary);
    } catch (const EFileError &e) {
        // The save is what failed: its message names the file the user chose.
        throw EFileError(QStringLiteral("Cannot write file \"%1\". %2").arg(QDir::toNativeSeparators(fileName), e.Reason()),
                         fileName, e.Reason());
    }
    WriteWholeFile(fileName, ObjectBinaryToText(ReadWholeFile(temporary.Path)));
}

void SaveSheetToFile(TKorDrawSheet &sheet, const QString &fileName)
{
    WriteSheetBinary(PrepareSheetBinary(sheet), fileName);
}

TOwned<TKorDrawSheet> ReadSheetFromFile(const QString &fileName, const QString &shownName)
{
    const TTemporaryFile binary(QStringLiteral("tmpl.slb"));
    const QByteArray text = ReadWholeFile(fileName);
    // The line of every object and property, so that an error of the component reader, which
    // sees only the binary form, names where it lies: "p.slt:12: Osc1.Top: Integer overflow".
    TTextLines lines;
    const QString place = (shownName.isEmpty() ? fileName : shownName) + u':';
    QByteArray data;
    try {
        data = ObjectTextToBinary(text, &lines);
    } catch (Exception &e) {
        e.Prepend(place);
        throw;
    }
    WriteWholeFile(binary.Path, data);
    data = ReadWholeFile(binary.Path);
    auto sheet = CreateOwned<TKorDrawSheet>();
    try {
        ReadComponent(data, sheet.get(), nullptr, &lines);
    } catch (Exception &e) {
        e.Prepend(place);
        throw;
    }
    return sheet;
}

TOwned<TKorDrawSheet> ReadSheetConverting(const QString &fileName)
{
    try {
        return ReadSheetFromFile(fileName);
    } catch (const EClassNotFound &) {
        ConvertOldClassNames(fileName);
    }
    return ReadSheetFromFile(fileName);
}

void ConvertOldClassNames(const QString &fileName)
{
    const QByteArray earlier = ReadWholeFile(fileName);
    const QFileInfo info(fileName);
    const QString suffix = info.suffix();
    const QString backup = suffix.isEmpty() && !fileName.endsWith(u'.')
                               ? fileName + QStringLiteral(".bak")
                               : fileName.left(fileName.size() - suffix.size() - 1) + QStringLiteral(".bak");
    WriteWholeFile(backup, earlier);
    // Latin-1 keeps every byte as it was; patch text is 7-bit anyway.
    QString text = QString::fromLatin1(earlier);
    const QStringList &current = ClassNames(), &old = OldNames();
    if (current.size() == old.size())
        for (qsizetype i = 0; i < current.size(); ++i)
            text.replace(old[i], current[i], Qt::CaseInsensitive);
    WriteWholeFile(fileName, text.toLatin1());
}

QString SlotNameFromFileName(const QString &fileName)
{
    QString name = fileName;
    const qsizetype dot = name.indexOf(QStringLiteral(".slt"), 0, Qt::CaseInsensitive);
    if (dot >= 0)
        name.truncate(dot);
    const qsizetype slash = std::max(name.lastIndexOf(u'\\'), name.lastIndexOf(u'/'));
    return slash >= 0 ? name.mid(slash + 1) : name;
}
