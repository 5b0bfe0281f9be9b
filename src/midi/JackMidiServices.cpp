// MIDI over JACK through clients of Korvane's own, each open device one client with one port.
// Output: the sending thread rings each message with its send time; the process callback plays
// it at the frame of that time plus a constant latency, so a tick that woke late still lands on
// its grid. Input: the process callback rings each event with the time of its frame, and a
// thread of the device hands it to the port at that time, so every tick sees the events of its
// own stretch of time. The callbacks take no lock, allocate nothing and never wait.
#include "ByteRing.h"
#include "JackFrameClock.h"
#include "JackRevival.h"
#include "JackOrder.h"
#include "MidiDevices.h"
#include "PortWatch.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <semaphore.h>
#include <thread>
#include <vector>

namespace {

using TSteady = std::chrono::steady_clock;

const char *const InClientName = "Korvane In";
const char *const ListerClientName = "Korvane (devices)";

// Room of each device's ring: 10 000 messages a second fill a few kilobytes per period, and
// the longest system-exclusive message the ports send (65 535 bytes) fits several times.
constexpr size_t RingBytes = size_t(1) << 18;

// More than a MIDI port's buffer spends on its own bookkeeping and one event's.
constexpr size_t BufferOwnBytes = 256;

// How long a closing output waits at most for its last messages to play: a few cycles of any
// usual period, with room for a busy machine.
constexpr auto DrainLimit = std::chrono::milliseconds(250);

// Output: when a message is due (JACK's microseconds) and its length.
struct TOutHead {
    int64_t DueUs;
    uint32_t Size;
};
// Input: when an event's frame comes (steady clock, nanoseconds since its epoch) and its length.
struct TInHead {
    int64_t DueNs;
    uint32_t Size;
};

// JACK's time of a steady-clock time point, from both clocks read now: right whatever clock the
// server keeps.
int64_t JackTimeOf(TSteady::time_point t)
{
    const int64_t ahead = std::chrono::duration_cast<std::chrono::microseconds>(t - TSteady::now()).count();
    return int64_t(jack_get_time()) + ahead;
}

// The running cycle: the time its first frame stands for and microseconds per frame, smoothed
// by the server so that the frames of consecutive cycles join without a seam.
struct TCycle {
    int64_t StartUs;
    double UsPerFrame;
};

TCycle CycleOf(jack_client_t *client, jack_nframes_t frames)
{
    jack_nframes_t first = 0;
    jack_time_t start = 0, next = 0;
    float periodUs = 0;
    if (jack_get_cycle_times(client, &first, &start, &next, &periodUs) != 0 || next <= start) {
        first = jack_last_frame_time(client);
        start = jack_frames_to_time(client, first);
        next = jack_frames_to_time(client, first + frames);
    }
    return {int64_t(start), next > start ? double(next - start) / frames : 1e6 / jack_get_sample_rate(client)};
}

// When the running cycle began, for TJackFrameClock: the server's own reckoning while it is
// plausible, as the frames' times a receiver reads come from it too; else the time now. That
// reckoning takes seconds to settle after a stop or an overrun, and notes placed by it alone
// would fall on the cycles' grid meanwhile: the frame clock sees through it.
int64_t CycleBegan(jack_client_t *client, jack_nframes_t frames, bool &told)
{
    const int64_t now = int64_t(jack_get_time());
    told = false;
    jack_nframes_t first = 0;
    jack_time_t start = 0, next = 0;
    float periodUs = 0;
    if (jack_get_cycle_times(client, &first, &start, &next, &periodUs) != 0 || next <= start)
        return now;
    const int64_t ago = now - int64_t(start);
    // A callback may begin up to a period late on a busy machine, the first after opening
    // above all; a figure older than that is the server's still settling after a stall.
    told = ago >= 0 && double(ago) <= 2e6 * frames / jack_get_sample_rate(client);
    return told ? int64_t(start) : now;
}

// One client of Korvane's own with one MIDI port, its process callback running once active.
// Its server's end is told to `revival` (not owned; outlives the client) and remembered.
class TJackClient {
public:
    explicit TJackClient(TJackRevival &revival) : FRevival(revival), FGeneration(revival.Generation()) {}
    ~TJackClient() { Close(); }

