#include "MidiDevices.h"

#include "JackRevival.h"
#include "PortWatch.h"

#include <algorithm>
#include <cstring>

// Microseconds since start outgrow 32 bits in 72 minutes.
static_assert(sizeof(uintptr_t) >= sizeof(uint64_t), "the callback's time stamp needs 64 bits");

void TMidiInDevice::Report(uint32_t message, uintptr_t param1)
{
    using namespace std::chrono;
    const auto us = uintptr_t(duration_cast<microseconds>(steady_clock::now() - FStartTime).count());
    FCallback(Handle(), message, FUser, param1, us);
}

void TMidiInDevice::Receive(const uint8_t *bytes, size_t count)
{
    if (count == 0)
        return;
    std::lock_guard lock(FLock);
    if (FShut || !FStarted)
        return;
    if (bytes[0] != 0xF0) {
        uint32_t packed = bytes[0];
        if (count > 1)
            packed |= uint32_t(bytes[1]) << 8;
        if (count > 2)
            packed |= uint32_t(bytes[2]) << 16;
        Report(MimData, packed);
        return;
    }
    size_t done = 0;
    while (done < count && FFirst != nullptr) {
        TMidiHeader *h = FFirst;
        FFirst = h->Next;
        if (FFirst == nullptr)
            FLast = nullptr;
        h->Next = nullptr;
        const size_t n = std::min<size_t>(count - done, h->BufferLength);
        std::memcpy(h->Data, bytes + done, n);
        h->BytesRecorded = uint32_t(n);
        h->Flags = (h->Flags & ~MidiHdrInQueue) | MidiHdrDone;
        done += n;
        Report(MimLongData, uintptr_t(h));
    }
}

uint32_t TMidiInDevice::Start()
{
    std::lock_guard lock(FLock);
    if (!FStarted) {
        FStarted = true;
        FStartTime = std::chrono::steady_clock::now();
    }
    return MidiNoError;
}

uint32_t TMidiInDevice::Stop()
{
    std::lock_guard lock(FLock);
    FStarted = false;
    return MidiNoError;
}

uint32_t TMidiInDevice::Reset()
{
    std::lock_guard lock(FLock);
    FStarted = false;
    while (FFirst != nullptr) {
        TMidiHeader *h = FFirst;
        FFirst = h->Next;
        h->Next = nullptr;
        h->BytesRecorded = 0;
        h->Flags = (h->Flags & ~MidiHdrInQueue) | MidiHdrDone;
    }
    FLast = nullptr;
    return MidiNoError;
}

uint32_t TMidiInDevice::AddBuffer(TMidiHeader *header)
{
    if (header == nullptr || header->Data == nullptr || header->BufferLength == 0)
        return MidiErrInvalidParam;
    if ((header->Flags & MidiHdrPrepared) == 0)
        return MidiErrUnprepared;
    std::lock_guard lock(FLock);
    if ((header->Flags & MidiHdrInQueue) != 0)
        return MidiErrStillPlaying;
    if (FShut)
        return MidiErrInvalidHandle;
    header->Next = nullptr;
    header->BytesRecorded = 0;
    header->Flags = (header->Flags & ~MidiHdrDone) | MidiHdrInQueue;
    if (FLast != nullptr)
        FLast->Next = header;
    else
        FFirst = header;
    FLast = header;
    return MidiNoError;
}

void TMidiInDevice::Shut()
{
    std::lock_guard lock(FLock);
    FShut = true;
    FStarted = false;
}

int TMidiInDevice::LentBuffers() const
{
    std::lock_guard lock(FLock);
    int n = 0;
    for (const TMidiHeader *h = FFirst; h != nullptr; h = h->Next)
        ++n;
    return n;
}

uint32_t TMidiOutDevice::ShortMsg(uint32_t message)
{
    uint8_t bytes[3];
    const int count = ShortMessageBytes(message, bytes);
    if (count == 0)
        return MidiErrNoStatus;
    return Send(bytes, size_t(count));
}

uint32_t TMidiOutDevice::LongMsg(TMidiHeader *header)
{
    if (header == nullptr || header->Data == nullptr || header->BufferLength == 0)
        return MidiErrInvalidParam;
    if ((header->Flags & MidiHdrPrepared) == 0)
        return MidiErrUnprepared;
    header->Flags &= ~MidiHdrDone;
    if (const uint32_t r = Send(header->Data, header->BufferLength); r != MidiNoError)
        return r;
    header->Flags |= MidiHdrDone;
    FCallback(Handle(), MomDone, FUser, uintptr_t(header), 0);
    return MidiNoError;
}

