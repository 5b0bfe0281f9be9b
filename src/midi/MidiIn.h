// The MIDI input port: one input device found by number or by name; incoming events are
// filtered, kept in a ring and announced on the user-interface thread, one OnMidiInput each.
#pragma once

#include "MidiType.h"

#include <initializer_list>
#include <vector>

enum class TMidiMsg : uint8_t { msgActiveSensing = 0, msgMidiTimeCode = 1 };

// A set of TMidiMsg: bit 0 active sensing, bit 1 time code.
class TMidiMsgFilter {
public:
    constexpr TMidiMsgFilter() = default;
    constexpr TMidiMsgFilter(std::initializer_list<TMidiMsg> members)
    {
        for (TMidiMsg m : members)
            FBits = uint8_t(FBits | Bit(m));
    }
    constexpr bool Contains(TMidiMsg m) const { return (FBits & Bit(m)) != 0; }
    constexpr uint8_t Bits() const { return FBits; }
    friend constexpr bool operator==(TMidiMsgFilter, TMidiMsgFilter) = default;

private:
    static constexpr uint8_t Bit(TMidiMsg m) { return uint8_t(1u << uint8_t(m)); }
    uint8_t FBits = 0;
};

class TCircularBuffer;

// Everything on the user-interface thread, where OnMidiInput and OnOverflow fire; only the
// shared callback runs on the back end's thread, and it only fills the ring. Owns its device
// handle, its ring and its system-exclusive buffers (those lent to the device included).
class TMidiInput : public TMidiIO {
    Q_OBJECT
    Q_PROPERTY(uint DeviceID READ DeviceID WRITE SetDeviceID)
    Q_PROPERTY(uint Error READ Error)
    Q_PROPERTY(bool SysexOnly READ SysexOnly WRITE SetSysexOnly)
    Q_PROPERTY(QString ProductName READ ProductName WRITE SetProductName)
    Q_PROPERTY(uint Capacity READ Capacity WRITE SetCapacity)
    Q_PROPERTY(uint SysexBufferSize READ SysexBufferSize WRITE SetSysexBufferSize)
    Q_PROPERTY(uint SysexBufferCount READ SysexBufferCount WRITE SetSysexBufferCount)
public:
    // Selects device 0 when there is one.
    explicit TMidiInput(QObject *owner = nullptr, std::shared_ptr<TMidiServices> services = nullptr);
    ~TMidiInput() override;

    uint32_t DeviceID() const { return FDeviceID; }
    // Raises while open, for a number not in the list, and when the capabilities cannot be
    // read (the old device stays selected).
    void SetDeviceID(uint32_t id);
    QString ProductName() const { return FProductName; }
    // Selects the first device of exactly this name.
    void SetProductName(const QString &name);

    uint16_t Error() const { return FError; }
    uint16_t Mid() const { return FMid; }
    uint16_t Pid() const { return FPid; }
    uint32_t DriverVersion() const { return FDriverVersion; }
    uint32_t NumDevs() const { return FNumDevs; }
    bool IsOpen() const { return FState == TState::Open; }
    // Open, but the port it reached went away (see TMidiServices::PortLost).
    bool PortLost() const { return IsOpen() && Services().PortLost(FHandle); }

    // Drops every short message: only system-exclusive input is kept.
    bool SysexOnly() const { return FSysexOnly; }
    void SetSysexOnly(bool value);
    // msgMidiTimeCode drops timing clock (0xF8), msgActiveSensing drops active sensing (0xFE).
    TMidiMsgFilter FilteredMessages() const { return FFilteredMessages; }
    void SetFilteredMessages(TMidiMsgFilter value);
    // Events the ring holds; takes effect at the next Open.
    uint16_t Capacity() const { return FCapacity; }
    void SetCapacity(uint16_t value) { FCapacity = value; }
    uint16_t SysexBufferSize() const { return FSysexBufferSize; }
    void SetSysexBufferSize(uint16_t value);
    uint16_t SysexBufferCount() const { return FSysexBufferCount; }
    void SetSysexBufferCount(uint16_t value);

    // Once per stored event; the handler takes it with GetMidiEvent.
    void SetOnMidiInput(TMidiNotifyEvent handler) { FOnMidiInput = std::move(handler); }
    // Once per event lost because the ring was full.
    void SetOnOverflow(TMidiNotifyEvent handler) { FOnOverflow = std::move(handler); }
    void SetOnDeviceChanged(TMidiNotifyEvent handler) { FOnDeviceChanged = std::move(handler); }

    // Opens the selected device and lends it the system-exclusive buffers; delivers nothing
    // until Start. A failure leaves the device closed. True when open.
    bool Open();
    void Start();
    void Stop();
    // Takes the buffers back, closes the device and frees the ring.
    void Close();

    // Events waiting in the ring (0 when closed).
    uint16_t MessageCount() const;
    // The oldest waiting event (the caller owns it), or null. A system-exclusive buffer goes
    // back to the device; when that fails the event stays in the ring and this raises.
    std::unique_ptr<TMyMidiEvent> GetMidiEvent();

    uint32_t RefreshDeviceCount() override;

protected:
    void WndProc(uint32_t message, uintptr_t param) override;

private:
    enum class TState { Creating, Closed, Open };
    [[noreturn]] void Raise(uint32_t code) const;
    uint32_t Check(uint32_t result); // stores the result in Error; raises when it is a failure
    void ReleaseBuffers();           // unprepares and frees the buffers (device reset first)

    uint32_t FDeviceID = 0;
    TMidiHandle FHandle = 0;
    TState FState = TState::Creating;
    uint16_t FError = 0;
    bool FSysexOnly = false;
    TMidiMsgFilter FFilteredMessages;
    uint32_t FDriverVersion = 0;
    QString FProductName;
    uint16_t FMid = 0, FPid = 0;
    uint16_t FCapacity = 1024;
    std::unique_ptr<TCircularBuffer> FBuffer;
    uint32_t FNumDevs = 0;
    uint16_t FSysexBufferSize = 4096;
    uint16_t FSysexBufferCount = 16;
    std::vector<std::unique_ptr<TMyMidiHdr>> FSysexBuffers;
    TMidiNotifyEvent FOnMidiInput, FOnOverflow, FOnDeviceChanged;
};
