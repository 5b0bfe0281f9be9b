// OSC control of the running patches: what the OSC socket queues is carried out on the
// user-interface thread, controls are listed and their changes sent to subscribers, and the
// messages that did nothing are reported once per burst.
#pragma once

#include "OscServer.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <optional>
#include <vector>

class TKorModulePageControl;
class TKorSlot;
class TKorCustomModule;
struct TControlRef;

// Turns the tally of ignored messages into report lines: one when messages start being
// ignored, then nothing while they keep coming, and another only for a reason not yet told in
// this burst or once they come again after a quiet period. Each line counts what came since the
// previous one.
class TOscReporter {
public:
    using TClock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds QuietPeriod{2};
    std::optional<QString> Update(const TOscTally::TTotals &totals, TClock::time_point now);

private:
    uint64_t FReported[TOscTally::ReasonCount] = {}; // counts at the last line
    uint64_t FSeen[TOscTally::ReasonCount] = {};     // counts at the last update
    bool FToldInBurst[TOscTally::ReasonCount] = {};
    std::optional<TClock::time_point> FLastRise;
};

// User-interface thread.
class TOscControl : public QObject {
    Q_OBJECT
public:
    explicit TOscControl(TKorModulePageControl &pages, QObject *parent = nullptr);
    ~TOscControl() override;

    // Listens on `host` (empty: 127.0.0.1) and `port`, or not at all for port 0 (or a port out of
    // range); a running socket is closed first. Empty when listening or off, else the problem
    // as the status line shows it.
    QString Listen(const QString &host, int port);
    bool Listening() const { return FServer.Running(); }
    uint16_t Port() const { return FServer.Port(); }

    // What the run commands do: the window's start/stop and all-notes-off.
    std::function<void(bool)> OnRun;
    std::function<void()> OnAllNotesOff;
    // A line about ignored messages (see TOscReporter).
    std::function<void(const QString &)> OnReport;

    // Carries out what is queued, at most MaxPerDrain records, queuing itself again when more
    // wait. The socket's wake-up calls it; so may tests.
    void Drain();
    static constexpr int MaxPerDrain = 2048;
    // Sends every control whose value changed since the last call to the subscribers. A timer
    // calls it every SubscriptionInterval while anybody is subscribed.
    void SendChanges();
    static constexpr std::chrono::milliseconds SubscriptionInterval{40};
    // Checks the tally and reports; a timer calls it every ReportInterval.
    void CheckReport();
    static constexpr std::chrono::milliseconds ReportInterval{250};
    int SubscriberCount() const { return int(FSubscribers.size()); }
    static constexpr int MaxSubscribers = 16;
    TOscTally &Tally() { return FServer.Tally(); }
    TOscServer &Server() { return FServer; }

private:
    void Apply(const TOscRecord &record);
    TKorSlot *FindSlot(const TOscCommand &command) const;
    // Every control of every slot with its address, read under the patch lock in short pieces;
    // only those `wanted` (when given) says yes to, whose addresses alone are made.
    struct TControlState {
        QString Address;
        int32_t Min, Max, Step, Value;
        TKorCustomModule *Module;
        int PropertyIndex;
    };
    std::vector<TControlState> Controls(const std::function<bool(TKorCustomModule *, int propertyIndex, int32_t value)> &wanted = {}) const;
    void SendList(const TOscPeer &to);
    void SendValue(const TOscPeer &to, const TControlState &c);
    void Subscribe(const TOscPeer &peer);

    TKorModulePageControl &FPages;
    TOscServer FServer;
    std::vector<TOscPeer> FSubscribers;
    struct TSent {
        QPointer<QObject> Module; // null once the module is gone, whatever now lives at its address
        int32_t Value;
    };
    QHash<QPair<quintptr, int>, TSent> FSent;
    QTimer FSubscriptionTimer, FReportTimer;
    TOscReporter FReporter;
    bool FDrainQueued = false;
};
