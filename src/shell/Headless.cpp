#include "Headless.h"

#include "CommandLine.h"
#include "Dialogs.h"
#include "FrmMain.h"
#include "OfflineRun.h"
#include "StopSignals.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>

namespace {

struct THeadlessOptions {
    TMainWindowOptions Window;
    bool Stats = false;
    QStringList Files;
};

// The same one-line usage errors as the other command-line modes.
std::optional<QString> Parse(const QStringList &args, THeadlessOptions &o)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == QLatin1String("--headless"))
            continue;
        if (a == QLatin1String("--stats")) {
            o.Stats = true;
            continue;
        }
        if (a == QLatin1String("--link")) {
            o.Window.Link = true;
            continue;
        }
        if (a == QLatin1String("--period") || a == QLatin1String("--midi-out") || a == QLatin1String("--midi-in")) {
            if (i + 1 >= args.size())
                return QStringLiteral("%1 needs a value").arg(a);
            const QString &v = args[++i];
            if (a == QLatin1String("--period")) {
                bool ok = false;
                const int ms = v.toInt(&ok);
                if (!ok || ms < 1 || ms > 60000)
                    return QStringLiteral("--period wants a whole number from 1 to 60000, not \"%1\"").arg(v);
                o.Window.PeriodMs = ms;
            } else if (a == QLatin1String("--midi-out")) {
                o.Window.MidiOut = v;
            } else {
                o.Window.MidiIn = v;
            }
            continue;
        }
        if (a.startsWith(u'-') && a.size() > 1)
            return QStringLiteral("unknown option %1").arg(a);
        if (QFileInfo(a).isDir())
            return QStringLiteral("%1 is a directory, not a patch file").arg(a);
        if (!QFileInfo(a).isFile())
            return QStringLiteral("no such file: %1").arg(a);
        o.Files << a;
    }
    if (o.Files.isEmpty())
        return QStringLiteral("no patch file to play");
    return std::nullopt;
}

} // namespace

int RunHeadless(const QStringList &arguments, QTextStream &err)
{
    THeadlessOptions o;
    QStringList args = arguments;
    QString optionError;
    o.Window.OscPort = TakeOscPort(args, optionError);
    const std::optional<QString> record = optionError.isEmpty() ? TakeRecordFile(args, optionError) : std::nullopt;
    std::optional<QString> error = optionError.isEmpty() ? Parse(args, o) : optionError;
    if (error) {
        err << QStringLiteral("korvane: %1 (korvane --help shows the usage)").arg(*error) << Qt::endl;
        return 2;
    }
    // A headless run with other ports or period must not overwrite the desktop's settings.
    o.Window.SaveSettings = false;
    // Without its MIDI system a run in real time has nothing to play through: said once, in
    // Korvane's words, before any port is tried.
    const std::shared_ptr<TMidiServices> midi = o.Window.Midi ? o.Window.Midi : MidiServices();
    if (const QString problem = midi->Problem(); !problem.isEmpty()) {
        err << QStringLiteral("korvane: %1").arg(problem) << Qt::endl;
        return 1;
    }

    // The handlers were installed first thing in main; a signal that came since waits in the
    // pipe, and the loop below ends as soon as it starts.
    if (!InstallStopSignals()) {
        err << QStringLiteral("korvane: cannot set up signal handling") << Qt::endl;
        return 1;
    }
    QSocketNotifier notifier(StopSignalDescriptor(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, qApp, [] { QCoreApplication::quit(); });

    // The MIDI system stopping and returning while the run plays (a JACK server restarted), a
    // port that does not open: one line each, in the words the desktop's top bar shows.
    o.Window.MidiReport = [&err](const QString &text) { err << QStringLiteral("korvane: %1").arg(text) << Qt::endl; };
    // A port that cannot be bound, and messages ignored: one line each time, never per message.
    o.Window.OscReport = [&err](const QString &text) { err << QStringLiteral("korvane: %1").arg(text) << Qt::endl; };
    o.Window.RecordReport = [&err](const QString &text) { err << QStringLiteral("korvane: %1").arg(text) << Qt::endl; };
    int status = 0;
    {
        TFormMain form(std::move(o.Window));
        form.OnSendProblem = [&err](const QString &text) { err << QStringLiteral("korvane: %1").arg(text) << Qt::endl; };
        form.SetRunning(false);
        for (const QString &file : o.Files) {
            try {
                form.PageControl()->LoadSlot(file);
            } catch (const std::exception &e) {
                err << file << QStringLiteral(": ") << QString::fromUtf8(e.what()) << Qt::endl;
                status = 1;
            }
        }
        if (status == 0 && record) {
            try {
                form.StartRecording(*record);
            } catch (const std::exception &e) {
                err << QStringLiteral("korvane: ") << QString::fromUtf8(e.what()) << Qt::endl;
                status = 1;
            }
        }
        if (status == 0) {
            form.SetRunning(true);
            err << QStringLiteral("korvane: playing %1 patch(es) every %2 ms; MIDI out \"%3\", in \"%4\"%5%6%7; Ctrl+C stops")
                       .arg(o.Files.size())
                       .arg(form.Settings().Resolution)
                       .arg(form.MidiOutOpen() ? form.MidiOutName() : QStringLiteral("(none)"),
                            form.MidiInOpen() ? form.MidiInName() : QStringLiteral("(none)"),
                            form.Osc()->Listening() ? QStringLiteral("; OSC on UDP port %1").arg(form.Osc()->Port()) : QString(),
                            record ? QStringLiteral("; recording to %1").arg(*record) : QString())
                       .arg(form.SessionSource() ? QStringLiteral("; following %1").arg(form.SessionSource()->Name()) : QString())
                << Qt::endl;
            QCoreApplication::exec();
        }
        form.Shutdown();
        if (ReportTickErrors(*form.PageControl(), err) && status == 0)
            status = 3;
        if (o.Stats) {
            const TTimerStats stats = form.Timer()->Stats();
            err << QStringLiteral("ticks=%1 skipped=%2 late_p50_us=%3 late_p99_us=%4 late_max_us=%5")
                       .arg(form.TicksRun())
                       .arg(form.TicksSkipped())
                       .arg(stats.LateP50Us)
                       .arg(stats.LateP99Us)
                       .arg(stats.LateMaxUs)
                << Qt::endl;
        }
    }
    RestoreStopSignals();
    return status;
}
