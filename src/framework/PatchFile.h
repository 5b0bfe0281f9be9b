// Patch files on disk: saving and reading a sheet, converting files written under the class
// names of earlier versions, and the tab caption for a file name.
#pragma once

#include "DrawSheet.h"

#include <QString>

// Writes the sheet as patch text: PrepareForSave, the binary form through a temporary file,
// then the text, through TFileWriter: a regular file (or the file a symbolic link leads to) is
// replaced only once the new text is complete, so a failed save leaves the previous file as it
// was; a FIFO or device is written directly. Raises EFileError naming fileName and the reason.
void SaveSheetToFile(TKorDrawSheet &sheet, const QString &fileName);
// The two halves of SaveSheetToFile, so that only the first, which renames and reorders the
// modules, needs the patch lock: PrepareForSave and the binary form ...
QByteArray PrepareSheetBinary(TKorDrawSheet &sheet);
// ... then the binary form through the temporary file into the patch text of fileName.
void WriteSheetBinary(const QByteArray &binary, const QString &fileName);

// Reads a patch file into a new sheet without host. Its cable lines stay pending until the
// caller, having linked the sheet to its slot, calls ResolveConnections. Raises EFileError
// (for a directory too: "... Is a directory"), EStreamError, EClassNotFound when the file
// names a class that is not registered, or whatever a property's setter raises. Every error
// of the patch's content starts with the file, the line and, where there is one, the object
// or property: "p.slt:12: Osc1.Top: Integer overflow"; the file is called `shownName` there
// when given (a converted copy standing for the user's file).
TOwned<TKorDrawSheet> ReadSheetFromFile(const QString &fileName, const QString &shownName = QString());

// ReadSheetFromFile; when that meets an unregistered class, ConvertOldClassNames on the file
// and one more try. Errors of the second try, and other errors of the first, reach the caller.
TOwned<TKorDrawSheet> ReadSheetConverting(const QString &fileName);

// Rewrites a file written under old class names ("TDrawSheet", "TConstant") with the current
// ones, keeping the earlier text beside it with the extension ".bak". Running it on a
// converted file changes nothing.
void ConvertOldClassNames(const QString &fileName);

// The tab caption for a file: everything from the first ".slt" (any case) on is dropped, then
// the folders ("/" or "\"): "C:\p\My.Patch.SLT" -> "My.Patch"; "b.korvane" stays "b.korvane".
QString SlotNameFromFileName(const QString &fileName);

// Where this instance keeps its temporary files ("tmps.slb" while saving, "tmpl.slb" while
// loading): a folder of its own, so two running instances never share them.
QString TemporaryFilePath(const QString &name);
