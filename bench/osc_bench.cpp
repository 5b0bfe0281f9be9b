// OSC control, measured in the desktop window on 1 ms ticks:
//  - latency: a thread sends "/korvane/1/Amp/KnobAmpValue V" over UDP on 127.0.0.1 and notes
//    when; the user-interface loop (spinning, so that it notices at once) notes when the knob
//    holds V, and a probe module in the patch notes the first tick that reads it. The floor is a
//    plain UDP datagram from one thread to another on the same loopback, timed the same way.
//  - flood: 100 000 set messages a second for a few seconds (a tenth of them to an unknown
//    address); resident memory before and after, messages applied, dropped and ignored, and the
//    ticks' lateness (gap between ticks minus the period) beside the same run without the flood.
//  - the same for a control change (CC 7, channel 1) bound to that knob by MIDI learn, arriving at
//    the window's MIDI input: an in-process loopback port, so the figure is Korvane's own share
//    of the way, without a MIDI system's transport.
// Printed, never asserted. Run: osc_bench [SAMPLES [FLOOD_SECONDS]] (built with -DKORVANE_BENCH=ON).
#include "Arithmetic.h"
#include "BenchSupport.h"
#include "FrmMain.h"
#include "LoopbackMidi.h"
#include "MoreMods.h"
#include "Slot.h"

#include <QApplication>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <lo/lo.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;
using TClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Us(TClock::duration d)
{
    return double(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()) / 1000.0;
}

// Reads the amplifier's knob each tick and notes when it first holds a new value; also notes
// every tick's time. Both lists are reserved beforehand: the tick allocates nothing.
class TKorOscProbe : public TKorModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorOscProbe() = default;
    void Execute() override
    {
        const TClock::time_point now = TClock::now();
        if (Ticks.size() < Ticks.capacity())
            Ticks.push_back(now);
        if (Watched && Watched->KnobAmpValue() != Last) {
            Last = Watched->KnobAmpValue();
            if (Seen.size() < Seen.capacity())
                Seen.push_back(now);
            SeenCount.store(Seen.size(), std::memory_order_release);
        }
    }
    TKorAmplifier *Watched = nullptr;
    int Last = 0;
    std::vector<TClock::time_point> Ticks, Seen;
    std::atomic<size_t> SeenCount{0};
};

long RssKb()
{
    long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

int FreePort()
{
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &length);
    ::close(s);
    return ntohs(a.sin_port);
}

struct TWindow {
    QTemporaryDir Dir;
    std::unique_ptr<TFormMain> Window;
    TKorAmplifier *Amp = nullptr;
    TKorOscProbe *Probe = nullptr;
    std::shared_ptr<TLoopbackMidi> Midi = std::make_shared<TLoopbackMidi>(QStringList{QStringLiteral("Keys")}, QStringList{});
    int Port = 0;

    TWindow(size_t samples, size_t ticks)
    {
        TMainWindowOptions options;
        options.SettingsFile = Dir.filePath(QStringLiteral("korvane.INI"));
        options.SaveSettings = false;
        options.PeriodMs = 1;
        Port = FreePort();
        options.OscPort = Port;
        options.Midi = Midi;
        options.MidiIn = QStringLiteral("Keys");
        Window = std::make_unique<TFormMain>(std::move(options));
        TKorSlot *slot = Window->PageControl()->NewSlot(QStringLiteral("Bench"));
        std::lock_guard lock(slot->Guard().Mutex);
        Amp = Create<TKorAmplifier>(slot->Sheet());
        Amp->SetName(QStringLiteral("Amp"));
        Probe = Create<TKorOscProbe>(slot->Sheet());
        Probe->Watched = Amp;
        Probe->Last = Amp->KnobAmpValue();
        Probe->Seen.reserve(samples);
        Probe->Ticks.reserve(ticks);
        slot->BindMidiController(Amp, "KnobAmpValue", 1, 7);
    }
    ~TWindow()
    {
        Window->close();
    }
};

