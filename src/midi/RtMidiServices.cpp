// MIDI over RtMidi: the ALSA sequencer or JACK. Devices are the system's ports of the other
// programs and of the hardware, named without the numbers that change between sessions.
#include "JackRevival.h"
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

// An RtMidi object let go as JackClientsLock asks: its JACK client may have been freed with
// its server, and then its destructor must not run (what it holds is libjack's, and gone).
template <class T>
void LetGo(std::unique_ptr<T> &midi, unsigned age)
{
    std::lock_guard lock(JackClientsLock());
    if (!midi)
        return;
    if (!JackClientAlive(age)) {
        [[maybe_unused]] T *gone = midi.release();
        return;
    }
    // RtMidi closes its JACK client here, which libjack may never finish (see JackCloseBounded).
    JackCloseBounded([gone = midi.release()] {
        gone->closePort();
        delete gone; // before the wait ends: no callback of it runs after LetGo
    });
}

class TRtIn : public TMidiInDevice {
public:
    TRtIn(std::unique_ptr<RtMidiIn> midi, unsigned age, TMidiCallback callback, void *user)
        : TMidiInDevice(callback, user), FMidi(std::move(midi)), FAge(age)
    {
    }
    ~TRtIn() override
    {
        // Joins RtMidi's thread, so that Receive is never entered again.
        LetGo(FMidi, FAge);
    }
    RtMidiIn &Midi() { return *FMidi; }
    static void OnMessage(double, std::vector<unsigned char> *message, void *user)
    {
        const TJackCallbackScope live;
        if (!live)
            return;
        // RtMidi's thread (on JACK, its process callback) first uses the device here.
        JackTakesOver(user);
        static_cast<TRtIn *>(user)->Receive(message->data(), message->size());
    }

private:
    std::unique_ptr<RtMidiIn> FMidi;
    const unsigned FAge;
};

class TRtOut : public TMidiOutDevice {
public:
    // `revival`: of the JACK services (else null), which outlive the device.
    TRtOut(std::unique_ptr<RtMidiOut> midi, unsigned age, const TJackRevival *revival, TMidiCallback callback,
           void *user)
        : TMidiOutDevice(callback, user), FMidi(std::move(midi)), FAge(age), FRevival(revival)
    {
    }
    ~TRtOut() override { LetGo(FMidi, FAge); }

protected:
    uint32_t Send(const uint8_t *bytes, size_t count) override
    {
        // RtMidi waits for room in its JACK ring, which a server that is gone never empties.
        if (FRevival && FRevival->Stopped())
            return MidiErrNotReady;
        try {
            FMidi->sendMessage(bytes, count);
            return MidiNoError;
        } catch (const RtMidiError &) {
            return MidiErrNotReady;
        }
    }

private:
    std::unique_ptr<RtMidiOut> FMidi;
    const unsigned FAge;
    const TJackRevival *const FRevival;
};

// Thread rules of TMidiServices. Owns its listing clients and its open devices; over JACK
// also the revival that makes the listing clients again after the server returned (the
// keeper of the ports makes the devices again, as for ports that come and go).
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
        if (api == TMidiApi::Jack) {
            // RtMidi's clients take no shutdown callback: the watcher's stands for them all.
            FRevival = std::make_unique<TJackRevival>([this] { ServerStopped(); }, [this] { return ServerReturned(); });
            const bool running = JackServerRuns() && MakeClients(FProblem);
            if (!running && FProblem.isEmpty())
                FProblem = JackNotRunningText();
            FRevival->Start(!running);
            return;
        }
        MakeClients(FProblem);
    }

    ~TRtMidiServices() override
    {
        if (FRevival)
            FRevival->Halt();
        // No news while the devices go.
        FWatch.reset();
        // The devices close RtMidi's ports before the listing clients go.
        CloseDevices();
        LetGo(FInLister, FListerAge);
        LetGo(FOutLister, FListerAge);
    }

    QString Name() const override { return MidiApiName(FApi); }

