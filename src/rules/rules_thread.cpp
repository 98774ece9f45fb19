#include "rules/rules_thread.h"

#include <atomic>

#include "channels/msgs.h"
#include "daemon.h"

namespace
{

list<rules_function> rules_functions;
list<rules_node> rules_nodes;
// 0 running, 1 stop requested, 2 stopped.
std::atomic<int> thread_state{2};
// Signalled by the trigger_rules channel and by a stop request.
msg_waker waker{-1, {false}};
// An idle pass sleeps this long at most; the waker ends it at once.
constexpr int IDLE_WAIT_MS = 1000;

void thread_rules_loop()
{
    // One chain per drain: a stop request is seen between chains, and the
    // triggers behind it stay queued for the next start.
    while (thread_state.load() != 1) {
        if (msg_trigger_rules_drain(1, msg_trigger_rules_handle) == 0)
            msg_waker_wait(&waker, IDLE_WAIT_MS);
    }
    rules_function_remove_all(&rules_functions);
    rules_node_remove_all(&rules_nodes);
    thread_state.store(2);
}

void* thread_rules_launcher(void*)
{
    thread_rules_loop();
    return nullptr;
}

} // namespace

int thread_rules_start()
{
    // A second start would run two walkers over one node list.
    if (thread_state.load() != 2 || msg_waker_init(&waker) != 0)
        return -1;
    rules_functions_init(&rules_functions);
    msg_trigger_rules_set_waker(&waker);
    thread_state.store(0);
    int result = thread_begin(thread_rules_launcher, nullptr, nullptr);
    if (result != 0) {
        msg_trigger_rules_set_waker(nullptr);
        msg_waker_destroy(&waker);
        rules_function_remove_all(&rules_functions);
        thread_state.store(2);
    }
    return result;
}

void thread_rules_stop()
{
    thread_stop_wait(&thread_state, &waker);
    msg_trigger_rules_set_waker(nullptr);
    msg_waker_destroy(&waker);
}

void thread_rules_add_node(uint32_t id, uint32_t type, void* param)
{
    rules_node_add(&rules_nodes, id, type, param);
}

void thread_rules_remove_all()
{
    rules_node_remove_all(&rules_nodes);
}

void msg_trigger_rules_handle(trigger_rules_msg* msg)
{
    node_execute(&rules_functions, &rules_nodes, msg->next_id);
}
