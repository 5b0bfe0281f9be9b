// The MIDI services the ports are written against: numbered devices, open and close, short and
// long output with completion, system-exclusive buffers lent to an input device, and one callback.
#pragma once

#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Results of every service call: 0 is success, anything else names the failure.
enum TMidiResult : uint32_t {
    MidiNoError = 0,
    MidiErrUnspecified = 1,
    MidiErrBadDeviceId = 2,
    MidiErrAllocated = 4,
    MidiErrInvalidHandle = 5,
    MidiErrNoDriver = 6,
    MidiErrNoMemory = 7,
    MidiErrInvalidParam = 11,
    MidiErrUnprepared = 64,
    MidiErrStillPlaying = 65,
    MidiErrNotReady = 67,
    MidiErrNoStatus = 70, // a short message whose first byte is no status byte
    MidiErrTooLong = 71,  // a message longer than the MIDI system carries
};

// Message numbers of the callback. The ports post the same numbers to their own windows.
enum TMidiMessageNumber : uint32_t {
    MimData = 963,      // short input: parameter 1 packed message, parameter 2 us since start
    MimLongData = 964,  // filled system-exclusive buffer: parameter 1 its header
    MimError = 965,     // malformed short input (never reported by Korvane's back ends)
    MimLongError = 966, // system-exclusive buffer with an error: parameter 1 its header
    MomDone = 969,      // long output delivered: parameter 1 its header
    MimOverflow = 1024, // posted by an input port whose ring is full
};

// Device number of the mapper: Korvane's own output port that other programs connect to.
constexpr uint32_t MidiMapper = 0xFFFFFFFF;
// Name of the mapper port and of Korvane's clients in the MIDI system.
inline const QString MidiClientName = QStringLiteral("Korvane");

enum TMidiHeaderFlag : uint32_t {
    MidiHdrDone = 1,     // the device is finished with the buffer
    MidiHdrPrepared = 2, // prepared for use with a device
    MidiHdrInQueue = 4,  // lent to an input device, waiting to be filled
};

// One buffer of long MIDI data lent to a device. The owner keeps it alive while the device
// holds it; `User` is the owner's own (the port stores its TMyMidiHdr there).
struct TMidiHeader {
    uint8_t *Data = nullptr;
    uint32_t BufferLength = 0;
    uint32_t BytesRecorded = 0; // filled bytes of an input buffer
    void *User = nullptr;
    uint32_t Flags = 0;         // TMidiHeaderFlag bits
    TMidiHeader *Next = nullptr; // the input device's queue link; the device's own
};

// Kinds of output device.
enum TMidiTechnology : uint16_t {
    MidiTechPort = 1,
    MidiTechSynth = 2,
    MidiTechSquareWave = 3,
    MidiTechFmSynth = 4,
    MidiTechMapper = 5,
};

struct TMidiOutCaps {
    uint16_t Mid = 0, Pid = 0; // manufacturer and product ids; 0 where the system has none
    uint32_t DriverVersion = 0;
    QString Name;
    uint16_t Technology = MidiTechPort;
    uint16_t Voices = 0, Notes = 0;
    uint16_t ChannelMask = 0xFFFF;
    uint32_t Support = 0;
};

struct TMidiInCaps {
    uint16_t Mid = 0, Pid = 0;
    uint32_t DriverVersion = 0;
    QString Name;
    uint32_t Support = 0;
};

// Handle of an open device; 0 is none.
using TMidiHandle = uintptr_t;

// The callback of an open device: (handle, message number, the user value given to Open,
// parameter 1, parameter 2). Runs on a thread of the back end (or on the caller's thread for
// output completion); it must return quickly and must not call back into the services.
using TMidiCallback = void (*)(TMidiHandle, uint32_t, void *, uintptr_t, uintptr_t);

// Thread rules: device lists, capabilities, opening, closing, start, stop, reset, buffer
// preparation and error texts on the user-interface thread; OutShortMsg and OutLongMsg on the
// thread that runs the patches, one at a time per handle; InAddBuffer from the thread that
// takes the events. A handle stays valid until it is closed; a closed device calls back no more.
class TMidiServices {
public:
    virtual ~TMidiServices() = default;

    // Which MIDI system this is: "alsa", "jack" or "loopback".
    virtual QString Name() const = 0;
    // Why the MIDI system cannot be used at all (empty when it can): shown to the user.
    virtual QString Problem() const { return {}; }

    virtual uint32_t OutGetNumDevs() = 0;
    // Device 0 .. OutGetNumDevs()-1, or MidiMapper.
    virtual uint32_t OutGetDevCaps(uint32_t id, TMidiOutCaps &caps) = 0;
    virtual uint32_t OutOpen(TMidiHandle &handle, uint32_t id, TMidiCallback callback, void *user) = 0;
    virtual uint32_t OutClose(TMidiHandle handle) = 0;
    // status + data1 * 256 + data2 * 65536; sent at once.
    virtual uint32_t OutShortMsg(TMidiHandle handle, uint32_t message) = 0;
    virtual uint32_t OutPrepareHeader(TMidiHandle handle, TMidiHeader *header);
    virtual uint32_t OutUnprepareHeader(TMidiHandle handle, TMidiHeader *header);
    // Sends BufferLength bytes of a prepared header; MomDone reports it done.
    virtual uint32_t OutLongMsg(TMidiHandle handle, TMidiHeader *header) = 0;
    // False when the code has no text.
    virtual bool OutGetErrorText(uint32_t code, QString &text);

