#include "Random.h"

#include <chrono>
#include <mutex>
#include <random>

namespace {
std::mutex Guard;
std::mt19937 &Generator()
{
    static std::mt19937 generator(5489u);
    return generator;
}
} // namespace

void RandSeed(uint32_t seed)
{
    std::lock_guard lock(Guard);
    Generator().seed(seed);
}

void Randomize()
{
    const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    RandSeed(uint32_t(now) ^ uint32_t(uint64_t(now) >> 32));
}

int32_t Random(int32_t n)
{
    if (n <= 0)
        return 0;
    std::lock_guard lock(Guard);
    // Scales a 32-bit draw into the range: exact and the same everywhere.
    return int32_t((uint64_t(Generator()()) * uint64_t(n)) >> 32);
}

double RandomFloat()
{
    std::lock_guard lock(Guard);
    return double(Generator()()) / 4294967296.0;
}
