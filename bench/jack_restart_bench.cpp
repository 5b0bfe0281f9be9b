// Notes after a JACK server restart: Korvane plays to a configured port while its JACK server
// (dummy driver, 256-frame periods) is stopped as `kill` stops it and started again, and the
// synthesizer's client (jack_midi_dump) with it, at once or a second later. Per round: the time
// from the server answering again, and from the synthesizer's start, to the first note the
// synthesizer hears. Over Korvane's own JACK clients and RtMidi's. Measured and printed, never
// asserted. Needs jackd and its tools; waits for the machine's JACK test lock.
#include "Dialogs.h"
#include "FrmMain.h"
#include "MoreMods.h"
#include "BenchSupport.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

using namespace bench;

using TClock = std::chrono::steady_clock;

bool StartServer(std::unique_ptr<QProcess> &server)
{
    server = Start("jackd", {"-d", "dummy", "-r", "48000", "-p", "256"});
    QProcess wait;
    wait.start("jack_wait", {"-w", "-t", "10"});
    return wait.waitForFinished(15000) && wait.exitCode() == 0;
}

double Ms(TClock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

struct TRound {
    double FromServer = -1, FromSynth = -1; // ms; -1: no note within 20 s
};

// One restart: stops the server, starts it again and the synthesizer `synthDelayMs` later.
TRound Restart(TFormMain &w, std::unique_ptr<QProcess> &server, std::unique_ptr<QProcess> &dump, int synthDelayMs)
{
    TRound r;
    dump->kill();
    dump->waitForFinished(5000);
    server->terminate();
    server->waitForFinished(10000);
    WaitFor([&] { return !w.MidiOutOpen(); }, 10000);
    QThread::msleep(500);
    if (!StartServer(server))
        return r;
    const TClock::time_point back = TClock::now();
    WaitFor([] { return false; }, synthDelayMs);
    dump = Start("stdbuf", {"-oL", "jack_midi_dump"});
    const TClock::time_point synth = TClock::now();
    QString seen;
    if (WaitFor(
            [&] {
                seen += QString::fromLocal8Bit(dump->readAllStandardOutput());
                return seen.contains(" 90 ");
            },
            20000)) {
        const TClock::time_point heard = TClock::now();
        r.FromServer = Ms(heard - back);
        r.FromSynth = Ms(heard - synth);
    }
    return r;
}

void Run(const char *path, std::shared_ptr<TMidiServices> (*make)(), std::unique_ptr<QProcess> &server)
{
    QTemporaryDir dir;
    QFile f(dir.filePath("korvane.INI"));
    if (!f.open(QIODevice::WriteOnly))
        return;
    f.write("[Settings]\nMidiApi=jack\nMidiOut=midi-monitor:input\n");
    f.close();
    auto dump = Start("stdbuf", {"-oL", "jack_midi_dump"});
    TMainWindowOptions options;
    options.SettingsFile = f.fileName();
    options.Midi = make();
    options.SaveSettings = false;
    auto w = std::make_unique<TFormMain>(std::move(options));
    WaitFor([&] { return w->MidiOutOpen(); }, 10000);
    // A note every 5 ms, as a busy patch would send, under the patch lock like a tick.
    QTimer notes;
    QObject::connect(&notes, &QTimer::timeout, [&] {
        std::lock_guard lock(w->PageControl()->Guard().Mutex);
        w->PageControl()->OnMidiOutShort(nullptr, MakeShortMsg(0, 9, 60, 100));
    });
    notes.start(5);
    for (const int synthDelay : {0, 1000}) {
        for (int round = 0; round < 5; ++round) {
            const TRound r = Restart(*w, server, dump, synthDelay);
            std::printf("%-22s synth %4d ms after the server  round %d: first note %7.1f ms after the server, "
                        "%7.1f ms after the synth\n",
                        path, synthDelay, round + 1, r.FromServer, r.FromSynth);
            std::fflush(stdout);
        }
    }
    notes.stop();
    w->close();
    w.reset();
    dump->kill();
    dump->waitForFinished(5000);
}

} // namespace

int main(int argc, char **argv)
{
    const QByteArray name = "korvane-restart-bench-" + QByteArray::number(getpid());
    qputenv("JACK_DEFAULT_SERVER", name);
    qputenv("JACK_NO_START_SERVER", "1");
    qputenv("JACK_NO_AUDIO_RESERVATION", "1");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    RegisterLibraryModules();
    TQuiet quiet;
    SetDialogs(&quiet);
    // One JACK server on the machine at a time, with the tests' (their sockets share names).
    const int lock = ::open("/dev/shm/korvane-jack-tests.lock", O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) {
        std::fprintf(stderr, "the JACK test lock cannot be taken\n");
        return 1;
    }
    std::unique_ptr<QProcess> server;
    if (!StartServer(server)) {
        std::fprintf(stderr, "jackd did not start\n");
        return 1;
    }
    Run("Korvane's own clients", [] { return CreateMidiServices(TMidiApi::Jack); }, server);
    Run("RtMidi's clients", [] { return CreateRtMidiServices(TMidiApi::Jack); }, server);
    server->terminate();
    server->waitForFinished(10000);
    SetDialogs(nullptr);
    ::close(lock);
    return 0;
}
