// MIDI over RtMidi: the ALSA sequencer or JACK. Devices are the system's ports of the other
// programs and of the hardware, named without the numbers that change between sessions.
#include "MidiDevices.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const QString InClientName = QStringLiteral("Korvane In");
const QString ListerClientName = QStringLiteral("Korvane (devices)");
const char *const WatchClientName = "Korvane (watch)";

RtMidi::Api RtApi(TMidiApi api)
{
    return api == TMidiApi::Jack ? RtMidi::UNIX_JACK : RtMidi::LINUX_ALSA;
}

uint32_t CodeOf(const RtMidiError &e)
{
    switch (e.getType()) {
    case RtMidiError::NO_DEVICES_FOUND:
    case RtMidiError::INVALID_DEVICE: return MidiErrBadDeviceId;
    case RtMidiError::MEMORY_ERROR: return MidiErrNoMemory;
    case RtMidiError::INVALID_PARAMETER:
    case RtMidiError::INVALID_USE: return MidiErrInvalidParam;
    default: return MidiErrUnspecified;
    }
}

using TPort = TMidiPortName;

void Quiet(const char *) {}

// Whether a JACK server answers. JACK's own error and information lines are silenced for the
// rest of the run: without a server it prints several for every client RtMidi would try to
// open, and Korvane says what matters in its own words.
bool JackServerRuns()
{
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
    jack_status_t status{};
    jack_client_t *probe = jack_client_open("Korvane (probe)", JackNoStartServer, &status);
    if (!probe)
        return false;
    jack_client_close(probe);
    return true;
}

std::vector<TPort> ListPorts(RtMidi &midi)
{
    std::vector<std::string> names;
    const unsigned count = midi.getPortCount();
    for (unsigned i = 0; i < count; ++i)
        names.push_back(midi.getPortName(i));
    return MidiPortNames(names);
}

// The index RtMidi now gives the port listed as `port`: the same full name, else the same
// name a user sees (the system renumbered its clients); -1 when it is gone.
int FindPort(RtMidi &midi, const TPort &port)
{
    const unsigned count = midi.getPortCount();
    for (unsigned i = 0; i < count; ++i)
        if (midi.getPortName(i) == port.Full)
            return int(i);
    const std::vector<TPort> now = ListPorts(midi);
    for (const TPort &p : now)
        if (p.Name == port.Name)
            for (unsigned i = 0; i < count; ++i)
                if (midi.getPortName(i) == p.Full)
                    return int(i);
    return -1;
}

// The ALSA sequencer address ("client:port") at the end of a full port name as RtMidi gives it;
// -1, -1 when there is none.
std::pair<int, int> AlsaAddress(const std::string &full)
{
    static const QRegularExpression numbers(QStringLiteral("(\\d+):(\\d+)$"));
    const QRegularExpressionMatch m = numbers.match(QString::fromStdString(full));
    return m.hasMatch() ? std::pair{m.captured(1).toInt(), m.captured(2).toInt()} : std::pair{-1, -1};
}

// News of ports that come and go, from a client of the MIDI system's own that has no ports
// others could use. `gone` is told the full name test for a port that went (any port when the
// system cannot name it), `changed` follows every piece of news; both on the watcher's thread.
class TPortWatch {
public:
    using TGone = std::function<void(const std::function<bool(const std::string &)> &)>;
    virtual ~TPortWatch() = default;
};

// JACK's port registration and rename callbacks, on JACK's notification thread.
class TJackWatch : public TPortWatch {
public:
    TJackWatch(TGone gone, std::function<void()> changed) : FGone(std::move(gone)), FChanged(std::move(changed))
    {
        jack_status_t status{};
        FClient = jack_client_open(WatchClientName, JackNoStartServer, &status);
        if (!FClient)
            return;
        jack_set_port_registration_callback(FClient, &TJackWatch::OnRegistration, this);
        jack_set_port_rename_callback(FClient, &TJackWatch::OnRename, this);
        jack_on_shutdown(FClient, &TJackWatch::OnShutdown, this);
        if (jack_activate(FClient) != 0) {
            jack_client_close(FClient);
            FClient = nullptr;
        }
    }
    ~TJackWatch() override
    {
        if (FClient) {
            jack_deactivate(FClient);
            jack_client_close(FClient);
        }
    }

private:
    static void OnRegistration(jack_port_id_t id, int registered, void *arg)
    {
        auto *self = static_cast<TJackWatch *>(arg);
        if (!registered) {
            // JACK still knows the name of a port it has just let go.
            const jack_port_t *port = jack_port_by_id(self->FClient, id);
            const char *name = port ? jack_port_name(port) : nullptr;
            const std::string gone = name ? name : "";
            self->FGone([&](const std::string &full) { return gone.empty() || full == gone; });
        }
        self->FChanged();
    }
    static void OnRename(jack_port_id_t, const char *oldName, const char *, void *arg)
    {
        auto *self = static_cast<TJackWatch *>(arg);
        const std::string gone = oldName ? oldName : "";
        self->FGone([&](const std::string &full) { return gone.empty() || full == gone; });
        self->FChanged();
    }
    static void OnShutdown(void *arg)
    {
        auto *self = static_cast<TJackWatch *>(arg);
        self->FGone([](const std::string &) { return true; });
        self->FChanged();
    }

