// The run timer: the sleeping time source, the worker with its auto-reset wake-up, the lateness
// histogram and the component that ties them together.
#include "HiResTim.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <system_error>
#include <time.h>

namespace {

using namespace std::chrono_literals;

// The thread that sleeps to the deadlines outranks one woken by a source, as such a source
// would outrank it, so that a long tick never delays the next wake-up.
constexpr int SleepingPriority = 12;
constexpr int WokenPriority = 10;

// How long the thread sleeps at most before looking whether it was terminated: long periods
// are slept in pieces, and disabling never waits longer than this for a sleeping thread.
constexpr auto StopCheck = 50ms;

// Real-time scheduling makes the run steady under load; without the privilege the thread goes
// on at normal priority, which only costs precision.
void AskForRealtime(int priority)
{
    sched_param param{};
    param.sched_priority = std::clamp(priority, sched_get_priority_min(SCHED_FIFO),
                                      sched_get_priority_max(SCHED_FIFO));
    (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

// steady_clock is CLOCK_MONOTONIC on Linux, so its time points are the kernel's deadlines.
void SleepUntil(TTimerClock::time_point t)
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch());
    timespec ts{};
    ts.tv_sec = time_t(ns.count() / 1'000'000'000);
    ts.tv_nsec = long(ns.count() % 1'000'000'000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

} // namespace

TTimerClock::time_point NextTimerDeadline(TTimerClock::time_point last, std::chrono::nanoseconds period,
                                          TTimerClock::time_point now)
{
    const TTimerClock::time_point next = last + period;
    if (next > now)
        return next;
    return last + ((now - last) / period + 1) * period;
}

TTimerNext TimerDeadlineAfterCall(TTimerClock::time_point last, std::chrono::nanoseconds period,
                                  TTimerClock::time_point now, std::chrono::nanoseconds limit)
{
    const TTimerClock::time_point next = last + period;
    if (next > now)
        return {next, 0};
    const TTimerClock::time_point latest = last + ((now - last) / period) * period;
    if (latest - next <= limit)
        return {next, 0};
    // The first deadline of the grid at or after latest - limit.
    const auto fromLast = latest - limit - last;
    const int64_t k = fromLast / period + (fromLast % period != fromLast.zero() ? 1 : 0);
    return {last + k * period, uint64_t(k - 1)};
}

// --- TLatenessHistogram ---

int TLatenessHistogram::BucketOf(uint64_t us)
{
    if (us < uint64_t(ExactBuckets))
        return int(us);
    us = std::min(us, (uint64_t(1) << TopPower) - 1);
    const int power = std::bit_width(us) - 1; // 7 ... TopPower - 1
    const int sub = int((us >> (power - 6)) & (SubBuckets - 1));
    return ExactBuckets + (power - 7) * SubBuckets + sub;
}

int64_t TLatenessHistogram::HighestIn(int bucket)
{
    if (bucket < ExactBuckets)
        return bucket;
    const int power = 7 + (bucket - ExactBuckets) / SubBuckets;
    const int64_t sub = (bucket - ExactBuckets) % SubBuckets;
    const int64_t width = int64_t(1) << (power - 6);
    return (SubBuckets + sub) * width + width - 1;
}

void TLatenessHistogram::Record(int64_t lateUs)
{
    const int64_t us = std::max<int64_t>(lateUs, 0);
    FCounts[size_t(BucketOf(uint64_t(us)))].fetch_add(1, std::memory_order_relaxed);
    if (us > FMax.load(std::memory_order_relaxed))
        FMax.store(us, std::memory_order_relaxed);
}

void TLatenessHistogram::Reset()
{
    for (auto &count : FCounts)
        count.store(0, std::memory_order_relaxed);
    FMax.store(0, std::memory_order_relaxed);
}

TTimerStats TLatenessHistogram::Summary() const
{
    // One snapshot, so that the ranks and the walk agree while the worker goes on recording.
    std::array<uint64_t, BucketCount> counts;
    uint64_t total = 0;
    for (size_t b = 0; b < counts.size(); ++b) {
        counts[b] = FCounts[b].load(std::memory_order_relaxed);
        total += counts[b];
    }
    TTimerStats stats;
    stats.Calls = total;
    if (total == 0)
        return stats;
    const int64_t highest = FMax.load(std::memory_order_relaxed);
    auto percentile = [&](uint64_t percent) {
        const uint64_t rank = (total * percent + 99) / 100; // nearest rank, at least 1
        uint64_t seen = 0;
        for (size_t b = 0; b < counts.size(); ++b) {
            seen += counts[b];
            if (seen >= rank)
                return std::min(HighestIn(int(b)), highest);
        }
        return highest;
    };
    stats.LateP50Us = percentile(50);
    stats.LateP99Us = percentile(99);
    stats.LateMaxUs = highest;
    return stats;
}

// --- TTimerThread ---

TTimerThread::TTimerThread(THiResTimer *timer, THandler handler, std::chrono::nanoseconds period)
    : FTimer(timer), FHandler(std::move(handler)), FPeriod(period)
{
}

void TTimerThread::Start()
{
    // Run waits for this lock: a handler that disables the timer asks IsCurrentThread.
    std::lock_guard lock(FLock);
    FThread = std::thread([this] { Run(); });
    FThreadId = FThread.get_id();
    // Named before it runs, so that tools and tests tell the timer's threads from the rest.
    (void)pthread_setname_np(FThread.native_handle(), TimerThreadName);
}

TTimerThread::~TTimerThread()
{
    Terminate();
    if (FThread.joinable())
        FThread.join();
}

void TTimerThread::Push(TTimerClock::time_point deadline)
{
    if (FQueued == QueueSize) {
        FQueueFirst = (FQueueFirst + 1) % QueueSize;
        --FQueued;
        ++FQueueDropped;
    }
    FQueue[(FQueueFirst + FQueued) % QueueSize] = deadline;
    ++FQueued;
}

TTimerClock::time_point TTimerThread::Pop()
{
    const TTimerClock::time_point deadline = FQueue[FQueueFirst];
    FQueueFirst = (FQueueFirst + 1) % QueueSize;
    --FQueued;
    return deadline;
}

void TTimerThread::Wake(TTimerClock::time_point deadline)
{
    {
        std::lock_guard lock(FLock);
        Push(deadline);
    }
    FChanged.notify_one();
}

void TTimerThread::Pause()
{
    std::lock_guard lock(FLock);
    FPaused = true;
}

void TTimerThread::Resume()
{
    {
        std::lock_guard lock(FLock);
        if (!FPaused)
            return;
        FPaused = false;
        if (FSignalled)
            FDeadline = TTimerClock::now();
        if (FQueued > 0) {
            // The periods of the pause leave one call, due now: a paused run is not a late one.
            FQueueFirst = 0;
            FQueued = 0;
            FQueueDropped = 0;
            Push(TTimerClock::now());
        }
    }
    FChanged.notify_one();
}

void TTimerThread::Terminate()
{
    {
        std::lock_guard lock(FLock);
        FTerminated = true;
    }
    FChanged.notify_one();
}

void TTimerThread::FreeOnTerminate()
{
    {
        std::lock_guard lock(FLock);
        if (!FEnded) {
            FFreeOnTerminate = true;
            FThread.detach();
            return;
        }
    }
    delete this; // the loop is over: the join in the destructor is immediate
}

void TTimerThread::Run()
{
    {
        std::lock_guard started(FLock);
    }
    if (FPeriod > FPeriod.zero()) {
        // The kernel's default slack of 50 us would be added to every wake-up.
        (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        AskForRealtime(SleepingPriority);
        RunSleeping(TTimerClock::now() + FPeriod);
    } else {
        AskForRealtime(WokenPriority);
        RunWoken();
    }
    // The timer may be gone by now (it was destroyed from inside the handler): touch nothing.
    bool freeSelf = false;
    {
        std::lock_guard lock(FLock);
        FEnded = true;
        freeSelf = FFreeOnTerminate;
    }
    if (freeSelf)
        delete this;
}

void TTimerThread::RunWoken()
{
    for (;;) {
        TTimerClock::time_point deadline;
        uint64_t dropped = 0;
        {
            std::unique_lock lock(FLock);
            FChanged.wait(lock, [this] { return FTerminated || (FQueued > 0 && !FPaused); });
            if (FTerminated)
                return;
            // Measured against the newest deadline, not the clock, so that a source's own
            // time is what counts.
            const TTimerClock::time_point newest = FQueue[(FQueueFirst + FQueued - 1) % QueueSize];
            deadline = Pop();
            while (FQueued > 0 && newest - deadline > TimerCatchUpLimit) {
                deadline = Pop();
                ++dropped;
            }
            dropped += FQueueDropped;
            FQueueDropped = 0;
        }
        Call(deadline, dropped);
    }
}

void TTimerThread::RunSleeping(TTimerClock::time_point deadline)
{
    uint64_t dropped = 0;
    for (;;) {
        SleepUntil(std::min(deadline, TTimerClock::now() + StopCheck));
        TTimerClock::time_point measured = deadline;
        bool resumed = false;
        {
            std::unique_lock lock(FLock);
            if (FTerminated)
                return;
            if (TTimerClock::now() < deadline)
                continue;
            if (FPaused) {
                // The deadline leaves one pending call; Resume makes it at once (and measures
                // it from the resume), so this thread waits for it instead of sleeping on.
                FSignalled = true;
                FChanged.wait(lock, [this] { return FTerminated || !FPaused; });
                if (FTerminated)
                    return;
                FSignalled = false;
                measured = FDeadline;
                resumed = true;
                dropped = 0;
            }
        }
        Call(measured, dropped);
        const TTimerClock::time_point now = TTimerClock::now();
        if (resumed) {
            // The periods of the pause are not owed: the grid goes on from here.
            deadline = NextTimerDeadline(deadline, FPeriod, now);
            dropped = 0;
        } else {
            const TTimerNext next = TimerDeadlineAfterCall(deadline, FPeriod, now);
            deadline = next.Deadline;
            dropped = next.Dropped;
        }
    }
}

void TTimerThread::Call(TTimerClock::time_point deadline, uint64_t droppedBefore)
{
    if (!FHandler)
        return;
    FTimer->FLateness.Record(
        std::chrono::duration_cast<std::chrono::microseconds>(TTimerClock::now() - deadline).count());
    FTimer->FCallDeadline = deadline;
    FTimer->FCallDropped = droppedBefore;
    if (droppedBefore > 0)
        FTimer->FDropped.fetch_add(droppedBefore, std::memory_order_relaxed);
    try {
        FHandler(FTimer);
    } catch (...) {
        // A failing tick must not end the run; the next period tries again.
    }
}

// --- THiResTimer ---

THiResTimer::THiResTimer() = default;

THiResTimer::~THiResTimer()
{
    SetEnabled(false);
    if (FRetired) // destroyed from inside the handler of a worker it had disabled
        FRetired.release()->FreeOnTerminate();
}

void THiResTimer::JoinRetired()
{
    const bool onWorker =
        (FRetired && FRetired->IsCurrentThread()) || (FWorker && FWorker->IsCurrentThread());
    if (FRetired && !onWorker)
        FRetired.reset();
}

void THiResTimer::SetEnabled(bool value)
{
    JoinRetired();
    if (value == FEnabled)
        return;
    if (value) {
        if (FNextSourceGiven) {
            FSource = std::move(FNextSource);
            FNextSourceGiven = false;
        }
        if (!FSource && FInterval == 0)
            throw EHiResTimer(QStringLiteral("Unable to create a timer"));
        FLateness.Reset();
        FDropped.store(0, std::memory_order_relaxed);
        // Without a source the worker sleeps to the deadlines and calls on waking: one wake-up
        // per tick instead of a sleeping thread signalling a worker.
        const std::chrono::nanoseconds period =
            FSource ? std::chrono::nanoseconds(0) : std::chrono::milliseconds(FInterval);
        FWorker = std::make_unique<TTimerThread>(this, OnTimer, period);
        TTimerThread *worker = FWorker.get();
        const bool ownClock = !FSource;
        // Before the first call, which a handler that disables the timer would see.
        FEnabled = true;
        try {
            worker->Start();
        } catch (const std::system_error &) {
            FEnabled = false;
            FWorker.reset();
            throw EHiResTimer(QStringLiteral("Unable to create a timer"));
        }
        // From here a call may already run and disable the timer: touch nothing it changes.
        if (ownClock)
            return;
        if (!FSource->Start(FInterval, FResolution,
                                       [worker](TTimerClock::time_point deadline) { worker->Wake(deadline); })) {
            FEnabled = false;
            FWorker.reset();
            throw EHiResTimer(QStringLiteral("Unable to create a timer"));
        }
        return;
    }
    FEnabled = false;
    try {
        if (FSource)
            FSource->Stop();
    } catch (...) {
        // Nothing is left to do about a source that fails to stop; the worker still ends.
    }
    FWorker->Terminate();
    if (FWorker->IsCurrentThread()) {
        // Waiting here would wait for this very call. Any older retiree still running is
        // left to end on its own rather than block a handler.
        if (FRetired)
            FRetired.release()->FreeOnTerminate();
        FRetired = std::move(FWorker);
    } else {
        FWorker.reset();
    }
    if (FNextSourceGiven) {
        FSource = std::move(FNextSource);
        FNextSourceGiven = false;
    }
}

void THiResTimer::Pause()
{
    if (FEnabled)
        FWorker->Pause();
}

void THiResTimer::Resume()
{
    if (FEnabled)
        FWorker->Resume();
}

void THiResTimer::SetTimeSource(std::unique_ptr<ITimeSource> source)
{
    if (FEnabled) {
        FNextSource = std::move(source);
        FNextSourceGiven = true;
    } else {
        FSource = std::move(source);
    }
}
