#include "ClockModules.h"

#include <algorithm>

namespace {

std::atomic<int64_t> ArrivalTime{0};

constexpr int64_t TenthsPerMinute = 600000; // tenths of a beat in a minute at 1 beat per ms

} // namespace

void SetMidiArrivalTime(int64_t ms)
{
    ArrivalTime.store(ms, std::memory_order_relaxed);
}

int64_t MidiArrivalTime()
{
    return ArrivalTime.load(std::memory_order_relaxed);
}

void TKorClockOut::CreateDetails()
{
    TKorMidiBaseModule::CreateDetails();
    AddLabel(*this, 10, 14, QStringLiteral("Clock"));
    FInClock = AddInput(*this, 15, 30, QStringLiteral("Clock"), Logic);
    AddLabel(*this, 50, 14, QStringLiteral("Run"));
    FInRun = AddInput(*this, 53, 30, QStringLiteral("Run"), Logic);
    FContinueButton = AddButton(*this, 85, 20, {.Picture = QStringLiteral("Start.bmp"), .AllowAllUp = true, .Property = "ButtonContinueDown"});
    AddLabel(*this, 113, 26, QStringLiteral("Cont"));
    FContinueButton->SetOnChange([this](TKorPushButton *, bool down) { FContinue = down; });
    FLamp = AddLamp(*this, 230, 20);
}

void TKorClockOut::Execute()
{
    // Run first: a receiver counts the clock of this tick as the first of the new run.
    const bool run = !FInRun->IsConnected() || FInRun->Value() >= 1;
    if (run != FRunning) {
        SendShortMidi(run ? (FContinue ? MidiContinue : MidiStart) : MidiStop);
        FRunning = run;
    }
    const bool clock = FInClock->Value() >= 1;
    if (clock && !FClockHigh)
        SendShortMidi(MidiTimingClock);
    FClockHigh = clock;
    FLamp->SetOn(FRunning);
}

void TKorClockOut::Silence()
{
    if (!FRunning)
        return;
    SendShortMidi(MidiStop);
    FRunning = false;
}

void TKorClockIn::CreateDetails()
{
    TKorMidiBaseModule::CreateDetails();
    AddLabel(*this, 101, 14, QStringLiteral("Clock"));
    FOutClock = AddOutput(*this, 110, 30, QStringLiteral("Clock"), Logic);
    AddLabel(*this, 139, 14, QStringLiteral("Beat"));
    FOutBeat = AddOutput(*this, 145, 30, QStringLiteral("Beat"), Logic);
    AddLabel(*this, 173, 14, QStringLiteral("Run"));
    FOutRun = AddOutput(*this, 177, 30, QStringLiteral("Run"), Logic);
    AddLabel(*this, 204, 14, QStringLiteral("Tempo"));
    FOutTempo = AddOutput(*this, 215, 30, QStringLiteral("Tempo"), Asymmetric);
    FLamp = AddLamp(*this, 75, 20);
}

void TKorClockIn::ShortMidiIn(uint32_t Msg)
{
    TKorMidiBaseModule::ShortMidiIn(Msg);
    switch (uint8_t(Msg & 0xFF)) {
    case MidiTimingClock:
        FClockSeen = true;
        FNewest = (FNewest + 1) % int32_t(FTimes.size());
        FTimes[size_t(FNewest)] = MidiArrivalTime();
        FTimesHeld = std::min(FTimesHeld + 1, int32_t(FTimes.size()));
        if (FRunning && FCount >= 0) {
            if (FCount % ClocksPerBeat == 0)
                FBeatSeen = true;
            FCount = (FCount + 1) % ClocksPerBeat;
        }
        break;
    case MidiStart:
        FRunning = true;
        FCount = 0;
        FTimesHeld = 0; // the tempo of a run is measured from its own clocks
        break;
    case MidiContinue:
        FRunning = true;
        FCount = std::max(FCount, 0);
        FTimesHeld = 0;
        break;
    case MidiStop:
        FRunning = false;
        break;
    default:
        break;
    }
}

int32_t TKorClockIn::Tempo() const
{
    if (!FRunning || FTimesHeld < 2)
        return 0;
    const int32_t size = int32_t(FTimes.size());
    const int64_t oldest = FTimes[size_t((FNewest - (FTimesHeld - 1) + size) % size)];
    const int64_t span = FTimes[size_t(FNewest)] - oldest;
    if (span <= 0)
        return 0;
    const int64_t intervals = FTimesHeld - 1;
    const int64_t tenths = (TenthsPerMinute * intervals + span * ClocksPerBeat / 2) / (span * ClocksPerBeat);
    return int32_t(std::min<int64_t>(tenths, INT32_MAX));
}

void TKorClockIn::Execute()
{
    FOutClock->SetValue(FClockSeen ? 1000 : 0);
    FOutBeat->SetValue(FBeatSeen ? 1000 : 0);
    FOutRun->SetValue(FRunning ? 1000 : 0);
    FOutTempo->SetValue(Tempo());
    // Lit for the first half of every beat, so that the beat is seen at any tick period.
    FLamp->SetOn(FRunning && FCount >= 1 && FCount <= ClocksPerBeat / 2);
    FClockSeen = FBeatSeen = false;
}
