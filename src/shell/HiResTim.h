// The run timer: a component that calls its OnTimer handler once per period on a thread of its
// own, which sleeps to absolute deadlines and runs the call itself (or, for tests, is woken by
// a time source they drive); lateness is measured.
#pragma once

#include "Component.h"
#include "Errors.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

KOR_DECLARE_EXCEPTION(EHiResTimer, Exception) // "Unable to create a timer"

using TTimerClock = std::chrono::steady_clock;

// A periodic source of wake-ups that replaces the timer's own sleeping (tests drive a manual
// one). Start and Stop are called by the thread that enables and disables the timer; wake runs
// on the source's own thread and must only signal.
class ITimeSource {
public:
    virtual ~ITimeSource() = default;
    // Calls wake(deadline) once per period from its own thread, with the deadline that just
    // passed, in the order of the deadlines. The timer makes one call per deadline, those that
    // pile up while a call runs too (see TimerCatchUpLimit). False (and no wake call) when it
    // cannot start.
    virtual bool Start(uint32_t intervalMs, uint32_t resolutionMs,
                       std::function<void(TTimerClock::time_point deadline)> wake) = 0;
    virtual void Stop() = 0; // no wake() call runs or starts after Stop returns
};

// How far behind the timer catches up. A tick that wakes late, or deadlines that pass while a
// call runs or the process is stopped, still get one call each, at once and in order, each
// with its own deadline: the patches lose no step and what they send keeps its place in time.
// Deadlines more than this before the latest one that has passed are dropped instead (the run
// would otherwise chase a backlog it cannot play in time); the handler learns of them through
// DroppedBefore.
inline constexpr std::chrono::milliseconds TimerCatchUpLimit{100};

// The first deadline of the grid last + k * period (k >= 1) that lies after now: the next one
// when the source woke in time, the next future one when it woke a period or more late, so
// the rhythm keeps its phase and lost periods are dropped.
TTimerClock::time_point NextTimerDeadline(TTimerClock::time_point last,
                                          std::chrono::nanoseconds period,
                                          TTimerClock::time_point now);

// Where the timer's own thread goes after the call for deadline `last`, at `now`: the next
// deadline of the grid, at once when it has passed, unless more than `limit` lies between it
// and the latest deadline passed by now; then the deadlines older than `limit` before that
// latest one are dropped, and the call goes to the first one kept.
struct TTimerNext {
    TTimerClock::time_point Deadline;
    uint64_t Dropped = 0;
    bool operator==(const TTimerNext &) const = default;
};
TTimerNext TimerDeadlineAfterCall(TTimerClock::time_point last, std::chrono::nanoseconds period,
                                  TTimerClock::time_point now,
                                  std::chrono::nanoseconds limit = TimerCatchUpLimit);

struct TTimerStats {
    uint64_t Calls = 0;
    int64_t LateP50Us = 0, LateP99Us = 0, LateMaxUs = 0;
};

// Lateness in microseconds, counted into fixed buckets: exact below 128 us, then 64 buckets
// per power of two (within 1/64 of the value) up to about twelve days; earlier counts as 0,
// later as the last bucket. A percentile is the highest value of the bucket holding that rank
// (nearest rank), never above the exact maximum.
// Record: one writer at a time, lock-free, allocates nothing. Summary: any thread, any time.
// Reset: only while nothing records.
class TLatenessHistogram {
public:
    void Record(int64_t lateUs);
    void Reset();
    TTimerStats Summary() const;

private:
    static constexpr int ExactBuckets = 128; // one per microsecond
    static constexpr int SubBuckets = 64;    // per power of two from 128 us on
    static constexpr int TopPower = 40;      // values below 2^40 us
    static constexpr int BucketCount = ExactBuckets + (TopPower - 7) * SubBuckets;
    static int BucketOf(uint64_t us);
    static int64_t HighestIn(int bucket);

    std::array<std::atomic<uint64_t>, BucketCount> FCounts{};
    std::atomic<int64_t> FMax{0};
};

class THiResTimer;

// The name every worker's thread carries (as /proc/self/task/*/comm shows it).
inline constexpr char TimerThreadName[] = "korvane-timer";

// The worker that calls the timer's handler. With a period it sleeps to the deadlines itself
// and makes the call on waking, one wake-up per tick; without, a time source wakes it and its
// deadlines wait in a fixed queue. Either way the deadlines passed while a call runs are
// called one by one at once, within TimerCatchUpLimit; those passed while paused collapse
// into one pending call. Made by the timer on enabling;
// Wake runs on the time source's thread, everything else on the thread that enables the timer
// or on the worker itself. Owns its thread, and the copy of the handler taken on enabling.
class TTimerThread {
public:
    using THandler = std::function<void(THiResTimer *Sender)>;
    // A period above zero: the thread sleeps to deadlines that far apart, the first one
    // period after it starts, and Wake is not used.
    TTimerThread(THiResTimer *timer, THandler handler,
                 std::chrono::nanoseconds period = std::chrono::nanoseconds(0));
    // Starts the thread, once; raises std::system_error when no thread can be made.
    void Start();
    // Terminates and joins. Never on the worker itself (see FreeOnTerminate).
    ~TTimerThread();
    TTimerThread(const TTimerThread &) = delete;
    TTimerThread &operator=(const TTimerThread &) = delete;