    // False, with the reason in `why`, when JACK refuses.
    bool Open(const char *clientName, const char *portName, bool output, JackProcessCallback process, void *arg,
              QString &why)
    {
        std::unique_lock lock(JackClientsLock());
        if (JackStuck()) {
            why = QString::fromUtf8(JackStuckText());
            return false;
        }
        FAge = JackOpeningAge();
        jack_status_t status{};
        FClient = jack_client_open(clientName, JackNoStartServer, &status);
        if (!FClient) {
            why = QStringLiteral("JACK refused a client for Korvane (status 0x%1). Is the JACK server running?")
                      .arg(unsigned(status), 0, 16);
            return false;
        }
        jack_on_info_shutdown(FClient, &TJackClient::OnShutdown, this);
        FPort = jack_port_register(FClient, portName, JACK_DEFAULT_MIDI_TYPE,
                                   output ? JackPortIsOutput : JackPortIsInput, 0);
        if (!FPort || jack_set_process_callback(FClient, process, arg) != 0 || jack_activate(FClient) != 0) {
            why = QStringLiteral("JACK refused the MIDI port %1:%2.").arg(QString::fromUtf8(clientName),
                                                                           QString::fromUtf8(portName));
            lock.unlock();
            Close();
            return false;
        }
        FPortName = jack_port_name(FPort);
        return true;
    }

    // Joins `from` to `to`, one of them this client's port; false, with the reason, on failure.
    bool Connect(const std::string &from, const std::string &to, QString &why)
    {
        const int r = jack_connect(FClient, from.c_str(), to.c_str());
        if (r == 0 || r == EEXIST)
            return true;
        why = QStringLiteral("JACK could not connect %1 to %2.").arg(QString::fromStdString(from),
                                                                     QString::fromStdString(to));
        return false;
    }

    // No process callback runs once this returns.
    void Close()
    {
        std::lock_guard lock(JackClientsLock());
        // One whose server let it go is libjack's to free (see TJackRevival::Watch).
        if (FClient && JackClientAlive(FAge) && !ServerGone())
            JackCloseClient(FClient, true);
        FClient = nullptr;
        FPort = nullptr;
    }

    jack_client_t *Client() const { return FClient; }
    jack_port_t *Port() const { return FPort; }
    const std::string &PortName() const { return FPortName; }
    // Its server went: it runs no more cycles.
    bool ServerGone() const { return FServerGone.load(std::memory_order_acquire); }

private:
    // On a thread of JACK's: a flag and a wake-up, nothing that locks or allocates.
    static void OnShutdown(jack_status_t, const char *, void *arg)
    {
        const TJackCallbackScope live;
        if (!live)
            return;
        auto *self = static_cast<TJackClient *>(arg);
        self->FServerGone.store(true, std::memory_order_release);
        self->FRevival.Raise(self->FGeneration);
    }

