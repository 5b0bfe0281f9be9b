// Patch files on disk: saving and reading a sheet, converting files written under the class
// names of earlier versions, and the tab caption for a file name.
#pragma once

#include "DrawSheet.h"

#include <QString>

// Writes the sheet as patch text: PrepareForSave, the binary form, then the text from it in
// memory, through TFileWriter: a regular file (or the file a symbolic link leads to) is
// replaced only once the new text is complete, so a failed save leaves the previous file as it
// was; a FIFO or device is written directly. Raises EFileError naming fileName and the reason.
void SaveSheetToFile(TKorDrawSheet &sheet, const QString &fileName);
// The two halves of SaveSheetToFile, so that only the first, which renames and reorders the
// modules, needs the patch lock: PrepareForSave and the binary form ...
QByteArray PrepareSheetBinary(TKorDrawSheet &sheet);
// ... then the binary form as the patch text of fileName.
void WriteSheetBinary(const QByteArray &binary, const QString &fileName);

// Reads a patch file into a new sheet without host. Its cable lines stay pending until the
// caller, having linked the sheet to its slot, calls ResolveConnections. Raises EFileError
// (for a directory too: "... Is a directory"), EStreamError, EClassNotFound when the file
// names a class that is not registered, or whatever a property's setter raises. Every error
// of the patch's content starts with the file, the line and, where there is one, the object
// or property: "p.slt:12: Osc1.Top: Integer overflow"; the file is called `shownName` there
// when given (a converted copy standing for the user's file).
TOwned<TKorDrawSheet> ReadSheetFromFile(const QString &fileName, const QString &shownName = QString());
// The same from a patch text in memory, whose errors name shownName as their file. Nothing
// goes through a file on the way.
TOwned<TKorDrawSheet> ReadSheetFromText(const QByteArray &text, const QString &shownName);
// A patch file's whole text; EFileError when it cannot be read (a directory: "... Is a
// directory").
QByteArray ReadPatchText(const QString &fileName);

// ReadSheetFromFile; when that meets an unregistered class, ConvertOldClassNames on the file
// and one more try. Errors of the second try, and other errors of the first, reach the caller.
TOwned<TKorDrawSheet> ReadSheetConverting(const QString &fileName);

// Rewrites a file written under old class names ("TDrawSheet", "TConstant") with the current
// ones, keeping the earlier text beside it with the extension ".bak". Running it on a
// converted file changes nothing.
void ConvertOldClassNames(const QString &fileName);
// A patch text with the class names of earlier versions replaced by the current ones (any case),
// every other byte as it was.
QByteArray WithCurrentClassNames(const QByteArray &text);

// The tab caption for a file: everything from the first ".slt" (any case) on is dropped, then
// the folders ("/" or "\"): "C:\p\My.Patch.SLT" -> "My.Patch"; "b.korvane" stays "b.korvane".
QString SlotNameFromFileName(const QString &fileName);

