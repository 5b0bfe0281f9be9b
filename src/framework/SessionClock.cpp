#include "SessionClock.h"

namespace {
std::atomic<TKorSessionClock *> Current{nullptr};
}

void SetSessionClock(TKorSessionClock *clock)
{
    Current.store(clock, std::memory_order_release);
}

TKorSessionClock *SessionClock()
{
    return Current.load(std::memory_order_acquire);
}
