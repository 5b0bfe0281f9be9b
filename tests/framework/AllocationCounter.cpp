#include "AllocationCounter.h"

#include <cstdlib>
#include <new>

namespace {
thread_local bool Counting = false;
thread_local std::size_t Count = 0;

void *Allocate(std::size_t n)
{
    if (Counting)
        ++Count;
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
} // namespace

void AllocationCounter::Start()
{
    Count = 0;
    Counting = true;
}

std::size_t AllocationCounter::Stop()
{
    Counting = false;
    return Count;
}

void *operator new(std::size_t n) { return Allocate(n); }
void *operator new[](std::size_t n) { return Allocate(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept
{
    try {
        return Allocate(n);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](std::size_t n, const std::nothrow_t &t) noexcept { return operator new(n, t); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
