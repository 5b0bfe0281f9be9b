#include "JackRevival.h"

#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <memory>

namespace {
std::atomic<bool> ServerEnded{false};
unsigned Age = 0; // under JackClientsLock
std::atomic<bool> Stuck{false};
std::atomic<int> CallbacksInside{0};

// A close in progress on its own thread, shared with the waiting thread, which may give up.
struct TClosing {
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
};
} // namespace

TJackCallbackScope::TJackCallbackScope() noexcept
{
    CallbacksInside.fetch_add(1, std::memory_order_seq_cst);
    FLive = !Stuck.load(std::memory_order_seq_cst);
}

TJackCallbackScope::~TJackCallbackScope()
{
    CallbacksInside.fetch_sub(1, std::memory_order_seq_cst);
}

bool JackStuck() noexcept
{
    return Stuck.load(std::memory_order_acquire);
}

const char *JackStuckText() noexcept
{
    return "JACK stopped answering while a client of Korvane's closed: Korvane goes on without JACK. "
           "Start Korvane again to play over JACK.";
}

bool JackCloseClient(jack_client_t *client, bool deactivate)
{
    return JackCloseBounded([client, deactivate] {
        if (deactivate)
            jack_deactivate(client);
        jack_client_close(client);
    });
}

bool JackCloseBounded(std::function<void()> close)
{
    if (Stuck.load())
        return false;
    auto closing = std::make_shared<TClosing>();
    std::thread([close = std::move(close), closing] {
        close();
        std::lock_guard lock(closing->Lock);
        closing->Finished = true;
        closing->Done.notify_all();
    }).detach();
    std::unique_lock lock(closing->Lock);
    if (closing->Done.wait_for(lock, JackCloseLimit, [&] { return closing->Finished; }))
        return true;
    // The closing thread stays behind, waiting inside libjack with the ended clients' threads.
    // Once no callback runs any more, none will touch Korvane again.
    // A callback that is itself caught inside libjack is not waited for past a second.
    Stuck.store(true, std::memory_order_seq_cst);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (CallbacksInside.load(std::memory_order_seq_cst) != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::yield();
    return false; // the revival says so, as it says a stop
}

std::mutex &JackClientsLock()
{
    static std::mutex lock;
    return lock;
}

unsigned JackOpeningAge()
{
    // This opening is the one at which libjack drops the clients of the server that ended.
    if (ServerEnded.exchange(false))
        ++Age;
    return Age;
}

bool JackClientAlive(unsigned age)
{
    return age == Age && !Stuck.load();
}

void JackServerEnded() noexcept
{
    ServerEnded.store(true);
}

TJackRevival::TJackRevival(std::function<void()> onStop, std::function<bool()> onReturn,
                           std::chrono::milliseconds period)
    : FOnStop(std::move(onStop)), FOnReturn(std::move(onReturn)), FPeriod(period)
{
    sem_init(&FWake, 0, 0);
}

TJackRevival::~TJackRevival()
{
    Halt();
    sem_destroy(&FWake);
}

void TJackRevival::Start(bool stopped)
{
    FStopped.store(stopped);
    FThread = std::thread([this] { Run(); });
}

void TJackRevival::Halt()
{
    if (!FThread.joinable())
        return;
    FQuit.store(true);
    sem_post(&FWake);
    FThread.join();
}

const std::atomic<bool> &TJackRevival::Watch(jack_client_t *client)
{
    TWatched *watched;
    {
        std::lock_guard lock(FWatchedLock);
        watched = &FWatched.emplace_back();
        watched->Revival = this;
    }
    jack_on_info_shutdown(client, &TJackRevival::OnShutdown, watched);
    return watched->Gone;
}

void TJackRevival::OnShutdown(jack_status_t, const char *, void *arg)
{
    auto *watched = static_cast<TWatched *>(arg);
    watched->Gone.store(true, std::memory_order_release);
    const TJackCallbackScope live;
    if (!live)
        return;
    watched->Revival->Raise(watched->Revival->Generation());
}

void TJackRevival::Raise(unsigned generation) noexcept
{
    JackServerEnded();
    if (generation != FGeneration.load(std::memory_order_acquire))
        return;
    // Several clients report one stop: one wake-up is enough.
    if (!FRaised.exchange(true, std::memory_order_acq_rel))
        sem_post(&FWake);
}

void TJackRevival::Run()
{
    for (;;) {
        {
            // Every period, also while the server runs: a JACK that got stuck raises no
            // shutdown callback. CLOCK_REALTIME is what sem_timedwait knows; a step of the wall clock only moves
            // one look.
            timespec until{};
            clock_gettime(CLOCK_REALTIME, &until);
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(FPeriod).count();
            until.tv_sec += time_t(ns / 1000000000);
            until.tv_nsec += long(ns % 1000000000);
            if (until.tv_nsec >= 1000000000) {
                until.tv_sec += 1;
                until.tv_nsec -= 1000000000;
            }
            while (sem_timedwait(&FWake, &until) != 0 && errno == EINTR) {
            }
        }
        if (FQuit.load())
            return;
        if ((FRaised.exchange(false) || JackStuck()) && !FStopped.load()) {
            // From here the clients of the server that went report nothing more.
            FGeneration.fetch_add(1, std::memory_order_acq_rel);
            FStopped.store(true, std::memory_order_release);
            FOnStop();
            continue; // the server just went: the first look a period later
        }
        if (FStopped.load() && FOnReturn())
            FStopped.store(false, std::memory_order_release);
    }
}
