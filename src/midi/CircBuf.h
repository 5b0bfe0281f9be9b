// The event ring of a MIDI input port: the back end's thread puts, the user-interface thread
// takes. Fixed size, made once per opening, safe for exactly one producer and one consumer.
#pragma once

#include "MidiServices.h"

#include <atomic>
#include <cstdint>
#include <memory>

// One stored event: a short message, or a filled system-exclusive buffer.
struct TMidiBufferItem {
    uint64_t Timestamp = 0;        // us since the device was started
    uint32_t Data = 0;             // status + data1 * 256 + data2 * 65536; 0 for a long message
    TMidiHeader *Header = nullptr; // the filled buffer; null for a short message
};

// Lock-free: the producer alone moves the put position, the consumer alone the get position,
// and the event count (atomic) hands items over. PutEvent allocates nothing.
class TCircularBuffer {
public:
    // Null when the items cannot be allocated.
    static std::unique_ptr<TCircularBuffer> Create(uint16_t capacity);

    uint16_t Capacity() const { return FCapacity; }
    uint16_t EventCount() const { return FCount.load(std::memory_order_acquire); }

    // Producer only: stores a copy of `item`; false (and nothing stored) when the ring is full.
    bool PutEvent(const TMidiBufferItem &item);
    // Consumer only: the oldest item, left in place; null when the ring is empty.
    const TMidiBufferItem *ReadEvent() const;
    // Consumer only: drops the oldest item; nothing when the ring is empty.
    void RemoveEvent();

private:
    TCircularBuffer(std::unique_ptr<TMidiBufferItem[]> items, uint16_t capacity)
        : FItems(std::move(items)), FCapacity(capacity)
    {
    }

    std::unique_ptr<TMidiBufferItem[]> FItems;
    const uint16_t FCapacity;
    uint16_t FPut = 0; // producer's
    uint16_t FGet = 0; // consumer's
    std::atomic<uint16_t> FCount{0};
};
