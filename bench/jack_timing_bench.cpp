// Notes over JACK as a synthesizer hears them: the run timer ticks every 1 ms and every 20th
// tick sends a note-on, through Korvane's own JACK clients and through RtMidi's, to a client
// that stamps each event with its frame. Per period (256 and 1024 frames at 48 kHz, jackd's
// dummy driver): how far the intervals between notes stray from 20 ms, and the latency from
// each tick's deadline to its note's frame. Then disturbed runs at 256 frames, the sender in a
// process of its own that counts its ticks as a patch does (a tick lost is a note late for
// good): beside two busy processes, and stopped for 50 ms (SIGSTOP) three seconds in, where
// the drift of the note grid and the intervals from one second after the stop tell whether
// the run recovered. Measured and printed, never asserted.
#include "HiResTim.h"
#include "BenchSupport.h"
#include "JackReceiver.h"
#include "MidiOut.h"

#include <QCoreApplication>
#include <QProcess>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace bench;

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

constexpr int TicksPerNote = 20;
constexpr int Notes = 500; // 10 s

bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds within)
{
    const auto until = TSteady::now() + within;
    while (!done()) {
        if (TSteady::now() > until)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

struct TRow {
    std::string Path;
    size_t Sent = 0, Heard = 0;
    double DevP50 = 0, DevP99 = 0, DevMax = 0; // us
    double LatencyMin = 0, LatencyMax = 0;     // frames
    double TickLateP99 = 0;                       // the tick's lateness p99, us
};

TRow Measure(const char *path, std::shared_ptr<TMidiServices> services, TJackReceiver &receiver)
{
    TRow row{path};
    TMidiOutput out(nullptr, services);
    out.SetProductName(QString::fromStdString(receiver.PortName()));
    if (!out.Open()) {
        std::fprintf(stderr, "%s: the output did not open\n", path);
        return row;
    }
    const size_t before = receiver.Count();
    // Per note sent, in order: its number and the frame of its tick's deadline.
    std::vector<int> sentNotes(Notes);
    std::vector<jack_nframes_t> dueFrames(Notes);
    size_t sent = 0;
    // Ticks are counted by their deadlines, as a tick lost to a late wake-up is dropped.
    std::atomic<int> ticks{0};
    TSteady::time_point first{};
    std::unique_ptr<THiResTimer> timer(Create<THiResTimer>(nullptr));
    timer->SetInterval(1);
    timer->SetResolution(1);
    timer->OnTimer = [&](THiResTimer *t) {
        if (first == TSteady::time_point{})
            first = t->Deadline();
        const int tick = int(std::lround(std::chrono::duration<double, std::milli>(t->Deadline() - first).count()));
        ticks.store(tick);
        if (tick % TicksPerNote != 0 || tick / TicksPerNote >= Notes)
            return;
        const int note = tick / TicksPerNote;
        TMidiSendTime due(t->Deadline());
        out.PutShort(0x90, uint8_t(note % 128), 100);
        dueFrames[sent] = receiver.FrameOf(t->Deadline());
        sentNotes[sent++] = note;
    };
    timer->SetEnabled(true);
    while (ticks.load() < Notes * TicksPerNote + 200)
        std::this_thread::sleep_for(10ms);
    timer->SetEnabled(false);
    row.TickLateP99 = double(timer->Stats().LateP99Us);
    out.Close();

    const std::vector<TReceivedEvent> all = receiver.Events();
    const std::vector<TReceivedEvent> heard(all.begin() + long(before), all.end());
    row.Heard = heard.size();
    const double rate = receiver.Rate();
    std::vector<double> deviation, latency;
    for (size_t k = 0; k < heard.size() && k < sent; ++k) {
        latency.push_back(double(int32_t(heard[k].Frame - dueFrames[k])));
        // A note whose tick was dropped leaves a gap that is the timer's, not the MIDI path's.
        if (k > 0 && sentNotes[k] == sentNotes[k - 1] + 1)
            deviation.push_back(std::abs(double(heard[k].Frame - heard[k - 1].Frame) / rate * 1e6 - 20000.0));
    }
    row.Sent = sent;
    row.DevP50 = Percentile(deviation, 0.5);
    row.DevP99 = Percentile(deviation, 0.99);
    row.DevMax = Percentile(deviation, 1.0);
    row.LatencyMin = Percentile(latency, 0.0);
    row.LatencyMax = Percentile(latency, 1.0);
    return row;
}


// The sending process of the disturbed runs: a note every 20th call of a 1 ms timer, counted
// by calls as a patch counts its ticks, numbered in its two data bytes.
int RunSender(const QString &port, int notes)
{
    auto services = CreateJackMidiServices();
    TMidiOutput out(nullptr, services);
    out.SetProductName(port);
    if (!out.Open()) {
        std::fprintf(stderr, "sender: the output did not open\n");
        return 1;
    }
    std::atomic<int> calls{0};
    std::unique_ptr<THiResTimer> timer(Create<THiResTimer>(nullptr));
    timer->SetInterval(1);
    timer->SetResolution(1);
    timer->OnTimer = [&](THiResTimer *t) {
        const int call = calls.load();
        calls.store(call + 1);
        if (call % TicksPerNote != 0 || call / TicksPerNote >= notes)
            return;
        const int k = call / TicksPerNote;
        TMidiSendTime due(t->Deadline());
        out.PutShort(0x90, uint8_t(k & 0x7F), uint8_t((k >> 7) + 1));
    };
    timer->SetEnabled(true);
    while (calls.load() < notes * TicksPerNote + 100)
        std::this_thread::sleep_for(10ms);
    timer->SetEnabled(false);
    out.Close();
    return 0;
}

// Busy loops in processes of their own, ended with this object.
class TBusy {
public:
    explicit TBusy(int processes)
    {
        for (int i = 0; i < processes; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                volatile unsigned long n = 0;
                for (;;)
                    n = n + 1;
            }
            if (pid > 0)
                FPids.push_back(pid);
        }
    }
    ~TBusy()
    {
        for (const pid_t pid : FPids) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

private:
    std::vector<pid_t> FPids;
};

struct TDisturbedRow {
    size_t Sent = 0, Heard = 0;
    double DevP99All = 0;       // us, every interval
    double DevP99FirstSecond = 0, DevMaxFirstSecond = 0; // us, intervals in the second after the stop
    double DevP99Later = 0, DevMaxLater = 0;             // us, intervals from a second after the stop
    double DriftMs = 0;         // notes from a second after the stop against the grid before it
};

TDisturbedRow MeasureDisturbed(const char *program, TJackReceiver &receiver, int busy, bool stall)
{
    constexpr int Sent = 500; // 10 s
    TDisturbedRow row;
    row.Sent = Sent;
    const size_t before = receiver.Count();
    TBusy spinners(busy);
    QProcess sender;
    sender.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sender.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    sender.start(program, {"--send", QString::fromStdString(receiver.PortName()), QString::number(Sent)});
    if (!sender.waitForStarted(5000)) {
        std::fprintf(stderr, "the sender did not start\n");
        return row;
    }
    jack_nframes_t stallFrame = 0;
    if (stall) {
        // Three seconds into the run, counted from its first note.
        if (!WaitUntil([&] { return receiver.Count() > before; }, 10s))
            return row;
        std::this_thread::sleep_for(3s);
        stallFrame = receiver.FrameOf(TSteady::now());
        kill(pid_t(sender.processId()), SIGSTOP);
        std::this_thread::sleep_for(50ms);
        kill(pid_t(sender.processId()), SIGCONT);
    }
    if (!sender.waitForFinished(60000) || sender.exitCode() != 0)
        std::fprintf(stderr, "the sender failed\n");
    std::this_thread::sleep_for(200ms);

    const std::vector<TReceivedEvent> all = receiver.Events();
    std::vector<std::pair<int, double>> notes; // number, frame
    for (size_t i = before; i < all.size(); ++i)
        if (all[i].Bytes.size() == 3 && all[i].Bytes[0] == 0x90)
            notes.push_back({all[i].Bytes[1] | (all[i].Bytes[2] - 1) << 7, double(all[i].Frame)});
    row.Heard = notes.size();
    if (notes.size() < 2)
        return row;
    const double rate = receiver.Rate(), first = notes.front().second;
    const double stallAt = stall ? double(int32_t(stallFrame - jack_nframes_t(first))) : 1e18;
    std::vector<double> all99, firstSecond, later;
    for (size_t i = 1; i < notes.size(); ++i) {
        if (notes[i].first != notes[i - 1].first + 1)
            continue;
        const double dev = std::abs((notes[i].second - notes[i - 1].second) / rate * 1e6 - 20000.0);
        all99.push_back(dev);
        const double at = notes[i - 1].second - first;
        if (at >= stallAt + rate)
            later.push_back(dev);
        else if (at >= stallAt)
            firstSecond.push_back(dev);
    }
    row.DevP99All = Percentile(all99, 0.99);
    row.DevP99FirstSecond = Percentile(firstSecond, 0.99);
    row.DevMaxFirstSecond = Percentile(firstSecond, 1.0);
    row.DevP99Later = Percentile(later, 0.99);
    row.DevMaxLater = Percentile(later, 1.0);
    if (stall) {
        // The grid of the notes before the stop, fitted (the server's frames may run a little
        // off the system clock), against where the notes from a second after it landed.
        double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (const auto &[k, frame] : notes)
            if (frame - first < stallAt) {
                const double y = frame - first;
                n += 1, sx += k, sy += y, sxx += double(k) * k, sxy += k * y;
            }
        const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx), base = (sy - slope * sx) / n;
        std::vector<double> residual;
        for (const auto &[k, frame] : notes)
            if (frame - first >= stallAt + rate)
                residual.push_back((frame - first - (base + slope * k)) / rate * 1e3);
        row.DriftMs = Percentile(residual, 0.5);
    }
    return row;
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 4 && std::string(argv[1]) == "--send")
        return RunSender(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]));
    // --disturbed: only the disturbed runs.
    const bool disturbedOnly = argc == 2 && std::string(argv[1]) == "--disturbed";
    std::printf("| period | path | notes sent / heard | interval deviation p50 / p99 / max | latency min - max | tick lateness p99 |\n"
                "|---|---|---|---|---|---|\n");
    for (const int period : {256, 1024}) {
        if (disturbedOnly && period != 256)
            continue;
        const QByteArray server = "korvane-jack-bench-" + QByteArray::number(getpid()) + "-" + QByteArray::number(period);
        qputenv("JACK_DEFAULT_SERVER", server);
        qputenv("JACK_NO_START_SERVER", "1");
        qputenv("JACK_NO_AUDIO_RESERVATION", "1");
        QProcess jackd;
        jackd.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        jackd.start("jackd", {"-r", "-d", "dummy", "-r", "48000", "-p", QString::number(period)});
        if (QProcess::execute("jack_wait", {"-w", "-t", "10"}) != 0) {
            std::fprintf(stderr, "jackd did not start\n");
            return 1;
        }
        {
            TJackReceiver receiver;
            if (!receiver.Ready()) {
                std::fprintf(stderr, "the receiving client did not start\n");
                return 1;
            }
            const double periodUs = period / 48000.0 * 1e6;
            for (const bool native : {false, true}) {
                if (disturbedOnly)
                    break;
                auto services = native ? CreateJackMidiServices() : CreateRtMidiServices(TMidiApi::Jack);
                const TRow row = Measure(native ? "Korvane's own client" : "RtMidi", services, receiver);
                std::printf("| %d frames (%.2f ms) | %s | %zu / %zu | %.0f / %.0f / %.0f us | %.0f - %.0f frames "
                            "(%.2f - %.2f periods) | %.0f us |\n",
                            period, periodUs / 1000, row.Path.c_str(), row.Sent, row.Heard, row.DevP50, row.DevP99, row.DevMax,
                            row.LatencyMin, row.LatencyMax, row.LatencyMin / period, row.LatencyMax / period,
                            row.TickLateP99);
                std::fflush(stdout);
            }
        }
        if (period == 256) {
            TJackReceiver receiver;
            if (!receiver.Ready()) {
                std::fprintf(stderr, "the receiving client did not start\n");
                return 1;
            }
            std::printf("\n| 256 frames, sender in its own process | notes sent / heard | deviation p99, all | "
                        "p99 / max, first second after the stop | p99 / max, from 1 s after | grid drift |\n"
                        "|---|---|---|---|---|---|\n");
            struct TCase {
                const char *Name;
                int Busy;
                bool Stall;
            };
            for (const TCase &c : {TCase{"undisturbed", 0, false}, TCase{"two busy processes", 2, false},
                                   TCase{"stopped 50 ms", 0, true}}) {
                const TDisturbedRow r = MeasureDisturbed(argv[0], receiver, c.Busy, c.Stall);
                if (c.Stall)
                    std::printf("| %s | %zu / %zu | %.0f us | %.0f / %.0f us | %.0f / %.0f us | %.2f ms |\n", c.Name,
                                r.Sent, r.Heard, r.DevP99All, r.DevP99FirstSecond, r.DevMaxFirstSecond, r.DevP99Later,
                                r.DevMaxLater, r.DriftMs);
                else
                    std::printf("| %s | %zu / %zu | %.0f us | | | |\n", c.Name, r.Sent, r.Heard, r.DevP99All);
                std::fflush(stdout);
            }
        }
        jackd.terminate();
        jackd.waitForFinished(5000);
    }
    std::printf("\nKorvane's own client plays each note %.0f frames (%lld us) after one whole period.\n",
                JackLateTickMargin.count() * 48000.0 / 1e6, static_cast<long long>(JackLateTickMargin.count()));
    return 0;
}
