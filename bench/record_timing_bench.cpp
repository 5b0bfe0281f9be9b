// A live recording's times against what a synthesizer heard: `korvane --headless --midi-api
// jack --record` plays a patch to a frame-stamping JACK client on a dummy server of the bench's
// own (48 kHz, 256 frames); each recorded message is paired, in order, with the event the client
// got, and its recorded time (read by python3-mido, 100 us ticks) compared with the time of the
// event's frame at the nominal rate (RECORD_BENCH_US=1: JACK's time of that frame), with the
// constant offset (the output's latency, the two clocks' origins) removed, and with a fitted
// line removed (the dummy driver's frames run at a rate of their own against the system clock).
// Periods of 5 and 20 ms, ten seconds each (a first argument: other seconds);
// RECORD_BENCH_DUMP=1 prints every pair on standard error. Measured and printed, never
// asserted. Holds the machine's JACK test lock (/dev/shm/korvane-jack-tests.lock) around its
// server.
#include "BenchSupport.h"
#include "JackReceiver.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdlib>
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
    python.start("/usr/bin/python3", {"-c", script, file});
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

// When the receiver heard an event: its frame at the server's nominal rate, or (RECORD_BENCH_US)
// JACK's time of that frame as the server mapped its cycle.
int64_t HeardUs(const TReceivedEvent &e)
{
    static const bool jackTime = std::getenv("RECORD_BENCH_US") != nullptr;
    return jackTime ? e.Us : int64_t(std::llround(double(e.Frame) * 1e6 / 48000.0));
}

struct TResult {
    size_t Recorded = 0, Heard = 0, Matched = 0, Within100 = 0;
    double P50 = 0, P99 = 0, Max = 0; // us, |difference - median difference|
    double DriftPpm = 0, FitP50 = 0, FitP99 = 0, FitMax = 0; // the same against a fitted line
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
    const auto same = [](const TReceivedEvent &e, const QByteArray &bytes) {
        return QByteArray(reinterpret_cast<const char *>(e.Bytes.data()), qsizetype(e.Bytes.size())) == bytes;
    };
    // In order: each recorded message with the next heard one of the same bytes, a few events
    // ahead at most (a message missing on one side is skipped; a drum pattern repeats its bytes,
    // so a wider search would pair a message with a later beat).
    std::vector<double> differences, at;
    size_t h = 0;
    for (const TRecorded &m : recorded) {
        size_t k = h;
        while (k < heard.size() && k < h + 4 && !same(heard[k], m.Bytes))
            ++k;
        if (k == heard.size() || k == h + 4)
            continue; // not heard (the last notes-off as the port closed)
        const double difference = double(m.Us - HeardUs(heard[k]));
        if (std::getenv("RECORD_BENCH_DUMP"))
            std::fprintf(stderr, "pair %lld %lld %.0f\n", static_cast<long long>(m.Us),
                         static_cast<long long>(HeardUs(heard[k])), difference);
        differences.push_back(difference);
        at.push_back(double(m.Us));
        h = k + 1;
    }
    r.Matched = differences.size();
    const double median = Percentile(differences, 0.5);
    std::vector<double> deviation;
    for (const double d : differences) {
        deviation.push_back(std::abs(d - median));
        r.Within100 += deviation.back() <= 100;
    }
    r.P50 = Percentile(deviation, 0.5);
    r.P99 = Percentile(deviation, 0.99);
    r.Max = Percentile(deviation, 1.0);
    // The dummy driver's frames run at their own rate against the system clock: the same with
    // a straight line fitted (offset and rate) instead of a constant.
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < at.size(); ++i) {
        const double x = (at[i] - at.front()) / 1e6, y = differences[i];
        n += 1, sx += x, sy += y, sxx += x * x, sxy += x * y;
    }
    const double slope = n > 1 ? (n * sxy - sx * sy) / (n * sxx - sx * sx) : 0, base = n > 0 ? (sy - slope * sx) / n : 0;
    std::vector<double> residual;
    for (size_t i = 0; i < at.size(); ++i)
        residual.push_back(std::abs(differences[i] - (base + slope * (at[i] - at.front()) / 1e6)));
    r.DriftPpm = slope; // us per s
    r.FitP50 = Percentile(residual, 0.5);
    r.FitP99 = Percentile(residual, 0.99);
    r.FitMax = Percentile(residual, 1.0);
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
    std::printf("| period | seconds | recorded / heard / matched | within 100 us | |recorded - heard - offset| p50 / p99 / max "
                "| frames' drift | |... - fitted line| p50 / p99 / max |\n"
                "|---|---|---|---|---|---|---|\n");
    {
        TJackReceiver receiver;
        if (!receiver.Ready()) {
            std::fprintf(stderr, "the receiving client did not start\n");
            return 1;
        }
        for (const int period : {5, 20}) {
            const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
            const TResult r = Measure(receiver, period, seconds, patch);
            std::printf("| %d ms | %d | %zu / %zu / %zu | %.1f %% | %.0f / %.0f / %.0f us | %.0f ppm | %.0f / %.0f / %.0f us |\n",
                        period, seconds, r.Recorded, r.Heard, r.Matched,
                        r.Matched ? 100.0 * double(r.Within100) / double(r.Matched) : 0.0, r.P50, r.P99, r.Max, r.DriftPpm,
                        r.FitP50, r.FitP99, r.FitMax);
            std::fflush(stdout);
        }
    }
    jackd->terminate();
    jackd->waitForFinished(5000);
    ::close(lock);
    return 0;
}
