#include "rules/rules_thread.h"

#include <atomic>
#include <mutex>

#include "channels/msgs.h"
#include "channels/rules_mqtt.h"
#include "cron/cron.h"
#include "logging.h"
#include "thread_module.h"

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
// Written under engine_mutex, so that a reload's restart and main's
// shut-down cannot interleave; read alone by the broker's rules_engine_up.
std::atomic<int> engine_phase{ENGINE_DOWN};
std::mutex engine_mutex;

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
    rules_firing firing{msg->fired, msg->topic_len, msg->fired ? msg->fired + msg->topic_len : nullptr,
                        msg->value_len, msg->depth};
    node_execute(&rules_functions, &rules_nodes, msg->next_id, &firing);
}

int rules_engine_start()
{
    std::lock_guard<std::mutex> lock(engine_mutex);
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
    std::lock_guard<std::mutex> lock(engine_mutex);
    engine_phase.store(ENGINE_STOPPING);
    msggap_rules_mqtt_close();
}

bool rules_engine_up()
{
    return engine_phase.load() == ENGINE_UP;
}

void rules_engine_restart()
{
    std::lock_guard<std::mutex> lock(engine_mutex);
    if (engine_phase.load() != ENGINE_UP)
        return;
    msggap_rules_mqtt_reopen();
    if (thread_rules_start() != 0 || thread_cron_start() != 0)
        log_write(LOG_ERR, "rules: the rules engine could not be restarted after the reload\n");
}
