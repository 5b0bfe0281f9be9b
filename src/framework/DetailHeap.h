// Where modules and their panel details live in memory: one run of blocks per object size, so
// that a patch's modules lie one after another in creation order, and so do its connectors.
// A tick then streams through memory instead of hopping between the scattered blocks of the
// general heap (at ten thousand modules that hopping cost more than the arithmetic).
#pragma once

#include <cstddef>

namespace DetailHeap {
// Any thread; memory given back is kept for the next object of that size.
void *Allocate(std::size_t size);
void Release(void *p, std::size_t size) noexcept;
} // namespace DetailHeap
