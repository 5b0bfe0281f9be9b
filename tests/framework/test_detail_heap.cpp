// Where modules and details live: under AddressSanitizer each block must come from the general
// heap, or a module used after it was freed would read a pooled block that looks alive.
#include "DetailHeap.h"

#include <gtest/gtest.h>

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define KORVANE_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVANE_TEST_ASAN 1
#endif
#endif
#ifdef KORVANE_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

TEST(DetailHeap, UnderAddressSanitizerAReleasedBlockIsPoisoned)
{
#ifndef KORVANE_TEST_ASAN
    GTEST_SKIP() << "built without AddressSanitizer";
#else
    // The smallest and largest pooled sizes, one between, and one the pool never takes.
    for (const std::size_t size : {std::size_t(16), std::size_t(200), std::size_t(2048), std::size_t(4096)}) {
        void *block = DetailHeap::Allocate(size);
        EXPECT_FALSE(__asan_region_is_poisoned(block, size)) << size;
        DetailHeap::Release(block, size);
        EXPECT_TRUE(__asan_address_is_poisoned(block)) << size << " bytes: a use after free goes unseen";
    }
#endif
}

} // namespace
