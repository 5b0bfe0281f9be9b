// MIDI over RtMidi: the ALSA sequencer or JACK. Devices are the system's ports of the other
// programs and of the hardware, named without the numbers that change between sessions.
#include "MidiDevices.h"

#include <QFileInfo>
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>

#include <vector>

namespace {

const QString InClientName = QStringLiteral("Korvane In");
const QString ListerClientName = QStringLiteral("Korvane (devices)");

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
};

} // namespace

std::shared_ptr<TMidiServices> CreateRtMidiServices(TMidiApi api, const QString &alsaSequencer)
{
    return std::make_shared<TRtMidiServices>(api, alsaSequencer);
}
