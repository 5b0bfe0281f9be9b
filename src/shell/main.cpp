// The korvane program: the command-line modes when an option is given, else the desktop
// program with an optional patch file to open.
#include "AppPaths.h"
#include "CommandLine.h"
#include "MoreMods.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char **argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const bool commandLine = IsCommandLineRun(args);
    if (commandLine) {
        // The command-line modes show nothing and must run where there is no display; what
        // they print on standard error is theirs alone, not the toolkit's chatter about it.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
            if (type == QtCriticalMsg || type == QtFatalMsg)
                std::fprintf(stderr, "%s\n", qPrintable(text));
        });
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvane"));
    QApplication::setApplicationVersion(QStringLiteral(KORVANE_VERSION));
    RegisterLibraryModules();

    QTextStream out(stdout), err(stderr);
    if (commandLine)
        return RunCommandLine(args, out, err);
    err << QStringLiteral("korvane: the desktop window is not part of this build yet; see korvane --help") << Qt::endl;
    return 2;
}
