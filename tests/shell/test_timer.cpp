// The run timer: one call per period from a manual time source, settings that wait for the next
// enabling, coalesced periods for a slow or paused handler, raising handlers, disabling that
// waits for the call in progress, a source that cannot start, the lateness statistics, the
// deadline grid, and the timer's own sleeping thread driving a real handler by itself.
#include "HiResTim.h"

#include <QMetaProperty>
#include <gtest/gtest.h>
#include <mutex>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Every wait is bounded by this; nothing should come close to it.
constexpr auto Patience = 10s;

// Wakes the timer when the test says so: Fire calls wake synchronously with the given deadline,
// and does nothing while stopped, like a real source after Stop.
class TManualTimeSource final : public ITimeSource {
public:
    explicit TManualTimeSource(bool startFails = false) : FStartFails(startFails) {}

    bool Start(uint32_t intervalMs, uint32_t resolutionMs,
               std::function<void(TTimerClock::time_point)> wake) override
    {
        std::lock_guard lock(FLock);
        FStarts.emplace_back(intervalMs, resolutionMs);
        if (FStartFails)
            return false;
        FWake = std::move(wake);
        return true;
    }
    void Stop() override
    {
        std::lock_guard lock(FLock);
        FWake = nullptr;
    }

    void Fire(TTimerClock::time_point deadline = TTimerClock::now())
    {
        std::lock_guard lock(FLock);
        ++FFires;
        if (FWake)
            FWake(deadline);
    }
    void FireTimes(int n)
    {
        for (int i = 0; i < n; ++i)
            Fire();
    }
    // How many times Fire was called so far.
    int Fires() const { return FFires.load(); }
    // (interval, resolution) of every Start.
    std::vector<std::pair<uint32_t, uint32_t>> Starts() const
    {
        std::lock_guard lock(FLock);
        return FStarts;
    }
    bool Running() const
    {
        std::lock_guard lock(FLock);
        return bool(FWake);
    }

private:
    const bool FStartFails;
    mutable std::mutex FLock;
    std::function<void(TTimerClock::time_point)> FWake;
    std::vector<std::pair<uint32_t, uint32_t>> FStarts;
    std::atomic<int> FFires{0};
};

// A one-way gate: Wait returns once Open was called, or false after Patience.
class TGate {
public:
    void Open()
    {
        {
            std::lock_guard lock(FLock);
            FOpen = true;
        }
        FChanged.notify_all();
    }
    bool Wait()
    {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, Patience, [this] { return FOpen; });
    }

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    bool FOpen = false;
};

// The OnTimer calls: how many Fire calls each one saw when it began, and its Sender.
class TCallLog {
public:
    void Record(int firesSeen, THiResTimer *sender)
    {
        {
            std::lock_guard lock(FLock);
            FSeen.push_back(firesSeen);
            FSenders.push_back(sender);
        }
        FChanged.notify_all();
    }
    bool WaitFor(size_t calls)
    {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, Patience, [&] { return FSeen.size() >= calls; });
    }
    std::vector<int> Seen() const
    {
        std::lock_guard lock(FLock);
        return FSeen;
    }
    std::vector<THiResTimer *> Senders() const
    {
        std::lock_guard lock(FLock);
        return FSenders;
    }

private:
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<int> FSeen;
    std::vector<THiResTimer *> FSenders;
};

// A timer on a manual source whose handler logs every call.
class TimerRun : public ::testing::Test {
protected:
    TimerRun()
    {
        auto source = std::make_unique<TManualTimeSource>();
        Source = source.get();
        Timer->SetTimeSource(std::move(source));
        Timer->OnTimer = [this](THiResTimer *sender) { Calls.Record(Source->Fires(), sender); };
    }
    // Fires once and waits for the call it brings.
    void Tick(TTimerClock::time_point deadline = TTimerClock::now())
    {
        const size_t before = Calls.Seen().size();
        Source->Fire(deadline);
        ASSERT_TRUE(Calls.WaitFor(before + 1)) << "no call after fire " << Source->Fires();
    }

    TCallLog Calls; // outlives the timer, whose handler writes it
    TOwned<THiResTimer> Timer = CreateOwned<THiResTimer>();
    TManualTimeSource *Source = nullptr; // owned by Timer
};

