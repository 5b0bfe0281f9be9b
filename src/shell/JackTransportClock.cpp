// The transport is read where libjack may be called safely: in the client's own process callback,
// once per cycle, which publishes what it saw on steady_clock's time line. The tick thread only
// reads that, so it never touches a client that a server stop may just have freed, and never
// calls jack_get_time, which crashes in a process that never reached a server.
#include "JackTransportClock.h"

#include "JackRevival.h"
#include "MidiServices.h"
#include "PortWatch.h"

#include <jack/jack.h>
#include <jack/transport.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>

namespace {

using TSteady = std::chrono::steady_clock;

// Where the transport stood at the start of one cycle.
struct TCycleView {
    unsigned Client = 0;     // the serial of the client that saw it; 0: nothing seen
    bool Rolling = false;
    double StartNs = 0;      // the cycle's first frame on steady_clock (ns since its epoch)
    double NsPerFrame = 0;
    double PeriodNs = 0;
    double Beat = 0;         // at the first frame
    double BeatsPerFrame = 0; // while rolling
    double Tempo = 0;
};

// One writer publishes, readers copy the latest whole view without waiting for the writer:
// the writer fills the slot that is not the latest, then makes it the latest. A reader retries
// only when the writer went round both slots while it copied.
template <class T>
class TPublished {
public:
    void Store(const T &value)
    {
        const unsigned next = FLatest.load(std::memory_order_relaxed) + 1;
        TSlot &slot = FSlots[next % 2];
        std::array<uint64_t, Words> words{};
        std::memcpy(words.data(), &value, sizeof(T));
        const unsigned seq = slot.Seq.load(std::memory_order_relaxed);
        slot.Seq.store(seq + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        for (size_t i = 0; i < Words; ++i)
            slot.Data[i].store(words[i], std::memory_order_relaxed);
        slot.Seq.store(seq + 2, std::memory_order_release);
        FLatest.store(next, std::memory_order_release);
    }

    T Load() const
    {
        for (;;) {
            const TSlot &slot = FSlots[FLatest.load(std::memory_order_acquire) % 2];
            const unsigned seq = slot.Seq.load(std::memory_order_acquire);
            std::array<uint64_t, Words> words;
            for (size_t i = 0; i < Words; ++i)
                words[i] = slot.Data[i].load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            if (seq % 2 == 0 && slot.Seq.load(std::memory_order_relaxed) == seq) {
                T value;
                std::memcpy(static_cast<void *>(&value), words.data(), sizeof(T));
                return value;
            }
        }
    }

private:
    static_assert(std::is_trivially_copyable_v<T>);
    static constexpr size_t Words = (sizeof(T) + 7) / 8;
    struct TSlot {
        std::atomic<unsigned> Seq{0};
        std::array<std::atomic<uint64_t>, Words> Data{};
    };
    std::array<TSlot, 2> FSlots;
    std::atomic<unsigned> FLatest{0};
};

// What the transport's position says in beats, at the cycle's first frame.
struct TBeats {
    double Beat, Tempo;
};

TBeats BeatsOf(const jack_position_t &pos, double rate, bool rolling)
{
    const bool bbt = (pos.valid & JackPositionBBT) && pos.beats_per_minute > 0 && pos.beats_per_bar > 0 &&
                     pos.ticks_per_beat > 0 && pos.bar >= 1 && pos.beat >= 1;
    if (!bbt)
        return {double(pos.frame) / rate * JackUnmeasuredTempo / 60, JackUnmeasuredTempo};
    double beat = (pos.bar - 1) * double(pos.beats_per_bar) + (pos.beat - 1) + pos.tick / pos.ticks_per_beat;
    // The bar, beat and tick may stand for a moment some frames before the cycle.
    if ((pos.valid & JackBBTFrameOffset) && rolling)
        beat += pos.bbt_offset / rate * pos.beats_per_minute / 60;
    return {beat, pos.beats_per_minute};
}

enum TRequest : int { NoRequest, StartRequest, StopRequest };

class TJackTransportClock : public TKorSessionClock {
public:
    explicit TJackTransportClock(QString *problem)
    {
        FRevival = std::make_unique<TJackRevival>([this] { LetGo(); }, [this] { return MakeClient(FProblem); });
        // JackServerRuns also silences libjack's own complaints while there is no server.
        const bool running = JackServerRuns() && MakeClient(FProblem);
        if (!running && FProblem.isEmpty())
            FProblem = QStringLiteral("No JACK server is running: the JACK transport is followed once one starts.");
        if (problem)
            *problem = FProblem;
        FRevival->Start(!running);
    }

