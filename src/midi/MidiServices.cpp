#include "MidiServices.h"

#include "LoopbackMidi.h"

#include <QRegularExpression>

uint32_t TMidiServices::OutPrepareHeader(TMidiHandle handle, TMidiHeader *header)
{
    if (handle == 0)
        return MidiErrInvalidHandle;
    if (header == nullptr || header->Data == nullptr || header->BufferLength == 0)
        return MidiErrInvalidParam;
    header->Flags = (header->Flags & ~MidiHdrDone) | MidiHdrPrepared;
    return MidiNoError;
}

uint32_t TMidiServices::OutUnprepareHeader(TMidiHandle handle, TMidiHeader *header)
{
    if (handle == 0)
        return MidiErrInvalidHandle;
    if (header == nullptr)
        return MidiErrInvalidParam;
    header->Flags &= ~MidiHdrPrepared;
    return MidiNoError;
}

uint32_t TMidiServices::InPrepareHeader(TMidiHandle handle, TMidiHeader *header)
{
    return OutPrepareHeader(handle, header);
}

uint32_t TMidiServices::InUnprepareHeader(TMidiHandle handle, TMidiHeader *header)
{
    if (header != nullptr && (header->Flags & MidiHdrInQueue) != 0)
        return MidiErrStillPlaying;
    return OutUnprepareHeader(handle, header);
}

bool TMidiServices::OutGetErrorText(uint32_t code, QString &text)
{
    return StandardErrorText(code, text);
}

bool TMidiServices::InGetErrorText(uint32_t code, QString &text)
{
    return StandardErrorText(code, text);
}

int TMidiServices::AddPortsListener(std::function<void()> listener)
{
    std::lock_guard lock(FListenersLock);
    FListeners[++FLastListener] = std::move(listener);
    return FLastListener;
}

void TMidiServices::RemovePortsListener(int id)
{
    std::lock_guard lock(FListenersLock);
    FListeners.erase(id);
}

void TMidiServices::PortsChanged()
{
    std::lock_guard lock(FListenersLock);
    for (const auto &[id, listener] : FListeners)
        listener();
}

bool TMidiServices::PortLost(TMidiHandle) const
{
    return false;
}

bool TMidiServices::StandardErrorText(uint32_t code, QString &text)
{
    switch (code) {
    case MidiNoError: text = QStringLiteral("The operation completed successfully."); return true;
    case MidiErrUnspecified: text = QStringLiteral("Unspecified MIDI error."); return true;
    case MidiErrBadDeviceId: text = QStringLiteral("The MIDI device number is out of range."); return true;
    case MidiErrAllocated: text = QStringLiteral("The MIDI device is already in use."); return true;
    case MidiErrInvalidHandle: text = QStringLiteral("The MIDI device handle is invalid."); return true;
    case MidiErrNoDriver: text = QStringLiteral("No MIDI system is available."); return true;
    case MidiErrNoMemory: text = QStringLiteral("Unable to allocate memory for MIDI."); return true;
    case MidiErrInvalidParam: text = QStringLiteral("An invalid parameter was passed to a MIDI service."); return true;
    case MidiErrUnprepared: text = QStringLiteral("The MIDI buffer has not been prepared."); return true;
    case MidiErrStillPlaying: text = QStringLiteral("The MIDI buffer is still in use by the device."); return true;
    case MidiErrNotReady: text = QStringLiteral("The MIDI device is busy with other data."); return true;
    case MidiErrNoStatus: text = QStringLiteral("The MIDI message has no status byte."); return true;
    case MidiErrTooLong: text = QStringLiteral("The MIDI message is longer than the MIDI system carries."); return true;
    default: return false;
    }
}

std::optional<TMidiApi> MidiApiFromName(const QString &name)
{
    const QString n = name.trimmed().toLower();
    if (n == QLatin1String("alsa"))
        return TMidiApi::Alsa;
    if (n == QLatin1String("jack"))
        return TMidiApi::Jack;
    return std::nullopt;
}

QString MidiApiName(TMidiApi api)
{
    return api == TMidiApi::Jack ? QStringLiteral("jack") : QStringLiteral("alsa");
}

