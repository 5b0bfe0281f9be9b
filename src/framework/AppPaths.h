// Where Korvane finds what ships beside it (bitmaps, the manual) and keeps its default slot
// files: the application directory, with a trailing "/".
#pragma once

#include <QString>

// The executable's folder (the current folder before a QCoreApplication exists), ending in "/".
QString ApplicationDirectory();
// Overrides it (tests, installed copies); an empty path goes back to the executable's folder.
void SetApplicationDirectory(const QString &path);
