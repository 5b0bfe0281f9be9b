// The JACK server's life as Korvane's clients see it: the shutdown callback of any of them
// raises one flag, and a thread of its own tells the back end that the server stopped, then looks
// for a server every second and has the back end make its clients again once one answers.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <mutex>
#include <semaphore.h>
#include <thread>

// libjack frees every client of a server that ended when the process next opens a client, so
// a client of Korvane's touched after that would be touched after its end. Korvane's clients
// (its own, RtMidi's, the probes) are therefore opened, used for listing and closed under
// this one lock, and each remembers the age it was opened in: a client older than the
// current age is let go without a call into libjack.
std::mutex &JackClientsLock();
// With the lock held, right before a client is opened: the age of the clients opened now.
unsigned JackOpeningAge();
// With the lock held: whether a client opened in `age` is still libjack's to close.
bool JackClientAlive(unsigned age);
// Some server ended; any thread, no lock, no allocation (from a shutdown callback).
void JackServerEnded() noexcept;

// libjack can deadlock a close that meets its server's end: the threads of the ended server's
// clients and the closing thread all wait for a lock that none of them holds any more. So a
// client is closed on a thread of its own and waited for at most JackCloseLimit; past it, JACK
// is "stuck" for the rest of the run: that close and every later call into libjack are let go
// (JackClientAlive answers false, openings refuse), the ended clients are leaked, and no
// callback of Korvane's runs again. The program goes on, and ends, without JACK.
inline constexpr std::chrono::seconds JackCloseLimit{3};
// With JackClientsLock held: deactivates (when `deactivate`) and closes `client`; false when
// JACK got stuck on it (now or before, and then nothing is called).
bool JackCloseClient(jack_client_t *client, bool deactivate);
// The same for any close that calls into libjack (RtMidi's): `close` runs on a thread of its own
// and owns what it closes, which is leaked when JACK gets stuck on it.
bool JackCloseBounded(std::function<void()> close);
// Whether JACK got stuck; any thread.
bool JackStuck() noexcept;
// The text a stuck JACK is reported with.
const char *JackStuckText() noexcept;

// Every callback Korvane gives libjack begins with one of these and returns at once when it is
// false: once JACK is stuck, the objects the callbacks reach may be gone. Wait-free.
class TJackCallbackScope {
public:
    TJackCallbackScope() noexcept;
    ~TJackCallbackScope();
    explicit operator bool() const noexcept { return FLive; }
    TJackCallbackScope(const TJackCallbackScope &) = delete;
    TJackCallbackScope &operator=(const TJackCallbackScope &) = delete;

private:
    bool FLive;
};

// Owns its thread. OnStop and OnReturn run on it, one at a time, never on a JACK thread nor
// the user-interface thread; OnReturn answers whether the back end is whole again (else it
// is asked again a period later). Raise and the shutdown callbacks may run on any thread.
class TJackRevival {
public:
    TJackRevival(std::function<void()> onStop, std::function<bool()> onReturn,
                 std::chrono::milliseconds period = std::chrono::seconds(1));
    ~TJackRevival();
    // Starts the thread; `stopped`: there is no server yet, so the looking starts at once.
    void Start(bool stopped);
    // Ends the thread: neither callback runs once this returns. The clients registered may
    // still raise (to no effect) until they are closed, which the object must outlive.
    void Halt();
    TJackRevival(const TJackRevival &) = delete;
    TJackRevival &operator=(const TJackRevival &) = delete;

    // Registers the shutdown callback on `client`, before it is activated: its server's end
    // counts as a stop. The flag answered (owned here, as long as this object lives) is raised
    // once that client's server has let it go: closing such a client can deadlock inside
    // libjack, and libjack frees it by itself at the next opening, so it is never closed.
    const std::atomic<bool> &Watch(jack_client_t *client);
    // The clients made since the last return share this number; a late shutdown callback of a
    // client of an earlier server passes its own and is ignored.
    unsigned Generation() const { return FGeneration.load(std::memory_order_acquire); }
    // What a shutdown callback does: sets the flag and wakes the thread; no lock, no
    // allocation, as JACK calls it on threads of its own.
    void Raise(unsigned generation) noexcept;
    // Whether the server is away now (as last seen by the thread).
    bool Stopped() const { return FStopped.load(std::memory_order_acquire); }

private:
    static void OnShutdown(jack_status_t, const char *, void *arg);
    void Run();

    struct TWatched {
        TJackRevival *Revival;
        std::atomic<bool> Gone{false};
    };
    std::mutex FWatchedLock;
    std::list<TWatched> FWatched; // stable places for the callbacks' argument; only grows

    const std::function<void()> FOnStop;
    const std::function<bool()> FOnReturn;
    const std::chrono::milliseconds FPeriod;
    std::atomic<unsigned> FGeneration{1};
    std::atomic<bool> FRaised{false}, FStopped{false}, FQuit{false};
    sem_t FWake;
    std::thread FThread;
};
