// The patch lock and the update count that a page control shares with its slots: the tick
// holds the lock for its whole run; the user-interface thread holds it around every change.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

// Thread rule: Mutex is taken by the tick thread (Execute) and by the user-interface thread
// (edits, painting, MIDI input); it is recursive because user-interface operations nest.
// The update count is changed by the user-interface thread and read by the tick thread.
class TPatchGuard {
public:
    std::recursive_mutex Mutex;

    // How the tick takes Mutex: counted as waiting until it has it, so that a long reader
    // (TPatchPieces) can step aside for it. Allocates nothing.
    class TTickLock {
    public:
        explicit TTickLock(TPatchGuard &guard) : FGuard(guard) {}
        void lock()
        {
            FGuard.FTicksWaiting.fetch_add(1, std::memory_order_relaxed);
            FGuard.Mutex.lock();
            FGuard.FTicksWaiting.fetch_sub(1, std::memory_order_relaxed);
        }
        void unlock() { FGuard.Mutex.unlock(); }

    private:
        TPatchGuard &FGuard;
    };
    TTickLock &TickLock() { return FTickLock; }
    // Ticks waiting for the lock just now.
    int TicksWaiting() const { return FTicksWaiting.load(std::memory_order_relaxed); }

    void BeginUpdate() { ++FUpdateCount; }
    // Lowers the count only while it is above 0.
    void EndUpdate()
    {
        int c = FUpdateCount.load();
        while (c > 0 && !FUpdateCount.compare_exchange_weak(c, c - 1)) {
        }
    }
    int UpdateCount() const { return FUpdateCount.load(); }

private:
    std::atomic<int> FUpdateCount{0};
    std::atomic<int> FTicksWaiting{0};
    TTickLock FTickLock{*this};
};

// Holds the patch lock for a long read on the user-interface thread in pieces: Breathe, called
// between two steps of the read, lets a waiting tick have the lock once the piece has lasted
// `piece`, so that no tick waits much longer than a piece. Nothing that the user-interface
// thread changes can change between the pieces, as long as it runs nothing else meanwhile;
// what ticks change can. Only where the thread does not hold the lock already: there Breathe
// cannot let go, and gives a waiting tick a millisecond before it goes on.
class TPatchPieces {
public:
    TPatchPieces(TPatchGuard &guard, std::chrono::nanoseconds piece)
        : FGuard(guard), FLock(guard.Mutex), FPiece(piece), FBegan(std::chrono::steady_clock::now())
    {
    }
    void Breathe()
    {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point now = Clock::now();
        if (now - FBegan < FPiece)
            return;
        FLock.unlock();
        // A woken tick needs a moment to take the lock: relocking at once would take it back.
        const Clock::time_point giveUp = now + std::chrono::milliseconds(1);
        while (FGuard.TicksWaiting() > 0 && Clock::now() < giveUp)
            std::this_thread::yield();
        FLock.lock();
        FBegan = Clock::now();
    }

private:
    TPatchGuard &FGuard;
    std::unique_lock<std::recursive_mutex> FLock;
    const std::chrono::nanoseconds FPiece;
    std::chrono::steady_clock::time_point FBegan;
};

// A structural edit (modules or sheets created or destroyed): ticks that start meanwhile are
// lost, and the edit waits for a tick already under way to finish before it begins.
class TStructuralEdit {
public:
    explicit TStructuralEdit(TPatchGuard &guard) : FGuard(guard)
    {
        FGuard.BeginUpdate();
        FLock = std::unique_lock(FGuard.Mutex);
    }
    ~TStructuralEdit()
    {
        FLock.unlock();
        FGuard.EndUpdate();
    }
    TStructuralEdit(const TStructuralEdit &) = delete;
    TStructuralEdit &operator=(const TStructuralEdit &) = delete;

private:
    TPatchGuard &FGuard;
    std::unique_lock<std::recursive_mutex> FLock;
};

// Raises the update count for a scope without taking the lock (a load that may show a
// message box: ticks are lost meanwhile, but none waits for the dialog).
class TUpdateScope {
public:
    explicit TUpdateScope(TPatchGuard &guard) : FGuard(guard) { FGuard.BeginUpdate(); }
    ~TUpdateScope() { FGuard.EndUpdate(); }
    TUpdateScope(const TUpdateScope &) = delete;
    TUpdateScope &operator=(const TUpdateScope &) = delete;

private:
    TPatchGuard &FGuard;
};
