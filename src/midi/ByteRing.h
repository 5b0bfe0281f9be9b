// A lock-free ring of records between one writing and one reading thread: each record a fixed
// head and its bytes, written whole or not at all. Made for the real-time side of a MIDI
// back end: after construction nothing allocates, locks or waits.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

// THead is a trivially copyable struct whose `Size` says how many bytes follow it.
template <class THead>
class TByteRing {
public:
    // Room for at least `capacity` bytes of heads and records.
    explicit TByteRing(size_t capacity)
    {
        while (FSize < capacity)
            FSize *= 2;
        FData = std::make_unique<uint8_t[]>(FSize);
    }

    // Writer: false, and nothing written, when the record does not fit.
    bool Put(const THead &head, const uint8_t *bytes)
    {
        const size_t write = FWrite.load(std::memory_order_relaxed);
        const size_t used = write - FRead.load(std::memory_order_acquire);
        if (FSize - used < sizeof head + head.Size)
            return false;
        Copy(write, reinterpret_cast<const uint8_t *>(&head), sizeof head);
        Copy(write + sizeof head, bytes, head.Size);
        FWrite.store(write + sizeof head + head.Size, std::memory_order_release);
        return true;
    }

    // Writer: whether the reader has taken every record written.
    bool Drained() const
    {
        return FRead.load(std::memory_order_acquire) == FWrite.load(std::memory_order_relaxed);
    }

    // Reader: the head of the oldest record, or false when there is none.
    bool Peek(THead &head) const
    {
        const size_t read = FRead.load(std::memory_order_relaxed);
        if (FWrite.load(std::memory_order_acquire) == read)
            return false;
        CopyOut(read, reinterpret_cast<uint8_t *>(&head), sizeof head);
        return true;
    }

    // Reader: copies the oldest record's bytes to `to` (room for its Size, or null to drop
    // them) and lets it go. Only after Peek returned true.
    void Take(const THead &head, uint8_t *to)
    {
        const size_t read = FRead.load(std::memory_order_relaxed);
        if (to != nullptr)
            CopyOut(read + sizeof head, to, head.Size);
        FRead.store(read + sizeof head + head.Size, std::memory_order_release);
    }

private:
    void Copy(size_t at, const uint8_t *from, size_t count)
    {
        const size_t start = at & (FSize - 1);
        const size_t first = std::min(count, FSize - start);
        std::memcpy(&FData[start], from, first);
        std::memcpy(&FData[0], from + first, count - first);
    }
    void CopyOut(size_t at, uint8_t *to, size_t count) const
    {
        const size_t start = at & (FSize - 1);
        const size_t first = std::min(count, FSize - start);
        std::memcpy(to, &FData[start], first);
        std::memcpy(to + first, &FData[0], count - first);
    }

    size_t FSize = 64;
    std::unique_ptr<uint8_t[]> FData;
    // Positions grow without bound and are masked on use.
    alignas(64) std::atomic<size_t> FWrite{0};
    alignas(64) std::atomic<size_t> FRead{0};
};
