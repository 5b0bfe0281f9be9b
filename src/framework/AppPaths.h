// Where Korvane finds what ships beside it (bitmaps, the manual) and keeps its default slot
// files: the application directory, with a trailing "/".
#pragma once

#include <QString>

// The executable's folder (the current folder before a QCoreApplication exists), ending in "/".
QString ApplicationDirectory();
// Overrides it (tests, installed copies); an empty path goes back to the executable's folder.
void SetApplicationDirectory(const QString &path);

// Where files of the user's own go by default (new slots' file names): the application
// directory, unless the program chose another because that one is not writable. Ends in "/".
QString UserFilesDirectory();
// Overrides it; an empty path goes back to the application directory.
void SetUserFilesDirectory(const QString &path);
