#include "JackRevival.h"

#include <cerrno>
#include <ctime>

namespace {
std::atomic<bool> ServerEnded{false};
unsigned Age = 0; // under JackClientsLock
} // namespace

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
    return age == Age;
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

void TJackRevival::Watch(jack_client_t *client)
{
    jack_on_info_shutdown(client, &TJackRevival::OnShutdown, this);
}

void TJackRevival::OnShutdown(jack_status_t, const char *, void *arg)
{
    auto *self = static_cast<TJackRevival *>(arg);
    self->Raise(self->Generation());
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
        if (FStopped.load()) {
            // CLOCK_REALTIME is what sem_timedwait knows; a step of the wall clock only moves
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
        } else {
            while (sem_wait(&FWake) != 0 && errno == EINTR) {
            }
        }
        if (FQuit.load())
            return;
        if (FRaised.exchange(false) && !FStopped.load()) {
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
