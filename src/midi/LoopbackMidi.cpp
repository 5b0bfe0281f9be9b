#include "LoopbackMidi.h"

// An output that records what it is given.
class TLoopbackMidi::TOut : public TMidiOutDevice {
public:
    TOut(TLoopbackMidi &owner, uint32_t id, TMidiCallback callback, void *user)
        : TMidiOutDevice(callback, user), FOwner(owner), FId(id)
    {
    }

protected:
    uint32_t Send(const uint8_t *bytes, size_t count) override
    {
        FOwner.Record(FId, bytes, count);
        return MidiNoError;
    }

private:
    TLoopbackMidi &FOwner;
    const uint32_t FId;
};

TLoopbackMidi::TLoopbackMidi(QStringList inputs, QStringList outputs)
    : FInputs(std::move(inputs)), FOutputs(std::move(outputs))
{
}

TLoopbackMidi::~TLoopbackMidi() = default;

void TLoopbackMidi::SetInputs(QStringList names)
{
    FInputs = std::move(names);
    Announce();
}

void TLoopbackMidi::SetOutputs(QStringList names)
{
    FOutputs = std::move(names);
    Announce();
}

void TLoopbackMidi::Announce()
{
    MarkLost([this](const std::string &target) {
        const QString name = QString::fromStdString(target);
        return !FInputs.contains(name) && !FOutputs.contains(name);
    });
    PortsChanged();
}

std::string TLoopbackMidi::OutTarget(uint32_t id) const
{
    return id < uint32_t(FOutputs.size()) ? FOutputs.at(int(id)).toStdString() : std::string();
}

std::string TLoopbackMidi::InTarget(uint32_t id) const
{
    return id < uint32_t(FInputs.size()) ? FInputs.at(int(id)).toStdString() : std::string();
}

TMidiInDevice *TLoopbackMidi::OpenInput(uint32_t input) const
{
    for (const auto &[handle, id] : FDeviceIds)
        if (id == input && FInDevices.count(handle) != 0)
            return FInDevices.at(handle).get();
    return nullptr;
}

bool TLoopbackMidi::Inject(uint32_t input, std::vector<uint8_t> bytes)
{
    // Held while the device receives, so that it cannot be closed under it.
    std::lock_guard lock(FDevicesLock);
    TMidiInDevice *d = OpenInput(input);
    if (d == nullptr)
        return false;
    d->Receive(bytes.data(), bytes.size());
    return true;
}

void TLoopbackMidi::Record(uint32_t output, const uint8_t *bytes, size_t count)
{
    uint32_t input = 0;
    bool wired = false;
    {
        std::lock_guard lock(FLock);
        FSent[output].emplace_back(bytes, bytes + count);
        if (auto it = FWires.find(output); it != FWires.end()) {
            wired = true;
            input = it->second;
        }
    }
    if (wired)
        Inject(input, std::vector<uint8_t>(bytes, bytes + count));
}

std::vector<std::vector<uint8_t>> TLoopbackMidi::Sent(uint32_t output) const
{
    std::lock_guard lock(FLock);
    auto it = FSent.find(output);
    return it == FSent.end() ? std::vector<std::vector<uint8_t>>{} : it->second;
}

void TLoopbackMidi::ClearSent()
{
    std::lock_guard lock(FLock);
    FSent.clear();
}

void TLoopbackMidi::Wire(uint32_t output, uint32_t input)
{
    std::lock_guard lock(FLock);
    FWires[output] = input;
}

void TLoopbackMidi::FailNext(TLoopbackCall call, uint32_t code)
{
    std::lock_guard lock(FLock);
    FFailures[call] = code;
}

uint32_t TLoopbackMidi::TakeFailure(TLoopbackCall call)
{
    std::lock_guard lock(FLock);
    auto it = FFailures.find(call);
    if (it == FFailures.end())
        return MidiNoError;
    const uint32_t code = it->second;
    FFailures.erase(it);
    return code;
}

int TLoopbackMidi::LentBuffers(uint32_t input) const
{
    std::lock_guard lock(FDevicesLock);
    const TMidiInDevice *d = OpenInput(input);
    return d ? d->LentBuffers() : -1;
}

int TLoopbackMidi::OpenDevices() const
{
    std::lock_guard lock(FDevicesLock);
    return int(FInDevices.size() + FOutDevices.size());
}

uint32_t TLoopbackMidi::OutGetNumDevs()
{
    return uint32_t(FOutputs.size());
}

uint32_t TLoopbackMidi::OutGetDevCaps(uint32_t id, TMidiOutCaps &caps)
{
    if (const uint32_t r = TakeFailure(TLoopbackCall::OutGetDevCaps))
        return r;
    if (id == MidiMapper) {
        caps = TMidiOutCaps{};
        caps.Name = MidiClientName;
        caps.Technology = MidiTechMapper;
        return MidiNoError;
    }
    if (id >= uint32_t(FOutputs.size()))
        return MidiErrBadDeviceId;
    caps = TMidiOutCaps{};
    caps.Name = FOutputs.at(int(id));
    caps.Mid = 0x7D; // the id kept for non-commercial use
    caps.Pid = uint16_t(id + 1);
    caps.DriverVersion = 0x0100;
    return MidiNoError;
}