    // Queues a call for `deadline`, what that call's lateness is measured against. A full
    // queue drops its oldest deadline.
    void Wake(TTimerClock::time_point deadline);
    // A pending wake-up stays pending while paused; Resume lets it through at once, measured
    // from the resume, as a paused run is not a late one.
    void Pause();
    void Resume();
    // The loop ends after the call in progress, if any, without starting another.
    void Terminate();
    bool IsCurrentThread() const { return std::this_thread::get_id() == FThreadId; }
    // After Terminate, instead of deleting: the object deletes itself once its loop has ended,
    // for a worker that nobody can wait for (it is the calling thread).
    void FreeOnTerminate();

private:
    void Run();
    void RunWoken();
    void RunSleeping(TTimerClock::time_point deadline);
    void Call(TTimerClock::time_point deadline, uint64_t droppedBefore);
    // The deadlines queued by a source, oldest first; FLock.
    void Push(TTimerClock::time_point deadline);
    TTimerClock::time_point Pop();

    THiResTimer *const FTimer;
    const THandler FHandler;
    const std::chrono::nanoseconds FPeriod; // zero: woken by a time source
    std::mutex FLock;
    std::condition_variable FChanged;
    // Far more than TimerCatchUpLimit holds at the shortest period (1 ms), so that only a
    // source firing faster than that loses its oldest deadlines here.
    static constexpr size_t QueueSize = 256;
    std::array<TTimerClock::time_point, QueueSize> FQueue{}; // FLock
    size_t FQueueFirst = 0, FQueued = 0;                      // FLock
    uint64_t FQueueDropped = 0; // deadlines the full queue lost since the last call; FLock
    bool FSignalled = false;  // the sleeping thread reached a deadline while paused; FLock
    bool FPaused = false;     // FLock
    bool FTerminated = false; // FLock
    bool FEnded = false;      // the loop has ended; FLock
    bool FFreeOnTerminate = false;     // FLock
    TTimerClock::time_point FDeadline; // of the call Resume owes the sleeping thread; FLock
    std::thread FThread;
    std::thread::id FThreadId;
};

// The clock of the run: every Interval ms it calls OnTimer on its worker thread, once for each
// deadline. Deadlines that pass while a call runs late or the process is held up are called
// at once, in order, up to TimerCatchUpLimit behind; older ones are dropped.
// Thread rule: Enabled, Interval, Resolution, OnTimer, Pause, Resume and SetTimeSource belong to
// one thread (the user-interface thread); OnTimer runs on the worker; Stats from any thread.
// Owns its time source and its worker.
class THiResTimer : public TComponent {
    Q_OBJECT
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(uint Interval READ Interval WRITE SetInterval)
    Q_PROPERTY(uint Resolution READ Resolution WRITE SetResolution)
public:
    Q_INVOKABLE THiResTimer();
    ~THiResTimer() override; // Enabled = false (joins the worker)

    bool Enabled() const { return FEnabled; }
    // True: starts a new worker (and the time source, if one was given) with the current
    // Interval, Resolution and OnTimer; raises EHiResTimer "Unable to create a timer" when
    // it cannot start (Enabled stays false, no worker is left running).
    // False: stops the source, ends the worker and waits for it, so no OnTimer call runs or
    // starts once this returns. Do not disable from inside OnTimer: there it cannot wait for
    // the call in progress (that very call), so that call goes on after it returns; the next
    // SetEnabled or the destructor on another thread waits for it.
    void SetEnabled(bool value);
    // Period in ms (default 100); read when the timer is next enabled. 0 cannot start.
    uint32_t Interval() const { return FInterval; }
    void SetInterval(uint32_t value) { FInterval = value; }
    // Accuracy in ms asked of the time source (default 100); read when next enabled. The
    // timer's own sleeping always aims at the deadline itself.
    uint32_t Resolution() const { return FResolution; }
    void SetResolution(uint32_t value) { FResolution = value; }

    // Runs on the worker thread with this timer as Sender; what it raises is discarded. Taken
    // when the timer is enabled, like Interval: set it before enabling.
    std::function<void(THiResTimer *Sender)> OnTimer;

    // While enabled: no OnTimer call starts until Resume, and periods that pass in between
    // leave one pending call, made at once by Resume. Pause does not wait for a call already
    // running. Both do nothing while disabled.
    void Pause();
    void Resume();

    // Replaces the time source used by the next enabling (tests); null restores the timer's
    // own sleeping. A running source keeps running until the timer is disabled.
    void SetTimeSource(std::unique_ptr<ITimeSource> source);

    // The deadline the call in progress is for (the resume, after a pause); only inside OnTimer.
    TTimerClock::time_point Deadline() const { return FCallDeadline; }
    // How many deadlines were dropped, beyond TimerCatchUpLimit, just before the call in
    // progress; only inside OnTimer.
    uint64_t DroppedBefore() const { return FCallDropped; }
    // Deadlines dropped since the timer was last enabled; any thread.
    uint64_t Dropped() const { return FDropped.load(std::memory_order_relaxed); }

    // How late the worker began OnTimer against the deadline that woke it, over all calls since
    // the timer was last enabled; safe to read from any thread; no allocation when recording.
    TTimerStats Stats() const { return FLateness.Summary(); }

private:
    friend class TTimerThread;

    bool FEnabled = false;
    uint32_t FInterval = 100;
    uint32_t FResolution = 100;
    // Started on enabling, stopped on disabling; null: the worker sleeps to the deadlines.
    std::unique_ptr<ITimeSource> FSource;
    // Given while enabled (null or not, once FNextSourceGiven); replaces FSource on disabling.
    std::unique_ptr<ITimeSource> FNextSource;
    bool FNextSourceGiven = false;
    std::unique_ptr<TTimerThread> FWorker;
    // A worker disabled from inside its own handler, which may still be running it.
    std::unique_ptr<TTimerThread> FRetired;
    void JoinRetired(); // unless the calling thread is that worker
    TLatenessHistogram FLateness; // recorded by the worker
    TTimerClock::time_point FCallDeadline; // the worker's own
    uint64_t FCallDropped = 0;             // the worker's own
    std::atomic<uint64_t> FDropped{0};     // written by the worker
};