    TGone FGone;
    std::function<void()> FChanged;
    jack_client_t *FClient = nullptr;
};

// The ALSA sequencer's announcements (client 0, port 1), read by a thread of its own through a
// port that only the system may write to.
class TAlsaWatch : public TPortWatch {
public:
    TAlsaWatch(TGone gone, std::function<void()> changed) : FGone(std::move(gone)), FChanged(std::move(changed))
    {
        if (snd_seq_open(&FSeq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0) {
            FSeq = nullptr;
            return;
        }
        snd_seq_set_client_name(FSeq, WatchClientName);
        const int port = snd_seq_create_simple_port(FSeq, "announce", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                    SND_SEQ_PORT_TYPE_APPLICATION);
        FStop = eventfd(0, EFD_CLOEXEC);
        if (port < 0 || FStop < 0 ||
            snd_seq_connect_from(FSeq, port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0)
            return;
        FThread = std::thread([this] { Run(); });
    }
    ~TAlsaWatch() override
    {
        if (FThread.joinable()) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t w = write(FStop, &one, sizeof one);
            FThread.join();
        }
        if (FStop >= 0)
            close(FStop);
        if (FSeq)
            snd_seq_close(FSeq);
    }

private:
    void Run()
    {
        const int count = snd_seq_poll_descriptors_count(FSeq, POLLIN);
        std::vector<pollfd> fds(size_t(count) + 1);
        snd_seq_poll_descriptors(FSeq, fds.data(), unsigned(count), POLLIN);
        fds.back() = {FStop, POLLIN, 0};
        for (;;) {
            if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
                return;
            if (fds.back().revents != 0)
                return;
            bool news = false;
            snd_seq_event_t *ev = nullptr;
            while (snd_seq_event_input(FSeq, &ev) >= 0 && ev) {
                news = true;
                if (ev->type == SND_SEQ_EVENT_PORT_EXIT || ev->type == SND_SEQ_EVENT_CLIENT_EXIT) {
                    const int client = ev->data.addr.client, port = ev->data.addr.port;
                    const bool whole = ev->type == SND_SEQ_EVENT_CLIENT_EXIT;
                    FGone([&](const std::string &full) {
                        const auto [c, p] = AlsaAddress(full);
                        return c == client && (whole || p == port);
                    });
                }
            }
            if (news)
                FChanged();
        }
    }

    TGone FGone;
    std::function<void()> FChanged;
    snd_seq_t *FSeq = nullptr;
    int FStop = -1;
    std::thread FThread;
};

class TRtIn : public TMidiInDevice {
public:
    TRtIn(std::unique_ptr<RtMidiIn> midi, TMidiCallback callback, void *user)
        : TMidiInDevice(callback, user), FMidi(std::move(midi))
    {
    }
    ~TRtIn() override
    {
        // Joins RtMidi's thread, so that Receive is never entered again.
        FMidi->closePort();
        FMidi.reset();
    }
    RtMidiIn &Midi() { return *FMidi; }
    static void OnMessage(double, std::vector<unsigned char> *message, void *user)
    {
        static_cast<TRtIn *>(user)->Receive(message->data(), message->size());
    }

private:
    std::unique_ptr<RtMidiIn> FMidi;
};

class TRtOut : public TMidiOutDevice {
public:
    TRtOut(std::unique_ptr<RtMidiOut> midi, TMidiCallback callback, void *user)
        : TMidiOutDevice(callback, user), FMidi(std::move(midi))
    {
    }
    ~TRtOut() override { FMidi->closePort(); }

protected:
    uint32_t Send(const uint8_t *bytes, size_t count) override
    {
        try {
            FMidi->sendMessage(bytes, count);
            return MidiNoError;
        } catch (const RtMidiError &) {
            return MidiErrNotReady;
        }
    }

private:
    std::unique_ptr<RtMidiOut> FMidi;
};

// Thread rules of TMidiServices. Owns its listing clients and its open devices.
class TRtMidiServices : public TMidiDeviceServices {
public:
    TRtMidiServices(TMidiApi api, const QString &alsaSequencer) : FApi(api)
    {
        if (api == TMidiApi::Alsa && !QFileInfo::exists(alsaSequencer)) {
            FProblem = QStringLiteral("The ALSA sequencer is not available: %1 does not exist. Load it with "
                                      "\"modprobe snd-seq\", or use JACK instead: MidiApi=jack in the Settings "
                                      "section of the settings file, or the option --midi-api jack.")
                           .arg(alsaSequencer);
            return;
        }
        if (api == TMidiApi::Jack && !JackServerRuns()) {
            FProblem = JackNotRunningText();
            return;
        }
        try {
            FInLister = std::make_unique<RtMidiIn>(RtApi(api), ListerClientName.toStdString());
            FOutLister = std::make_unique<RtMidiOut>(RtApi(api), ListerClientName.toStdString());
            auto gone = [this](const std::function<bool(const std::string &)> &test) { MarkLost(test); };
            auto changed = [this] { PortsChanged(); };
            if (api == TMidiApi::Jack)
                FWatch = std::make_unique<TJackWatch>(gone, changed);
            else
                FWatch = std::make_unique<TAlsaWatch>(gone, changed);
        } catch (const RtMidiError &e) {
            FInLister.reset();
            FOutLister.reset();
            FProblem = api == TMidiApi::Alsa
                           ? QStringLiteral("The ALSA sequencer could not be opened (%1). Check the permissions "
                                            "of /dev/snd/seq, or use JACK instead: MidiApi=jack in the Settings "
                                            "section of the settings file, or the option --midi-api jack.")
                           : QStringLiteral("JACK could not be reached (%1). Start a JACK server (jackd, or "
                                            "PipeWire's JACK), or use ALSA: --midi-api alsa or MidiApi=alsa.");
            FProblem = FProblem.arg(QString::fromStdString(e.getMessage()));
        }
    }

