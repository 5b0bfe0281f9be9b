#include "MidiIn.h"

#include "CircBuf.h"

#include <cstring>

TMidiInput::TMidiInput(QObject *owner, std::shared_ptr<TMidiServices> services)
    : TMidiIO(owner, std::move(services))
{
    FNumDevs = Services().InGetNumDevs();
    if (FNumDevs > 0) {
        try {
            SetDeviceID(0);
        } catch (const EMidiInputError &) {
            // A device whose name cannot be read is simply not preselected.
        }
    }
    FFilteredMessages = {TMidiMsg::msgActiveSensing, TMidiMsg::msgMidiTimeCode};
    FState = TState::Closed;
}

TMidiInput::~TMidiInput()
{
    if (FHandle == 0)
        return;
    try {
        Close();
    } catch (const EMidiInputError &) {
        // The device must stop calling back before the ring and the record go.
        Services().InReset(FHandle);
        Services().InClose(FHandle);
    }
}

uint32_t TMidiInput::RefreshDeviceCount()
{
    FNumDevs = Services().InGetNumDevs();
    return FNumDevs;
}

uint32_t TMidiInput::Check(uint32_t result)
{
    FError = uint16_t(result);
    if (result != MidiNoError)
        Raise(result);
    return result;
}

void TMidiInput::Raise(uint32_t code) const
{
    QString text;
    if (!Services().InGetErrorText(code, text))
        text = QStringLiteral("Specified error number is out of range");
    throw EMidiInputError(text);
}

void TMidiInput::SetDeviceID(uint32_t id)
{
    if (IsOpen())
        throw EMidiInputError(QStringLiteral("Change to DeviceID while device was open"));
    if (id >= Services().InGetNumDevs() && id != MidiMapper)
        throw EMidiInputError(QStringLiteral("Invalid device ID"));
    TMidiInCaps caps;
    Check(Services().InGetDevCaps(id, caps));
    FDeviceID = id;
    FProductName = caps.Name;
    FDriverVersion = caps.DriverVersion;
    FMid = caps.Mid;
    FPid = caps.Pid;
    if (FOnDeviceChanged)
        FOnDeviceChanged(this);
}

void TMidiInput::SetProductName(const QString &name)
{
    if (IsOpen())
        throw EMidiInputError(QStringLiteral("Change to ProductName while device was open"));
    const uint32_t count = Services().InGetNumDevs();
    // Not found: the number one past the last device, which selecting rejects.
    uint32_t found = count;
    for (uint32_t id = 0; id < count; ++id) {
        TMidiInCaps caps;
        Check(Services().InGetDevCaps(id, caps));
        if (caps.Name == name) {
            FProductName = name;
            found = id;
            break;
        }
    }
    if (FProductName != name)
        throw EMidiInputError(QStringLiteral("MIDI Input Device ") + name + QStringLiteral(" not installed "));
    SetDeviceID(found);
}

void TMidiInput::SetSysexOnly(bool value)
{
    FSysexOnly = value;
    if (HasCtlInfo())
        CtlInfo().SysexOnly = value;
}

void TMidiInput::SetFilteredMessages(TMidiMsgFilter value)
{
    FFilteredMessages = value;
    if (HasCtlInfo()) {
        CtlInfo().DropClock = value.Contains(TMidiMsg::msgMidiTimeCode);
        CtlInfo().DropActiveSensing = value.Contains(TMidiMsg::msgActiveSensing);
    }
}

void TMidiInput::SetSysexBufferSize(uint16_t value)
{
    if (IsOpen())
        throw EMidiInputError(QStringLiteral("Change to SysexBufferSize while device was open"));
    FSysexBufferSize = value;
}

void TMidiInput::SetSysexBufferCount(uint16_t value)
{
    if (IsOpen())
        throw EMidiInputError(QStringLiteral("Change to SysexBufferCount while device was open"));
    FSysexBufferCount = value;
}