void PrintRow(const char *what, const std::vector<double> &us)
{
    std::printf("%-34s %8zu %10.1f %10.1f %10.1f\n", what, us.size(), Percentile(us, 0.5), Percentile(us, 0.99),
                us.empty() ? 0.0 : *std::max_element(us.begin(), us.end()));
}

// One datagram at a time from a thread to a receiving thread on 127.0.0.1.
std::vector<double> UdpFloor(size_t samples)
{
    const int port = FreePort();
    const int rx = ::socket(AF_INET, SOCK_DGRAM, 0), tx = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(rx, reinterpret_cast<sockaddr *>(&a), sizeof a);
    std::vector<TClock::time_point> sent(samples), received(samples);
    std::atomic<size_t> got{0};
    std::thread receiver([&] {
        char buffer[256];
        for (size_t i = 0; i < samples; ++i) {
            if (::recv(rx, buffer, sizeof buffer, 0) < 0)
                break;
            received[i] = TClock::now();
            got.store(i + 1, std::memory_order_release);
        }
    });
    std::mt19937 random(1);
    const char payload[40] = "/korvane/1/Amp/KnobAmpValue";
    for (size_t i = 0; i < samples; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(1000 + random() % 2000));
        sent[i] = TClock::now();
        ::sendto(tx, payload, sizeof payload, 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
        while (got.load(std::memory_order_acquire) <= i)
            std::this_thread::yield();
    }
    receiver.join();
    ::close(rx);
    ::close(tx);
    std::vector<double> us;
    for (size_t i = 0; i < samples; ++i)
        us.push_back(Us(received[i] - sent[i]));
    return us;
}

// `send(i)` makes the knob go to an extreme (sample i even: the bottom, odd: the top).
struct TLatency {
    std::vector<double> ToApplied, ToTick;
};

template <typename TSend>
TLatency Latency(TWindow &w, size_t samples, TSend send)
{
    std::vector<TClock::time_point> sent(samples), applied(samples);
    std::atomic<size_t> appliedCount{0};
    std::atomic<bool> done{false};
    std::thread sender([&] {
        std::mt19937 random(2);
        for (size_t i = 0; i < samples; ++i) {
            // Apart by 1-3 ms, so that the sends fall anywhere within a tick.
            std::this_thread::sleep_for(std::chrono::microseconds(1000 + random() % 2000));
            sent[i] = TClock::now();
            send(i);
            const TClock::time_point giveUp = TClock::now() + 1s;
            while ((appliedCount.load(std::memory_order_acquire) <= i || w.Probe->SeenCount.load(std::memory_order_acquire) <= i) &&
                   TClock::now() < giveUp)
                std::this_thread::yield();
        }
        done = true;
    });
    int last = w.Amp->KnobAmpValue();
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (const int now = w.Amp->KnobAmpValue(); now != last) {
            last = now;
            const size_t i = appliedCount.load(std::memory_order_relaxed);
            if (i < samples) {
                applied[i] = TClock::now();
                appliedCount.store(i + 1, std::memory_order_release);
            }
        }
    }
    sender.join();
    w.Window->SetRunning(false);
    TLatency r;
    for (size_t i = 0; i < appliedCount; ++i)
        r.ToApplied.push_back(Us(applied[i] - sent[i]));
    for (size_t i = 0; i < std::min(samples, w.Probe->Seen.size()); ++i)
        r.ToTick.push_back(Us(w.Probe->Seen[i] - sent[i]));
    return r;
}

void Latencies(size_t samples)
{
    TLatency osc, midi;
    {
        TWindow w(samples, 600000);
        lo_address to = lo_address_new("127.0.0.1", std::to_string(w.Port).c_str());
        osc = Latency(w, samples, [&](size_t i) { lo_send(to, "/korvane/1/Amp/KnobAmpValue", "i", i % 2 ? 1000 : -1000); });
        lo_address_free(to);
    }
    {
        TWindow w(samples, 600000);
        midi = Latency(w, samples, [&](size_t i) { w.Midi->Inject(0, {0xB0, 7, uint8_t(i % 2 ? 127 : 0)}); });
    }
    const std::vector<double> floor = UdpFloor(samples);
    std::printf("\nlatency, us (1 ms ticks)             count        p50        p99        max\n");
    PrintRow("UDP datagram, thread to thread", floor);
    PrintRow("OSC send to knob set (UI thread)", osc.ToApplied);
    PrintRow("OSC send to first tick reading it", osc.ToTick);
    PrintRow("bound CC in to knob set", midi.ToApplied);
    PrintRow("bound CC in to first tick reading it", midi.ToTick);
}