TMidiDeviceServices::~TMidiDeviceServices()
{
    // Devices left open by their users still must stop calling back before they go.
    for (auto &[handle, device] : FInDevices)
        device->Shut();
}

uint32_t TMidiDeviceServices::OutOpen(TMidiHandle &handle, uint32_t id, TMidiCallback callback, void *user)
{
    handle = 0;
    std::unique_ptr<TMidiOutDevice> device;
    if (const uint32_t r = MakeOutDevice(id, callback, user, device); r != MidiNoError)
        return r;
    std::lock_guard lock(FDevicesLock);
    handle = device->Handle();
    FDeviceIds[handle] = id;
    FOutDevices[handle] = std::move(device);
    // Korvane's own port is tracked too, with no target: it goes when its system stops.
    Track(handle, id == MidiMapper ? std::string() : OutTarget(id));
    return MidiNoError;
}

uint32_t TMidiDeviceServices::OutClose(TMidiHandle handle)
{
    std::unique_ptr<TMidiOutDevice> device;
    {
        std::lock_guard lock(FDevicesLock);
        auto it = FOutDevices.find(handle);
        if (it == FOutDevices.end())
            return MidiErrInvalidHandle;
        device = std::move(it->second);
        FOutDevices.erase(it);
        FDeviceIds.erase(handle);
    }
    Untrack(handle);
    return MidiNoError;
}

uint32_t TMidiDeviceServices::OutShortMsg(TMidiHandle handle, uint32_t message)
{
    // No lookup under the lock: the patches' thread sends, and the caller keeps the handle open.
    if (handle == 0)
        return MidiErrInvalidHandle;
    return reinterpret_cast<TMidiOutDevice *>(handle)->ShortMsg(message);
}

uint32_t TMidiDeviceServices::OutLongMsg(TMidiHandle handle, TMidiHeader *header)
{
    if (handle == 0)
        return MidiErrInvalidHandle;
    return reinterpret_cast<TMidiOutDevice *>(handle)->LongMsg(header);
}

uint32_t TMidiDeviceServices::InOpen(TMidiHandle &handle, uint32_t id, TMidiCallback callback, void *user)
{
    handle = 0;
    std::unique_ptr<TMidiInDevice> device;
    if (const uint32_t r = MakeInDevice(id, callback, user, device); r != MidiNoError)
        return r;
    std::lock_guard lock(FDevicesLock);
    handle = device->Handle();
    FDeviceIds[handle] = id;
    FInDevices[handle] = std::move(device);
    Track(handle, InTarget(id));
    return MidiNoError;
}

uint32_t TMidiDeviceServices::InClose(TMidiHandle handle)
{
    std::unique_ptr<TMidiInDevice> device;
    {
        std::lock_guard lock(FDevicesLock);
        auto it = FInDevices.find(handle);
        if (it == FInDevices.end())
            return MidiErrInvalidHandle;
        if (it->second->LentBuffers() > 0)
            return MidiErrStillPlaying;
        it->second->Shut();
        device = std::move(it->second);
        FInDevices.erase(it);
        FDeviceIds.erase(handle);
    }
    Untrack(handle);
    return MidiNoError; // the device goes here, outside the lock: a back end may join its thread
}

void TMidiDeviceServices::CloseDevices()
{
    for (auto &[handle, device] : FInDevices)
        device->Shut();
    FInDevices.clear();
    FOutDevices.clear();
}

TMidiInDevice *TMidiDeviceServices::FindIn(TMidiHandle handle) const
{
    std::lock_guard lock(FDevicesLock);
    auto it = FInDevices.find(handle);
    return it == FInDevices.end() ? nullptr : it->second.get();
}

uint32_t TMidiDeviceServices::InStart(TMidiHandle handle)
{
    TMidiInDevice *d = FindIn(handle);
    return d ? d->Start() : uint32_t(MidiErrInvalidHandle);
}

uint32_t TMidiDeviceServices::InStop(TMidiHandle handle)
{
    TMidiInDevice *d = FindIn(handle);
    return d ? d->Stop() : uint32_t(MidiErrInvalidHandle);
}

uint32_t TMidiDeviceServices::InReset(TMidiHandle handle)
{
    TMidiInDevice *d = FindIn(handle);
    return d ? d->Reset() : uint32_t(MidiErrInvalidHandle);
}

uint32_t TMidiDeviceServices::InAddBuffer(TMidiHandle handle, TMidiHeader *header)
{
    TMidiInDevice *d = FindIn(handle);
    return d ? d->AddBuffer(header) : uint32_t(MidiErrInvalidHandle);
}

