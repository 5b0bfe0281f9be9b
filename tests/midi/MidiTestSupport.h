// Shared helpers of the MIDI tests: bounded waiting for queued reports, and a recorder that
// takes every event an input port announces.
#pragma once

#include "LoopbackMidi.h"
#include "MidiIn.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <functional>
#include <ostream>
#include <vector>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

// Processes events until `done` holds or `ms` have passed; returns `done`'s last answer.
inline bool WaitFor(const std::function<bool()> &done, int ms = 5000)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

// Lets every queued report that is already posted run.
inline void Settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// One event as taken from the port.
struct TTaken {
    uint8_t Status, Data1, Data2;
    std::vector<uint8_t> Sysex;
};

// Takes every event the port announces, as the main window does.
struct TInputRecorder {
    std::vector<TTaken> Events;
    int Notifications = 0;
    int Overflows = 0;

    explicit TInputRecorder(TMidiInput &in)
    {
        in.SetOnMidiInput([this, &in](QObject *) {
            ++Notifications;
            if (auto e = in.GetMidiEvent()) {
                TTaken t{e->MidiMessage, e->Data1, e->Data2, {}};
                if (e->Sysex)
                    t.Sysex.assign(e->Sysex.get(), e->Sysex.get() + e->SysexLength);
                Events.push_back(std::move(t));
            }
        });
        in.SetOnOverflow([this](QObject *) { ++Overflows; });
    }
};

// A system-exclusive message of `length` bytes, start and end included.
inline std::vector<uint8_t> SysexOf(size_t length)
{
    std::vector<uint8_t> bytes(length);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    for (size_t i = 1; i + 1 < length; ++i)
        bytes[i] = uint8_t(i % 128); // every position tells where it was
    return bytes;
}
