#include "CircBuf.h"

#include <new>

std::unique_ptr<TCircularBuffer> TCircularBuffer::Create(uint16_t capacity)
{
    std::unique_ptr<TMidiBufferItem[]> items(new (std::nothrow) TMidiBufferItem[capacity > 0 ? capacity : 1]);
    if (!items)
        return nullptr;
    return std::unique_ptr<TCircularBuffer>(new (std::nothrow) TCircularBuffer(std::move(items), capacity));
}

bool TCircularBuffer::PutEvent(const TMidiBufferItem &item)
{
    // Acquire: the consumer has finished reading the slot it released.
    if (FCount.load(std::memory_order_acquire) >= FCapacity)
        return false;
    FItems[FPut] = item;
    FPut = uint16_t(FPut + 1 == FCapacity ? 0 : FPut + 1);
    FCount.fetch_add(1, std::memory_order_release);
    return true;
}

const TMidiBufferItem *TCircularBuffer::ReadEvent() const
{
    if (FCount.load(std::memory_order_acquire) == 0)
        return nullptr;
    return &FItems[FGet];
}

void TCircularBuffer::RemoveEvent()
{
    if (FCount.load(std::memory_order_acquire) == 0)
        return;
    FGet = uint16_t(FGet + 1 == FCapacity ? 0 : FGet + 1);
    FCount.fetch_sub(1, std::memory_order_release);
}