    virtual uint32_t InGetNumDevs() = 0;
    virtual uint32_t InGetDevCaps(uint32_t id, TMidiInCaps &caps) = 0;
    virtual uint32_t InOpen(TMidiHandle &handle, uint32_t id, TMidiCallback callback, void *user) = 0;
    virtual uint32_t InClose(TMidiHandle handle) = 0;
    virtual uint32_t InStart(TMidiHandle handle) = 0;
    virtual uint32_t InStop(TMidiHandle handle) = 0;
    // Stops and takes back every lent buffer (marked done, nothing recorded).
    virtual uint32_t InReset(TMidiHandle handle) = 0;
    virtual uint32_t InPrepareHeader(TMidiHandle handle, TMidiHeader *header);
    virtual uint32_t InUnprepareHeader(TMidiHandle handle, TMidiHeader *header);
    // Lends a prepared buffer, its recorded count back at 0; incoming system-exclusive data
    // fills lent buffers in order.
    virtual uint32_t InAddBuffer(TMidiHandle handle, TMidiHeader *header) = 0;
    virtual bool InGetErrorText(uint32_t code, QString &text);

    // Ports of other programs come and go. A listener runs whenever one appears, goes or is
    // renamed: on a thread of the back end (or the caller's), so it must return quickly and
    // must not call the services. Once RemovePortsListener has returned it runs no more. The
    // number identifies it for the removal. Any thread.
    int AddPortsListener(std::function<void()> listener);
    void RemovePortsListener(int id);
    // Whether the port an open device reached went away after it was opened. It stays lost when
    // a port of the same name comes back, as the system does not join the two again: close the
    // device and open it anew. Any thread.
    virtual bool PortLost(TMidiHandle handle) const;

protected:
    // Korvane's texts for the codes its back ends return; false for other codes.
    static bool StandardErrorText(uint32_t code, QString &text);
    // Tells every listener. Any thread.
    void PortsChanged();

private:
    std::mutex FListenersLock;
    std::map<int, std::function<void()>> FListeners;
    int FLastListener = 0;
};

// The back ends over RtMidi.
enum class TMidiApi { Alsa, Jack };

// "alsa" or "jack" (any letter case); nothing for other names.
std::optional<TMidiApi> MidiApiFromName(const QString &name);
QString MidiApiName(TMidiApi api);

// MIDI over the ALSA sequencer or JACK, through RtMidi. Never raises: a system that cannot be
// reached lists no devices, explains itself in Problem() and fails to open with that text.
// `alsaSequencer` is the sequencer's device file, checked before ALSA is asked for anything.
std::shared_ptr<TMidiServices> CreateRtMidiServices(TMidiApi api,
                                                    const QString &alsaSequencer = QStringLiteral("/dev/snd/seq"));

// MIDI over JACK through clients of Korvane's own: each message plays at its own frame, its
// send time (TMidiSendTime) plus one constant latency, and incoming messages reach the ports at
// the time of their frames. Never raises: without a server it lists no devices and explains
// itself in Problem(), as CreateRtMidiServices does.
std::shared_ptr<TMidiServices> CreateJackMidiServices();
// The JACK output's latency past one period. A message due just before a cycle starts is sent
// by a tick that may wake a little after that start, when the cycle has already taken what was
// there: without this room such a message would play a whole period late.
inline constexpr std::chrono::microseconds JackLateTickMargin{1000};
// The services of `api`: ALSA through RtMidi; JACK through Korvane's own clients, or through
// RtMidi when those cannot start.
std::shared_ptr<TMidiServices> CreateMidiServices(TMidiApi api);

// The time the messages sent on this thread belong to, for as long as this object lives. The
// tick sets its deadline here, so that a back end that plays each message at its own time
// (JACK) keeps the tick's grid however late the tick woke. Elsewhere messages are due when
// sent. Back ends that send at once ignore it.
class TMidiSendTime {
public:
    explicit TMidiSendTime(std::chrono::steady_clock::time_point due);
    ~TMidiSendTime();
    TMidiSendTime(const TMidiSendTime &) = delete;
    TMidiSendTime &operator=(const TMidiSendTime &) = delete;
    // The time set on this thread, else now.
    static std::chrono::steady_clock::time_point Now();

private:
    std::chrono::steady_clock::time_point FOuter; // restored when this one ends
};

// A port of the MIDI system as Korvane lists it: the name a user sees and the settings file
// keeps, and the system's full name.
struct TMidiPortName {
    QString Name;
    std::string Full;
};
// The system's port names, in order, as Korvane lists them: ALSA's trailing "client:port"
// numbers (which change from session to session) removed, Korvane's own ports left out, and
// repeated names told apart by " #2", " #3" ... in their order.
std::vector<TMidiPortName> MidiPortNames(const std::vector<std::string> &systemNames);

// The services the ports use when none is given: installed by the application at start; on
// first use without one, RtMidi over the ALSA sequencer. User-interface thread only.
std::shared_ptr<TMidiServices> MidiServices();
void SetMidiServices(std::shared_ptr<TMidiServices> services);
// Installs RtMidi with the named API ("alsa" or "jack"), or in-process loopback devices for
// "loopback" (nothing leaves Korvane: for timing a headless run where there is no MIDI
// system); false (and nothing changes) for any other name.
bool UseMidiApi(const QString &name);
bool IsMidiApiName(const QString &name);

// Why the JACK back end cannot be used: no server answers. One line, with how to start one.
QString JackNotRunningText();
// Why it cannot be used for now: the server it ran with stopped, and Korvane looks for it
// every second.
QString JackStoppedText();
// The back ends this machine's RtMidi was built with, ALSA first.
std::vector<TMidiApi> AvailableMidiApis();

// The bytes of a packed short message: returns their number (1 to 3), or 0 when the first
// byte is no status byte or starts a system-exclusive message. Data bytes keep 7 bits.
int ShortMessageBytes(uint32_t message, uint8_t bytes[3]);