    ~TJackTransportClock() override
    {
        FRevival->Halt(); // first: it makes and lets go of the client
        LetGo();
    }

    QString Name() const override { return QStringLiteral("JACK transport"); }

    bool Capture(double quantum, TSessionPosition &at) override
    {
        const unsigned client = FLive.load(std::memory_order_acquire);
        if (client == 0 || JackStuck())
            return false;
        const TCycleView view = FView.Load();
        if (view.Client != client)
            return false; // no cycle of this server's yet
        const double now = NsOf(TSteady::now());
        // A server that runs no cycles any more (stalled, or gone without a word) is followed no
        // longer; a busy machine delays cycles by a period or two, far less than this.
        if (now - view.StartNs > std::max(StaleNs, StalePeriods * view.PeriodNs))
            return false;
        double beat = view.Beat;
        if (view.Rolling)
            beat += (NsOf(TMidiSendTime::Now()) - view.StartNs) / view.NsPerFrame * view.BeatsPerFrame;
        at.Beat = beat;
        at.Phase = quantum > 0 ? beat - quantum * std::floor(beat / quantum) : 0;
        if (at.Phase >= quantum || at.Phase < 0) // rounding just below a bar line
            at.Phase = 0;
        at.Tempo = view.Tempo;
        at.Playing = view.Rolling;
        return true;
    }

    void RequestTempo(double) override {}

