// Where the frames of a JACK cycle lie in JACK's microsecond clock, worked out by Korvane's
// own clients from what each of their process callbacks sees, so that a message due at a
// time plays at that time's frame.
#pragma once

#include <cstdint>

// The cycle's start and the length of a frame, kept from the first frame of each cycle and the
// time its callback began. A callback begins after its cycle starts, never before, by a delay
// that varies from cycle to cycle: one that begins earlier than foreseen moves the start back
// at once; later ones move it forward only a little each, by a filter that also follows a
// clock whose frames run a little fast or slow. Frames that do not follow on from the last
// cycle (a cycle missed while the process stood still, an overrun, a new server) and
// callbacks that keep beginning later than any delay explains (the cycles moved) start the
// reckoning afresh, so that it is right again within a fraction of a second.
// Process callback only: no lock, no allocation, no system call.
class TJackFrameClock {
public:
    // Once per cycle: its first frame, its length in frames, JACK's time (microseconds) when
    // its callback began, and the length of a frame at the server's sample rate.
    // `told`: beganUs is the server's own reckoning of the cycle's start rather than the time the
    // callback saw; one that follows on where foreseen is then taken as it is, so that notes
    // fall on the frames a receiver reckons with the same figures.
    void Cycle(uint32_t firstFrame, uint32_t frames, int64_t beganUs, double usPerFrame, bool told = false);

    // The time the running cycle's first frame stands for, and microseconds per frame.
    double StartUs() const { return FStartUs; }
    double UsPerFrame() const { return FPeriodUs / FFrames; }

    // A callback this much later than foreseen is left out, as a busy machine's doing; when
    // they keep coming for MovedAfterUs, the cycles moved and the reckoning starts afresh.
    static constexpr double LateBeyondUs = 200;
    static constexpr double MovedAfterUs = 100'000;

private:
    void Restart(uint32_t firstFrame, uint32_t frames, int64_t beganUs);

    double FNominalUsPerFrame = 0;
    bool FStarted = false;
    uint32_t FNextFrame = 0; // the first frame of the cycle that follows on
    uint32_t FFrames = 1;
    double FStartUs = 0;
    double FPeriodUs = 0;   // of a whole cycle: the filter's estimate
    double FLateSinceUs = -1; // when callbacks began beginning too late; -1: they do not
    double FLeastLateUs = 0;  // the least lateness since then
};
