#include "AppPaths.h"

#include <QCoreApplication>
#include <QDir>

namespace {
QString Override, UserFiles;
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

QString UserFilesDirectory()
{
    if (UserFiles.isEmpty())
        return ApplicationDirectory();
    return UserFiles.endsWith(u'/') ? UserFiles : UserFiles + u'/';
}

void SetUserFilesDirectory(const QString &path)
{
    UserFiles = path;
}
