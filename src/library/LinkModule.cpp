#include "LinkModule.h"

#include "SessionClock.h"

#include <algorithm>
#include <cmath>
#include <limits>

TSessionClockNews &SessionClockNews()
{
    static TSessionClockNews news;
    return news;
}

void TKorLink::CreateDetails()
{
    TKorCustomModule::CreateDetails();
    AddLabel(*this, 3, 14, QStringLiteral("tempo"));
    FInTempo = AddInput(*this, 8, 30, QStringLiteral("InTempo"), Asymmetric);
    AddLabel(*this, 36, 14, QStringLiteral("run"));
    FInRun = AddInput(*this, 34, 30, QStringLiteral("InRun"), Logic);
    FQuantumKnob = AddKnobWithViewer(*this, {58, 2}, -9, {57, 18}, {1, 16, 1, 4, "KnobQuantumValue"});
    FQuantumKnob->SetOnChange([this](TKorKnob *, int32_t position) { FQuantum = position; });
    AddLabel(*this, 86, 14, QStringLiteral("Clock"));
    FOutClock = AddOutput(*this, 93, 30, QStringLiteral("Clock"), Logic);
    AddLabel(*this, 116, 14, QStringLiteral("Beat"));
    FOutBeat = AddOutput(*this, 120, 30, QStringLiteral("Beat"), Logic);
    AddLabel(*this, 140, 14, QStringLiteral("Bar"));
    FOutBar = AddOutput(*this, 142, 30, QStringLiteral("Bar"), Logic);
    AddLabel(*this, 159, 14, QStringLiteral("Phase"));
    FOutPhase = AddOutput(*this, 168, 30, QStringLiteral("Phase"), Asymmetric);
    AddLabel(*this, 192, 14, QStringLiteral("Tempo"));
    FOutTempo = AddOutput(*this, 202, 30, QStringLiteral("Tempo"), Asymmetric);
    AddLabel(*this, 227, 14, QStringLiteral("Run"));
    FOutRun = AddOutput(*this, 230, 30, QStringLiteral("Run"), Logic);
    // Above the captions' row, and as long as the longest source name needs.
    FSourceLabel = AddLabel(*this, 90, 2, QString());
    FSourceLabel->SetHeight(12);
    FLamp = AddLamp(*this, 236, 6);
    FSourceLabel->FitToRow();
    connect(&SessionClockNews(), &TSessionClockNews::Changed, this, &TKorLink::ShowSource);
    ShowSource();
}

void TKorLink::ShowSource()
{
    const TKorSessionClock *clock = SessionClock();
    FSourceLabel->SetText(clock ? clock->Name() : QStringLiteral("Link off"));
}

void TKorLink::Execute()
{
    TKorSessionClock *clock = SessionClock();
    if (clock)
        Request(*clock);
    TSessionPosition at;
    if (!clock || !clock->Capture(FQuantum, at) || !std::isfinite(at.Beat) || !std::isfinite(at.Phase) ||
        !std::isfinite(at.Tempo)) {
        Rest();
        return;
    }
    Show(at);
}

void TKorLink::Request(TKorSessionClock &clock)
{
    // Only changes are asked for, so that what another program sets stands until the patch
    // changes its mind. What is asked while there is no source is asked again when one comes.
    if (FInTempo->IsConnected()) {
        const int32_t tempo = FInTempo->Value();
        if (tempo != FAskedTempo && tempo >= 1)
            clock.RequestTempo(tempo / 10.0);
        FAskedTempo = tempo;
    } else {
        FAskedTempo = 0;
    }
    // Taking the cable away asks for nothing.
    if (FInRun->IsConnected()) {
        const bool run = FInRun->Value() >= 1;
        if (run != FAskedRun)
            clock.RequestPlaying(run);
        FAskedRun = run;
    } else {
        FAskedRun = false;
    }
}

void TKorLink::Show(const TSessionPosition &at)
{
    // The stretch of beat time this tick covers: from where the last one stood; after a jump
    // backwards, an ordinary tick's length up to the new position, so that a start that puts
    // beat 0 at this tick plays its first clock, beat and bar here.
    double from = at.Beat;
    if (FFollowing) {
        if (at.Beat >= FLastBeat) {
            from = FLastBeat;
            FTickSpan = at.Beat - FLastBeat;
        } else {
            from = at.Beat - FTickSpan;
        }
    }
    const double clocks = at.Beat * ClocksPerBeat;
    FOutClock->SetValue(std::floor(clocks) > std::floor(from * ClocksPerBeat) ? 1000 : 0);
    FOutBeat->SetValue(std::floor(at.Beat) > std::floor(from) ? 1000 : 0);
    // The present quantum began Phase beats ago: a bar starts in this tick when that is within it.
    FOutBar->SetValue(at.Phase < at.Beat - from ? 1000 : 0);
    FOutPhase->SetValue(std::clamp(int32_t(at.Phase / FQuantum * 1000), 0, 999));
    const double tenths = std::round(at.Tempo * 10);
    FOutTempo->SetValue(int32_t(std::clamp(tenths, 0.0, double(std::numeric_limits<int32_t>::max()))));
    FOutRun->SetValue(at.Playing ? 1000 : 0);
    FLamp->SetOn(at.Beat - std::floor(at.Beat) < 0.5);
    FFollowing = true;
    FLastBeat = at.Beat;
}

void TKorLink::Rest()
{
    for (TKorOutput *out : {FOutClock, FOutBeat, FOutBar, FOutPhase, FOutTempo, FOutRun})
        out->SetValue(0);
    FLamp->SetOn(false);
    FFollowing = false;
}
