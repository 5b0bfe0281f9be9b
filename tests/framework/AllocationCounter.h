// Counts heap allocations made by the current thread between Start and Stop, to show that
// the tick path allocates nothing.
#pragma once

#include <cstddef>

namespace AllocationCounter {
void Start();
// Returns the number of allocations since Start.
std::size_t Stop();
} // namespace AllocationCounter