void TMidiDeviceServices::Track(TMidiHandle handle, std::string target)
{
    std::lock_guard lock(FTargetsLock);
    FTargets[handle] = {std::move(target), false};
}

void TMidiDeviceServices::Untrack(TMidiHandle handle)
{
    std::lock_guard lock(FTargetsLock);
    FTargets.erase(handle);
}

void TMidiDeviceServices::MarkLost(const std::function<bool(const std::string &)> &gone)
{
    std::lock_guard lock(FTargetsLock);
    for (auto &[handle, target] : FTargets)
        if (!target.Full.empty() && gone(target.Full))
            target.Lost = true;
}

void TMidiDeviceServices::MarkAllLost()
{
    std::lock_guard lock(FTargetsLock);
    for (auto &[handle, target] : FTargets)
        target.Lost = true;
}

bool TMidiDeviceServices::PortLost(TMidiHandle handle) const
{
    std::lock_guard lock(FTargetsLock);
    auto it = FTargets.find(handle);
    return it != FTargets.end() && it->second.Lost;
}

QString TSystemMidiServices::Problem() const
{
    std::lock_guard lock(FTextLock);
    return FProblem;
}

void TSystemMidiServices::SetProblem(const QString &problem)
{
    std::lock_guard lock(FTextLock);
    FProblem = problem;
}

uint32_t TSystemMidiServices::OutGetNumDevs()
{
    FOutPorts = Problem().isEmpty() ? ListPorts(true) : std::vector<TMidiPortName>{};
    return uint32_t(FOutPorts.size());
}

uint32_t TSystemMidiServices::OutGetDevCaps(uint32_t id, TMidiOutCaps &caps)
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

uint32_t TSystemMidiServices::InGetNumDevs()
{
    FInPorts = Problem().isEmpty() ? ListPorts(false) : std::vector<TMidiPortName>{};
    return uint32_t(FInPorts.size());
}

uint32_t TSystemMidiServices::InGetDevCaps(uint32_t id, TMidiInCaps &caps)
{
    caps = TMidiInCaps{};
    if (id >= FInPorts.size())
        return MidiErrBadDeviceId;
    caps.Name = FInPorts[id].Name;
    return MidiNoError;
}

uint32_t TSystemMidiServices::OutOpen(TMidiHandle &handle, uint32_t id, TMidiCallback callback, void *user)
{
    handle = 0;
    if (!Problem().isEmpty())
        return MidiErrNoDriver;
    if (id != MidiMapper && id >= FOutPorts.size())
        return Plain(MidiErrBadDeviceId);
    return TMidiDeviceServices::OutOpen(handle, id, callback, user);
}

uint32_t TSystemMidiServices::InOpen(TMidiHandle &handle, uint32_t id, TMidiCallback callback, void *user)
{
    handle = 0;
    if (!Problem().isEmpty())
        return MidiErrNoDriver;
    if (id >= FInPorts.size())
        return Plain(MidiErrBadDeviceId);
    return TMidiDeviceServices::InOpen(handle, id, callback, user);
}

uint32_t TSystemMidiServices::Failed(uint32_t code, const QString &text)
{
    std::lock_guard lock(FTextLock);
    FTexts[code] = text;
    return code;
}

uint32_t TSystemMidiServices::Plain(uint32_t code)
{
    std::lock_guard lock(FTextLock);
    FTexts.erase(code);
    return code;
}

uint32_t TSystemMidiServices::Gone(const QString &name)
{
    return Failed(MidiErrBadDeviceId, QStringLiteral("The MIDI port %1 is no longer there.").arg(name));
}

bool TSystemMidiServices::ErrorText(uint32_t code, QString &text)
{
    {
        std::lock_guard lock(FTextLock);
        if (code == MidiErrNoDriver && !FProblem.isEmpty()) {
            text = FProblem;
            return true;
        }
        if (auto it = FTexts.find(code); it != FTexts.end()) {
            text = it->second;
            return true;
        }
    }
    return StandardErrorText(code, text);
}

void TSystemMidiServices::JackServerStopped(const std::function<void()> &letGo)
{
    SetProblem(JackStuck() ? QString::fromUtf8(JackStuckText()) : JackStoppedText());
    MarkAllLost();
    letGo();
    PortsChanged();
}

bool TSystemMidiServices::JackServerReturned(const std::function<bool(QString &why)> &makeClients)
{
    if (JackStuck())
        SetProblem(QString::fromUtf8(JackStuckText()));
    QString why;
    if (!JackServerRuns() || !makeClients(why))
        return false;
    SetProblem({});
    PortsChanged();
    return true;
}
