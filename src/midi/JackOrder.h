// JACK runs a cycle's process callbacks in the order of its graph (a port's writer before its
// readers, one cycle's readers before the next cycle's writer) and hands a client's requests to
// the callbacks through its server, waking each client's thread with futexes in shared memory.
// ThreadSanitizer sees none of that: to it, the callbacks' accesses to a port's buffer (JACK's
// shared memory), and a callback's first use of what the opening thread set up, look unordered.
// These say where JACK orders them, so that the sanitizer sees exactly that order and no more.
// Without ThreadSanitizer they are empty.
#pragma once

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

// Before a callback uses `what`: everything handed over on `what` before is seen.
inline void JackTakesOver(const void *what)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(const_cast<void *>(what));
#else
    (void)what;
#endif
}

// After the last use of `what` that the next callback to take it over relies on.
inline void JackHandsOver(const void *what)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_release(const_cast<void *>(what));
#else
    (void)what;
#endif
}

// A process callback's turn at a port's buffer, from its first access to its last.
class TJackBufferTurn {
public:
    explicit TJackBufferTurn(const void *buffer) : FBuffer(buffer) { JackTakesOver(FBuffer); }
    ~TJackBufferTurn() { JackHandsOver(FBuffer); }
    TJackBufferTurn(const TJackBufferTurn &) = delete;
    TJackBufferTurn &operator=(const TJackBufferTurn &) = delete;

private:
    const void *FBuffer;
};
