// The shared time of an Ableton Link session: tempo, beat and phase, and start and stop, kept
// in step with the other programs on the local network that have Link on.
#pragma once

#include "SessionClock.h"

#include <memory>

// Joins the session at once (or starts one alone), with start/stop sync on, so that a start
// or stop anywhere in the session reaches Korvane and Korvane's reaches the others. Made and
// freed on the user-interface thread; freeing leaves the session and waits for Link's own
// threads. Its Capture and requests are Link's real-time calls for the audio thread, made at
// the tick's deadline (TMidiSendTime): no lock, no allocation.
std::unique_ptr<TKorSessionClock> CreateLinkClock();
