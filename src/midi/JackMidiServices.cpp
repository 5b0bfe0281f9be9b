// MIDI over JACK through clients of Korvane's own, each open device one client with one port.
// Output: the sending thread rings each message with its send time; the process callback plays
// it at the frame of that time plus a constant latency, so a tick that woke late still lands on
// its grid. Input: the process callback rings each event with the time of its frame, and a
// thread of the device hands it to the port at that time, so every tick sees the events of its
// own stretch of time. The callbacks take no lock, allocate nothing and never wait.
#include "ByteRing.h"
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

// One client of Korvane's own with one MIDI port, its process callback running once active.
class TJackClient {
public:
    ~TJackClient() { Close(); }

    // False, with the reason in `why`, when JACK refuses.
    bool Open(const char *clientName, const char *portName, bool output, JackProcessCallback process, void *arg,
              QString &why)
    {
        jack_status_t status{};
        FClient = jack_client_open(clientName, JackNoStartServer, &status);
        if (!FClient) {
            why = QStringLiteral("JACK refused a client for Korvane (status 0x%1). Is the JACK server running?")
                      .arg(unsigned(status), 0, 16);
            return false;
        }
        FPort = jack_port_register(FClient, portName, JACK_DEFAULT_MIDI_TYPE,
                                   output ? JackPortIsOutput : JackPortIsInput, 0);
        if (!FPort || jack_set_process_callback(FClient, process, arg) != 0 || jack_activate(FClient) != 0) {
            why = QStringLiteral("JACK refused the MIDI port %1:%2.").arg(QString::fromUtf8(clientName),
                                                                           QString::fromUtf8(portName));
            Close();
            return false;
        }
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
        if (FClient) {
            jack_deactivate(FClient);
            jack_client_close(FClient);
        }
        FClient = nullptr;
        FPort = nullptr;
    }

    jack_client_t *Client() const { return FClient; }
    jack_port_t *Port() const { return FPort; }
    std::string PortName() const { return jack_port_name(FPort); }

private:
    jack_client_t *FClient = nullptr;
    jack_port_t *FPort = nullptr;
};

class TJackOut : public TMidiOutDevice {
public:
    TJackOut(TMidiCallback callback, void *user) : TMidiOutDevice(callback, user), FRing(RingBytes) {}
    ~TJackOut() override
    {
        // What was sent plays before the port goes, a stop's all notes off above all: each
        // message plays a cycle and the margin after it was due. Bounded, for a server that
        // stopped running cycles.
        if (FJack.Client()) {
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
        return target.empty() || FJack.Connect(FJack.PortName(), target, why);
    }

    // The longest message one cycle carries; 0 until the first cycle has run.
    size_t Largest() const { return FLargest.load(std::memory_order_relaxed); }

protected:
    uint32_t Send(const uint8_t *bytes, size_t count) override
    {
        const size_t largest = Largest();
        if (largest != 0 && count > largest)
            return MidiErrTooLong;
        const TOutHead head{JackTimeOf(TMidiSendTime::Now()), uint32_t(count)};
        return FRing.Put(head, bytes) ? MidiNoError : uint32_t(MidiErrNotReady);
    }

private:
    static int Process(jack_nframes_t frames, void *arg)
    {
        static_cast<TJackOut *>(arg)->Play(frames);
        return 0;
    }

    // Writes every message this cycle plays at its frame, in the order sent: a message plays
    // one period and the margin after it was due.
    void Play(jack_nframes_t frames)
    {
        void *buffer = jack_port_get_buffer(FJack.Port(), frames);
        const TJackBufferTurn turn(buffer);
        jack_midi_clear_buffer(buffer);
        FLargest.store(jack_midi_max_event_size(buffer), std::memory_order_relaxed);
        const TCycle cycle = CycleOf(FJack.Client(), frames);
        // Messages due then play at this cycle's first frame.
        const double firstDue = double(cycle.StartUs - JackLateTickMargin.count()) - frames * cycle.UsPerFrame;
        jack_nframes_t at = 0;
        bool wrote = false;
        TOutHead head;
        while (FRing.Peek(head)) {
            const double offset = (double(head.DueUs) - firstDue) / cycle.UsPerFrame;
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
};

class TJackIn : public TMidiInDevice {
public:
    TJackIn(TMidiCallback callback, void *user) : TMidiInDevice(callback, user), FRing(RingBytes)
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

class TJackMidiServices : public TSystemMidiServices {
public:
    TJackMidiServices()
    {
        if (!JackServerRuns()) {
            FProblem = JackNotRunningText();
            return;
        }
        jack_status_t status{};
        FLister = jack_client_open(ListerClientName, JackNoStartServer, &status);
        if (!FLister) {
            FProblem = QStringLiteral("JACK could not be reached (status 0x%1). Start a JACK server (jackd, or "
                                      "PipeWire's JACK), or use ALSA: --midi-api alsa or MidiApi=alsa.")
                           .arg(unsigned(status), 0, 16);
            return;
        }
        FWatch = MakeJackWatch([this](const std::function<bool(const std::string &)> &test) { MarkLost(test); },
                               [this] { PortsChanged(); });
    }

    ~TJackMidiServices() override
    {
        FWatch.reset(); // no news while the devices go
        CloseDevices();
        if (FLister)
            jack_client_close(FLister);
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
        auto out = std::make_unique<TJackOut>(callback, user);
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
        auto in = std::make_unique<TJackIn>(callback, user);
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

    jack_client_t *FLister = nullptr;
    std::unique_ptr<TPortWatch> FWatch; // last made, first gone
};

} // namespace

std::shared_ptr<TMidiServices> CreateJackMidiServices()
{
    return std::make_shared<TJackMidiServices>();
}