    ~TRtMidiServices() override
    {
        // No news while the devices go.
        FWatch.reset();
        // The devices close RtMidi's ports before the listing clients go.
        for (auto &[handle, device] : FInDevices)
            device->Shut();
        FInDevices.clear();
        FOutDevices.clear();
    }

    QString Name() const override { return MidiApiName(FApi); }
    QString Problem() const override { return FProblem; }

    uint32_t OutGetNumDevs() override
    {
        FOutPorts = FOutLister ? Listed(*FOutLister) : std::vector<TPort>{};
        return uint32_t(FOutPorts.size());
    }

    uint32_t OutGetDevCaps(uint32_t id, TMidiOutCaps &caps) override
    {
        caps = TMidiOutCaps{};
        if (id == MidiMapper) {
            caps.Name = MidiClientName;
            caps.Technology = MidiTechMapper;
            return MidiNoError;
        }
        if (id >= FOutPorts.size())
            return MidiErrBadDeviceId;
        caps.Name = FOutPorts[id].Name;
        return MidiNoError;
    }

    uint32_t InGetNumDevs() override
    {
        FInPorts = FInLister ? Listed(*FInLister) : std::vector<TPort>{};
        return uint32_t(FInPorts.size());
    }

    uint32_t InGetDevCaps(uint32_t id, TMidiInCaps &caps) override
    {
        caps = TMidiInCaps{};
        if (id >= FInPorts.size())
            return MidiErrBadDeviceId;
        caps.Name = FInPorts[id].Name;
        return MidiNoError;
    }

    bool OutGetErrorText(uint32_t code, QString &text) override { return ErrorText(code, text); }
    bool InGetErrorText(uint32_t code, QString &text) override { return ErrorText(code, text); }

protected:
    uint32_t MakeOutDevice(uint32_t id, TMidiCallback callback, void *user,
                           std::unique_ptr<TMidiOutDevice> &device) override
    {
        if (!FProblem.isEmpty())
            return MidiErrNoDriver;
        if (id != MidiMapper && id >= FOutPorts.size())
            return Plain(MidiErrBadDeviceId);
        try {
            auto midi = std::make_unique<RtMidiOut>(RtApi(FApi), MidiClientName.toStdString());
            if (id == MidiMapper) {
                midi->openVirtualPort(MidiClientName.toStdString());
            } else {
                const int index = FindPort(*midi, FOutPorts[id]);
                if (index < 0)
                    return Gone(FOutPorts[id].Name);
                FOpenedTarget = midi->getPortName(unsigned(index));
                midi->openPort(unsigned(index), "out");
            }
            // Failing to open raises; isPortOpen() is no help, as RtMidi's JACK side never sets it.
            device = std::make_unique<TRtOut>(std::move(midi), callback, user);
            return MidiNoError;
        } catch (const RtMidiError &e) {
            return Failed(e);
        }
    }

