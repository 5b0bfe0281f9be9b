// Keeps the configured MIDI ports connected while their programs, devices and the MIDI system
// itself come and go: a port that appears is opened, one that goes is closed and noted beside
// the overflow lamp, and one that returns is opened again, the output with all notes off first.
#pragma once

#include "MidiPortNews.h"

#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>

class QWidget;

enum class TMidiSide { In, Out };

// What the keeper needs of the owner of the ports (the main window): the configured names,
// the ports' state, and opening and closing under the owner's rules (the patch lock around
// the output). User-interface thread.
class IMidiPortHost {
public:
    virtual ~IMidiPortHost() = default;
    // The services the ports are made with now.
    virtual TMidiServices &PortServices() const = 0;
    // The name the user configured; empty: no port.
    virtual QString ConfiguredPort(TMidiSide side) const = 0;
    virtual bool PortOpen(TMidiSide side) const = 0;
    // The name the open port was opened with.
    virtual QString OpenPortName(TMidiSide side) const = 0;
    // Open, but what it reached went away, or its MIDI system stopped.
    virtual bool PortLost(TMidiSide side) const = 0;
    // Opens the port `name` (an output sends all notes off before anything else); raises
    // when it cannot, and shows nothing.
    virtual void OpenPort(TMidiSide side, const QString &name) = 0;
    // Closes the port; raises when it will not close.
    virtual void ClosePort(TMidiSide side) = 0;
};

// User-interface thread only; never waits for the MIDI system's news, which arrives queued,
// and never looks for a stopped system itself (its services do, on a thread of their own).
// A port that is listed but does not open is tried again after 0.25 s, doubling up to 30 s,
// and reported once; news that leaves the other programs' ports as they were (Korvane's own
// clients coming and going) neither hurries nor resets that. Owns its status line (a child of
// the panel given); the host outlives it.
class TMidiPortKeeper : public QObject {
    Q_OBJECT
public:
    using TClock = std::function<std::chrono::steady_clock::time_point()>;
    TMidiPortKeeper(IMidiPortHost &host, QWidget *statusPanel, QObject *parent = nullptr,
                    TClock clock = &std::chrono::steady_clock::now);

    // Listens to these services from now on (after the MIDI system was switched).
    void Watch(std::shared_ptr<TMidiServices> services);
    // Compares the configured ports with what is there and opens or closes accordingly; a
    // port waiting for its next try is left waiting.
    void Check();
    // Check after the user chose again: waiting ports are tried at once.
    void Retry();
    // For good, as the window shuts down: no more news, and Check does nothing.
    void Stop();

    // Told once per thing a user without the window must hear: the MIDI system became
    // unusable (its own words) or usable again, a listed port that does not open.
    void SetOnReport(std::function<void(const QString &)> report) { FOnReport = std::move(report); }

    // Why the MIDI system cannot be used, while it cannot; else "MIDI in: NAME (absent)",
    // "MIDI out: ...", both, or empty while nothing is missing. The status line shows it,
    // shortened to the room there, and its tooltip whole.
    QString StatusText() const;
    QLabel *StatusLine() const { return FStatus; }
    bool InputAbsent() const { return FIn.Absent; }
    bool OutputAbsent() const { return FOut.Absent; }
    // How long until the next try of a port that did not open; zero when none waits.
    std::chrono::milliseconds RetryDelay() const;
    // The wait after `failures` failed tries in a row.
    static std::chrono::milliseconds Backoff(int failures);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct TSide {
        bool Absent = false;
        int Failures = 0; // tries in a row that failed
        std::chrono::steady_clock::time_point NotBefore{};
        bool Reported = false;
    };
    TSide &Side(TMidiSide side) { return side == TMidiSide::In ? FIn : FOut; }
    // Returns whether the port is missing.
    bool Keep(TMidiSide side);
    bool Listed(TMidiSide side, const QString &name) const;
    // Other programs' ports, both sides, as listed now.
    QStringList Listing() const;
    void News();
    void Report(const QString &text);
    void ScheduleRetry();
    // The status text on the line, shortened to the room the panel has now.
    void ShowStatus();

    IMidiPortHost &FHost;
    TClock FClock;
    TMidiPortNews FNews;
    std::function<void(const QString &)> FOnReport;
    // Null once the panel deleted it: while the window is torn down the panel's events still
    // reach the filter after its children are gone.
    QPointer<QLabel> FStatus;
    QTimer FRetry;
    TSide FIn, FOut;
    QStringList FListing; // as last seen, to tell the other programs' news from Korvane's own
    QString FProblem;     // the services' as last seen
    bool FStopped = false;
};