bool TMidiInput::Open()
{
    if (IsOpen())
        return true;
    if (!FBuffer)
        FBuffer = TCircularBuffer::Create(FCapacity);
    TMidiCtlInfo &info = CtlInfo();
    info.Buffer = FBuffer.get();
    info.Window = Window();
    info.SysexOnly = FSysexOnly;
    info.DropClock = FFilteredMessages.Contains(TMidiMsg::msgMidiTimeCode);
    info.DropActiveSensing = FFilteredMessages.Contains(TMidiMsg::msgActiveSensing);
    try {
        TMidiHandle handle = 0;
        Check(Services().InOpen(handle, FDeviceID, &TMidiIO::MidiCallback, &info));
        FHandle = handle;
        try {
            if (FSysexBufferCount > 0 && FSysexBufferSize > 0 && FHandle != 0) {
                for (int i = 0; i < FSysexBufferCount; ++i) {
                    auto buffer = std::make_unique<TMyMidiHdr>(FSysexBufferSize);
                    buffer->Header()->User = buffer.get();
                    Check(Services().InPrepareHeader(FHandle, buffer->Header()));
                    FSysexBuffers.push_back(std::move(buffer));
                }
            }
            for (const auto &buffer : FSysexBuffers)
                Check(Services().InAddBuffer(FHandle, buffer->Header()));
        } catch (const EMidiInputError &) {
            // A half-made opening must not keep the device.
            Services().InReset(FHandle);
            for (const auto &buffer : FSysexBuffers)
                Services().InUnprepareHeader(FHandle, buffer->Header());
            FSysexBuffers.clear();
            Services().InClose(FHandle);
            FHandle = 0;
            throw;
        }
    } catch (const EMidiInputError &) {
        info.Buffer = nullptr;
        FBuffer.reset();
        throw;
    }
    FState = TState::Open;
    return true;
}

void TMidiInput::Start()
{
    if (IsOpen())
        Check(Services().InStart(FHandle));
}

void TMidiInput::Stop()
{
    if (IsOpen())
        Check(Services().InStop(FHandle));
}

void TMidiInput::ReleaseBuffers()
{
    while (!FSysexBuffers.empty()) {
        Check(Services().InUnprepareHeader(FHandle, FSysexBuffers.front()->Header()));
        FSysexBuffers.erase(FSysexBuffers.begin());
    }
}

void TMidiInput::Close()
{
    if (!IsOpen())
        return;
    // Closed first: reports still on their way are ignored.
    FState = TState::Closed;
    try {
        Check(Services().InReset(FHandle));
        ReleaseBuffers();
        Check(Services().InClose(FHandle));
    } catch (const EMidiInputError &) {
        FState = TState::Open; // still held: Close may be tried again
        throw;
    }
    FHandle = 0;
    CtlInfo().Buffer = nullptr;
    FBuffer.reset();
}

uint16_t TMidiInput::MessageCount() const
{
    return IsOpen() && FBuffer ? FBuffer->EventCount() : 0;
}

std::unique_ptr<TMyMidiEvent> TMidiInput::GetMidiEvent()
{
    if (!IsOpen() || !FBuffer)
        return nullptr;
    const TMidiBufferItem *item = FBuffer->ReadEvent();
    if (item == nullptr)
        return nullptr;
    auto event = std::make_unique<TMyMidiEvent>();
    event->TimeUs = item->Timestamp;
    event->Time = uint32_t(item->Timestamp / 1000);
    if (TMidiHeader *header = item->Header) {
        event->MidiMessage = 240;
        event->SysexLength = uint16_t(header->BytesRecorded);
        if (event->SysexLength > 0) {
            event->Sysex = std::make_unique<uint8_t[]>(event->SysexLength);
            std::memcpy(event->Sysex.get(), header->Data, event->SysexLength);
        }
        // Lending the buffer again clears its count; on failure the event stays, bytes and all.
        uint32_t r = Services().InPrepareHeader(FHandle, header);
        if (r == MidiNoError)
            r = Services().InAddBuffer(FHandle, header);
        Check(r);
    } else {
        event->MidiMessage = uint8_t(item->Data);
        event->Data1 = uint8_t(item->Data >> 8);
        event->Data2 = uint8_t(item->Data >> 16);
    }
    FBuffer->RemoveEvent();
    return event;
}

void TMidiInput::WndProc(uint32_t message, uintptr_t)
{
    if (message == MimData) {
        if (FOnMidiInput && IsOpen() && MessageCount() > 0)
            FOnMidiInput(this);
    } else if (message == MimOverflow) {
        if (FOnOverflow && IsOpen())
            FOnOverflow(this);
    }
}
