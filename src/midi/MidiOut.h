// The MIDI output port: one output device found by number or by name, opened and closed, sent
// short and system-exclusive messages; every failure of the services becomes an EMidiOutputError.
#pragma once

#include "MidiType.h"

// Selection, Open and Close on the user-interface thread; PutShort, PutLong and PutMidiEvent
// on the thread that plays the patches, never while the port is being closed. Buffers of long
// messages are freed, and OnMidiOutput fires, on the user-interface thread. Owns its device
// handle and the buffers of long messages still on their way.
class TMidiOutput : public TMidiIO {
    Q_OBJECT
    Q_PROPERTY(uint DeviceID READ DeviceID WRITE SetDeviceID)
    Q_PROPERTY(QString ProductName READ ProductName WRITE SetProductName)
public:
    explicit TMidiOutput(QObject *owner = nullptr, std::shared_ptr<TMidiServices> services = nullptr);
    ~TMidiOutput() override;

    uint32_t DeviceID() const { return FDeviceID; }
    // Selects a device by number (MidiMapper included); raises while open, for a number not
    // in the list, and when its capabilities cannot be read (the old device stays selected).
    void SetDeviceID(uint32_t id);
    QString ProductName() const { return FProductName; }
    // Selects the device of exactly this name: the mapper first, then devices 0 ... .
    void SetProductName(const QString &name);

    bool IsOpen() const { return FOpen; }
    // Open, but the port it reached went away (see TMidiServices::PortLost).
    bool PortLost() const { return FOpen && Services().PortLost(FHandle); }
    uint32_t Error() const { return FError.load(std::memory_order_relaxed); }
    uint16_t Mid() const { return FCaps.Mid; }
    uint16_t Pid() const { return FCaps.Pid; }
    uint32_t DriverVersion() const { return FCaps.DriverVersion; }
    uint8_t Technology() const { return uint8_t(FCaps.Technology); }
    uint16_t Voices() const { return FCaps.Voices; }
    uint16_t Notes() const { return FCaps.Notes; }
    uint16_t ChannelMask() const { return FCaps.ChannelMask; }
    uint32_t Support() const { return FCaps.Support; }
    uint16_t NumDevs() const { return FNumDevs; }

    // Fired on the user-interface thread when a long message went out and its buffer was freed.
    void SetOnMidiOutput(TMidiNotifyEvent handler) { FOnMidiOutput = std::move(handler); }
    // Fired after a successful change of device.
    void SetOnDeviceChanged(TMidiNotifyEvent handler) { FOnDeviceChanged = std::move(handler); }

    // Opens the selected device; true on success (and when it is open already).
    virtual bool Open();
    // True when a device was closed; a failure leaves it open.
    virtual bool Close();
    // Closes, selects `id` and, when asked, opens again; false when not opened.
    virtual bool ChangeDevice(uint32_t id, bool openAfter);
    // A short message, or the event's system-exclusive bytes when it has some.
    virtual void PutMidiEvent(const TMyMidiEvent &event);
    // Sends status + data1 * 256 + data2 * 65536 at once.
    virtual void PutShort(uint8_t status, uint8_t data1, uint8_t data2);
    // Sends `length` bytes (1 to 65535) as one long message; the bytes are copied.
    virtual void PutLong(const uint8_t *data, uint16_t length);

    uint32_t RefreshDeviceCount() override;

protected:
    void WndProc(uint32_t message, uintptr_t param) override;

private:
    enum class TContext { General, Short, Long, PrepHeader };
    [[noreturn]] void Raise(uint32_t code, TContext context) const;
    QString ErrorText(uint32_t code, TContext context) const;

    uint32_t FDeviceID = 0;
    TMidiHandle FHandle = 0;
    bool FOpen = false;
    std::atomic<uint32_t> FError{0};
    TMidiOutCaps FCaps;
    QString FProductName;
    uint16_t FNumDevs = 0;
    TMidiNotifyEvent FOnMidiOutput, FOnDeviceChanged;
};
