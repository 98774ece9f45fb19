// The lifecycle every thread module shares: one thread that owns its state,
// talks to the others only through channels, and sleeps on one waker that
// its channels and a stop request signal.
#pragma once

#include <pthread.h>

#include <atomic>

#include "msg_waker.h"

// An idle pass of a thread's loop sleeps this long at most: every record
// and stop request wakes it at once through the waker, so a shorter sleep
// would only cost CPU.
constexpr int THREAD_IDLE_WAIT_MS = 1000;

// Values of thread_module.state.
constexpr int THREAD_RUNNING = 0;
constexpr int THREAD_STOP_REQUESTED = 1;
constexpr int THREAD_STOPPED = 2; // also before the first start

// One per module, a static record of the module's file. The three routines
// are the module's own:
//   setup    main thread, before the thread runs: opens what the thread
//            needs (sockets, connections) and attaches the waker to the
//            channels the thread consumes. false when something could not
//            be opened. May be null.
//   body     the thread: loops until thread_module_stopping, then releases
//            what the thread owns.
//   release  main thread, after a failed start and after every stop:
//            detaches the waker from the channels and frees what setup
//            opened and the thread did not. Safe to call with nothing open.
//            May be null.
struct thread_module {
    bool (*setup)();
    void (*body)();
    void (*release)();
    std::atomic<int> state{THREAD_STOPPED};
    msg_waker waker{-1, {false}};
};

// Main thread: makes the waker, runs setup and starts the thread. A
// module already running is refused (its state is left alone); any
// failure releases what was opened. 0, or -1.
[[nodiscard]] int thread_module_start(thread_module* module);

// Main thread: the stop handshake, then release and the waker destroyed.
// Returns at once for a thread that is not running (it still releases).
void thread_module_stop(thread_module* module);

// The thread's loop condition: whether a stop was asked for.
[[nodiscard]] inline bool thread_module_stopping(const thread_module* module)
{
    return module->state.load() == THREAD_STOP_REQUESTED;
}

// Starts a detached thread running start_routine(arg); stores its id
// through thread_id when that is not null. Returns pthread_create's result.
int thread_begin(void* (*start_routine)(void*), void* arg, pthread_t* thread_id);

// The stop handshake of every thread module, whose `thread_state` is 0
// (running), 1 (stop requested) or 2 (stopped): asks a running thread to
// stop, wakes it through its waker and waits until it has released what it
// owns. Returns at once for a thread that has already stopped.
void thread_stop_wait(std::atomic<int>* thread_state, msg_waker* waker);
