// What the back ends share: open devices as objects behind their handles, the input side's lent
// buffers, start and stop, time stamps and callback, and the output side's completion report.
#pragma once

#include "MidiServices.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// One open input device. Receive runs on the back end's thread; the other operations on the
// user-interface thread (AddBuffer on the thread that takes the events). One lock guards the
// buffer queue and the started flag and is held while the callback runs, so that once Shut
// has returned the callback is never entered again. Owns nothing it is lent.
class TMidiInDevice {
public:
    TMidiInDevice(TMidiCallback callback, void *user) : FCallback(callback), FUser(user) {}
    virtual ~TMidiInDevice() = default;
    TMidiInDevice(const TMidiInDevice &) = delete;
    TMidiInDevice &operator=(const TMidiInDevice &) = delete;

    TMidiHandle Handle() const { return TMidiHandle(this); }

    // One whole incoming message. Short messages go to the callback as MimData; a
    // system-exclusive message fills lent buffers in order, one MimLongData per filled buffer,
    // and what finds no buffer is lost. Dropped while not started.
    void Receive(const uint8_t *bytes, size_t count);

    uint32_t Start();
    uint32_t Stop();
    // Stops and takes back every lent buffer: done, nothing recorded, no callback.
    uint32_t Reset();
    uint32_t AddBuffer(TMidiHeader *header);
    // No callback after this returns.
    void Shut();
    int LentBuffers() const;

private:
    void Report(uint32_t message, uintptr_t param1);

    const TMidiCallback FCallback;
    void *const FUser;
    mutable std::mutex FLock;
    TMidiHeader *FFirst = nullptr, *FLast = nullptr; // lent buffers, oldest first
    bool FStarted = false, FShut = false;
    std::chrono::steady_clock::time_point FStartTime{};
};

// One open output device. ShortMsg and LongMsg run on the thread that plays the patches,
// one at a time; completion of a long message is reported through the callback at once,
// on that thread. Owns nothing it is lent.
class TMidiOutDevice {
public:
    TMidiOutDevice(TMidiCallback callback, void *user) : FCallback(callback), FUser(user) {}
    virtual ~TMidiOutDevice() = default;
    TMidiOutDevice(const TMidiOutDevice &) = delete;
    TMidiOutDevice &operator=(const TMidiOutDevice &) = delete;

    TMidiHandle Handle() const { return TMidiHandle(this); }
    uint32_t ShortMsg(uint32_t message);
    uint32_t LongMsg(TMidiHeader *header);

protected:
    // Hands one whole message to the system.
    virtual uint32_t Send(const uint8_t *bytes, size_t count) = 0;

private:
    const TMidiCallback FCallback;
    void *const FUser;
};

// Services over device objects: a handle is the address of an open device, which this object
// owns until it is closed. Back ends add their device lists and the making of devices.
// User-interface thread, except where TMidiServices says otherwise.
class TMidiDeviceServices : public TMidiServices {
public:
    ~TMidiDeviceServices() override;

    uint32_t OutOpen(TMidiHandle &handle, uint32_t id, TMidiCallback callback, void *user) override;
    uint32_t OutClose(TMidiHandle handle) override;
    uint32_t OutShortMsg(TMidiHandle handle, uint32_t message) override;
    uint32_t OutLongMsg(TMidiHandle handle, TMidiHeader *header) override;

    uint32_t InOpen(TMidiHandle &handle, uint32_t id, TMidiCallback callback, void *user) override;
    uint32_t InClose(TMidiHandle handle) override;
    uint32_t InStart(TMidiHandle handle) override;
    uint32_t InStop(TMidiHandle handle) override;
    uint32_t InReset(TMidiHandle handle) override;
    uint32_t InAddBuffer(TMidiHandle handle, TMidiHeader *header) override;
    bool PortLost(TMidiHandle handle) const override;

protected:
    // Opens device `id` (already checked against the list, or MidiMapper for output).
    virtual uint32_t MakeOutDevice(uint32_t id, TMidiCallback callback, void *user,
                                   std::unique_ptr<TMidiOutDevice> &device) = 0;
    virtual uint32_t MakeInDevice(uint32_t id, TMidiCallback callback, void *user,
                                  std::unique_ptr<TMidiInDevice> &device) = 0;

