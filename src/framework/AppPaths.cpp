#include "AppPaths.h"

#include <QCoreApplication>
#include <QDir>

namespace {
QString Override;
}

QString ApplicationDirectory()
{
    QString dir = !Override.isEmpty()       ? Override
                  : QCoreApplication::instance() ? QCoreApplication::applicationDirPath()
                                                 : QDir::currentPath();
    if (!dir.endsWith(u'/'))
        dir += u'/';
    return dir;
}

void SetApplicationDirectory(const QString &path)
{
    Override = path;
}
