// What the benchmarks that drive a whole Korvane window share: dialogs that say nothing, waiting
// while the event loop runs, helper programs that die with the bench, and percentiles.
#pragma once

#include "Dialogs.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <functional>
#include <memory>
#include <vector>

#include <sys/prctl.h>

namespace bench {

struct TQuiet : IDialogs {
    void ShowMessage(const QString &) override {}
    void ShowError(const QString &) override {}
};

// Runs the event loop until `done` or `ms` have passed; false when time ran out.
inline bool WaitFor(const std::function<bool()> &done, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        QThread::usleep(200);
    }
    return true;
}

// A helper program (jackd, jack_midi_dump) killed with the bench, however the bench ends.
inline std::unique_ptr<QProcess> Start(const QString &program, const QStringList &arguments)
{
    auto p = std::make_unique<QProcess>();
    p->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    p->start(program, arguments);
    p->waitForStarted(5000);
    return p;
}

// The value below which the share `p` (0 to 1) of `v` lies; 0 for none.
inline double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[size_t(std::min<double>(double(v.size() - 1), std::floor(p * double(v.size()))))];
}

} // namespace bench
