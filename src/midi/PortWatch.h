// Watchers of the MIDI system's ports that come and go: JACK's registration callbacks and the
// ALSA sequencer's announcements, for every back end over those systems.
#pragma once

#include <functional>
#include <memory>
#include <string>

// News of ports that come and go, from a client of the MIDI system's own that has no ports
// others could use. `gone` is told the full name test for a port that went (any port when the
// system cannot name it), `changed` follows every piece of news; both on the watcher's thread.
class TPortWatch {
public:
    using TGone = std::function<void(const std::function<bool(const std::string &)> &)>;
    virtual ~TPortWatch() = default;
};

class TJackRevival;

// A watcher that cannot reach its system tells nothing. The JACK watcher's server ending is
// told to `revival` (not owned; outlives the watcher), as for every client of Korvane's.
std::unique_ptr<TPortWatch> MakeJackWatch(TPortWatch::TGone gone, std::function<void()> changed,
                                          TJackRevival *revival);
std::unique_ptr<TPortWatch> MakeAlsaWatch(TPortWatch::TGone gone, std::function<void()> changed);

// Whether a JACK server answers. JACK's own error and information lines are silenced for the
// rest of the run: without a server it prints several for every client Korvane would try to
// open, and Korvane says what matters in its own words.
bool JackServerRuns();
