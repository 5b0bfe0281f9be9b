// The musical time Korvane shares with other programs (an Ableton Link session, the JACK
// transport), as the modules that follow it read it once per tick.
#pragma once

#include <QString>
#include <atomic>

// Where the shared time stands at one moment.
struct TSessionPosition {
    double Beat = 0;      // beats since the session's origin; may be negative
    double Phase = 0;     // beats into the present quantum: 0 <= Phase < quantum
    double Tempo = 0;     // beats per minute
    bool Playing = false; // the session is rolling (a session without start and stop: false)
};

// One source of shared time. Name on any thread; Capture, RequestTempo and RequestPlaying on the
// tick thread, real-time safe: no lock that another thread holds for long, no allocation, no
// blocking system call. All of them mean the deadline of the tick now running (the time its MIDI
// belongs to), not the moment the tick woke.
class TKorSessionClock {
public:
    virtual ~TKorSessionClock() = default;
    // What a following module's panel names as its source: "Ableton Link", "JACK transport".
    virtual QString Name() const = 0;
    // The position at the tick's deadline with bars of `quantum` beats; false while there is no
    // session to follow (the server it reads is gone, say), `at` then unchanged.
    virtual bool Capture(double quantum, TSessionPosition &at) = 0;
    // Asks the session to take this tempo, or to start or stop, at the tick's deadline. A source
    // that Korvane only follows ignores what it cannot ask for.
    virtual void RequestTempo(double bpm) = 0;
    virtual void RequestPlaying(bool playing) = 0;
};

// The source every following module reads, or none. The program sets it while it holds the
// patch lock, and frees a replaced source only after that, so that a tick (which holds the lock)
// never sees its source change or go in the middle of a run. Any thread may read it.
void SetSessionClock(TKorSessionClock *clock);
TKorSessionClock *SessionClock();
