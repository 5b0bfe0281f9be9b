// ThreadSanitizer's options for every test program and for the programs a test starts (korvane,
// helpers): set here rather than in ctest's environment, so that a test run by hand checks the
// same way. Forked children must be let go on to exec, and libjack is covered by the
// suppressions file beside this one. Without ThreadSanitizer this file is empty.
#if defined(__SANITIZE_THREAD__)
#include <cstdarg>
#include <cstdlib>
#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>

extern "C" const char *__tsan_default_options()
{
    return KORVANE_TSAN_OPTIONS;
}

namespace {
// The children read TSAN_OPTIONS from their environment; a value the user set is kept.
const bool ExportedToChildren = setenv("TSAN_OPTIONS", KORVANE_TSAN_OPTIONS, 0) == 0;
} // namespace

// QProcess starts a program through clone(CLONE_VM | CLONE_VFORK): the child runs on the
// parent's memory until it execs. ThreadSanitizer's clone interceptor then does its after-fork
// bookkeeping in that child, on the very thread state the parent's starting thread goes on
// with, and the parent undoes its own share once more: that thread is left ignoring every
// interceptor (its mutex locks and unlocks vanish while its accesses are still checked) or,
// when other threads ran, ignoring its memory accesses and synchronisation altogether. Every
// lock the main thread takes after a test's first helper program then looks missing, and real
// races on that thread go unseen. So a
// vfork-like child gets a copy of the memory instead, as ThreadSanitizer itself turns vfork()
// into fork(): its interceptor's bookkeeping is then done in the child's own copy. The child's
// code (Qt's) works either way, reporting a failed exec through a pipe.
extern "C" int clone(int (*fn)(void *), void *stack, int flags, void *arg, ...)
{
    va_list more;
    va_start(more, arg);
    pid_t *parentTid = va_arg(more, pid_t *);
    void *tls = va_arg(more, void *);
    pid_t *childTid = va_arg(more, pid_t *);
    va_end(more);
    using TClone = int (*)(int (*)(void *), void *, int, void *, pid_t *, void *, pid_t *);
    // ThreadSanitizer's interceptor, which stands before the C library's.
    static const auto next = reinterpret_cast<TClone>(dlsym(RTLD_NEXT, "clone"));
    if ((flags & CLONE_VFORK) != 0)
        flags &= ~CLONE_VM;
    return next(fn, stack, flags, arg, parentTid, tls, childTid);
}
#endif
