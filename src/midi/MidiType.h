// What Korvane's MIDI ports share: their errors, the events and buffers they pass, the record
// their callback reads, and the hidden window that carries the back end's reports to their thread.
#pragma once

#include "MidiServices.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <string>

// A MIDI port failure, with the text to show.
class EMidiError : public std::exception {
public:
    explicit EMidiError(const QString &message) : FMessage(message.toStdString()) {}
    const char *what() const noexcept override { return FMessage.c_str(); }
    QString Message() const { return QString::fromStdString(FMessage); }

private:
    std::string FMessage;
};

class EMidiOutputError : public EMidiError {
public:
    using EMidiError::EMidiError;
};

class EMidiInputError : public EMidiError {
public:
    using EMidiError::EMidiError;
};

// Where MIDI texts meant for the user go (the application routes them to its message boxes);
// standard error while none is set. User-interface thread only.
using TMidiMessageHook = std::function<void(const QString &)>;
void SetMidiMessageHook(TMidiMessageHook hook);
void ShowMidiMessage(const QString &text);

// A port's event with one handler: the port that fires it.
using TMidiNotifyEvent = std::function<void(QObject *sender)>;

// One buffer for long MIDI data: a header and a data block of the size given (1 to 65535;
// with 0 nothing is made). Whoever lends the header to a device stores this object in the
// header's User field, to find it again when the header comes back. Owns both blocks.
class TMyMidiHdr {
public:
    explicit TMyMidiHdr(uint16_t size);
    TMyMidiHdr(const TMyMidiHdr &) = delete;
    TMyMidiHdr &operator=(const TMyMidiHdr &) = delete;

    TMidiHeader *Header() const { return FHeader.get(); } // null for size 0
    uint8_t *Data() const { return FData.get(); }

private:
    std::unique_ptr<TMidiHeader> FHeader;
    std::unique_ptr<uint8_t[]> FData;
};

// One MIDI event as a port hands it over: a short message, or a system-exclusive message
// (MidiMessage 240) whose bytes the event owns.
struct TMyMidiEvent {
    uint8_t MidiMessage = 0; // status byte
    uint8_t Data1 = 0;
    uint8_t Data2 = 0;
    uint32_t Time = 0;        // ms since the input device was started
    uint64_t TimeUs = 0;      // the same in microseconds, as finely as the back end stamps
    uint16_t SysexLength = 0; // bytes in Sysex
    std::unique_ptr<uint8_t[]> Sysex;
};

class TCircularBuffer;
class TMidiIO;

// Carries reports to the thread that made the port (the user-interface thread): Post may be
// called on any thread; the port's WndProc runs on the window's thread. Reports of incoming
// events and of overflows are counted and handed over together, so that a burst of input
// costs one queued call; each one still reaches WndProc once. Owned by its port.
class TMidiWindow : public QObject {
    Q_OBJECT
public:
    explicit TMidiWindow(TMidiIO &owner) : FOwner(owner) {}
    // MimData and MimOverflow carry no parameter; MomDone carries the header of a finished
    // long message, whose TMyMidiHdr is freed here if the port goes before it is handled.
    void Post(uint32_t message, uintptr_t param = 0);

private:
    void Flush(uint32_t message);

    TMidiIO &FOwner;
    std::atomic<uint32_t> FPendingData{0}, FPendingOverflow{0};
};

// The record the shared callback reads, made at a port's first opening and kept until the
// port goes. The flags may change while the device runs.
struct TMidiCtlInfo {
    std::atomic<TCircularBuffer *> Buffer{nullptr}; // the input port's ring; null for output
    TMidiWindow *Window = nullptr;
    std::atomic<bool> SysexOnly{false};
    std::atomic<bool> DropClock{false};         // timing clock, 0xF8
    std::atomic<bool> DropActiveSensing{false}; // 0xFE
};

// The common base of the two ports. Lives on the user-interface thread; owns its hidden window
// and its callback record. Holds the services it was made with.
class TMidiIO : public QObject {
    Q_OBJECT
public:
    ~TMidiIO() override;
    // Asks the services again how many devices there are of the port's direction.
    virtual uint32_t RefreshDeviceCount() = 0;
    TMidiServices &Services() const { return *FServices; }

protected:
    // `services` null: the installed ones (MidiServices()).
    TMidiIO(QObject *owner, std::shared_ptr<TMidiServices> services);

    // A report posted to the hidden window, on the window's thread.
    virtual void WndProc(uint32_t message, uintptr_t param) = 0;
    // The callback record, made on first use.
    TMidiCtlInfo &CtlInfo();
    bool HasCtlInfo() const { return FCtlInfo != nullptr; }
    TMidiWindow *Window() const { return FWindow.get(); }

    // The callback the ports give the services. Runs on the back end's thread: filters input,
    // puts it into the ring and posts; allocates nothing and takes no lock.
    static void MidiCallback(TMidiHandle handle, uint32_t message, void *user, uintptr_t param1,
                             uintptr_t param2);

private:
    friend class TMidiWindow;
    std::shared_ptr<TMidiServices> FServices;
    std::unique_ptr<TMidiWindow> FWindow;
    std::unique_ptr<TMidiCtlInfo> FCtlInfo;
};
