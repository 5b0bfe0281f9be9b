// ThreadSanitizer's options for every test program and for the programs a test starts (korvane,
// helpers): set here rather than in ctest's environment, so that a test run by hand checks the
// same way. Forked children must be let go on to exec, and libjack is covered by the
// suppressions file beside this one. Without ThreadSanitizer this file is empty.
#if defined(__SANITIZE_THREAD__)
#include <cstdlib>

extern "C" const char *__tsan_default_options()
{
    return KORVANE_TSAN_OPTIONS;
}

namespace {
// The children read TSAN_OPTIONS from their environment; a value the user set is kept.
const bool ExportedToChildren = setenv("TSAN_OPTIONS", KORVANE_TSAN_OPTIONS, 0) == 0;
} // namespace
#endif
