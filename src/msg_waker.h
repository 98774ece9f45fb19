// The wake-up signal of a consumer thread. It sits below the channels and
// the thread skeleton, which both signal it.
#pragma once

#include <atomic>

// Wakes one consumer thread: producers signal it, the consumer sleeps on it
// (msg_waker_wait) or keeps its descriptor in its own poll set. One waker
// may serve several queues of the same consumer. A signal given while one
// is already pending costs no system call.
struct msg_waker {
    int fd;                       // eventfd, -1 while not initialised
    std::atomic<bool> signalled;  // a signal is pending on fd
};

// 0, or -1 when no eventfd could be made.
[[nodiscard]] int msg_waker_init(msg_waker* waker);
void msg_waker_destroy(msg_waker* waker);
void msg_waker_signal(msg_waker* waker);
// Consumer: returns once signalled or after timeout_ms, and clears the
// signal. Work added after the clear signals again.
void msg_waker_wait(msg_waker* waker, int timeout_ms);
// Consumer that polls `fd` itself: clears a signal it has seen.
void msg_waker_clear(msg_waker* waker);
