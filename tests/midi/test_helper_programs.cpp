// The tests start helper programs (jackd, jack_lsp, korvane itself) with QProcess. A program
// that runs ends with its exit code and one that cannot run is told as such, and the thread
// that started it goes on synchronising as before: under ThreadSanitizer a lock that thread
// takes afterwards must still order its accesses against another thread's (the program would
// end with a race report otherwise).
#include <QProcess>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

namespace {

struct THelperCase {
    const char *Name;
    QString Program;
    QStringList Arguments;
    bool Runs;
    int ExitCode;
};

class HelperProgram : public testing::TestWithParam<THelperCase> {};

TEST_P(HelperProgram, EndsAsItShouldAndTheStartingThreadsLocksStillOrderItsAccesses)
{
    const THelperCase &c = GetParam();
    QProcess p;
    p.start(c.Program, c.Arguments);
    ASSERT_EQ(p.waitForStarted(5000), c.Runs) << p.errorString().toStdString();
    if (c.Runs) {
        ASSERT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), c.ExitCode);
    } else {
        EXPECT_EQ(p.error(), QProcess::FailedToStart);
    }

    // Each side counts under the lock; the other thread comes second, after this thread's
    // unlock, whichever way the two are scheduled.
    std::mutex lock;
    int counted = 0;
    bool mineDone = false;
    std::thread other([&] {
        for (;;) {
            {
                const std::lock_guard guard(lock);
                if (mineDone) {
                    ++counted;
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    {
        const std::lock_guard guard(lock);
        ++counted;
        mineDone = true;
    }
    other.join();
    EXPECT_EQ(counted, 2);
}

const THelperCase HelperCases[] = {
    {"Succeeds", "/bin/sh", {"-c", "exit 0"}, true, 0},
    {"Fails", "/bin/sh", {"-c", "exit 3"}, true, 3},
    {"IsMissing", "/nonexistent/korvane-helper", {}, false, 0},
};

INSTANTIATE_TEST_SUITE_P(Tests, HelperProgram, testing::ValuesIn(HelperCases),
                         [](const testing::TestParamInfo<THelperCase> &param) { return std::string(param.param.Name); });

} // namespace
