// A live recording's times against what a synthesizer heard: `korvane --headless --midi-api
// jack --record` plays a patch to a frame-stamping JACK client on a dummy server of the bench's
// own (48 kHz, 256 frames); each recorded message is matched with the event the client got,
// and the recorded time (read by python3-mido, 100 us ticks) is compared with the JACK time of
// the event's frame, the constant offset (the output's latency, the two clocks' origins)
// removed. Periods of 1 and 20 ms, a few seconds each. Measured and printed, never asserted.
// Holds the machine's JACK test lock (/dev/shm/korvane-jack-tests.lock) around its server.
#include "BenchSupport.h"
#include "JackReceiver.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

using namespace bench;
using namespace std::chrono_literals;

struct TRecorded {
    int64_t Us;
    QByteArray Bytes;
};

// The recording's messages with their times in microseconds, as mido reads them.
std::vector<TRecorded> ReadWithMido(const QString &file)
{
    const char *script = "import sys, mido\n"
                         "t = 0.0\n"
                         "for m in mido.MidiFile(sys.argv[1]):\n"
                         "    t += m.time\n"
                         "    if not m.is_meta:\n"
                         "        print(round(t * 1e6), m.hex())\n";
    QProcess python;
    python.start("python3", {"-c", script, file});
    python.waitForFinished(120000);
    if (python.exitCode() != 0)
        std::fprintf(stderr, "mido: %s\n", python.readAllStandardError().constData());
    std::vector<TRecorded> out;
    for (const QByteArray &line : python.readAllStandardOutput().split('\n')) {
        const qsizetype space = line.indexOf(' ');
        if (space > 0)
            out.push_back({line.left(space).toLongLong(), QByteArray::fromHex(line.mid(space + 1))});
    }
    return out;
}

struct TResult {
    size_t Recorded = 0, Heard = 0, Matched = 0;
    double P50 = 0, P99 = 0, Max = 0; // us, |difference - median difference|
};

TResult Measure(TJackReceiver &receiver, int periodMs, int seconds, const QString &patch)
{
    TResult r;
    QTemporaryDir dir;
    const QString file = dir.filePath("take.mid");
    const size_t before = receiver.Count();
    QProcess korvane;
    korvane.setProcessChannelMode(QProcess::ForwardedChannels);
    korvane.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    korvane.start(QStringLiteral(KORVANE_PROGRAM),
                  {"--headless", "--midi-api", "jack", "--midi-out", QString::fromStdString(receiver.PortName()),
                   "--period", QString::number(periodMs), "--record", file, patch});
    if (!korvane.waitForStarted(10000))
        return r;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    ::kill(pid_t(korvane.processId()), SIGTERM);
    korvane.waitForFinished(30000);
    std::this_thread::sleep_for(200ms);

    const std::vector<TRecorded> recorded = ReadWithMido(file);
    const std::vector<TReceivedEvent> all = receiver.Events();
    std::vector<TReceivedEvent> heard(all.begin() + std::ptrdiff_t(before), all.end());
    r.Recorded = recorded.size();
    r.Heard = heard.size();
    // In order, each recorded message with the next heard one of the same bytes.
    std::vector<double> differences;
    size_t h = 0;
    for (const TRecorded &m : recorded) {
        size_t k = h;
        while (k < heard.size() && QByteArray(reinterpret_cast<const char *>(heard[k].Bytes.data()),
                                              qsizetype(heard[k].Bytes.size())) != m.Bytes)
            ++k;
        if (k == heard.size() || k > h + 16)
            continue; // not heard (the last notes-off as the port closed) or out of step
        differences.push_back(double(m.Us - heard[k].Us));
        h = k + 1;
    }
    r.Matched = differences.size();
    const double median = Percentile(differences, 0.5);
    std::vector<double> deviation;
    for (const double d : differences)
        deviation.push_back(std::abs(d - median));
    r.P50 = Percentile(deviation, 0.5);
    r.P99 = Percentile(deviation, 0.99);
    r.Max = Percentile(deviation, 1.0);
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int lock = ::open("/dev/shm/korvane-jack-tests.lock", O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0) {
        std::fprintf(stderr, "the JACK test lock cannot be taken\n");
        return 1;
    }
    const QByteArray server = "korvane-record-bench-" + QByteArray::number(getpid());
    qputenv("JACK_DEFAULT_SERVER", server);
    qputenv("JACK_NO_START_SERVER", "1");
    qputenv("JACK_NO_AUDIO_RESERVATION", "1");
    std::unique_ptr<QProcess> jackd = Start("jackd", {"-r", "-d", "dummy", "-r", "48000", "-p", "256"});
    if (QProcess::execute("jack_wait", {"-w", "-t", "10"}) != 0) {
        std::fprintf(stderr, "jackd did not start\n");
        return 1;
    }
    const QString patch = QStringLiteral(KORVANE_EXAMPLES "/drums_and_bass.korvane");
    std::printf("| period | seconds | recorded / heard / matched | |recorded - heard - offset| p50 / p99 / max |\n"
                "|---|---|---|---|\n");
    {
        TJackReceiver receiver;
        if (!receiver.Ready()) {
            std::fprintf(stderr, "the receiving client did not start\n");
            return 1;
        }
        for (const int period : {1, 20}) {
            const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
            const TResult r = Measure(receiver, period, seconds, patch);
            std::printf("| %d ms | %d | %zu / %zu / %zu | %.0f / %.0f / %.0f us |\n", period, seconds, r.Recorded, r.Heard,
                        r.Matched, r.P50, r.P99, r.Max);
            std::fflush(stdout);
        }
    }
    jackd->terminate();
    jackd->waitForFinished(5000);
    ::close(lock);
    return 0;
}
