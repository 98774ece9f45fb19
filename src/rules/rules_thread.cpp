#include "rules/rules_thread.h"

#include <atomic>

#include "channels/msgs.h"
#include "channels/rules_mqtt.h"
#include "cron/cron.h"
#include "thread_module.h"

namespace
{

list<rules_function> rules_functions;
list<rules_node> rules_nodes;
bool thread_rules_setup();
void thread_rules_loop();
void thread_rules_release();
// Its waker is signalled by the trigger_rules channel and by a stop
// request. A second start is refused: it would run two walkers over one
// node list.
thread_module module{thread_rules_setup, thread_rules_loop, thread_rules_release};

enum engine_phase : int { ENGINE_DOWN, ENGINE_UP, ENGINE_STOPPING };
// Written by main, read by the broker's rules_engine_up.
std::atomic<int> engine_phase{ENGINE_DOWN};

void thread_rules_loop()
{
    // One chain per drain: a stop request is seen between chains, and the
    // triggers behind it stay queued for the next start.
    while (!thread_module_stopping(&module)) {
        if (msg_trigger_rules_drain(1, msg_trigger_rules_handle) == 0)
            msg_waker_wait(&module.waker, THREAD_IDLE_WAIT_MS);
    }
    rules_function_remove_all(&rules_functions);
    rules_node_remove_all(&rules_nodes);
}

bool thread_rules_setup()
{
    rules_functions_init(&rules_functions);
    msg_trigger_rules_set_waker(&module.waker);
    return true;
}

// The functions are gone already after a stop; after a failed start they
// go here.
void thread_rules_release()
{
    msg_trigger_rules_set_waker(nullptr);
    rules_function_remove_all(&rules_functions);
}

} // namespace

int thread_rules_start()
{
    return thread_module_start(&module);
}

void thread_rules_stop()
{
    thread_module_stop(&module);
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
