// Running loaded patches without a timer, as fast as the machine allows, and handing every
// MIDI message they send, with the tick that sent it, to a sink as the run goes.
#pragma once

#include "MidiFile.h"
#include "PageControl.h"

#include <QString>
#include <QTextStream>
#include <functional>
#include <vector>

// Drives a page control tick by tick. Takes over the page control's MIDI output events while it
// lives (not owned). Keeps only the current tick's messages, so memory stays flat however long
// the run. One thread: the page control's.
class TOfflineRun {
public:
    // Receives each message (status byte first; a system exclusive whole) after its tick ends.
    // What it raises ends Run and reaches Run's caller.
    using TSink = std::function<void(int64_t tick, const char *bytes, size_t size)>;

    TOfflineRun(TKorModulePageControl &pages, int32_t periodMs, TSink sink);
    ~TOfflineRun();
    TOfflineRun(const TOfflineRun &) = delete;
    TOfflineRun &operator=(const TOfflineRun &) = delete;

    // Runs `ticks` ticks. Each message of `input` (in time order) goes to the patches just
    // before tick floor(time / period). A slot whose tick raises loses that tick only, as in
    // the desktop program, and counts it (see TKorModulePageControl::Execute); what it sent
    // before it raised still goes to the sink. A failed allocation is not a tick error:
    // std::bad_alloc reaches the caller.
    void Run(int64_t ticks, const std::vector<TTimedMidi> &input = {});

private:
    void Record(const char *bytes, size_t size);
    void Deliver(const QByteArray &bytes);

    TKorModulePageControl &FPages;
    const int32_t FPeriodMs;
    TSink FSink;
    int64_t FTick = 0;
    std::vector<char> FTickBytes;   // the current tick's messages, back to back
    std::vector<size_t> FTickSizes; // and their sizes
};

// One line per slot whose ticks raised, in page order, for the end of a run without a window:
// `NAME (FILE): F of N ticks raised "TEXT"; the first at tick T`, FILE as the slot was opened.
// Whether there was any such line.
bool ReportTickErrors(const TKorModulePageControl &pages, QTextStream &err);
