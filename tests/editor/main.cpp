// Test runner for the editor: a widget application (offscreen) with the build tree as the
// application directory, then GoogleTest.
#include "AppPaths.h"
#include "TestModules.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    SetApplicationDirectory(QStringLiteral(KORVANE_APPDIR));
    RegisterTestModules();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