TEST_F(TimerRun, StartsDisabledWithItsDefaultsPublishedInOrder)
{
    auto fresh = CreateOwned<THiResTimer>();
    EXPECT_FALSE(fresh->Enabled());
    EXPECT_EQ(fresh->Interval(), 100u);
    EXPECT_EQ(fresh->Resolution(), 100u);
    EXPECT_EQ(fresh->Stats().Calls, 0u);

    const QMetaObject &meta = THiResTimer::staticMetaObject;
    QStringList published;
    for (int i = meta.propertyOffset(); i < meta.propertyCount(); ++i)
        published << QString::fromLatin1(meta.property(i).name());
    EXPECT_EQ(published, QStringList({"Enabled", "Interval", "Resolution"}));
}

TEST_F(TimerRun, CallsOnTimerOncePerPeriodWithItselfAsSender)
{
    Timer->SetEnabled(true);
    ASSERT_TRUE(Timer->Enabled());
    EXPECT_EQ(Source->Starts(), (std::vector<std::pair<uint32_t, uint32_t>>{{100, 100}}));
    for (int i = 0; i < 5; ++i)
        Tick();
    Timer->SetEnabled(false);
    EXPECT_FALSE(Source->Running()) << "disabling stops the source";
    EXPECT_EQ(Calls.Seen(), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(Calls.Senders(), std::vector<THiResTimer *>(5, Timer.get()));
    EXPECT_EQ(Timer->Stats().Calls, 5u);
}

TEST_F(TimerRun, IntervalResolutionAndSourceTakeEffectAtTheNextEnabling)
{
    using TStarts = std::vector<std::pair<uint32_t, uint32_t>>;
    Timer->SetInterval(20);
    Timer->SetResolution(5);
    Timer->SetEnabled(true);
    EXPECT_EQ(Source->Starts(), (TStarts{{20, 5}}));

    Timer->SetInterval(7);
    Timer->SetResolution(1);
    auto next = std::make_unique<TManualTimeSource>();
    TManualTimeSource *second = next.get();
    Timer->SetTimeSource(std::move(next));
    EXPECT_EQ(Timer->Interval(), 7u);
    EXPECT_EQ(Timer->Resolution(), 1u);
    EXPECT_EQ(Source->Starts(), (TStarts{{20, 5}})) << "the running source was not restarted";
    Tick(); // the first source still drives the run

    Timer->SetEnabled(false); // frees the replaced source
    Source = second;
    EXPECT_TRUE(Source->Starts().empty());
    Timer->SetEnabled(true);
    EXPECT_EQ(Source->Starts(), (TStarts{{7, 1}}));
    Tick();
}

TEST_F(TimerRun, DeadlinesPassedDuringASlowCallAreEachCalledInOrderWithinTheCatchUpLimit)
{
    struct Row {
        const char *Name;
        int Passed;             // deadlines the source gives while the first call runs
        std::chrono::nanoseconds Apart;
        int FirstKept;          // the first of them that gets a call (1-based); the rest all do
        uint64_t Dropped;
    };
    const std::vector<Row> rows = {
        {"three periods", 3, 1ms, 1, 0},
        {"a 50 ms stall at 1 ms", 50, 1ms, 1, 0},
        {"a 100 ms stall at 1 ms", 100, 1ms, 1, 0},
        {"150 ms behind: the oldest 50 go", 150, 1ms, 50, 49},
        {"more than the queue holds within the limit: the oldest go", 300, 100us, 45, 44},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.Name);
        std::vector<TTimerClock::time_point> deadlines;
        std::vector<uint64_t> droppedBefore;
        std::mutex lock;
        TGate entered, release;
        TCallLog calls;
        Timer->OnTimer = [&](THiResTimer *sender) {
            {
                std::lock_guard guard(lock);
                deadlines.push_back(sender->Deadline());
                droppedBefore.push_back(sender->DroppedBefore());
            }
            calls.Record(Source->Fires(), sender);
            if (calls.Seen().size() == 1) {
                entered.Open();
                release.Wait();
            }
        };
        Timer->SetEnabled(true);
        const TTimerClock::time_point first = TTimerClock::now() - 1s;
        Source->Fire(first);
        ASSERT_TRUE(entered.Wait());
        for (int k = 1; k <= r.Passed; ++k)
            Source->Fire(first + k * r.Apart);
        release.Open();
        const size_t expected = 1 + size_t(r.Passed - r.FirstKept + 1);
        ASSERT_TRUE(calls.WaitFor(expected));
        Source->Fire(first + (r.Passed + 1) * r.Apart);
        ASSERT_TRUE(calls.WaitFor(expected + 1));
        EXPECT_EQ(Timer->Dropped(), r.Dropped);
        Timer->SetEnabled(false);

        std::vector<TTimerClock::time_point> want = {first};
        std::vector<uint64_t> wantDropped(expected + 1, 0);
        for (int k = r.FirstKept; k <= r.Passed + 1; ++k)
            want.push_back(first + k * r.Apart);
        wantDropped[1] = r.Dropped;
        std::lock_guard guard(lock);
        EXPECT_EQ(deadlines, want) << "one call per deadline kept, in order, with its own deadline";
        EXPECT_EQ(droppedBefore, wantDropped);
    }
}

