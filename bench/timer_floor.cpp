// The floor for the run's timing: a plain loop that sleeps to the same absolute deadlines as the
// timer (same clock, same timer slack, same real-time request) and reports how late it woke, in
// the form of `korvane --headless --stats`. Run: timer_floor PERIOD_MS SECONDS.
#include <pthread.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

int64_t Nanoseconds(const timespec &t)
{
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

timespec FromNanoseconds(int64_t ns)
{
    return {time_t(ns / 1000000000), long(ns % 1000000000)};
}

} // namespace

int main(int argc, char **argv)
{
    const int periodMs = argc > 1 ? std::atoi(argv[1]) : 20;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    if (periodMs <= 0 || seconds <= 0) {
        std::fprintf(stderr, "usage: timer_floor PERIOD_MS SECONDS\n");
        return 2;
    }
    prctl(PR_SET_TIMERSLACK, 1UL);
    sched_param param{};
    param.sched_priority = 12;
    const bool realtime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;

    const int64_t period = int64_t(periodMs) * 1000000;
    const int64_t count = int64_t(seconds) * 1000 / periodMs;
    std::vector<int64_t> late;
    late.reserve(size_t(count));
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t deadline = Nanoseconds(now) + period;
    for (int64_t i = 0; i < count; ++i) {
        const timespec wake = FromNanoseconds(deadline);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) != 0) {
        }
        clock_gettime(CLOCK_MONOTONIC, &now);
        late.push_back((Nanoseconds(now) - deadline) / 1000);
        deadline += period;
        // A stall longer than a period skips to the next deadline still ahead, as the timer does.
        while (deadline <= Nanoseconds(now))
            deadline += period;
    }
    std::sort(late.begin(), late.end());
    const auto rank = [&](double p) { return late[std::min(late.size() - 1, size_t(p * double(late.size())))]; };
    std::printf("ticks=%lld realtime=%d late_p50_us=%lld late_p99_us=%lld late_max_us=%lld\n", (long long)late.size(),
                realtime ? 1 : 0, (long long)rank(0.5), (long long)rank(0.99), (long long)late.back());
    return 0;
}
