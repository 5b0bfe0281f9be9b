// The JACK transport as a source of shared musical time: Korvane follows whichever client is the
// transport's timebase master and never becomes one itself.
#pragma once

#include "SessionClock.h"

#include <QString>
#include <memory>

// The name of the JACK client it follows the transport through.
inline constexpr const char *JackTransportClientName = "Korvane (transport)";
// The tempo beats are counted at while no timebase master tells bars and beats: the transport's
// frames still place them (beat 0 at frame 0), so that Korvane starts, stops and locates with
// the transport at the tempo most programs start with.
inline constexpr double JackUnmeasuredTempo = 120;

// Follows the JACK transport through a client of its own. Without a server it waits for one, as
// it does for a server that stopped and returns: Capture answers false meanwhile. `problem`, when
// given, is told why it follows nothing yet (empty once it follows a server).
// Capture: the rolling state, and the master's bar, beat and tick (bars of its meter laid end to
// end from bar 1) carried on at its tempo from the cycle's first frame to the tick's deadline.
// RequestPlaying starts or stops the transport for everyone, as any JACK client may;
// RequestTempo is ignored: the tempo is the master's.
std::unique_ptr<TKorSessionClock> CreateJackTransportClock(QString *problem = nullptr);
