#include "StopSignals.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

int Pipe[2] = {-1, -1};
// What SIGINT and SIGTERM did before (the part-file cleanup of the file writer), for
// RestoreStopSignals.
struct sigaction Earlier[2];
constexpr int Stops[2] = {SIGINT, SIGTERM};

// Async-signal-safe: one write, errno kept for the code the signal interrupted. A full pipe
// drops the byte, which loses nothing: one byte already asks for the stop.
void OnStopSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(Pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

bool InstallStopSignals()
{
    if (Pipe[0] >= 0)
        return true;
    if (::pipe2(Pipe, O_CLOEXEC) != 0) {
        Pipe[0] = Pipe[1] = -1;
        return false;
    }
    // The writing end never blocks a handler; the reading end is read only when readable.
    ::fcntl(Pipe[1], F_SETFL, ::fcntl(Pipe[1], F_GETFL) | O_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 2; ++i)
        ::sigaction(Stops[i], &action, &Earlier[i]);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    ::pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    return true;
}

int StopSignalDescriptor()
{
    return Pipe[0];
}

void RestoreStopSignals()
{
    if (Pipe[0] < 0)
        return;
    for (int i = 0; i < 2; ++i)
        ::sigaction(Stops[i], &Earlier[i], nullptr);
}