TEST_F(TimerRun, ResumeAfterPausedPeriodsCallsOnceAtOnce)
{
    Timer->SetEnabled(true);
    Tick();
    Timer->Pause();
    Source->FireTimes(3);
    Timer->Resume();
    ASSERT_TRUE(Calls.WaitFor(2)) << "the periods passed while paused leave one call";
    Tick();

    Timer->Pause(); // no period passes: Resume owes nothing
    Timer->Resume();
    Tick();
    Timer->SetEnabled(false);
    EXPECT_EQ(Calls.Seen(), (std::vector<int>{1, 4, 5, 6}));
}

TEST_F(TimerRun, PauseAndResumeWhileDisabledDoNothing)
{
    Timer->Pause();
    EXPECT_FALSE(Timer->Enabled());
    Timer->SetEnabled(true);
    Tick(); // not paused by the earlier Pause

    Timer->Pause();
    Timer->SetEnabled(false);
    Timer->Resume();
    EXPECT_FALSE(Timer->Enabled());
    Timer->SetEnabled(true);
    Tick(); // a new enabling runs unpaused
    EXPECT_EQ(Calls.Seen().size(), 2u);
}

TEST_F(TimerRun, RaisingHandlerKeepsBeingCalled)
{
    Timer->OnTimer = [&](THiResTimer *sender) {
        Calls.Record(Source->Fires(), sender);
        switch (Calls.Seen().size() % 3) {
        case 0:
            throw EHiResTimer("tick failed");
        case 1:
            throw std::runtime_error("tick failed");
        default:
            throw 42;
        }
    };
    Timer->SetEnabled(true);
    for (int i = 0; i < 6; ++i)
        Tick();
    EXPECT_TRUE(Timer->Enabled());
}

TEST_F(TimerRun, DisablingWaitsForTheRunningCallAndNoCallStartsAfter)
{
    TGate entered, release, returned;
    std::atomic<bool> disabled{false};
    std::atomic<int> startedAfterDisable{0}, endedAfterDisable{0};
    Timer->OnTimer = [&](THiResTimer *sender) {
        startedAfterDisable += disabled.load();
        Calls.Record(Source->Fires(), sender);
        entered.Open();
        release.Wait();
        endedAfterDisable += disabled.load();
        returned.Open();
    };
    Timer->SetEnabled(true);
    Source->Fire();
    ASSERT_TRUE(entered.Wait());
    Source->FireTimes(2); // a wake-up is pending when the disabling begins

    std::thread disabler([&] {
        Timer->SetEnabled(false);
        disabled = true;
    });
    // Gives a disabling that does not wait the chance to return while the handler still runs.
    std::this_thread::sleep_for(50ms);
    release.Open();
    disabler.join();
    ASSERT_TRUE(returned.Wait());

    Source->FireTimes(2);
    EXPECT_FALSE(Timer->Enabled());
    EXPECT_EQ(endedAfterDisable.load(), 0) << "SetEnabled(false) returned while OnTimer ran";
    EXPECT_EQ(startedAfterDisable.load(), 0) << "OnTimer started after SetEnabled(false)";
    EXPECT_LE(Calls.Seen().size(), 2u);
}

