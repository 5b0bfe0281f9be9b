// The korvane program: the command-line modes when an option asks for one, a headless run, or
// the desktop program with an optional patch file to open.
#include "AppPaths.h"
#include "CommandLine.h"
#include "Dialogs.h"
#include "FileWriter.h"
#include "FrmMain.h"
#include "Globals.h"
#include "Headless.h"
#include "Instance.h"
#include "MidiServices.h"
#include "MidiType.h"
#include "MoreMods.h"
#include "QtDialogs.h"
#include "StopSignals.h"

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

// Removes "--midi-api NAME" from args; the name, or an error text.
std::optional<QString> TakeMidiApi(QStringList &args, QString &error)
{
    const qsizetype at = args.indexOf(QStringLiteral("--midi-api"));
    if (at < 0)
        return std::nullopt;
    if (at + 1 >= args.size()) {
        error = QStringLiteral("--midi-api needs a value");
        return std::nullopt;
    }
    const QString name = args.at(at + 1);
    args.remove(at, 2);
    if (!IsMidiApiName(name)) {
        error = QStringLiteral("--midi-api wants alsa, jack or loopback, not \"%1\"").arg(name);
        return std::nullopt;
    }
    return name;
}

void QuietQtMessages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

} // namespace

int main(int argc, char **argv)
{
    // Before the stop signals below: they take SIGINT and SIGTERM over where a run stops
    // cleanly, and give them back to this cleanup at the end.
    RemovePartFilesOnSignals();
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    QString apiError;
    const std::optional<QString> api = TakeMidiApi(args, apiError);
    const bool help = args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"));
    const bool headless = !help && args.contains(QStringLiteral("--headless"));
    QString oscError;
    const std::optional<int32_t> oscPort = headless ? std::nullopt : TakeOscPort(args, oscError);
    const std::optional<QString> record = headless || !oscError.isEmpty() ? std::nullopt : TakeRecordFile(args, oscError);
    // A headless run reads --link among its own options.
    const bool link = !headless && args.removeAll(QStringLiteral("--link")) > 0;
    const bool commandLine = !headless && IsCommandLineRun(args);
    if (commandLine && oscPort && oscError.isEmpty())
        oscError = QStringLiteral("--osc-port belongs to the desktop program and --headless");
    if (commandLine && record && oscError.isEmpty())
        oscError = QStringLiteral("--record belongs to the desktop program and --headless");
    QString linkError;
    if (commandLine && link && !help)
        linkError = QStringLiteral("--link belongs to the desktop program and --headless");
    // The runs that end on SIGINT or SIGTERM take them from here on, before anything can
    // block (display, settings, MIDI ports, patches), so that an early signal still ends
    // them cleanly: a headless run then reports its statistics, the desktop writes its
    // settings. The command-line modes end on their own: a signal ends them at once, their
    // part files removed.
    const bool stopSignals = !commandLine && InstallStopSignals();
    const bool noDisplay = qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
                           qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    if (headless || commandLine) {
        // Nothing is shown: no display is needed, and what goes to standard error is ours alone.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        qInstallMessageHandler(QuietQtMessages);
        if (commandLine)
            ExitOnOutOfMemory();
    } else if (noDisplay) {
        std::fprintf(stderr, "korvane: there is no display to show the window on; "
                             "korvane --headless FILE plays patches without one\n");
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvane"));
    QApplication::setApplicationVersion(QStringLiteral(KORVANE_VERSION));
    RegisterLibraryModules();
    QTextStream out(stdout), err(stderr);
    for (const QString &error : {apiError, oscError, linkError})
        if (!error.isEmpty()) {
            err << QStringLiteral("korvane: %1 (korvane --help shows the usage)").arg(error) << Qt::endl;
            return 2;
        }
    if (commandLine)
        return RunCommandLine(args, out, err);

    // The MIDI system: the command line's choice, else the settings file's, else ALSA.
    ChooseWritablePlaces();
    const QString settingsApi = ReadSettings(SettingsFilePath(), QRect(), QSize()).MidiApi;
    UseMidiApi(api.value_or(settingsApi.isEmpty() ? QStringLiteral("alsa") : settingsApi));
    ResetColorSettings(); // the window reads the colours itself
    if (headless)
        return RunHeadless(args, err);

    // One desktop instance per session: a second start hands its file over and ends. A
    // listener of another user gets nothing: this start then runs as an instance of its own.
    QString noChannel, refusal;
    const QString channelName = TInstanceChannel::ChannelName(&noChannel);
    if (TInstanceChannel::HandOver(args.value(0), channelName, ::getuid(), &refusal))
        return 0;
    if (!refusal.isEmpty())
        err << QStringLiteral("korvane: not handing the file over: %1").arg(refusal) << Qt::endl;
    TInstanceChannel channel;
    // Starts handed over before the window is there (or while a box of its start is open) are
    // answered and kept until it shows.
    channel.SetHolding(true);
    if (!channel.Listen(channelName))
        err << QStringLiteral("korvane: a second start cannot reach this one: %1")
                   .arg(channelName.isEmpty() ? noChannel : channel.ErrorString())
            << Qt::endl;

    TQtDialogs dialogs;
    SetDialogs(&dialogs);
    SetMidiMessageHook([](const QString &text) { Dialogs().ShowError(text); });
    // A signal may come while a box shown during the start runs its own loop, before the window
    // is there to close: the box's loop ends, and the program ends once the start is through.
    bool stopAsked = false;
    TFormMain *running = nullptr;
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (stopSignals) {
        // A signal that came during the start waits in the pipe: the first loop takes it.
        signalNotifier = std::make_unique<QSocketNotifier>(StopSignalDescriptor(), QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, qApp, [&] {
            char byte;
            [[maybe_unused]] const ssize_t taken = ::read(StopSignalDescriptor(), &byte, 1);
            stopAsked = true;
            if (running)
                running->CloseWithoutAsking();
            QCoreApplication::exit(0); // every loop, a dialog's too, which would keep the program up
        });
    } else {
        err << QStringLiteral("korvane: cannot set up signal handling; a logout ends Korvane without saving its settings")
            << Qt::endl;
    }
    int status = 0;
    {
        TMainWindowOptions options;
        options.Arguments = args;
        options.Recovery = true;
        options.OscPort = oscPort;
        options.Link = link;
        // Said in the top bar, and here for whoever started Korvane from a terminal.
        options.MidiReport = [&err](const QString &text) { err << QStringLiteral("korvane: %1").arg(text) << Qt::endl; };
        TFormMain form(std::move(options));
        running = &form;
        dialogs.SetParent(&form);
        channel.OnActivate = [&form] { form.BringToFront(); };
        channel.OnOpenFile = [&form](const QString &file) { form.OpenFile(file); };
        if (record && !stopAsked) {
            try {
                form.StartRecording(*record);
            } catch (const std::exception &e) {
                dialogs.ShowError(QString::fromUtf8(e.what()));
            }
        }
        if (stopAsked) {
            form.CloseWithoutAsking();
        } else {
            form.show();
            channel.SetHolding(false);
            status = QApplication::exec();
        }
        // From here a later start finds no running instance: the files it brings are not lost
        // in a program that is ending.
        channel.Close();
        running = nullptr;
        channel.OnActivate = nullptr;
        channel.OnOpenFile = nullptr;
    }
    RestoreStopSignals();
    SetMidiMessageHook(nullptr);
    SetDialogs(nullptr);
    return status;
}