    TJackRevival &FRevival;
    const unsigned FGeneration; // of the server it was made with
    std::atomic<bool> FServerGone{false};
    unsigned FAge = 0; // see JackClientsLock
    jack_client_t *FClient = nullptr;
    jack_port_t *FPort = nullptr;
    std::string FPortName;
};

class TJackOut : public TMidiOutDevice {
public:
    TJackOut(TMidiCallback callback, void *user, TJackRevival &revival)
        : TMidiOutDevice(callback, user), FJack(revival), FRing(RingBytes)
    {
    }
    ~TJackOut() override
    {
        // What was sent plays before the port goes, a stop's all notes off above all: each
        // message plays a cycle and the margin after it was due. Bounded, for a server that
        // stopped running cycles; not at all for one that is gone.
        if (FJack.Client() && !FJack.ServerGone()) {
            const TSteady::time_point until = TSteady::now() + DrainLimit;
            while (!FRing.Drained() && TSteady::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        FJack.Close();
    }

    // Korvane's own port `portName`, joined to `target` unless that is empty.
    bool Open(const char *portName, const std::string &target, QString &why)
    {
        if (!FJack.Open(MidiClientName.toUtf8().constData(), portName, true, &TJackOut::Process, this, why))
            return false;
        FBufferBytes.store(jack_port_type_get_buffer_size(FJack.Client(), JACK_DEFAULT_MIDI_TYPE),
                           std::memory_order_relaxed);
        return target.empty() || FJack.Connect(FJack.PortName(), target, why);
    }

    // The longest message one cycle carries. Until the first cycle has run, less than the
    // port's buffer by more than JACK keeps of it for itself, so that no message taken then
    // is one that no cycle can carry.
    size_t Largest() const
    {
        const size_t measured = FLargest.load(std::memory_order_relaxed);
        if (measured != 0)
            return measured;
        const size_t buffer = FBufferBytes.load(std::memory_order_relaxed);
        return buffer > BufferOwnBytes ? buffer - BufferOwnBytes : 1;
    }

protected:
    uint32_t Send(const uint8_t *bytes, size_t count) override
    {
        if (count > Largest())
            return MidiErrTooLong;
        const TOutHead head{JackTimeOf(TMidiSendTime::Now()), uint32_t(count)};
        return FRing.Put(head, bytes) ? MidiNoError : uint32_t(MidiErrNotReady);
    }

private:
    static int Process(jack_nframes_t frames, void *arg)
    {
        const TJackCallbackScope live;
        if (!live)
            return 0;
        static_cast<TJackOut *>(arg)->Play(frames);
        return 0;
    }

    // Writes every message this cycle plays at its frame, in the order sent: a message plays
    // one period and the margin after it was due.
    void Play(jack_nframes_t frames)
    {
        bool told = false;
        const int64_t began = CycleBegan(FJack.Client(), frames, told);
        FClock.Cycle(jack_last_frame_time(FJack.Client()), frames, began, 1e6 / jack_get_sample_rate(FJack.Client()),
                     told);
        void *buffer = jack_port_get_buffer(FJack.Port(), frames);
        const TJackBufferTurn turn(buffer);
        jack_midi_clear_buffer(buffer);
        FLargest.store(jack_midi_max_event_size(buffer), std::memory_order_relaxed);
        const double usPerFrame = FClock.UsPerFrame();
        // Messages due then play at this cycle's first frame.
        const double firstDue = FClock.StartUs() - double(JackLateTickMargin.count()) - frames * usPerFrame;
        jack_nframes_t at = 0;
        bool wrote = false;
        TOutHead head;
        while (FRing.Peek(head)) {
            const double offset = (double(head.DueUs) - firstDue) / usPerFrame;
            if (offset >= frames)
                break; // due in a later cycle
            // Late messages play at once, and none overtakes an earlier one.
            const jack_nframes_t frame = std::max(at, offset > 0 ? jack_nframes_t(offset) : jack_nframes_t(0));
            jack_midi_data_t *data = jack_midi_event_reserve(buffer, frame, head.Size);
            if (data == nullptr && wrote)
                break; // the buffer is full: the rest plays in the next cycle
            FRing.Take(head, data); // a message no cycle can carry (refused by Send since) is dropped
            at = frame;
            wrote = wrote || data != nullptr;
        }
    }

    TJackClient FJack;
    TByteRing<TOutHead> FRing;
    std::atomic<size_t> FLargest{0};
    std::atomic<size_t> FBufferBytes{0}; // of the port, as the server sets it
    TJackFrameClock FClock; // the process callback's
};

class TJackIn : public TMidiInDevice {
public:
    TJackIn(TMidiCallback callback, void *user, TJackRevival &revival)
        : TMidiInDevice(callback, user), FJack(revival), FRing(RingBytes)
    {
        sem_init(&FNews, 0, 0);
    }
    ~TJackIn() override
    {
        FJack.Close();
        if (FThread.joinable()) {
            FStop.store(true);
            sem_post(&FNews);
            FThread.join();
        }
        sem_destroy(&FNews);
    }

    // Korvane's input port, joined from `source`.
    bool Open(const std::string &source, QString &why)
    {
        FThread = std::thread([this] { Deliver(); });
        return FJack.Open(InClientName, "in", false, &TJackIn::Process, this, why) &&
               FJack.Connect(source, FJack.PortName(), why);
    }

private:
    static int Process(jack_nframes_t frames, void *arg)
    {
        const TJackCallbackScope live;
        if (!live)
            return 0;
        static_cast<TJackIn *>(arg)->Collect(frames);
        return 0;
    }

    void Collect(jack_nframes_t frames)
    {
        void *buffer = jack_port_get_buffer(FJack.Port(), frames);
        const TJackBufferTurn turn(buffer);
        const uint32_t count = jack_midi_get_event_count(buffer);
        if (count == 0)
            return;
        const TCycle cycle = CycleOf(FJack.Client(), frames);
        const int64_t steadyNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>(TSteady::now().time_since_epoch()).count();
        const int64_t jackUs = int64_t(jack_get_time());
        for (uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0 || event.size == 0)
                continue;
            const double dueUs = double(cycle.StartUs) + event.time * cycle.UsPerFrame;
            const TInHead head{steadyNs + int64_t((dueUs - double(jackUs)) * 1000.0), uint32_t(event.size)};
            // What finds the ring full is lost: the ring holds far more than the port's own
            // ring, which tells of its overflows, and only fills if this device's thread stalls.
            FRing.Put(head, event.buffer);
        }
        sem_post(&FNews);
    }

    // The device's own thread: waits for each event's time, then hands it to the port.
    void Deliver()
    {
        std::vector<uint8_t> bytes(RingBytes);
        while (!FStop.load()) {
            if (sem_wait(&FNews) != 0 && errno == EINTR)
                continue;
            TInHead head;
            while (!FStop.load() && FRing.Peek(head)) {
                std::this_thread::sleep_until(TSteady::time_point(
                    std::chrono::duration_cast<TSteady::duration>(std::chrono::nanoseconds(head.DueNs))));
                FRing.Take(head, bytes.data());
                Receive(bytes.data(), head.Size);
            }
        }
    }

    TJackClient FJack;
    TByteRing<TInHead> FRing;
    sem_t FNews;                    // posted by the process callback after ringing events
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// Owns its lister and watcher clients, the devices' clients through the devices, and the
// revival that makes the first two again after the server returned (the keeper of the ports
// makes the devices again, as it does for ports that come and go).
class TJackMidiServices : public TSystemMidiServices {
public:
    TJackMidiServices()
    {
        FRevival = std::make_unique<TJackRevival>([this] { ServerStopped(); }, [this] { return ServerReturned(); });
        const bool running = JackServerRuns() && MakeClients(FProblem);
        if (!running && FProblem.isEmpty())
            FProblem = JackNotRunningText();
        // Without a server Korvane waits for one: started later, it is taken as it comes.
        FRevival->Start(!running);
    }

    ~TJackMidiServices() override
    {
        FRevival->Halt(); // first: it makes and drops the clients below
        FWatch.reset();   // no news while the devices go
        CloseDevices();
        CloseLister(FLister, FListerGone);
    }

    QString Name() const override { return MidiApiName(TMidiApi::Jack); }

    uint32_t OutLongMsg(TMidiHandle handle, TMidiHeader *header) override
    {
        const uint32_t r = TSystemMidiServices::OutLongMsg(handle, header);
        if (r != MidiErrTooLong)
            return r;
        return Failed(r, QStringLiteral("The system-exclusive message of %1 bytes is longer than JACK's MIDI "
                                        "buffer carries (%2 bytes).")
                             .arg(header->BufferLength)
                             .arg(reinterpret_cast<TJackOut *>(handle)->Largest()));
    }

protected:
    std::vector<TMidiPortName> ListPorts(bool writable) override
    {
        std::vector<std::string> names;
        std::lock_guard lock(FClientsLock);
        std::lock_guard jack(JackClientsLock());
        if (!FLister || !JackClientAlive(FListerAge))
            return {};
        if (const char **ports = jack_get_ports(FLister, nullptr, JACK_DEFAULT_MIDI_TYPE,
                                                writable ? JackPortIsInput : JackPortIsOutput)) {
            for (const char **p = ports; *p != nullptr; ++p)
                names.emplace_back(*p);
            jack_free(ports);
        }
        return MidiPortNames(names);
    }

    uint32_t MakeOutDevice(uint32_t id, TMidiCallback callback, void *user,
                           std::unique_ptr<TMidiOutDevice> &device) override
    {
        FOpenedTarget.clear();
        if (id != MidiMapper) {
            FOpenedTarget = Find(FOutPorts[id], true);
            if (FOpenedTarget.empty())
                return Gone(FOutPorts[id].Name);
        }
        auto out = std::make_unique<TJackOut>(callback, user, *FRevival);
        QString why;
        if (!out->Open(id == MidiMapper ? MidiClientName.toUtf8().constData() : "out", FOpenedTarget, why))
            return Failed(MidiErrUnspecified, why);
        device = std::move(out);
        return MidiNoError;
    }

    uint32_t MakeInDevice(uint32_t id, TMidiCallback callback, void *user,
                          std::unique_ptr<TMidiInDevice> &device) override
    {
        FOpenedTarget = Find(FInPorts[id], false);
        if (FOpenedTarget.empty())
            return Gone(FInPorts[id].Name);
        auto in = std::make_unique<TJackIn>(callback, user, *FRevival);
        QString why;
        if (!in->Open(FOpenedTarget, why))
            return Failed(MidiErrUnspecified, why);
        device = std::move(in);
        return MidiNoError;
    }

private:
    // The full name the listed `port` has now: the same full name, else the same name a user
    // sees; empty when it is gone.
    std::string Find(const TMidiPortName &port, bool writable)
    {
        const std::vector<TMidiPortName> now = ListPorts(writable);
        for (const TMidiPortName &p : now)
            if (p.Full == port.Full)
                return p.Full;
        for (const TMidiPortName &p : now)
            if (p.Name == port.Name)
                return p.Full;
        return {};
    }

    // The lister and the watcher, for the server that runs now. False, with the reason, when
    // JACK refuses the lister.
    bool MakeClients(QString &why)
    {
        jack_status_t status{};
        jack_client_t *lister;
        unsigned age;
        {
            std::lock_guard jack(JackClientsLock());
            age = JackOpeningAge();
            lister = jack_client_open(ListerClientName, JackNoStartServer, &status);
        }
        if (!lister) {
            why = QStringLiteral("JACK could not be reached (status 0x%1). Start a JACK server (jackd, or "
                                 "PipeWire's JACK), or use ALSA: --midi-api alsa or MidiApi=alsa.")
                      .arg(unsigned(status), 0, 16);
            return false;
        }
        const std::atomic<bool> &listerGone = FRevival->Watch(lister);
        auto watch = MakeJackWatch([this](const std::function<bool(const std::string &)> &test) { MarkLost(test); },
                                   [this] { PortsChanged(); }, FRevival.get());
        std::lock_guard lock(FClientsLock);
        FLister = lister;
        FListerGone = &listerGone;
        FListerAge = age;
        FWatch = std::move(watch);
        return true;
    }

    // On the revival's thread: every device is lost with its server, and the clients that
    // list and watch go, to be made anew with the next server.
    void ServerStopped()
    {
        std::unique_ptr<TPortWatch> watch;
        jack_client_t *lister;
        const std::atomic<bool> *listerGone;
        {
            std::lock_guard lock(FClientsLock);
            watch = std::move(FWatch);
            lister = std::exchange(FLister, nullptr);
            listerGone = std::exchange(FListerGone, nullptr);
        }
        JackServerStopped([&] {
            watch.reset();
            CloseLister(lister, listerGone);
        });
    }

    // On the revival's thread, every second while there is no server.
    bool ServerReturned()
    {
        return JackServerReturned([this](QString &why) { return MakeClients(why); });
    }

    void CloseLister(jack_client_t *lister, const std::atomic<bool> *gone)
    {
        std::lock_guard jack(JackClientsLock());
        if (lister && JackClientAlive(FListerAge) && !(gone && gone->load()))
            JackCloseClient(lister, false);
    }

    std::mutex FClientsLock; // FLister and FWatch, which the revival replaces
    jack_client_t *FLister = nullptr;
    const std::atomic<bool> *FListerGone = nullptr; // the revival's flag for the lister
    unsigned FListerAge = 0;
    std::unique_ptr<TPortWatch> FWatch; // last made, first gone
    std::unique_ptr<TJackRevival> FRevival; // made before any client it watches, gone after them
};

} // namespace

std::shared_ptr<TMidiServices> CreateJackMidiServices()
{
    return std::make_shared<TJackMidiServices>();
}