    TMidiInDevice *FindIn(TMidiHandle handle) const;
    // Closes every device still open, for a back end whose devices must go before the
    // system's clients they use.
    void CloseDevices();
    // The system's full name of the port device `id` reaches, for telling when it goes; empty
    // for Korvane's own ports and where the back end cannot tell.
    virtual std::string OutTarget(uint32_t /*id*/) const { return {}; }
    virtual std::string InTarget(uint32_t /*id*/) const { return {}; }
    // Marks every open device lost whose port `gone` names (by its full name); Korvane's own
    // ports go with no other program. Any thread; takes only a lock of its own, never one held
    // around calls into the MIDI system.
    void MarkLost(const std::function<bool(const std::string &target)> &gone);
    // Marks every open device lost, Korvane's own ports too: the system they were made in
    // stopped. Any thread, as MarkLost.
    void MarkAllLost();

    // The lock over the open-device tables; back ends may take it around their own lookups.
    mutable std::recursive_mutex FDevicesLock;
    std::map<TMidiHandle, std::unique_ptr<TMidiOutDevice>> FOutDevices;
    std::map<TMidiHandle, std::unique_ptr<TMidiInDevice>> FInDevices;
    std::map<TMidiHandle, uint32_t> FDeviceIds; // handle -> the device number it opened

private:
    struct TTarget {
        std::string Full;
        bool Lost = false;
    };
    void Track(TMidiHandle handle, std::string target);
    void Untrack(TMidiHandle handle);
    mutable std::mutex FTargetsLock;
    std::map<TMidiHandle, TTarget> FTargets; // open devices that reach a port of another program
};

// Services over a MIDI system shared with other programs: devices are the system's ports as
// last listed, a system that cannot be used explains itself in Problem(), and each failure
// keeps its own words for the error texts. Back ends list the ports and make the devices.
class TSystemMidiServices : public TMidiDeviceServices {
public:
    // Any thread: a back end whose system stops and returns changes it on a thread of its own.
    QString Problem() const override;
    uint32_t OutGetNumDevs() override;
    uint32_t OutGetDevCaps(uint32_t id, TMidiOutCaps &caps) override;
    uint32_t InGetNumDevs() override;
    uint32_t InGetDevCaps(uint32_t id, TMidiInCaps &caps) override;
    bool OutGetErrorText(uint32_t code, QString &text) override { return ErrorText(code, text); }
    bool InGetErrorText(uint32_t code, QString &text) override { return ErrorText(code, text); }
    // A system with a Problem() opens nothing, and a number must be in the last listing (or be
    // the mapper, for output) before the back end is asked to make the device.
    uint32_t OutOpen(TMidiHandle &handle, uint32_t id, TMidiCallback callback, void *user) override;
    uint32_t InOpen(TMidiHandle &handle, uint32_t id, TMidiCallback callback, void *user) override;

protected:
    // The ports of other programs, as Korvane lists them: those it can write to (`writable`,
    // the output devices) or read from; empty when the system cannot tell. Only called while
    // there is no Problem().
    virtual std::vector<TMidiPortName> ListPorts(bool writable) = 0;
    // Keeps `text` as the words of `code` until its next failure; returns `code`.
    uint32_t Failed(uint32_t code, const QString &text);
    // A failure that needs no more words than the code's own text.
    uint32_t Plain(uint32_t code);
    // The listed port `name` went before it could be opened.
    uint32_t Gone(const QString &name);
    // The system became unusable (`problem`) or usable again (empty), after the constructor.
    void SetProblem(const QString &problem);
    // A JACK server's stop and return as both JACK back ends take them, on the revival's
    // thread: every device is lost with the server, `letGo` then lets go of what lists and
    // watches its ports; once a server answers, `makeClients` makes those anew (false, with
    // its reason, while it cannot).
    void JackServerStopped(const std::function<void()> &letGo);
    bool JackServerReturned(const std::function<bool(QString &why)> &makeClients);

    // The device just made reached FOpenedTarget (MakeOutDevice and MakeInDevice set it, and
    // the opening that called them asks at once, on the same thread).
    std::string OutTarget(uint32_t) const override { return FOpenedTarget; }
    std::string InTarget(uint32_t) const override { return FOpenedTarget; }

    QString FProblem; // set by the back end's constructor; later through SetProblem only
    std::vector<TMidiPortName> FInPorts, FOutPorts; // as last listed; device numbers index these
    std::string FOpenedTarget;

private:
    bool ErrorText(uint32_t code, QString &text);
    mutable std::mutex FTextLock; // the texts and FProblem
    std::map<uint32_t, QString> FTexts; // the words of the last failure of each code
};
