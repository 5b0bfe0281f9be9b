#include "PatchFile.h"

#include "Errors.h"
#include "FileWriter.h"
#include "ObjectStream.h"
#include "Registry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QByteArray ReadPatchText(const QString &fileName)
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

QByteArray PrepareSheetBinary(TKorDrawSheet &sheet)
{
    sheet.PrepareForSave();
    return WriteComponent(sheet);
}

void WriteSheetBinary(const QByteArray &binary, const QString &fileName)
{
    WriteWholeFile(fileName, ObjectBinaryToText(binary));
}

void SaveSheetToFile(TKorDrawSheet &sheet, const QString &fileName)
{
    WriteSheetBinary(PrepareSheetBinary(sheet), fileName);
}

TOwned<TKorDrawSheet> ReadSheetFromText(const QByteArray &text, const QString &shownName)
{
    // The line of every object and property, so that an error of the component reader, which
    // sees only the binary form, names where it lies: "p.slt:12: Osc1.Top: Integer overflow".
    TTextLines lines;
    const QString place = shownName + u':';
    QByteArray data;
    try {
        data = ObjectTextToBinary(text, &lines);
    } catch (Exception &e) {
        e.Prepend(place);
        throw;
    }
    auto sheet = CreateOwned<TKorDrawSheet>();
    try {
        ReadComponent(data, sheet.get(), nullptr, &lines);
    } catch (Exception &e) {
        e.Prepend(place);
        throw;
    }
    return sheet;
}

TOwned<TKorDrawSheet> ReadSheetFromFile(const QString &fileName, const QString &shownName)
{
    return ReadSheetFromText(ReadPatchText(fileName), shownName.isEmpty() ? fileName : shownName);
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
    const QByteArray earlier = ReadPatchText(fileName);
    const QFileInfo info(fileName);
    const QString suffix = info.suffix();
    const QString backup = suffix.isEmpty() && !fileName.endsWith(u'.')
                               ? fileName + QStringLiteral(".bak")
                               : fileName.left(fileName.size() - suffix.size() - 1) + QStringLiteral(".bak");
    WriteWholeFile(backup, earlier);
    WriteWholeFile(fileName, WithCurrentClassNames(earlier));
}

QByteArray WithCurrentClassNames(const QByteArray &text)
{
    // Latin-1 keeps every byte as it was; patch text is 7-bit anyway.
    QString converted = QString::fromLatin1(text);
    const QStringList &current = ClassNames(), &old = OldNames();
    if (current.size() == old.size())
        for (qsizetype i = 0; i < current.size(); ++i)
            converted.replace(old[i], current[i], Qt::CaseInsensitive);
    return converted.toLatin1();
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
