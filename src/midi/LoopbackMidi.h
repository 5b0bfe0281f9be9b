// In-process MIDI devices for tests and headless runs: named input and output devices, input
// injected by the caller, output recorded (and passed on to a wired input when asked).
#pragma once

#include "MidiDevices.h"

#include <QStringList>
#include <vector>

// Calls whose next use can be made to fail.
enum class TLoopbackCall {
    OutGetDevCaps, OutOpen, OutClose, OutShortMsg, OutPrepareHeader, OutLongMsg,
    InGetDevCaps, InOpen, InClose, InStart, InStop, InReset, InPrepareHeader, InUnprepareHeader, InAddBuffer,
};

// Device lists and failures are set on the user-interface thread; Inject and the recording of
// output are safe on any thread. Owns its open devices.
class TLoopbackMidi : public TMidiDeviceServices {
public:
    explicit TLoopbackMidi(QStringList inputs = {}, QStringList outputs = {});
    ~TLoopbackMidi() override;

    // Replace the device lists, as ports coming and going would: open devices keep running, but
    // one whose name is no longer listed counts as lost, and the change is announced at once.
    void SetInputs(QStringList names);
    void SetOutputs(QStringList names);

    // One message arriving at input `input` (short, or a whole system-exclusive message). False
    // when that device is not open.
    bool Inject(uint32_t input, std::vector<uint8_t> bytes);
    // Every message sent to output `output` (or MidiMapper) since the last ClearSent, in order.
    std::vector<std::vector<uint8_t>> Sent(uint32_t output) const;
    void ClearSent();
    // From now on what output `output` sends also arrives at input `input`.
    void Wire(uint32_t output, uint32_t input);
    // The next call of `call` returns `code` and does nothing else.
    void FailNext(TLoopbackCall call, uint32_t code);
    // Buffers lent to input `input` while it is open; -1 when it is not.
    int LentBuffers(uint32_t input) const;
    // Open handles, input and output, for checking that nothing is left open.
    int OpenDevices() const;

    QString Name() const override { return QStringLiteral("loopback"); }
    uint32_t OutGetNumDevs() override;
    uint32_t OutGetDevCaps(uint32_t id, TMidiOutCaps &caps) override;
    uint32_t OutOpen(TMidiHandle &handle, uint32_t id, TMidiCallback callback, void *user) override;
    uint32_t OutClose(TMidiHandle handle) override;
    uint32_t OutShortMsg(TMidiHandle handle, uint32_t message) override;
    uint32_t OutPrepareHeader(TMidiHandle handle, TMidiHeader *header) override;
    uint32_t OutLongMsg(TMidiHandle handle, TMidiHeader *header) override;

    uint32_t InGetNumDevs() override;
    uint32_t InGetDevCaps(uint32_t id, TMidiInCaps &caps) override;
    uint32_t InOpen(TMidiHandle &handle, uint32_t id, TMidiCallback callback, void *user) override;
    uint32_t InClose(TMidiHandle handle) override;
    uint32_t InStart(TMidiHandle handle) override;
    uint32_t InStop(TMidiHandle handle) override;
    uint32_t InReset(TMidiHandle handle) override;
    uint32_t InPrepareHeader(TMidiHandle handle, TMidiHeader *header) override;
    uint32_t InUnprepareHeader(TMidiHandle handle, TMidiHeader *header) override;
    uint32_t InAddBuffer(TMidiHandle handle, TMidiHeader *header) override;

protected:
    uint32_t MakeOutDevice(uint32_t id, TMidiCallback callback, void *user,
                           std::unique_ptr<TMidiOutDevice> &device) override;
    uint32_t MakeInDevice(uint32_t id, TMidiCallback callback, void *user,
                          std::unique_ptr<TMidiInDevice> &device) override;
    std::string OutTarget(uint32_t id) const override;
    std::string InTarget(uint32_t id) const override;

private:
    void Announce();
    class TOut;
    friend class TOut;
    uint32_t TakeFailure(TLoopbackCall call);
    void Record(uint32_t output, const uint8_t *bytes, size_t count);
    TMidiInDevice *OpenInput(uint32_t input) const; // with FDevicesLock held

    QStringList FInputs, FOutputs;
    mutable std::mutex FLock; // the recordings, the wiring and the failures
    std::map<uint32_t, std::vector<std::vector<uint8_t>>> FSent;
    std::map<uint32_t, uint32_t> FWires;
    std::map<TLoopbackCall, uint32_t> FFailures;
};
