// A JACK server of a test's own (jackd with its dummy driver) and helper programs talking to it.
#pragma once

#include "MidiTestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <memory>
#include <string>
#include <vector>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

// A JACK server of this test alone, under a name no other server uses, ended with the test.
// Helper programs run with the same server name and are ended first.
class TJackServer {
public:
    // `driver`: the dummy driver's own options, say {"-p", "256"} for 256-frame periods.
    explicit TJackServer(const QStringList &driver = {})
    {
        static int serial = 0;
        FName = QStringLiteral("korvane-test-%1-%2").arg(getpid()).arg(++serial);
        FEnvironment = QProcessEnvironment::systemEnvironment();
        FEnvironment.insert("JACK_DEFAULT_SERVER", FName);
        FEnvironment.insert("JACK_NO_AUDIO_RESERVATION", "1");
        FEnvironment.insert("JACK_NO_START_SERVER", "1");
        // RtMidi's clients in this process reach the same server.
        qputenv("JACK_DEFAULT_SERVER", FName.toUtf8());
        qputenv("JACK_NO_START_SERVER", "1");
        if (QStandardPaths::findExecutable("jackd").isEmpty()) {
            FWhyNot = "jackd is not installed";
            return;
        }
        FServer = Start("jackd", QStringList{"-r", "-d", "dummy"} + driver);
        QProcess wait;
        wait.setProcessEnvironment(FEnvironment);
        wait.start("jack_wait", {"-w", "-t", "10"});
        const bool answered = wait.waitForFinished(15000) && wait.exitCode() == 0;
        if (!answered || FServer->state() != QProcess::Running)
            FWhyNot = "jackd did not start: " + FServer->readAllStandardError().toStdString();
    }

    ~TJackServer()
    {
        // The clients go at once (asked politely, they can hang for seconds), then the server,
        // once it has seen them go, is asked to stop, so that it clears its shared memory.
        for (const auto &p : FProcesses)
            if (p.get() != FServer)
                End(*p, false);
        if (FServer != nullptr) {
            const QRegularExpression client("^(?!system:)\\S", QRegularExpression::MultilineOption);
            WaitFor([&] { return !Run("jack_lsp", {}).contains(client); }, 5000);
            End(*FServer, true);
        }
        qunsetenv("JACK_DEFAULT_SERVER");
        qunsetenv("JACK_NO_START_SERVER");
    }

    const std::string &WhyNot() const { return FWhyNot; }

    // A helper program talking to this server; it dies with this process, however that ends.
    QProcess *Start(const QString &program, const QStringList &arguments)
    {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(FEnvironment);
        p->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        p->start(program, arguments);
        p->waitForStarted(5000);
        FProcesses.push_back(std::move(p));
        return FProcesses.back().get();
    }

    static void End(QProcess &p, bool politely)
    {
        if (p.state() == QProcess::NotRunning)
            return;
        if (politely)
            p.terminate();
        else
            p.kill();
        if (!p.waitForFinished(8000)) {
            p.kill();
            p.waitForFinished(2000);
        }
    }

    // Runs a JACK command-line tool to its end (bounded); its standard output.
    QString Run(const QString &program, const QStringList &arguments)
    {
        QProcess p;
        p.setProcessEnvironment(FEnvironment);
        p.start(program, arguments);
        p.waitForFinished(10000);
        return QString::fromLocal8Bit(p.readAllStandardOutput());
    }

private:
    QString FName;
    QProcessEnvironment FEnvironment;
    std::string FWhyNot;
    QProcess *FServer = nullptr;
    std::vector<std::unique_ptr<QProcess>> FProcesses;
};

// Collects what jack_midi_dump prints until `wanted` is there (bounded).
inline bool DumpShows(QProcess &dump, QString &seen, const QString &wanted)
{
    return WaitFor(
        [&] {
            seen += QString::fromLocal8Bit(dump.readAllStandardOutput());
            return seen.contains(wanted);
        },
        8000);
}
