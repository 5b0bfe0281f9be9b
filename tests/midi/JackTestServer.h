// A JACK server of a test's own (jackd with its dummy driver) and helper programs talking to it.
#pragma once

#include "MidiTestSupport.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <cerrno>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <unistd.h>

// JACK names each client's socket in /dev/shm after the client and the user only, whichever
// server the client talks to. Two servers at once, each with a client of the same name (every
// test's jack_lsp, Korvane's own clients), take each other's sockets, and a client open then
// fails with status 0x21 although its server answered a moment before. So the tests' servers
// run one at a time on the machine, whichever test program, build or work tree starts them:
// each holds this lock from before its server starts until after its files are gone.
class TJackMachineLock {
public:
    TJackMachineLock()
    {
        // Close-on-exec: a helper program that outlived its test must not hold the lock.
        FFile = ::open("/dev/shm/korvane-jack-tests.lock", O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
        if (FFile < 0) {
            FWhyNot = "the JACK tests' lock file cannot be opened: " + std::string(strerror(errno));
            return;
        }
        // Bounded, as a test's whole run is: other suites' JACK tests may be queued before it.
        const QDeadlineTimer deadline(600000);
        while (flock(FFile, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                FWhyNot = "the JACK tests' lock cannot be taken: " + std::string(strerror(errno));
                return;
            }
            if (deadline.hasExpired()) {
                FWhyNot = "other JACK tests held the machine's JACK test lock for ten minutes";
                return;
            }
            QThread::msleep(20);
        }
    }
    ~TJackMachineLock()
    {
        if (FFile >= 0)
            ::close(FFile);
    }
    TJackMachineLock(const TJackMachineLock &) = delete;
    TJackMachineLock &operator=(const TJackMachineLock &) = delete;

    // Empty once the lock is held.
    const std::string &WhyNot() const { return FWhyNot; }

private:
    int FFile = -1;
    std::string FWhyNot;
};

// A JACK server of this test alone, under a name no other server uses, ended with the test.
// Helper programs run with the same server name and are ended first; every client, port-less
// ones too, must be gone by then.
class TJackServer {
public:
    // `driver`: the dummy driver's own options, say {"-p", "256"} for 256-frame periods.
    // `environment`: more variables for the helper programs (not for this process).
    explicit TJackServer(const QStringList &driver = {}, const QProcessEnvironment &environment = {})
    {
        static int serial = 0;
        FName = QStringLiteral("korvane-test-%1-%2").arg(getpid()).arg(++serial);
        FEnvironment = QProcessEnvironment::systemEnvironment();
        FEnvironment.insert(environment);
        FEnvironment.insert("JACK_DEFAULT_SERVER", FName);
        FEnvironment.insert("JACK_NO_AUDIO_RESERVATION", "1");
        FEnvironment.insert("JACK_NO_START_SERVER", "1");
        if (QStandardPaths::findExecutable("jackd").isEmpty()) {
            FWhyNot = "jackd is not installed";
            return;
        }
        if (!FLock.WhyNot().empty()) {
            ADD_FAILURE() << FLock.WhyNot();
            FWhyNot = FLock.WhyNot();
            return;
        }
        // RtMidi's clients in this process reach the same server.
        qputenv("JACK_DEFAULT_SERVER", FName.toUtf8());
        qputenv("JACK_NO_START_SERVER", "1");
        FDriver = driver;
        if (!StartServer())
            FWhyNot = "jackd did not start: " + FServer->readAllStandardError().toStdString();
    }

    // Stops the server as a user's `kill` does (SIGTERM), while its clients run: they are told
    // it went. True once it has ended.
    bool StopServer()
    {
        if (FServer == nullptr || FServer->state() != QProcess::Running)
            return false;
        FServer->terminate();
        if (!FServer->waitForFinished(10000))
            return false;
        // A server that ended while clients were connected may leave their files behind.
        for (const QString &file : Files())
            QFile::remove(QStringLiteral("/dev/shm/") + file);
        return true;
    }

    // Starts the server (again) under the same name; true once it answers.
    bool StartServer()
    {
        // Real-time where the user may (else it goes on without): a server that is put aside
        // on a busy machine falls behind, its frames run slower than the clock and the tests
        // that time notes could judge nothing.
        FServer = Start("jackd", QStringList{"-d", "dummy"} + FDriver);
        return Run("jack_wait", {"-w", "-t", "10"}, nullptr, 15000) == 0 && FServer->state() == QProcess::Running;
    }

    ~TJackServer()
    {
        // The clients go at once (asked politely, they can hang for seconds), then the server,
        // once it has seen every client go, is asked to stop, so that it clears its shared memory.
        for (const auto &p : FProcesses)
            if (p.get() != FServer)
                End(*p, false);
        if (FServer != nullptr) {
            if (FServer->state() == QProcess::Running && !WaitFor([&] { return Clients().isEmpty(); }, 10000))
                ADD_FAILURE() << "JACK clients outlived the test: " << Clients().join(", ").toStdString();
            End(*FServer, true);
            // A server that had to be killed leaves its files behind; they are this test's alone.
            for (const QString &file : Files())
                QFile::remove(QStringLiteral("/dev/shm/") + file);
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

    // Runs a program with this server's environment to its end within `ms`: its exit code, or -1
    // when it crashed or did not end in time (it is killed then). Its standard output goes to
    // `out` when given.
    int Run(const QString &program, const QStringList &arguments, QString *out = nullptr, int ms = 10000)
    {
        QProcess p;
        p.setProcessEnvironment(FEnvironment);
        p.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        p.start(program, arguments);
        const bool ended = p.waitForFinished(ms);
        if (!ended) {
            p.kill();
            p.waitForFinished(2000);
        }
        if (out)
            *out = QString::fromLocal8Bit(p.readAllStandardOutput());
        return ended && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

    // The lines jack_lsp prints with `arguments` ("-c": each port, its connections indented
    // below it); nothing when jack_lsp failed, which is no listing rather than an empty one.
    std::optional<QStringList> Ports(const QStringList &arguments = {})
    {
        QString out;
        if (Run("jack_lsp", arguments, &out) != 0)
            return std::nullopt;
        return out.split('\n', Qt::SkipEmptyParts);
    }
    // Whether a listing that succeeded has the line `line`.
    bool Lists(const QString &line, const QStringList &arguments = {})
    {
        const std::optional<QStringList> lines = Ports(arguments);
        return lines && lines->contains(line);
    }

    // The clients connected now, port-less ones too: the server keeps a semaphore file for each.
    QStringList Clients() const
    {
        QStringList clients;
        const QString prefix = QStringLiteral("jack_sem.%1_%2_").arg(getuid()).arg(FName);
        for (const QString &file : Files())
            if (file.startsWith(prefix) && file != prefix + "system" && file != prefix + "freewheel")
                clients << file.mid(prefix.size());
        return clients;
    }

private:
    // This server's files in /dev/shm: its socket and its clients' semaphores.
    QStringList Files() const
    {
        return QDir(QStringLiteral("/dev/shm"))
            .entryList({QStringLiteral("jack_sem.%1_%2_*").arg(getuid()).arg(FName),
                        QStringLiteral("jack_%1_%2_*").arg(FName).arg(getuid())},
                       QDir::Files | QDir::System | QDir::Hidden);
    }

    TJackMachineLock FLock; // first made, last gone
    QString FName;
    QStringList FDriver;
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