TEST_F(TimerRun, DisablingFromInsideOnTimerDoesNotDeadlockAndALaterDisablingWaitsForIt)
{
    TGate entered, release, returned;
    std::atomic<bool> disabled{false};
    std::atomic<int> endedAfterDisable{0};
    Timer->OnTimer = [&](THiResTimer *sender) {
        sender->SetEnabled(false);
        Calls.Record(Source->Fires(), sender);
        entered.Open();
        release.Wait();
        endedAfterDisable += disabled.load();
        returned.Open();
    };
    Timer->SetEnabled(true);
    Source->Fire();
    ASSERT_TRUE(entered.Wait()) << "the handler hangs in its own disabling";
    EXPECT_FALSE(Timer->Enabled());
    EXPECT_FALSE(Source->Running());
    Source->Fire();

    std::thread disabler([&] {
        Timer->SetEnabled(false);
        disabled = true;
    });
    std::this_thread::sleep_for(50ms);
    release.Open();
    disabler.join();
    ASSERT_TRUE(returned.Wait());
    EXPECT_EQ(endedAfterDisable.load(), 0) << "SetEnabled(false) returned while OnTimer ran";

    Timer->OnTimer = [&](THiResTimer *sender) { Calls.Record(Source->Fires(), sender); };
    Timer->SetEnabled(true);
    Tick();
    Tick();
    EXPECT_EQ(Calls.Seen(), (std::vector<int>{1, 3, 4}));
}

TEST_F(TimerRun, StatsMeasureFromTheWakingDeadlineSinceTheLastEnabling)
{
    Timer->SetEnabled(true);
    const std::vector<std::chrono::seconds> late = {1s, 10s, 100s};
    for (auto ago : late)
        Tick(TTimerClock::now() - ago);
    TTimerStats s = Timer->Stats();
    EXPECT_EQ(s.Calls, 3u);
    EXPECT_GE(s.LateP50Us, 10'000'000);
    EXPECT_LT(s.LateP50Us, 100'000'000);
    EXPECT_GE(s.LateP99Us, 100'000'000);
    EXPECT_GE(s.LateMaxUs, 100'000'000);

    Timer->Pause(); // a paused run is not late: the call Resume owes counts from the resume
    Source->Fire(TTimerClock::now() - 1000s);
    Timer->Resume();
    ASSERT_TRUE(Calls.WaitFor(4));
    Timer->SetEnabled(false);
    s = Timer->Stats();
    EXPECT_EQ(s.Calls, 4u);
    EXPECT_LT(s.LateMaxUs, 1000'000'000);

    Timer->SetEnabled(true);
    EXPECT_EQ(Timer->Stats().Calls, 0u) << "enabling starts the count afresh";
}

TEST_F(TimerRun, EachCallKnowsTheDeadlineItIsFor)
{
    // What a tick sends is stamped with this deadline, so it must be the call's own.
    std::vector<TTimerClock::time_point> seen;
    std::mutex lock;
    Timer->OnTimer = [&](THiResTimer *sender) {
        {
            std::lock_guard guard(lock);
            seen.push_back(sender->Deadline());
        }
        Calls.Record(Source->Fires(), sender);
    };
    Timer->SetEnabled(true);
    const TTimerClock::time_point first = TTimerClock::now() - 3ms, second = TTimerClock::now() - 1ms;
    Tick(first);
    Tick(second);
    Timer->SetEnabled(false);
    std::lock_guard guard(lock);
    EXPECT_EQ(seen, (std::vector<TTimerClock::time_point>{first, second}));
}

// The timer's threads running now, by their name: the sanitizers and the libraries run threads
// of their own.
int TimerThreads()
{
    int count = 0;
    std::error_code error;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream comm(task.path() / "comm"); // gone when the thread ended meanwhile
        std::string name;
        if (std::getline(comm, name) && name == TimerThreadName)
            ++count;
    }
    return count;
}

