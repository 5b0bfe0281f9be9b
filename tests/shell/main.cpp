// Test runner for the application folder: a widget application (offscreen), the build tree as
// the application directory, the module classes registered.
#include "AppPaths.h"
#include "MoreMods.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    SetApplicationDirectory(QStringLiteral(KORVANE_APPDIR));
    RegisterLibraryModules();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
