// Notes over JACK as a synthesizer hears them: the run timer ticks every 1 ms and every 20th
// tick sends a note-on, through Korvane's own JACK clients and through RtMidi's, to a client
// that stamps each event with its frame. Per period (256 and 1024 frames at 48 kHz, jackd's
// dummy driver): how far the intervals between notes stray from 20 ms, and the latency from
// each tick's deadline to its note's frame. Measured and printed, never asserted.
#include "HiResTim.h"
#include "JackReceiver.h"
#include "MidiOut.h"

#include <QCoreApplication>
#include <QProcess>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

constexpr int TicksPerNote = 20;
constexpr int Notes = 500; // 10 s

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[size_t(std::min<double>(double(v.size() - 1), std::floor(p * double(v.size()))))];
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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::printf("| period | path | notes sent / heard | interval deviation p50 / p99 / max | latency min - max | tick lateness p99 |\n"
                "|---|---|---|---|---|---|\n");
    for (const int period : {256, 1024}) {
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
        jackd.terminate();
        jackd.waitForFinished(5000);
    }
    std::printf("\nKorvane's own client plays each note %.0f frames (%lld us) after one whole period.\n",
                JackLateTickMargin.count() * 48000.0 / 1e6, static_cast<long long>(JackLateTickMargin.count()));
    return 0;
}
