#include "JackFrameClock.h"

#include <cmath>
#include <numbers>

namespace {

// Slow: the filter only has to follow a clock whose frames run a little fast or slow, and a
// callback's delay moves the start forward by a small part of it, to be undone by the next
// callback that begins early. Whatever moved further is started afresh instead.
constexpr double BandwidthHz = 0.5;

} // namespace

void TJackFrameClock::Restart(uint32_t firstFrame, uint32_t frames, int64_t beganUs)
{
    FStarted = true;
    FFrames = frames;
    FNextFrame = firstFrame + frames;
    FStartUs = double(beganUs);
    FPeriodUs = FNominalUsPerFrame * frames;
    FLateSinceUs = -1;
}

void TJackFrameClock::Cycle(uint32_t firstFrame, uint32_t frames, int64_t beganUs, double usPerFrame, bool told)
{
    if (!FStarted || frames != FFrames || firstFrame != FNextFrame || frames == 0 ||
        usPerFrame != FNominalUsPerFrame) {
        FNominalUsPerFrame = usPerFrame;
        Restart(firstFrame, frames == 0 ? 1 : frames, beganUs);
        return;
    }
    const double foreseen = FStartUs + FPeriodUs;
    const double late = double(beganUs) - foreseen;
    FNextFrame = firstFrame + frames;
    // A second-order loop (a delay-locked loop) over the cycles' starts.
    const double omega = 2 * std::numbers::pi * BandwidthHz * FPeriodUs * 1e-6;
    const double b = std::sqrt(2.0) * omega, c = omega * omega;
    if (late < 0) {
        // A callback cannot begin before its cycle starts: the start was that early at most.
        FStartUs = double(beganUs);
        if (late > -LateBeyondUs) // a burst of callbacks after a stop tells nothing of the pace
            FPeriodUs += c * late;
        FLateSinceUs = -1;
        return;
    }
    if (late > LateBeyondUs) {
        // One late callback is the machine's doing and is left out; a run of them that lasts
        // means the cycles themselves moved: start afresh from the least late of them.
        if (FLateSinceUs < 0) {
            FLateSinceUs = double(beganUs);
            FLeastLateUs = late;
        } else if (late < FLeastLateUs) {
            FLeastLateUs = late;
        }
        if (double(beganUs) - FLateSinceUs >= MovedAfterUs) {
            const double periodUs = FPeriodUs;
            Restart(firstFrame, frames, int64_t(std::llround(foreseen + FLeastLateUs)));
            FPeriodUs = periodUs; // the frames kept their pace
            return;
        }
        FStartUs = foreseen;
        return;
    }
    FLateSinceUs = -1;
    FStartUs = told ? double(beganUs) : foreseen + b * late;
    FPeriodUs += c * late;
}
