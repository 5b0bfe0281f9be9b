// A JACK client of a test's (or a benchmark's) own that records every MIDI event reaching its
// input port with the frame it was stamped at: what a synthesizer would hear, and when.
#pragma once

#include "JackOrder.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct TReceivedEvent {
    jack_nframes_t Frame; // the server's frame count at which the event plays
    std::vector<uint8_t> Bytes;
    // JACK's time (microseconds) of that frame, as the server mapped its cycle then: on a busy
    // machine a server without real-time priority falls behind and its frames run slower than
    // the system's clock, so what a client hears when is judged by this time, not by frames.
    int64_t Us = 0;
    // The length of the cycle that carried it (microseconds), as the server measured it.
    int64_t CycleUs = 0;
};

class TJackReceiver {
public:
    // A client `name` with one MIDI input port "in", active; Ready() tells whether JACK took it.
    explicit TJackReceiver(const char *name = "receiver")
    {
        jack_status_t status{};
        FClient = jack_client_open(name, JackNoStartServer, &status);
        if (!FClient)
            return;
        FPort = jack_port_register(FClient, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        FEvents.reserve(100000);
        if (!FPort || jack_set_process_callback(FClient, &TJackReceiver::Process, this) != 0 ||
            jack_set_xrun_callback(FClient, &TJackReceiver::Xrun, this) != 0 || jack_activate(FClient) != 0) {
            jack_client_close(FClient);
            FClient = nullptr;
        }
    }
    ~TJackReceiver()
    {
        if (FClient) {
            jack_deactivate(FClient);
            jack_client_close(FClient);
        }
    }
    TJackReceiver(const TJackReceiver &) = delete;
    TJackReceiver &operator=(const TJackReceiver &) = delete;

    bool Ready() const { return FClient != nullptr; }
    std::string PortName() const { return jack_port_name(FPort); }
    jack_nframes_t Rate() const { return jack_get_sample_rate(FClient); }
    jack_nframes_t Period() const { return jack_get_buffer_size(FClient); }
    // The frame the server's clock gives a steady-clock time point (both clocks read now).
    jack_nframes_t FrameOf(std::chrono::steady_clock::time_point t) const
    {
        return jack_time_to_frames(FClient, jack_time_t(TimeOf(t)));
    }
    // JACK's time of a steady-clock time point, and back (both clocks read now).
    static int64_t TimeOf(std::chrono::steady_clock::time_point t)
    {
        const auto ahead = std::chrono::duration_cast<std::chrono::microseconds>(t - std::chrono::steady_clock::now());
        return int64_t(jack_get_time()) + ahead.count();
    }
    static std::chrono::steady_clock::time_point SteadyOf(int64_t us)
    {
        return std::chrono::steady_clock::now() + std::chrono::microseconds(us - int64_t(jack_get_time()));
    }

    std::vector<TReceivedEvent> Events() const
    {
        std::lock_guard lock(FLock);
        return FEvents;
    }
    size_t Count() const
    {
        std::lock_guard lock(FLock);
        return FEvents.size();
    }
    // Cycles the server reported as overrun: on a busy machine a cycle's events may then be
    // lost on the way, whoever sent them.
    int Xruns() const { return FXruns.load(); }

private:
    static int Process(jack_nframes_t frames, void *arg)
    {
        auto *self = static_cast<TJackReceiver *>(arg);
        void *buffer = jack_port_get_buffer(self->FPort, frames);
        const TJackBufferTurn turn(buffer);
        const jack_nframes_t first = jack_last_frame_time(self->FClient);
        jack_nframes_t cycleFrame = 0;
        jack_time_t cycleStart = 0, cycleNext = 0;
        float periodUs = 0;
        const int64_t cycleUs = jack_get_cycle_times(self->FClient, &cycleFrame, &cycleStart, &cycleNext, &periodUs) == 0
                                    ? int64_t(cycleNext - cycleStart)
                                    : 0;
        const uint32_t count = jack_midi_get_event_count(buffer);
        std::lock_guard lock(self->FLock); // a test's client: its cycles may wait a little
        for (uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t e;
            if (jack_midi_event_get(&e, buffer, i) == 0)
                self->FEvents.push_back({first + e.time, std::vector<uint8_t>(e.buffer, e.buffer + e.size),
                                         int64_t(jack_frames_to_time(self->FClient, first + e.time)), cycleUs});
        }
        return 0;
    }

    static int Xrun(void *arg)
    {
        ++static_cast<TJackReceiver *>(arg)->FXruns;
        return 0;
    }

    jack_client_t *FClient = nullptr;
    std::atomic<int> FXruns{0};
    jack_port_t *FPort = nullptr;
    mutable std::mutex FLock;
    std::vector<TReceivedEvent> FEvents;
};