    void RequestPlaying(bool playing) override
    {
        if (FLive.load(std::memory_order_acquire) == 0)
            return; // no transport to ask now, nor one to surprise later
        FRequest.store(playing ? StartRequest : StopRequest, std::memory_order_release);
    }

private:
    static double NsOf(TSteady::time_point t)
    {
        return double(std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
    }

    static int Process(jack_nframes_t frames, void *arg)
    {
        const TJackCallbackScope live;
        if (!live)
            return 0;
        static_cast<TJackTransportClock *>(arg)->Cycle(frames);
        return 0;
    }

    // The process callback: carries out a request, then publishes where this cycle stands.
    void Cycle(jack_nframes_t frames)
    {
        jack_client_t *client = FClient.load(std::memory_order_acquire);
        switch (FRequest.exchange(NoRequest, std::memory_order_acq_rel)) {
        case StartRequest:
            jack_transport_start(client);
            break;
        case StopRequest:
            jack_transport_stop(client);
            break;
        default:
            break;
        }
        jack_position_t pos{};
        const jack_transport_state_t state = jack_transport_query(client, &pos);
        const double rate = pos.frame_rate > 0 ? double(pos.frame_rate) : double(jack_get_sample_rate(client));
        jack_nframes_t first = 0;
        jack_time_t start = 0, next = 0;
        float periodUs = 0;
        // The server's own reckoning of the cycle's times, smoothed over many cycles.
        if (jack_get_cycle_times(client, &first, &start, &next, &periodUs) != 0 || next <= start) {
            start = jack_frames_to_time(client, jack_last_frame_time(client));
            next = start + jack_time_t(std::llround(frames * 1e6 / rate));
        }
        TCycleView view;
        view.Client = FSerial.load(std::memory_order_relaxed);
        view.Rolling = state == JackTransportRolling || state == JackTransportLooping;
        view.StartNs = double(start) * 1000 + SteadyMinusJackNs(view.Client);
        view.NsPerFrame = double(next - start) * 1000 / frames;
        view.PeriodNs = double(next - start) * 1000;
        const TBeats beats = BeatsOf(pos, rate, view.Rolling);
        view.Beat = beats.Beat;
        view.Tempo = beats.Tempo;
        view.BeatsPerFrame = beats.Tempo / 60 / rate;
        FView.Store(view);
    }

    // JACK's clock is not steady_clock (on Linux it is CLOCK_MONOTONIC_RAW, which NTP does not
    // slew), so the two are read side by side each cycle. A reading that the thread was put
    // aside in the middle of is left out for the last good one: the two drift apart by no more
    // than NTP slews, far below a frame per second.
    double SteadyMinusJackNs(unsigned client)
    {
        const double before = double(jack_get_time());
        const double steady = NsOf(TSteady::now());
        const double after = double(jack_get_time());
        if (after - before <= ClockReadingUs || FOffsetClient != client) {
            FOffsetNs = steady - (before + after) * 500;
            FOffsetClient = client;
        }
        return FOffsetNs;
    }

    // A client for the server that runs now; false, with the reason, when JACK refuses.
    bool MakeClient(QString &why)
    {
        std::lock_guard lock(JackClientsLock());
        if (JackStuck()) {
            why = QString::fromUtf8(JackStuckText());
            return false;
        }
        FAge = JackOpeningAge();
        jack_status_t status{};
        jack_client_t *client = jack_client_open(JackTransportClientName, JackNoStartServer, &status);
        if (!client) {
            why = QStringLiteral("JACK refused a client for Korvane's transport (status 0x%1). Is the JACK "
                                 "server running?")
                      .arg(unsigned(status), 0, 16);
            return false;
        }
        FGone = &FRevival->Watch(client);
        FClient.store(client, std::memory_order_release);
        const unsigned serial = FSerial.load(std::memory_order_relaxed) + 1;
        FSerial.store(serial, std::memory_order_relaxed);
        FRequest.store(NoRequest, std::memory_order_relaxed);
        if (jack_set_process_callback(client, &TJackTransportClock::Process, this) != 0 || jack_activate(client) != 0) {
            why = QStringLiteral("JACK refused to run Korvane's transport client.");
            JackCloseClient(client, false);
            FClient.store(nullptr, std::memory_order_release);
            return false;
        }
        why.clear();
        FLive.store(serial, std::memory_order_release);
        return true;
    }

    // On the revival's thread when the server went, and at the end.
    void LetGo()
    {
        FLive.store(0, std::memory_order_release);
        std::lock_guard lock(JackClientsLock());
        jack_client_t *client = FClient.exchange(nullptr, std::memory_order_acq_rel);
        // One whose server let it go is libjack's to free (see TJackRevival::Watch).
        if (client && JackClientAlive(FAge) && !FGone->load(std::memory_order_acquire))
            JackCloseClient(client, true);
    }

    // Longer than any period and any stall of a busy machine's; a server silent for longer is
    // taken as gone.
    static constexpr double StaleNs = 500e6;
    static constexpr double StalePeriods = 8;
    // Reading both clocks takes well under a microsecond unless the thread was put aside.
    static constexpr double ClockReadingUs = 20;

    QString FProblem;                            // the constructor's and the revival's
    std::atomic<jack_client_t *> FClient{nullptr}; // made and let go under JackClientsLock
    const std::atomic<bool> *FGone = nullptr;    // the revival's flag for FClient
    unsigned FAge = 0;                           // see JackClientsLock
    std::atomic<unsigned> FSerial{0};            // of the last client made
    std::atomic<unsigned> FLive{0};              // the client followed now; 0: none
    std::atomic<int> FRequest{NoRequest};
    TPublished<TCycleView> FView;
    double FOffsetNs = 0;       // steady_clock less JACK's clock; the process callback's
    unsigned FOffsetClient = 0; // the client FOffsetNs was read for
    std::unique_ptr<TJackRevival> FRevival; // made before the clients it watches, gone after them
};

} // namespace

std::unique_ptr<TKorSessionClock> CreateJackTransportClock(QString *problem)
{
    return std::make_unique<TJackTransportClock>(problem);
}