TEST(TimerSource, ThatCannotStartRaisesAndLeavesTheTimerDisabled)
{
    struct Row {
        const char *Name;
        std::function<void(THiResTimer &)> Break, Mend;
    };
    const std::vector<Row> rows = {
        {"source refuses to start",
         [](THiResTimer &t) { t.SetTimeSource(std::make_unique<TManualTimeSource>(true)); },
         [](THiResTimer &t) { t.SetTimeSource(std::make_unique<TManualTimeSource>()); }},
        {"sleeping source with interval 0", [](THiResTimer &t) { t.SetInterval(0); },
         [](THiResTimer &t) { t.SetInterval(5); }},
    };
    for (const Row &r : rows) {
        auto timer = CreateOwned<THiResTimer>();
        std::atomic<int> calls{0};
        timer->OnTimer = [&](THiResTimer *) { ++calls; };
        r.Break(*timer);
        const int threads = TimerThreads();
        try {
            timer->SetEnabled(true);
            ADD_FAILURE() << r.Name << ": no exception";
        } catch (const EHiResTimer &e) {
            EXPECT_STREQ(e.what(), "Unable to create a timer") << r.Name;
        }
        EXPECT_FALSE(timer->Enabled()) << r.Name;
        EXPECT_LE(TimerThreads(), threads) << r.Name << ": the worker it started still runs";

        r.Mend(*timer);
        timer->SetEnabled(true);
        EXPECT_TRUE(timer->Enabled()) << r.Name;
        timer->SetEnabled(false);
    }
}

