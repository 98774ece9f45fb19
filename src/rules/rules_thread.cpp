#include "rules/rules_thread.h"

#include <atomic>

#include "channels/msgs.h"
#include "channels/rules_mqtt.h"
#include "cron/cron.h"
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

enum engine_phase : int { ENGINE_DOWN, ENGINE_UP, ENGINE_STOPPING };
// Written by main, read by the broker's rules_engine_up.
std::atomic<int> engine_phase{ENGINE_DOWN};

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
    int stopped = 2;
    if (!thread_state.compare_exchange_strong(stopped, 0))
        return -1;
    if (msg_waker_init(&waker) != 0) {
        thread_state.store(2);
        return -1;
    }
    rules_functions_init(&rules_functions);
    msg_trigger_rules_set_waker(&waker);
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

void thread_rules_nodes_swap(list<rules_node> nodes)
{
    msg_mqtt_rules_add_nodes(nodes);
}

void msg_trigger_rules_handle(trigger_rules_msg* msg)
{
    // The chains queued before the set ran on the old nodes; those behind
    // it run on the new ones.
    if (msg->nodes_swap) {
        rules_node_remove_all(&rules_nodes);
        rules_nodes = msg->nodes;
        msg->nodes = {};
        return;
    }
    rules_firing firing{msg->fired, msg->topic_len, msg->fired ? msg->fired + msg->topic_len : nullptr,
                        msg->value_len, msg->depth};
    node_execute(&rules_functions, &rules_nodes, msg->next_id, &firing);
}

int rules_engine_start()
{
    if (engine_phase.load() != ENGINE_DOWN)
        return -1;
    if (thread_rules_start() != 0)
        return -1;
    if (thread_cron_start() != 0) {
        thread_rules_stop();
        return -1;
    }
    engine_phase.store(ENGINE_UP);
    return 0;
}

void rules_engine_shutdown()
{
    engine_phase.store(ENGINE_STOPPING);
    msggap_rules_mqtt_close();
}

bool rules_engine_up()
{
    return engine_phase.load() == ENGINE_UP;
}
