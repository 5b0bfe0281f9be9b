#include "MidiOut.h"

#include <algorithm>
#include <cstring>

namespace {
uint16_t CappedCount(uint32_t count)
{
    return uint16_t(std::min<uint32_t>(count, 65535));
}
} // namespace

TMidiOutput::TMidiOutput(QObject *owner, std::shared_ptr<TMidiServices> services)
    : TMidiIO(owner, std::move(services))
{
    FNumDevs = CappedCount(Services().OutGetNumDevs());
}

TMidiOutput::~TMidiOutput()
{
    try {
        Close();
    } catch (const EMidiOutputError &) {
        // Nothing more can be done for a device that will not close.
    }
}

uint32_t TMidiOutput::RefreshDeviceCount()
{
    FNumDevs = CappedCount(Services().OutGetNumDevs());
    return FNumDevs;
}

void TMidiOutput::SetDeviceID(uint32_t id)
{
    if (FOpen)
        throw EMidiOutputError(QStringLiteral("Change to DeviceID while device was open"));
    if (id >= Services().OutGetNumDevs() && id != MidiMapper)
        throw EMidiOutputError(QStringLiteral("Invalid device ID"));
    TMidiOutCaps caps;
    const uint32_t r = Services().OutGetDevCaps(id, caps);
    FError = r;
    if (r != MidiNoError)
        Raise(r, TContext::General);
    FDeviceID = id;
    FCaps = caps;
    FProductName = caps.Name;
    if (FOnDeviceChanged)
        FOnDeviceChanged(this);
}

void TMidiOutput::SetProductName(const QString &name)
{
    if (FOpen)
        throw EMidiOutputError(QStringLiteral("Change to ProductName while device was open"));
    const uint32_t count = Services().OutGetNumDevs();
    // Not found: the number one past the last device, which selecting rejects.
    uint32_t found = count;
    for (uint32_t i = 0; i <= count; ++i) {
        const uint32_t id = i == 0 ? MidiMapper : i - 1; // the mapper first
        TMidiOutCaps caps;
        const uint32_t r = Services().OutGetDevCaps(id, caps);
        FError = r;
        if (r != MidiNoError)
            Raise(r, TContext::General);
        if (caps.Name == name) {
            FProductName = name;
            found = id;
            break;
        }
    }
    if (FProductName != name)
        throw EMidiOutputError(QStringLiteral("MIDI output Device ") + name + QStringLiteral(" not installed"));
    SetDeviceID(found);
}

bool TMidiOutput::Open()
{
    if (FOpen)
        return true;
    TMidiCtlInfo &info = CtlInfo();
    info.Window = Window();
    TMidiHandle handle = 0;
    const uint32_t r = Services().OutOpen(handle, FDeviceID, &TMidiIO::MidiCallback, &info);
    FError = r;
    if (r != MidiNoError)
        Raise(r, TContext::General);
    FHandle = handle;
    FOpen = true;
    return true;
}

bool TMidiOutput::Close()
{
    if (!FOpen)
        return false;
    const uint32_t r = Services().OutClose(FHandle);
    FError = r;
    if (r != MidiNoError)
        Raise(r, TContext::General);
    FHandle = 0;
    FOpen = false;
    return true;
}

bool TMidiOutput::ChangeDevice(uint32_t id, bool openAfter)
{
    if (FOpen) {
        Close();
        if (FOpen)
            return false;
    }
    SetDeviceID(id);
    return openAfter ? Open() : false;
}

void TMidiOutput::PutMidiEvent(const TMyMidiEvent &event)
{
    if (!FOpen)
        throw EMidiOutputError(QStringLiteral("MIDI Output device not open"));
    if (event.Sysex)
        PutLong(event.Sysex.get(), event.SysexLength);
    else
        PutShort(event.MidiMessage, event.Data1, event.Data2);
}

void TMidiOutput::PutShort(uint8_t status, uint8_t data1, uint8_t data2)
{
    if (!FOpen)
        throw EMidiOutputError(QStringLiteral("(Short Msg) Device not opened."));
    const uint32_t message = uint32_t(status) + uint32_t(data1) * 256 + uint32_t(data2) * 65536;
    const uint32_t r = Services().OutShortMsg(FHandle, message);
    FError.store(r, std::memory_order_relaxed);
    if (r != MidiNoError)
        Raise(r, TContext::Short);
}

void TMidiOutput::PutLong(const uint8_t *data, uint16_t length)
{
    if (!FOpen)
        throw EMidiOutputError(QStringLiteral("(Long Msg) Device not opened."));
    auto buffer = std::make_unique<TMyMidiHdr>(length);
    TMidiHeader *header = buffer->Header();
    if (header != nullptr) {
        std::memcpy(buffer->Data(), data, length);
        header->User = buffer.get();
    }
    uint32_t r = Services().OutPrepareHeader(FHandle, header);
    FError.store(r, std::memory_order_relaxed);
    if (r != MidiNoError)
        Raise(r, TContext::PrepHeader);
    r = Services().OutLongMsg(FHandle, header);
    FError.store(r, std::memory_order_relaxed);
    if (r != MidiNoError) {
        Services().OutUnprepareHeader(FHandle, header);
        Raise(r, TContext::Long);
    }
    // From here the completion report owns the buffer (it may already be on its way).
    buffer.release();
}

void TMidiOutput::WndProc(uint32_t message, uintptr_t param)
{
    if (message != MomDone)
        return;
    auto *header = reinterpret_cast<TMidiHeader *>(param);
    if (FOpen)
        Services().OutUnprepareHeader(FHandle, header);
    delete static_cast<TMyMidiHdr *>(header->User);
    if (FOnMidiOutput)
        FOnMidiOutput(this);
}

QString TMidiOutput::ErrorText(uint32_t code, TContext context) const
{
    switch (context) {
    case TContext::Short:
        switch (code) {
        case MidiErrInvalidHandle: return QStringLiteral("(Short Msg) The specified device handle is invalid.");
        case MidiErrNotReady: return QStringLiteral("(Short Msg) The hardware is busy with other data.");
        case MidiErrNoStatus:
            return QStringLiteral(
                "(Short Msg) The application sent a message without a status byte to a stream handle.");
        }
        break;
    case TContext::Long:
        switch (code) {
        case MidiErrInvalidHandle: return QStringLiteral("(Long Msg) The specified device handle is invalid.");
        case MidiErrInvalidParam: return QStringLiteral("(Long Msg) The specified pointer or structure is invalid.");
        case MidiErrUnprepared:
            return QStringLiteral("(Long Msg) The buffer pointed to by lpMidiOutHdr has not been prepared.");
        case MidiErrNotReady: return QStringLiteral("(Long Msg) The hardware is busy with other data.");
        }
        break;
    case TContext::PrepHeader:
        switch (code) {
        case MidiErrInvalidHandle: return QStringLiteral("(Prep Header) The specified device handle is invalid.");
        case MidiErrNoMemory: return QStringLiteral("(Prep Header) The system is unable to allocate or lock memory.");
        case MidiErrInvalidParam:
            return QStringLiteral(
                "(Prep Header) The specified address is invalid or the given stream buffer is greater than 64K.");
        }
        break;
    case TContext::General: break;
    }
    QString text;
    if (Services().OutGetErrorText(code, text))
        return text;
    return QStringLiteral("Specified error number is out of range");
}

void TMidiOutput::Raise(uint32_t code, TContext context) const
{
    throw EMidiOutputError(ErrorText(code, context));
}