TEST(TimerSource, SleepingSourceDrivesTheHandlerAndStopsPromptly)
{
    auto timer = CreateOwned<THiResTimer>();
    std::mutex lock;
    std::condition_variable called;
    int calls = 0;
    timer->OnTimer = [&](THiResTimer *) {
        {
            std::lock_guard guard(lock);
            ++calls;
        }
        called.notify_all();
    };
    timer->SetInterval(5);
    timer->SetResolution(1);
    timer->SetEnabled(true);
    {
        std::unique_lock guard(lock);
        EXPECT_TRUE(called.wait_for(guard, Patience, [&] { return calls >= 10; })) << calls;
    }
    timer->SetEnabled(false);
    std::lock_guard guard(lock);
    EXPECT_EQ(timer->Stats().Calls, uint64_t(calls)) << "every call is measured";

    // A period of ten minutes: disabling must not sleep it out.
    timer->SetInterval(600'000);
    timer->SetEnabled(true);
    std::atomic<bool> done{false};
    std::thread disabler([&] {
        timer->SetEnabled(false);
        done = true;
    });
    for (auto waited = 0ms; !done && waited < Patience; waited += 10ms)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(done.load()) << "disabling waits for the period to end";
    disabler.join();
}

TEST(TimerDeadline, AfterACallTheMissedDeadlinesFollowAtOnceUpToTheLimit)
{
    struct Row {
        const char *Name;
        double Now;        // in periods, after the deadline just called
        int NextInPeriods; // the deadline called next, from that one; at or before Now: at once
        uint64_t Dropped;
    };
    // 20 ms periods and a limit of 100 ms: five periods.
    const std::vector<Row> rows = {
        {"on time, short call", 0.1, 1, 0},
        {"call ended exactly on the next deadline", 1.0, 1, 0},
        {"call overran 2.5 periods: both missed deadlines follow", 2.5, 1, 0},
        {"woke 1.5 periods late: the missed one is called, not dropped", 1.6, 1, 0},
        {"exactly the limit behind", 6.0, 1, 0},
        {"just past the limit: the oldest goes", 7.2, 2, 1},
        {"a stall of a thousand periods keeps the last five", 1000.5, 995, 994},
    };
    const auto last = TTimerClock::time_point(1000s);
    const std::chrono::nanoseconds period = 20ms;
    for (const Row &r : rows) {
        const auto now = last + std::chrono::duration_cast<std::chrono::nanoseconds>(period * r.Now);
        EXPECT_EQ(TimerDeadlineAfterCall(last, period, now, 100ms), (TTimerNext{last + period * r.NextInPeriods, r.Dropped}))
            << r.Name;
    }
}

// The timer's own clock (no source given), at a period short enough that many pass in a test.
class TimerOwnClock : public ::testing::Test {
protected:
    TimerOwnClock()
    {
        Timer->SetInterval(1);
        Timer->SetResolution(1);
    }
    TCallLog Calls; // outlives the timer, whose handler writes it
    TOwned<THiResTimer> Timer = CreateOwned<THiResTimer>();
};

TEST_F(TimerOwnClock, TheThreadThatSleepsMakesEveryCallItself)
{
    std::mutex lock;
    std::vector<std::thread::id> threads;
    std::vector<int> running;
    Timer->OnTimer = [&](THiResTimer *sender) {
        {
            std::lock_guard guard(lock);
            threads.push_back(std::this_thread::get_id());
            running.push_back(TimerThreads());
        }
        Calls.Record(0, sender);
    };
    const int before = TimerThreads();
    Timer->SetEnabled(true);
    ASSERT_TRUE(Calls.WaitFor(20));
    Timer->SetEnabled(false);
    std::lock_guard guard(lock);
    EXPECT_NE(threads.front(), std::this_thread::get_id());
    EXPECT_EQ(threads, std::vector<std::thread::id>(threads.size(), threads.front()))
        << "every call on the one timer thread";
    EXPECT_EQ(running, std::vector<int>(running.size(), before + 1))
        << "a running timer adds exactly one thread";
    EXPECT_EQ(Timer->Stats().Calls, threads.size());
}

TEST_F(TimerOwnClock, DisablingWaitsForTheRunningCallAndNoCallStartsAfter)
{
    for (const bool fromInside : {false, true}) {
        const char *name = fromInside ? "disabled inside the call, then outside" : "disabled outside";
        TGate entered, release, returned;
        std::atomic<bool> disabled{false};
        std::atomic<int> calls{0}, startedAfterDisable{0}, endedAfterDisable{0};
        Timer->OnTimer = [&](THiResTimer *sender) {
            startedAfterDisable += disabled.load();
            if (++calls > 1)
                return;
            if (fromInside)
                sender->SetEnabled(false);
            entered.Open();
            release.Wait();
            endedAfterDisable += disabled.load();
            returned.Open();
        };
        Timer->SetEnabled(true);
        ASSERT_TRUE(entered.Wait()) << name;
        std::thread disabler([&] {
            Timer->SetEnabled(false);
            disabled = true;
        });
        // Gives a disabling that does not wait the chance to return while the call still runs.
        std::this_thread::sleep_for(50ms);
        release.Open();
        disabler.join();
        ASSERT_TRUE(returned.Wait()) << name;
        std::this_thread::sleep_for(20ms); // twenty deadlines at which a call must not start
        EXPECT_FALSE(Timer->Enabled()) << name;
        EXPECT_EQ(endedAfterDisable.load(), 0) << name << ": SetEnabled(false) returned while OnTimer ran";
        EXPECT_EQ(startedAfterDisable.load(), 0) << name << ": OnTimer started after SetEnabled(false)";
    }
}

TEST_F(TimerOwnClock, PausedPeriodsLeaveOneCallMeasuredFromTheResume)
{
    TGate entered, release;
    std::atomic<int> calls{0};
    Timer->OnTimer = [&](THiResTimer *sender) {
        if (++calls == 1) {
            entered.Open();
            release.Wait();
        }
        Calls.Record(0, sender);
    };
    Timer->SetEnabled(true);
    ASSERT_TRUE(entered.Wait());
    Timer->Pause(); // while a call runs: it goes on, the next does not start
    release.Open();
    ASSERT_TRUE(Calls.WaitFor(1));
    const auto paused = 600ms; // six hundred periods: far beyond any scheduling delay
    std::this_thread::sleep_for(paused);
    EXPECT_EQ(calls.load(), 1) << "a call started while paused";
    Timer->Resume();
    ASSERT_TRUE(Calls.WaitFor(3));
    Timer->SetEnabled(false);
    EXPECT_LT(Timer->Stats().LateMaxUs, std::chrono::microseconds(paused).count() / 2)
        << "the call owed by the resume was measured from a deadline passed while paused";
}

TEST_F(TimerOwnClock, ACallThatStallsLeavesNoGapInTheDeadlines)
{
    // One call holds the thread for 30 periods; the calls after it come for every deadline
    // that passed meanwhile. A machine that holds the thread far longer makes the timer drop
    // deadlines, which it must then tell: every gap between two calls' deadlines is one period
    // plus the deadlines dropped before the second.
    std::mutex lock;
    std::vector<TTimerClock::time_point> deadlines;
    std::vector<uint64_t> dropped;
    Timer->OnTimer = [&](THiResTimer *sender) {
        size_t n;
        {
            std::lock_guard guard(lock);
            deadlines.push_back(sender->Deadline());
            dropped.push_back(sender->DroppedBefore());
            n = deadlines.size();
        }
        if (n == 5)
            std::this_thread::sleep_for(30ms);
        Calls.Record(0, sender);
    };
    Timer->SetEnabled(true);
    ASSERT_TRUE(Calls.WaitFor(100));
    Timer->SetEnabled(false);
    std::lock_guard guard(lock);
    uint64_t droppedInAll = 0;
    for (size_t i = 1; i < deadlines.size(); ++i) {
        EXPECT_EQ(deadlines[i] - deadlines[i - 1], 1ms * (1 + dropped[i])) << "call " << i;
        droppedInAll += dropped[i];
    }
    EXPECT_EQ(Timer->Dropped(), droppedInAll);
    EXPECT_EQ(dropped[5], 0u) << "the deadlines of a 30 ms stall are called, not dropped";
}

TEST(TimerStats, PercentilesFromKnownLateness)
{
    struct Row {
        const char *Name;
        std::vector<int64_t> LateUs;
        TTimerStats Expected;
        bool Coarse = false; // values in the buckets that hold a range: within 1/64
    };
    std::vector<int64_t> oneToHundred, tailOfOne(99, 10), tailOfTwo(98, 10), thousands;
    for (int64_t i = 1; i <= 100; ++i) {
        oneToHundred.push_back(i);
        thousands.push_back(i * 1000);
    }
    tailOfOne.push_back(1'000'000);
    tailOfTwo.insert(tailOfTwo.end(), {1'000'000, 1'000'000});
    const std::vector<Row> rows = {
        {"nothing recorded", {}, {0, 0, 0, 0}},
        {"one call", {7}, {1, 7, 7, 7}},
        {"1 to 100", oneToHundred, {100, 50, 99, 100}},
        {"one outlier in a hundred stays above p99", tailOfOne, {100, 10, 10, 1'000'000}},
        {"two outliers in a hundred reach p99", tailOfTwo, {100, 10, 1'000'000, 1'000'000}},
        {"early counts as on time", {-5, -5, 3}, {3, 0, 3, 3}},
        {"coarse buckets stay within 1/64", thousands, {100, 50'000, 99'000, 100'000}, true},
    };
    for (const Row &r : rows) {
        TLatenessHistogram h;
        for (int64_t v : r.LateUs)
            h.Record(v);
        const TTimerStats s = h.Summary();
        EXPECT_EQ(s.Calls, r.Expected.Calls) << r.Name;
        const double within = r.Coarse ? 1.0 / 64 : 0.0;
        const double p50 = double(r.Expected.LateP50Us), p99 = double(r.Expected.LateP99Us);
        EXPECT_NEAR(double(s.LateP50Us), p50, within * p50) << r.Name;
        EXPECT_NEAR(double(s.LateP99Us), p99, within * p99) << r.Name;
        EXPECT_EQ(s.LateMaxUs, r.Expected.LateMaxUs) << r.Name;
        h.Reset();
        EXPECT_EQ(h.Summary().Calls, 0u) << r.Name;
    }
}

TEST(TimerDeadline, NextDeadlineKeepsThePhaseAndSkipsLostPeriods)
{
    struct Row {
        const char *Name;
        double WokeLateBy; // in periods, after the deadline the source slept to
        int NextInPeriods; // where the next deadline lies, from that deadline
    };
    const std::vector<Row> rows = {
        {"woke on time", 0.0, 1},
        {"woke half a period late", 0.5, 1},
        {"woke exactly on the next deadline", 1.0, 2},
        {"woke 1.5 periods late", 1.5, 2},
        {"stalled for many periods", 7.2, 8},
    };
    const auto last = TTimerClock::time_point(1000s);
    const std::chrono::nanoseconds period = 20ms;
    for (const Row &r : rows) {
        const auto now =
            last + std::chrono::duration_cast<std::chrono::nanoseconds>(period * r.WokeLateBy);
        EXPECT_EQ(NextTimerDeadline(last, period, now), last + period * r.NextInPeriods) << r.Name;
    }
}

} // namespace