uint32_t TLoopbackMidi::MakeOutDevice(uint32_t id, TMidiCallback callback, void *user,
                                      std::unique_ptr<TMidiOutDevice> &device)
{
    if (id != MidiMapper && id >= uint32_t(FOutputs.size()))
        return MidiErrBadDeviceId;
    device = std::make_unique<TOut>(*this, id, callback, user);
    return MidiNoError;
}

uint32_t TLoopbackMidi::OutOpen(TMidiHandle &handle, uint32_t id, TMidiCallback callback, void *user)
{
    handle = 0;
    if (const uint32_t r = TakeFailure(TLoopbackCall::OutOpen))
        return r;
    return TMidiDeviceServices::OutOpen(handle, id, callback, user);
}

uint32_t TLoopbackMidi::OutClose(TMidiHandle handle)
{
    if (const uint32_t r = TakeFailure(TLoopbackCall::OutClose))
        return r;
    return TMidiDeviceServices::OutClose(handle);
}

uint32_t TLoopbackMidi::OutShortMsg(TMidiHandle handle, uint32_t message)
{
    if (const uint32_t r = TakeFailure(TLoopbackCall::OutShortMsg))
        return r;
    return TMidiDeviceServices::OutShortMsg(handle, message);
}

uint32_t TLoopbackMidi::OutPrepareHeader(TMidiHandle handle, TMidiHeader *header)
{
    if (const uint32_t r = TakeFailure(TLoopbackCall::OutPrepareHeader))
        return r;
    return TMidiDeviceServices::OutPrepareHeader(handle, header);
}

uint32_t TLoopbackMidi::OutLongMsg(TMidiHandle handle, TMidiHeader *header)
{
    if (const uint32_t r = TakeFailure(TLoopbackCall::OutLongMsg))
        return r;
    return TMidiDeviceServices::OutLongMsg(handle, header);
}

uint32_t TLoopbackMidi::InGetNumDevs()
{
    return uint32_t(FInputs.size());
}

uint32_t TLoopbackMidi::InGetDevCaps(uint32_t id, TMidiInCaps &caps)
{
    if (const uint32_t r = TakeFailure(TLoopbackCall::InGetDevCaps))
        return r;
    if (id >= uint32_t(FInputs.size()))
        return MidiErrBadDeviceId;
    caps = TMidiInCaps{};
    caps.Name = FInputs.at(int(id));
    caps.Mid = 0x7D;
    caps.Pid = uint16_t(id + 1);
    caps.DriverVersion = 0x0100;
    return MidiNoError;
}

uint32_t TLoopbackMidi::MakeInDevice(uint32_t id, TMidiCallback callback, void *user,
                                     std::unique_ptr<TMidiInDevice> &device)
{
    if (id >= uint32_t(FInputs.size()))
        return MidiErrBadDeviceId;
    device = std::make_unique<TMidiInDevice>(callback, user);
    return MidiNoError;
}

uint32_t TLoopbackMidi::InOpen(TMidiHandle &handle, uint32_t id, TMidiCallback callback, void *user)
{
    handle = 0;
    if (const uint32_t r = TakeFailure(TLoopbackCall::InOpen))
        return r;
    return TMidiDeviceServices::InOpen(handle, id, callback, user);
}

uint32_t TLoopbackMidi::InClose(TMidiHandle handle)
{
    if (const uint32_t r = TakeFailure(TLoopbackCall::InClose))
        return r;
    return TMidiDeviceServices::InClose(handle);
}

uint32_t TLoopbackMidi::InStart(TMidiHandle handle)
{
    if (const uint32_t r = TakeFailure(TLoopbackCall::InStart))
        return r;
    return TMidiDeviceServices::InStart(handle);
}

uint32_t TLoopbackMidi::InStop(TMidiHandle handle)
{
    if (const uint32_t r = TakeFailure(TLoopbackCall::InStop))
        return r;
    return TMidiDeviceServices::InStop(handle);
}

uint32_t TLoopbackMidi::InReset(TMidiHandle handle)
{
    if (const uint32_t r = TakeFailure(TLoopbackCall::InReset))
        return r;
    return TMidiDeviceServices::InReset(handle);
}

uint32_t TLoopbackMidi::InPrepareHeader(TMidiHandle handle, TMidiHeader *header)
{
    if (const uint32_t r = TakeFailure(TLoopbackCall::InPrepareHeader))
        return r;
    return TMidiDeviceServices::InPrepareHeader(handle, header);
}

uint32_t TLoopbackMidi::InUnprepareHeader(TMidiHandle handle, TMidiHeader *header)
{
    if (const uint32_t r = TakeFailure(TLoopbackCall::InUnprepareHeader))
        return r;
    return TMidiDeviceServices::InUnprepareHeader(handle, header);
}

uint32_t TLoopbackMidi::InAddBuffer(TMidiHandle handle, TMidiHeader *header)
{
    if (const uint32_t r = TakeFailure(TLoopbackCall::InAddBuffer))
        return r;
    return TMidiDeviceServices::InAddBuffer(handle, header);
}