    uint32_t MakeInDevice(uint32_t id, TMidiCallback callback, void *user,
                          std::unique_ptr<TMidiInDevice> &device) override
    {
        if (!FProblem.isEmpty())
            return MidiErrNoDriver;
        if (id >= FInPorts.size())
            return Plain(MidiErrBadDeviceId);
        try {
            auto midi = std::make_unique<RtMidiIn>(RtApi(FApi), InClientName.toStdString());
            const int index = FindPort(*midi, FInPorts[id]);
            if (index < 0)
                return Gone(FInPorts[id].Name);
            FOpenedTarget = midi->getPortName(unsigned(index));
            // The port filters for itself; RtMidi is to pass everything on.
            midi->ignoreTypes(false, false, false);
            auto in = std::make_unique<TRtIn>(std::move(midi), callback, user);
            in->Midi().setCallback(&TRtIn::OnMessage, in.get());
            in->Midi().openPort(unsigned(index), "in");
            device = std::move(in);
            return MidiNoError;
        } catch (const RtMidiError &e) {
            return Failed(e);
        }
    }

    // The device just made reached FOpenedTarget (MakeOutDevice and MakeInDevice set it, and
    // the opening that called them asks at once, on the same thread).
    std::string OutTarget(uint32_t) const override { return FOpenedTarget; }
    std::string InTarget(uint32_t) const override { return FOpenedTarget; }

private:
    std::vector<TPort> Listed(RtMidi &lister)
    {
        try {
            return ListPorts(lister);
        } catch (const RtMidiError &) {
            return {};
        }
    }

    uint32_t Failed(uint32_t code, const QString &text)
    {
        std::lock_guard lock(FTextLock);
        FTexts[code] = FApi == TMidiApi::Jack
                           ? text + QStringLiteral(" Is the JACK server running?")
                           : text;
        return code;
    }

    // A failure that needs no more words than the code's own text.
    uint32_t Plain(uint32_t code)
    {
        std::lock_guard lock(FTextLock);
        FTexts.erase(code);
        return code;
    }

    uint32_t Failed(const RtMidiError &e)
    {
        return Failed(CodeOf(e), QString::fromStdString(e.getMessage()));
    }

    uint32_t Gone(const QString &name)
    {
        return Failed(MidiErrBadDeviceId, QStringLiteral("The MIDI port %1 is no longer there.").arg(name));
    }

    bool ErrorText(uint32_t code, QString &text)
    {
        if (code == MidiErrNoDriver && !FProblem.isEmpty()) {
            text = FProblem;
            return true;
        }
        {
            std::lock_guard lock(FTextLock);
            if (auto it = FTexts.find(code); it != FTexts.end()) {
                text = it->second;
                return true;
            }
        }
        return StandardErrorText(code, text);
    }

    const TMidiApi FApi;
    QString FProblem;
    std::unique_ptr<RtMidiIn> FInLister;
    std::unique_ptr<RtMidiOut> FOutLister;
    std::vector<TPort> FInPorts, FOutPorts; // as last listed; device numbers index these
    std::mutex FTextLock;
    std::map<uint32_t, QString> FTexts; // RtMidi's words for the last failure of each code
    std::string FOpenedTarget;
    std::unique_ptr<TPortWatch> FWatch; // last made, first gone
};

} // namespace

std::vector<TMidiApi> AvailableMidiApis()
{
    std::vector<RtMidi::Api> compiled;
    RtMidi::getCompiledApi(compiled);
    std::vector<TMidiApi> apis;
    for (TMidiApi api : {TMidiApi::Alsa, TMidiApi::Jack})
        if (std::find(compiled.begin(), compiled.end(), RtApi(api)) != compiled.end())
            apis.push_back(api);
    return apis;
}

std::shared_ptr<TMidiServices> CreateRtMidiServices(TMidiApi api, const QString &alsaSequencer)
{
    return std::make_shared<TRtMidiServices>(api, alsaSequencer);
}
