// Running loaded patches without a timer, as fast as the machine allows, and recording every
// MIDI message they send with the tick that sent it.
#pragma once

#include "MidiFile.h"
#include "PageControl.h"

#include <QByteArray>
#include <QString>
#include <vector>

// Drives a page control tick by tick. Takes over the page control's MIDI output events while it
// lives (not owned). One thread: the page control's.
class TOfflineRun {
public:
    TOfflineRun(TKorModulePageControl &pages, int32_t periodMs);
    ~TOfflineRun();
    TOfflineRun(const TOfflineRun &) = delete;
    TOfflineRun &operator=(const TOfflineRun &) = delete;

    // Runs `ticks` ticks. Each message of `input` (in time order) goes to the patches just
    // before tick floor(time / period). A tick that raises is discarded and counted, as the
    // timer of the desktop program does.
    void Run(int64_t ticks, const std::vector<TTimedMidi> &input = {});

    struct TSent {
        int64_t Tick;
        QByteArray Bytes;
    };
    const std::vector<TSent> &Sent() const { return FSent; }
    int64_t FailedTicks() const { return FFailedTicks; }
    const QString &FirstFailure() const { return FFirstFailure; }

private:
    void Record(const QByteArray &bytes) { FSent.push_back({FTick, bytes}); }
    void Deliver(const QByteArray &bytes);

    TKorModulePageControl &FPages;
    const int32_t FPeriodMs;
    int64_t FTick = 0;
    std::vector<TSent> FSent;
    int64_t FFailedTicks = 0;
    QString FFirstFailure;
};