protected:
    uint32_t MakeOutDevice(uint32_t id, TMidiCallback callback, void *user,
                           std::unique_ptr<TMidiOutDevice> &device) override
    {
        std::unique_lock lock(JackClientsLock());
        const unsigned age = JackOpeningAge();
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
            device = std::make_unique<TRtOut>(std::move(midi), age, FRevival.get(), callback, user);
            return MidiNoError;
        } catch (const RtMidiError &e) {
            return Failed(e);
        }
    }

    uint32_t MakeInDevice(uint32_t id, TMidiCallback callback, void *user,
                          std::unique_ptr<TMidiInDevice> &device) override
    {
        std::unique_lock lock(JackClientsLock());
        const unsigned age = JackOpeningAge();
        try {
            auto midi = std::make_unique<RtMidiIn>(RtApi(FApi), InClientName.toStdString());
            const int index = FindPort(*midi, FInPorts[id]);
            if (index < 0)
                return Gone(FInPorts[id].Name);
            FOpenedTarget = midi->getPortName(unsigned(index));
            // The port filters for itself; RtMidi is to pass everything on.
            midi->ignoreTypes(false, false, false);
            auto in = std::make_unique<TRtIn>(std::move(midi), age, callback, user);
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
        std::lock_guard lock(FClientsLock);
        std::lock_guard jack(JackClientsLock());
        if (!FInLister || !FOutLister || !JackClientAlive(FListerAge))
            return {};
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

    // The listing clients and the watcher; false, with the reason, when the system refuses.
    bool MakeClients(QString &why)
    {
        try {
            std::unique_ptr<RtMidiIn> inLister;
            std::unique_ptr<RtMidiOut> outLister;
            unsigned age;
            {
                std::lock_guard jack(JackClientsLock());
                age = JackOpeningAge();
                inLister = std::make_unique<RtMidiIn>(RtApi(FApi), ListerClientName.toStdString());
                outLister = std::make_unique<RtMidiOut>(RtApi(FApi), ListerClientName.toStdString());
            }
            auto gone = [this](const std::function<bool(const std::string &)> &test) { MarkLost(test); };
            auto changed = [this] { PortsChanged(); };
            auto watch = FApi == TMidiApi::Jack ? MakeJackWatch(gone, changed, FRevival.get())
                                                : MakeAlsaWatch(gone, changed);
            std::lock_guard lock(FClientsLock);
            FInLister = std::move(inLister);
            FOutLister = std::move(outLister);
            FListerAge = age;
            FWatch = std::move(watch);
            return true;
        } catch (const RtMidiError &e) {
            why = FApi == TMidiApi::Alsa
                      ? QStringLiteral("The ALSA sequencer could not be opened (%1). Check the permissions "
                                       "of /dev/snd/seq, or use JACK instead: MidiApi=jack in the Settings "
                                       "section of the settings file, or the option --midi-api jack.")
                      : QStringLiteral("JACK could not be reached (%1). Start a JACK server (jackd, or "
                                       "PipeWire's JACK), or use ALSA: --midi-api alsa or MidiApi=alsa.");
            why = why.arg(QString::fromStdString(e.getMessage()));
            return false;
        }
    }

    // On the revival's thread, as in Korvane's own JACK back end.
    void ServerStopped()
    {
        std::unique_ptr<TPortWatch> watch;
        std::unique_ptr<RtMidiIn> inLister;
        std::unique_ptr<RtMidiOut> outLister;
        {
            std::lock_guard lock(FClientsLock);
            watch = std::move(FWatch);
            inLister = std::move(FInLister);
            outLister = std::move(FOutLister);
        }
        JackServerStopped([&] {
            watch.reset();
            LetGo(inLister, FListerAge);
            LetGo(outLister, FListerAge);
        });
    }

    bool ServerReturned()
    {
        return JackServerReturned([this](QString &why) { return MakeClients(why); });
    }

    const TMidiApi FApi;
    std::mutex FClientsLock; // the listers and the watcher, which the revival replaces
    std::unique_ptr<RtMidiIn> FInLister;
    std::unique_ptr<RtMidiOut> FOutLister;
    unsigned FListerAge = 0;
    std::unique_ptr<TPortWatch> FWatch; // last made, first gone
    std::unique_ptr<TJackRevival> FRevival; // made before any client it watches, gone after them
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
