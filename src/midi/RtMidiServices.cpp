// MIDI over RtMidi: the ALSA sequencer or JACK. Devices are the system's ports of the other
// programs and of the hardware, named without the numbers that change between sessions.
#include "JackOrder.h"
#include "MidiDevices.h"
#include "PortWatch.h"

#include <QFileInfo>
#include <rtmidi/RtMidi.h>

#include <algorithm>
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
        // RtMidi's thread (on JACK, its process callback) first uses the device here.
        JackTakesOver(user);
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
class TRtMidiServices : public TSystemMidiServices {
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
                FWatch = MakeJackWatch(gone, changed);
            else
                FWatch = MakeAlsaWatch(gone, changed);
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
        CloseDevices();
    }

    QString Name() const override { return MidiApiName(FApi); }

protected:
    uint32_t MakeOutDevice(uint32_t id, TMidiCallback callback, void *user,
                           std::unique_ptr<TMidiOutDevice> &device) override
    {
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
            // No message comes before the port opens: what was set up so far is seen by then.
            JackHandsOver(in.get());
            in->Midi().openPort(unsigned(index), "in");
            device = std::move(in);
            return MidiNoError;
        } catch (const RtMidiError &e) {
            return Failed(e);
        }
    }

    std::vector<TPort> ListPorts(bool writable) override
    {
        try {
            return ::ListPorts(writable ? static_cast<RtMidi &>(*FOutLister) : *FInLister);
        } catch (const RtMidiError &) {
            return {};
        }
    }

private:
    using TSystemMidiServices::Failed;
    uint32_t Failed(const RtMidiError &e)
    {
        QString text = QString::fromStdString(e.getMessage());
        if (FApi == TMidiApi::Jack)
            text += QStringLiteral(" Is the JACK server running?");
        return TSystemMidiServices::Failed(CodeOf(e), text);
    }

    const TMidiApi FApi;
    std::unique_ptr<RtMidiIn> FInLister;
    std::unique_ptr<RtMidiOut> FOutLister;
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
