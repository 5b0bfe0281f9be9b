// The patch lock and the update count that a page control shares with its slots: the tick
// holds the lock for its whole run; the user-interface thread holds it around every change.
#pragma once

#include <atomic>
#include <mutex>

// Thread rule: Mutex is taken by the tick thread (Execute) and by the user-interface thread
// (edits, painting, MIDI input); it is recursive because user-interface operations nest.
// The update count is changed by the user-interface thread and read by the tick thread.
class TPatchGuard {
public:
    std::recursive_mutex Mutex;

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
