#include "thread_module.h"

#include <unistd.h>

namespace {

void* thread_module_run(void* arg)
{
    auto* module = static_cast<thread_module*>(arg);
    module->body();
    module->state.store(THREAD_STOPPED);
    return nullptr;
}

void start_undo(thread_module* module)
{
    module->state.store(THREAD_STOPPED);
    if (module->release)
        module->release();
    msg_waker_destroy(&module->waker);
}

} // namespace

int thread_module_start(thread_module* module)
{
    // A second thread over the same state would corrupt it.
    int stopped = THREAD_STOPPED;
    if (!module->state.compare_exchange_strong(stopped, THREAD_RUNNING))
        return -1;
    if (msg_waker_init(&module->waker) != 0 || (module->setup && !module->setup())
        || thread_begin(thread_module_run, module, nullptr) != 0) {
        // Without its thread a later stop would wait for it forever.
        start_undo(module);
        return -1;
    }
    return 0;
}

void thread_module_stop(thread_module* module)
{
    thread_stop_wait(&module->state, &module->waker);
    if (module->release)
        module->release();
    msg_waker_destroy(&module->waker);
}

int thread_begin(void* (*start_routine)(void*), void* arg, pthread_t* thread_id)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_t id;
    int result = pthread_create(&id, &attr, start_routine, arg);
    pthread_attr_destroy(&attr);
    if (result != 0)
        return result;
    pthread_detach(id);
    if (thread_id)
        *thread_id = id;
    return result;
}

void thread_stop_wait(std::atomic<int>* thread_state, msg_waker* waker)
{
    int running = THREAD_RUNNING;
    if (thread_state->compare_exchange_strong(running, THREAD_STOP_REQUESTED))
        msg_waker_signal(waker);
    while (thread_state->load() != THREAD_STOPPED)
        usleep(10000);
}
