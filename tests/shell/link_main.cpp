// Test runner for the tests that join Link sessions: first a network of the process's own (see
// PrivateNetwork.h), then what the other shell tests have: a widget application (offscreen),
// the build tree as the application directory, the module classes registered.
#include "AppPaths.h"
#include "MoreMods.h"
#include "PrivateNetwork.h"

#include <QApplication>
#include <gtest/gtest.h>

std::string PrivateNetworkProblem;

int main(int argc, char **argv)
{
    PrivateNetworkProblem = privatenet::Enter();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    SetApplicationDirectory(QStringLiteral(KORVANE_APPDIR));
    RegisterLibraryModules();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
