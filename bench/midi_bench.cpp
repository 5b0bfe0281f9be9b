// MIDI timing over a JACK server of its own (dummy driver, 48 kHz, 48-frame periods: 1 ms):
//  1. reconnection: a configured output port whose client starts after Korvane; the time from
//     JACK's news of the new port to the port being open again, over repeated starts;
//  2. clock jitter: an unwired clock output fed one-tick pulses at the ideal times of 24 clocks
//     per beat at 120 beats per minute (20.833 ms apart), ticks 1 ms apart; the intervals
//     jack_midi_dump sees, against the ideal.
// Measured and printed, never asserted. Needs jackd and its tools.
#include "ClockModules.h"
#include "Dialogs.h"
#include "FrmMain.h"
#include "MoreMods.h"
#include "BenchSupport.h"
#include "Slot.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

using namespace bench;

using TClock = std::chrono::steady_clock;

void End(QProcess &p)
{
    p.kill();
    p.waitForFinished(5000);
}

// Pulses one tick long at the ideal times of `perMinute` clocks a minute, for ticks `periodMs` apart.
class TKorIdealClock : public TKorModule {
    Q_OBJECT
public:
    Q_INVOKABLE TKorIdealClock() = default;
    void CreateDetails() override
    {
        TKorModule::CreateDetails();
        Out = AddDetail<TKorOutput>(220, 20, QStringLiteral("Out"));
    }
    void Execute() override
    {
        const int64_t pulse = FTick * 2880 / 60000; // 120 beats x 24 clocks a minute, 1 ms ticks
        Out->SetValue(pulse != FLast ? 1000 : 0);
        FLast = pulse;
        ++FTick;
    }
    TKorOutput *Out = nullptr;

private:
    int64_t FTick = 0, FLast = 0;
};

TFormMain *MakeWindow(const QTemporaryDir &dir, const QByteArray &settings, std::shared_ptr<TMidiServices> midi,
                      std::optional<int32_t> periodMs)
{
    QFile ini(dir.filePath("korvane.INI"));
    ini.open(QIODevice::WriteOnly | QIODevice::Truncate);
    ini.write(settings);
    ini.close();
    TMainWindowOptions options;
    options.SettingsFile = ini.fileName();
    options.Midi = std::move(midi);
    options.SaveSettings = false;
    options.PeriodMs = periodMs;
    return new TFormMain(std::move(options));
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const QByteArray server = "korvane-bench-" + QByteArray::number(getpid());
    qputenv("JACK_DEFAULT_SERVER", server);
    qputenv("JACK_NO_START_SERVER", "1");
    qputenv("JACK_NO_AUDIO_RESERVATION", "1");
    QApplication app(argc, argv);
    RegisterLibraryModules();
    TQuiet quiet;
    SetDialogs(&quiet);
    auto jackd = Start("jackd", {"-r", "-d", "dummy", "-r", "48000", "-p", "48"});
    if (QProcess::execute("jack_wait", {"-w", "-t", "10"}) != 0) {
        std::fprintf(stderr, "jackd did not start\n");
        return 1;
    }
    QTemporaryDir dir;

    // 1. Reconnection.
    {
        auto midi = CreateMidiServices(TMidiApi::Jack);
        std::atomic<int64_t> newsAt{0};
        midi->AddPortsListener([&] {
            int64_t none = 0;
            newsAt.compare_exchange_strong(none, TClock::now().time_since_epoch().count());
        });
        std::unique_ptr<TFormMain> w(MakeWindow(dir, "[Settings]\nMidiOut=midi-monitor:input\n", midi, std::nullopt));
        std::vector<double> fromNews, fromStart;
        for (int round = 0; round < 20; ++round) {
            newsAt = 0;
            const auto started = TClock::now();
            auto dump = Start("jack_midi_dump", {});
            if (!WaitFor([&] { return w->MidiOutOpen(); }, 10000)) {
                std::fprintf(stderr, "round %d: not reconnected\n", round);
                return 1;
            }
            const auto open = TClock::now();
            fromNews.push_back(double((open.time_since_epoch().count() - newsAt) / 1000) / 1000.0);
            fromStart.push_back(std::chrono::duration<double, std::milli>(open - started).count());
            End(*dump);
            WaitFor([&] { return !w->MidiOutOpen(); }, 10000);
        }
        std::printf("reconnect over JACK, %zu rounds: news of the port -> port open: p50 %.2f ms, max %.2f ms; "
                    "client started -> port open: p50 %.1f ms, max %.1f ms\n",
                    fromNews.size(), Percentile(fromNews, 0.5), Percentile(fromNews, 1.0), Percentile(fromStart, 0.5),
                    Percentile(fromStart, 1.0));
        w->close();
    }

    // 2. Clock jitter at the receiver.
    {
        auto dump = Start("jack_midi_dump", {"-a"});
        auto midi = CreateMidiServices(TMidiApi::Jack);
        WaitFor([] { return false; }, 500);
        std::unique_ptr<TFormMain> w(MakeWindow(dir, "[Settings]\nMidiOut=midi-monitor:input\n", midi, 1));
        if (!WaitFor([&] { return w->MidiOutOpen(); }, 5000)) {
            std::fprintf(stderr, "no output\n");
            return 1;
        }
        TKorSlot *slot = w->PageControl()->NewSlot("Clock");
        {
            std::lock_guard lock(slot->Guard().Mutex);
            auto *ideal = Create<TKorIdealClock>(slot->Sheet());
            auto *out = Create<TKorClockOut>(slot->Sheet());
            out->SetTop(50);
            slot->Sheet()->ToggleConnection(ideal->Out, out->InClock());
        }
        WaitFor([] { return false; }, 12000);
        w->close();
        WaitFor([] { return false; }, 300);
        const QString text = QString::fromLocal8Bit(dump->readAllStandardOutput());
        End(*dump);
        // Lines of "-a": a time stamp in frames from the dump's start, a colon, the bytes.
        static const QRegularExpression line(QStringLiteral("^\\s*(\\d+):\\s*f8\\b"), QRegularExpression::MultilineOption);
        std::vector<double> times;
        for (auto it = line.globalMatch(text); it.hasNext();)
            times.push_back(it.next().captured(1).toDouble() / 48.0); // 48 frames a millisecond
        std::vector<double> deviation, intervals;
        const double ideal = 60000.0 / (120 * 24);
        for (size_t i = 2; i < times.size(); ++i) { // the first interval spans the start
            intervals.push_back(times[i] - times[i - 1]);
            deviation.push_back(std::abs(times[i] - times[i - 1] - ideal));
        }
        if (intervals.empty()) {
            std::fprintf(stderr, "no clocks seen; the dump printed:\n%s\n", qPrintable(text.left(400)));
            return 1;
        }
        std::printf("clock at the receiver, 1 ms ticks, 120 BPM x 24 (ideal %.3f ms), %zu intervals: "
                    "interval p50 %.3f ms, p99 %.3f ms, min %.3f, max %.3f; |interval - ideal| p50 %.3f ms, p99 %.3f ms\n",
                    ideal, intervals.size(), Percentile(intervals, 0.5), Percentile(intervals, 0.99),
                    Percentile(intervals, 0.0), Percentile(intervals, 1.0), Percentile(deviation, 0.5),
                    Percentile(deviation, 0.99));
    }
    SetDialogs(nullptr);
    jackd->terminate();
    jackd->waitForFinished(5000);
    return 0;
}

#include "midi_bench.moc"