struct TFloodResult {
    long RssBeforeKb = 0, RssAfterKb = 0;
    uint64_t Sent = 0, Received = 0, Dropped = 0, Unknown = 0;
    std::vector<double> LateUs;
};

TFloodResult Flood(int seconds, bool flood)
{
    TWindow w(0, size_t(seconds) * 1000 + 5000);
    TFloodResult r;
    WaitFor([] { return false; }, 500); // settle
    {
        std::lock_guard lock(w.Window->PageControl()->Guard().Mutex);
        w.Probe->Ticks.clear();
    }
    r.RssBeforeKb = RssKb();
    std::atomic<bool> done{false};
    std::thread sender([&] {
        if (!flood) {
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            done = true;
            return;
        }
        lo_address to = lo_address_new("127.0.0.1", std::to_string(w.Port).c_str());
        const TClock::time_point start = TClock::now(), end = start + std::chrono::seconds(seconds);
        // 100 messages every millisecond, on schedule.
        for (TClock::time_point next = start; next < end; next += 1ms) {
            std::this_thread::sleep_until(next);
            for (int k = 0; k < 100; ++k, ++r.Sent) {
                if (k % 10 == 9)
                    lo_send(to, "/korvane/1/Nothing/Here", "i", k);
                else
                    lo_send(to, "/korvane/1/Amp/KnobAmpValue", "f", float((r.Sent % 2000) * 10) - 10000.f);
            }
        }
        lo_address_free(to);
        done = true;
    });
    while (!done)
        WaitFor([&] { return done.load(); }, 100);
    sender.join();
    WaitFor([] { return false; }, 500); // what is queued is taken
    r.RssAfterKb = RssKb();
    w.Window->SetRunning(false);
    TOscTally &tally = w.Window->Osc()->Tally();
    r.Dropped = tally.Ignored(TOscTally::Dropped);
    r.Received = w.Window->Osc()->Server().Received();
    r.Unknown = tally.Ignored(TOscTally::NoSuchControl);
    std::lock_guard lock(w.Window->PageControl()->Guard().Mutex);
    for (size_t i = 1; i < w.Probe->Ticks.size(); ++i)
        r.LateUs.push_back(Us(w.Probe->Ticks[i] - w.Probe->Ticks[i - 1]) - 1000.0);
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    RegisterLibraryModules();
    TQuiet quiet;
    SetDialogs(&quiet);
    const int samples = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 5;
    if (samples < 10 || seconds < 1) {
        std::fprintf(stderr, "usage: osc_bench [SAMPLES [FLOOD_SECONDS]]\n");
        return 2;
    }
    Latencies(size_t(samples));

    std::printf("\nflood of 100 000 messages/s for %d s   sent  received  ignored  dropped  RSS before->after KiB  "
                "tick late p50/p99/max us\n",
                seconds);
    for (const bool flood : {false, true}) {
        const TFloodResult r = Flood(seconds, flood);
        std::printf("%-34s %7llu %9llu %8llu %8llu %10ld -> %-10ld %6.0f / %6.0f / %6.0f\n",
                    flood ? "flood" : "quiet (floor)", (unsigned long long)r.Sent, (unsigned long long)r.Received,
                    (unsigned long long)r.Unknown,
                    (unsigned long long)r.Dropped, r.RssBeforeKb, r.RssAfterKb, Percentile(r.LateUs, 0.5),
                    Percentile(r.LateUs, 0.99), r.LateUs.empty() ? 0.0 : *std::max_element(r.LateUs.begin(), r.LateUs.end()));
        std::fflush(stdout);
    }
    SetDialogs(nullptr);
    return 0;
}

#include "osc_bench.moc"