namespace {
std::shared_ptr<TMidiServices> &Installed()
{
    static std::shared_ptr<TMidiServices> services;
    return services;
}
} // namespace

std::shared_ptr<TMidiServices> MidiServices()
{
    if (!Installed())
        Installed() = CreateRtMidiServices(TMidiApi::Alsa);
    return Installed();
}

void SetMidiServices(std::shared_ptr<TMidiServices> services)
{
    Installed() = std::move(services);
}

namespace {
bool IsLoopbackName(const QString &name)
{
    return name.trimmed().compare(QLatin1String("loopback"), Qt::CaseInsensitive) == 0;
}
} // namespace

bool IsMidiApiName(const QString &name)
{
    return MidiApiFromName(name) || IsLoopbackName(name);
}

QString JackNotRunningText()
{
    return QStringLiteral("No JACK server is running. Start one (jackd -d dummy &, jackd -d alsa for a sound card, "
                          "or qjackctl), or use ALSA: --midi-api alsa, or MidiApi=alsa in the settings file.");
}

QString JackStoppedText()
{
    return QStringLiteral("JACK server stopped: waiting for it");
}

bool UseMidiApi(const QString &name)
{
    if (IsLoopbackName(name)) {
        SetMidiServices(std::make_shared<TLoopbackMidi>());
        return true;
    }
    const std::optional<TMidiApi> api = MidiApiFromName(name);
    if (!api)
        return false;
    SetMidiServices(CreateMidiServices(*api));
    return true;
}

std::shared_ptr<TMidiServices> CreateMidiServices(TMidiApi api)
{
    if (api == TMidiApi::Alsa)
        return CreateRtMidiServices(api);
    std::shared_ptr<TMidiServices> native = CreateJackMidiServices();
    if (native->Problem().isEmpty())
        return native;
    std::shared_ptr<TMidiServices> viaRtMidi = CreateRtMidiServices(api);
    return viaRtMidi->Problem().isEmpty() ? viaRtMidi : native;
}

namespace {
// The epoch stands for "none set".
thread_local std::chrono::steady_clock::time_point SendTime{};
} // namespace

TMidiSendTime::TMidiSendTime(std::chrono::steady_clock::time_point due) : FOuter(SendTime)
{
    SendTime = due;
}

TMidiSendTime::~TMidiSendTime()
{
    SendTime = FOuter;
}

std::chrono::steady_clock::time_point TMidiSendTime::Now()
{
    return SendTime == std::chrono::steady_clock::time_point{} ? std::chrono::steady_clock::now() : SendTime;
}

int ShortMessageBytes(uint32_t message, uint8_t bytes[3])
{
    const uint8_t status = message & 0xFF;
    if (status < 0x80 || status == 0xF0 || status == 0xF7)
        return 0;
    int count;
    if (status < 0xF0)
        count = (status & 0xE0) == 0xC0 ? 2 : 3; // program change and channel pressure have one data byte
    else if (status == 0xF1 || status == 0xF3)
        count = 2;
    else if (status == 0xF2)
        count = 3;
    else
        count = 1;
    bytes[0] = status;
    bytes[1] = (message >> 8) & 0x7F;
    bytes[2] = (message >> 16) & 0x7F;
    return count;
}

std::vector<TMidiPortName> MidiPortNames(const std::vector<std::string> &systemNames)
{
    // Korvane's own ports are never offered: choosing one would wire Korvane to itself.
    static const QRegularExpression ownPort(QStringLiteral("^Korvane( In)?(-\\d+)?:"));
    static const QRegularExpression sessionNumbers(QStringLiteral("\\s+\\d+:\\d+$"));
    std::vector<TMidiPortName> ports;
    for (const std::string &full : systemNames) {
        QString name = QString::fromStdString(full);
        if (name.isEmpty() || ownPort.match(name).hasMatch())
            continue;
        name.remove(sessionNumbers);
        int same = 1;
        for (const TMidiPortName &p : ports)
            if (p.Name == name || p.Name.startsWith(name + QStringLiteral(" #")))
                ++same;
        if (same > 1)
            name += QStringLiteral(" #%1").arg(same);
        ports.push_back({name, full});
    }
    return ports;
}
