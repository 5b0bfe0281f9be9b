#include "DetailHeap.h"

#include <array>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace {

// Objects up to this size come from the runs; larger ones (none of the library's) from the heap.
constexpr std::size_t Granule = 16, Largest = 2048, ChunkBytes = 64 * 1024;

// The sanitizers watch each block only on the general heap. GCC tells of them by its macros,
// clang (and so the fuzzer build) only through __has_feature.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KORVANE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define KORVANE_SANITIZED 1
#endif
#endif
#ifdef KORVANE_SANITIZED
constexpr bool Pooled = false;
#else
constexpr bool Pooled = true;
#endif

struct TFreeBlock {
    TFreeBlock *Next;
};

struct TSizeClass {
    TFreeBlock *Free = nullptr;
    char *Next = nullptr, *End = nullptr; // the unused rest of the newest chunk
};

class THeap {
public:
    void *Allocate(std::size_t size)
    {
        const std::lock_guard lock(FMutex);
        TSizeClass &c = FClasses[Index(size)];
        if (TFreeBlock *b = c.Free) {
            c.Free = b->Next;
            return b;
        }
        const std::size_t block = (Index(size) + 1) * Granule;
        if (c.Next + block > c.End) {
            c.Next = static_cast<char *>(std::malloc(ChunkBytes));
            if (!c.Next)
                throw std::bad_alloc();
            c.End = c.Next + ChunkBytes;
        }
        void *p = c.Next;
        c.Next += block;
        return p;
    }

    void Release(void *p, std::size_t size) noexcept
    {
        const std::lock_guard lock(FMutex);
        TSizeClass &c = FClasses[Index(size)];
        auto *b = static_cast<TFreeBlock *>(p);
        b->Next = c.Free;
        c.Free = b;
    }

private:
    static std::size_t Index(std::size_t size) { return (size + Granule - 1) / Granule - 1; }
    std::mutex FMutex;
    std::array<TSizeClass, Largest / Granule> FClasses{};
};

// Never destroyed: objects may be freed during static destruction.
THeap &Heap()
{
    static THeap *heap = new THeap;
    return *heap;
}

} // namespace

void *DetailHeap::Allocate(std::size_t size)
{
    if (!Pooled || size == 0 || size > Largest)
        return ::operator new(size);
    return Heap().Allocate(size);
}

void DetailHeap::Release(void *p, std::size_t size) noexcept
{
    if (!p)
        return;
    if (!Pooled || size == 0 || size > Largest) {
        ::operator delete(p);
        return;
    }
    Heap().Release(p, size);
}
