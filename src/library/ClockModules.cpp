#include "ClockModules.h"

#include <algorithm>
#include <cmath>

namespace {

std::atomic<int64_t> ArrivalTimeUs{0};

// Tenths of a beat per minute at one clock per microsecond.
constexpr double TenthsPerMinute = 600'000'000.0 / TKorClockIn::ClocksPerBeat;

// The cumulative sums: a clock nearer the line than Slack (in units of the noise) draws its
// sum back toward zero, and a sum past Bound cuts the window. A clock counts no further than
// Clip from the line, so that it takes five clocks well off the line to cut it: two or three
// stray clocks close together leave it whole. A step from 120 to 140 beats per minute is seen
// at the fifth or sixth clock after it at jitters of 0 to 3 ms.
constexpr double Slack = 1.0, Bound = 8.0, Clip = 3.0;
// The noise is measured over at least a beat of clocks: over fewer it reads too low too often.
constexpr int32_t NoiseFrom = TKorClockIn::ClocksPerBeat;
// Stamps in whole microseconds from an unhurried sender can lie on a line to the last digit;
// a floor keeps ordinary scheduling jitter from reading as many noises.
constexpr double MinNoiseUs = 50;

// One sum: `z` beyond the slack adds, and `since` counts the clocks since the sum left zero.
void Accumulate(double &sum, int32_t &since, double z)
{
    sum = std::max(0.0, sum + z - Slack);
    since = sum > 0 ? since + 1 : 0;
}

} // namespace

void SetMidiArrivalTimeUs(int64_t us)
{
    ArrivalTimeUs.store(us, std::memory_order_relaxed);
}

int64_t MidiArrivalTimeUs()
{
    return ArrivalTimeUs.load(std::memory_order_relaxed);
}

void SetMidiArrivalTime(int64_t ms)
{
    SetMidiArrivalTimeUs(ms * 1000);
}

int64_t MidiArrivalTime()
{
    return MidiArrivalTimeUs() / 1000;
}

void TClockPeriod::Reset()
{
    FHeld = 0;
    FPeriod = FEnd = FNoise = 0;
    FRise = FFall = 0;
    FRiseFor = FFallFor = 0;
}

void TClockPeriod::Add(int64_t us)
{
    int64_t onLine = us;
    if (FHeld >= 2 && FNoise > 0) {
        // Where the line foretold this clock is itself uncertain, the more so the fewer clocks
        // it rests on: the variance of a least-squares line one step past its end.
        const double n = FHeld;
        const double spread = FNoise * std::sqrt(1 + 1 / n + 3 * (n + 1) / (n * (n - 1)));
        const double foretold = double(FOnLine[size_t(FNewest)]) + FEnd + FPeriod;
        const double z = std::clamp((double(us) - foretold) / spread, -Clip, Clip);
        onLine = std::llround(foretold + z * spread);
        Accumulate(FRise, FRiseFor, z);
        Accumulate(FFall, FFallFor, -z);
        if (FRise > Bound || FFall > Bound) {
            // The sender moved: keep the clocks since it did, as they came.
            FHeld = std::min(FHeld, (FRise > Bound ? FRiseFor : FFallFor) - 1);
            for (int32_t i = 0; i < FHeld; ++i) {
                const auto at = size_t((FNewest - i + Capacity) % Capacity);
                FOnLine[at] = FArrived[at];
            }
            onLine = us;
            FRise = FFall = 0;
            FRiseFor = FFallFor = 0;
        }
    }
    FNewest = (FNewest + 1) % Capacity;
    FArrived[size_t(FNewest)] = us;
    FOnLine[size_t(FNewest)] = onLine;
    FHeld = std::min(FHeld + 1, Capacity);
    Fit();
}

void TClockPeriod::Fit()
{
    const int32_t n = FHeld;
    if (n < 2) {
        FPeriod = FEnd = 0;
        return;
    }
    // Clock i (0 the oldest held) against its place relative to the newest: small numbers, so
    // that the sums keep their precision however long the input has run.
    const int64_t newest = FOnLine[size_t(FNewest)];
    const auto at = [&](int32_t i) {
        return double(FOnLine[size_t((FNewest - (n - 1) + i + Capacity) % Capacity)] - newest);
    };
    const double meanX = (n - 1) / 2.0;
    double sumY = 0, sumXY = 0;
    for (int32_t i = 0; i < n; ++i) {
        const double y = at(i);
        sumY += y;
        sumXY += (i - meanX) * y;
    }
    const double slope = sumXY / (n * (double(n) * n - 1) / 12.0);
    const double meanY = sumY / n;
    FEnd = meanY + slope * meanX;
    FPeriod = std::max(slope, 0.0);
    if (n < NoiseFrom)
        return; // a window just cut keeps the noise measured before
    double squares = 0;
    for (int32_t i = 0; i < n; ++i) {
        const double r = at(i) - (meanY + slope * (i - meanX));
        squares += r * r;
    }
    FNoise = std::max(MinNoiseUs, std::sqrt(squares / (n - 2)));
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
        if (!FRunning)
            break;
        if (FCount >= 0) {
            if (FCount % ClocksPerBeat == 0)
                FBeatSeen = true;
            FCount = (FCount + 1) % ClocksPerBeat;
        }
        FPeriod.Add(MidiArrivalTimeUs());
        FTempo = FPeriod.Period() > 0
                     ? int32_t(std::min<double>(std::round(TenthsPerMinute / FPeriod.Period()), INT32_MAX))
                     : 0;
        break;
    case MidiStart:
        FRunning = true;
        FCount = 0;
        FPeriod.Reset(); // the tempo of a run is measured from its own clocks
        FTempo = 0;
        break;
    case MidiContinue:
        FRunning = true;
        FCount = std::max(FCount, 0);
        FPeriod.Reset();
        FTempo = 0;
        break;
    case MidiStop:
        FRunning = false;
        break;
    case MidiSongPosition: {
        // Six clocks to a sixteenth: the next clock is clock `position * 6` of the song, so a
        // position inside a beat leaves the rest of that beat to count before the Beat pulse.
        const int32_t sixteenths = int32_t((Msg >> 8) & 0x7F) | int32_t((Msg >> 16) & 0x7F) << 7;
        FCount = sixteenths * (ClocksPerBeat / 4) % ClocksPerBeat;
        break;
    }
    default:
        break;
    }
}

void TKorClockIn::Execute()
{
    FOutClock->SetValue(FClockSeen ? 1000 : 0);
    FOutBeat->SetValue(FBeatSeen ? 1000 : 0);
    FOutRun->SetValue(FRunning ? 1000 : 0);
    FOutTempo->SetValue(FRunning ? FTempo : 0);
    // Lit for the first half of every beat, so that the beat is seen at any tick period.
    FLamp->SetOn(FRunning && FCount >= 1 && FCount <= ClocksPerBeat / 2);
    FClockSeen = FBeatSeen = false;
}
