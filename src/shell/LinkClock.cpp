#include "LinkClock.h"

#include "MidiServices.h"

#include <ableton/Link.hpp>

#include <chrono>

namespace {

// A session of one starts at this tempo; joining a session takes the session's.
constexpr double FirstTempo = 120.0;

class TLinkClock final : public TKorSessionClock {
public:
    TLinkClock() : FLink(FirstTempo)
    {
        FLink.enableStartStopSync(true);
        FLink.enable(true);
    }

    QString Name() const override { return QStringLiteral("Ableton Link"); }

    bool Capture(double quantum, TSessionPosition &at) override
    {
        const std::chrono::microseconds time = DeadlineTime();
        const ableton::Link::SessionState state = FLink.captureAudioSessionState();
        FQuantum = quantum;
        at.Beat = state.beatAtTime(time, quantum);
        at.Phase = state.phaseAtTime(time, quantum);
        at.Tempo = state.tempo();
        // A start or stop set for a moment still ahead has not happened at this deadline.
        at.Playing = state.isPlaying() == (time >= state.timeForIsPlaying());
        return true;
    }

    void RequestTempo(double bpm) override
    {
        ableton::Link::SessionState state = FLink.captureAudioSessionState();
        state.setTempo(bpm, DeadlineTime());
        FLink.commitAudioSessionState(state);
    }

    void RequestPlaying(bool playing) override
    {
        ableton::Link::SessionState state = FLink.captureAudioSessionState();
        // A start puts beat 0 at the start, in phase with the session's bars when others play.
        state.setIsPlayingAndRequestBeatAtTime(playing, DeadlineTime(), 0, FQuantum);
        FLink.commitAudioSessionState(state);
    }

private:
    // Link keeps time on the raw monotonic clock, the tick on the steady clock (which the
    // kernel slews): the deadline is carried over as its distance from now.
    std::chrono::microseconds DeadlineTime() const
    {
        using namespace std::chrono;
        const auto ahead = duration_cast<microseconds>(TMidiSendTime::Now() - steady_clock::now());
        return FLink.clock().micros() + ahead;
    }

    ableton::Link FLink;
    double FQuantum = 4; // the tick thread's last quantum, for the bar a start lines up with
};

} // namespace

std::unique_ptr<TKorSessionClock> CreateLinkClock()
{
    return std::make_unique<TLinkClock>();
}
