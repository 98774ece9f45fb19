// The broker thread: state, start/stop, the loop and the timer.
#include <chrono>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "broker/broker_internal.h"
#include "channels/bridge.h"
#include "channels/mqtt_tcp.h"
#include "channels/rules_mqtt.h"
#include "channels/udp_mqtt.h"
#include "logging.h"
#include "thread_module.h"

list<mqtt_conn> mqtt_conns;
list<mqttsn_conn> mqttsn_conns;
list<mqtt_user> mqtt_users;
list<pub_item> pub_list;
list<mqtt_trigger> mqtt_triggers;
uint16_t mqtt_msg_id = 1;
uint16_t mqttsn_msg_id = 1;
uint16_t mqttsn_topic_id = 1;

uint32_t broker_max_topics = CONF_MAX_TOPICS_DEFAULT;
uint32_t broker_mqttsn_max_sessions = CONF_MQTTSN_MAX_SESSIONS_DEFAULT;
bool broker_mqttsn_publish_enable = true;

namespace {

// Topics and their ids are never given back, so each of these bounds,
// once reached, stays reached: one warning each.
bool topics_full_logged = false;
bool topic_ids_full_logged = false;

using clock_type = std::chrono::steady_clock;

bool thread_mqtt_setup_channels();
void thread_mqtt_loop();
void thread_mqtt_release();
// Its waker is signalled by every channel the broker consumes, and by a
// stop request.
thread_module module{thread_mqtt_setup_channels, thread_mqtt_loop, thread_mqtt_release};
// Set by thread_mqtt_rules_reload_request, taken by the loop.
std::atomic<bool> rules_reload_requested{false};

constexpr auto TICK = std::chrono::seconds(1);
// An idle pass sleeps until the next tick: every record and stop request
// wakes it at once through the waker.

void serve_tcp_mqtt(tcp_mqtt_msg* record)
{
    // A close notice or a one-packet record takes one call; a record with
    // several whole packets takes one call per packet.
    record->offset = 0;
    do {
        mqtt_packet_handle(record);
    } while (record->offset != 0 && record->offset != record->packet_len);
}


void serve_rules_mqtt(rules_mqtt_msg* record)
{
    mqtt_set_topic_data(&record->data_list, record->retain, record->depth);
}

void serve_bridge_mqtt(bridge_msg* record)
{
    if (record->topic.size() > UINT16_MAX)
        return;
    broker_publish(PUBLICATION_BRIDGE, reinterpret_cast<const uint8_t*>(record->topic.data()),
                   static_cast<uint16_t>(record->topic.size()), reinterpret_cast<const uint8_t*>(record->payload.data()),
                   static_cast<uint32_t>(record->payload.size()), record->retain, 0, 1);
}

void release_all()
{
    broker_sn_remove_all();
    broker_conn_remove_all();
    list_data_remove_all(&pub_list);
    list_mqtt_user_remove_all(&mqtt_users);
    mqtt_trigger_remove_all(&mqtt_triggers);
}

void wakers_attach(msg_waker* w)
{
    msg_tcp_mqtt_set_waker(w);
    msg_udp_mqtt_set_waker(w);
    msg_rules_mqtt_set_waker(w);
    msggap_rules_mqtt_set_waker(w);
    msg_bridge_mqtt_set_waker(w);
}

void thread_mqtt_loop()
{
    // The timer runs in the first pass, then once a second by the clock,
    // however busy or idle the loop is.
    auto next_tick = clock_type::now();
    for (;;) {
        bool more = mqtt_loop_pass();
        auto now = clock_type::now();
        if (now >= next_tick) {
            timer_handle();
            next_tick += TICK;
            if (next_tick <= now)
                next_tick = now + TICK;
        }
        if (thread_module_stopping(&module))
            break;
        if (rules_reload_requested.exchange(false))
            mqtt_rules_file_reload();
        if (!more) {
            auto until_tick = std::chrono::ceil<std::chrono::milliseconds>(next_tick - now).count();
            msg_waker_wait(&module.waker, static_cast<int>(std::clamp<long long>(until_tick, 0, 1000)));
        }
    }
    // Nothing is sent and no will is published at shut-down; the store
    // gets the last changes for its final snapshot.
    broker_store_flush(true);
    broker_store_forget();
    release_all();
}

bool thread_mqtt_setup_channels()
{
    list_pub_set_max(&pub_list, broker_max_topics);
    wakers_attach(&module.waker);
    return true;
}

void thread_mqtt_release()
{
    wakers_attach(nullptr);
}

} // namespace

uint16_t broker_counter_take(uint16_t* counter)
{
    uint16_t value = *counter;
    *counter = value == 65535 ? 1 : static_cast<uint16_t>(value + 1);
    return value;
}

bool broker_topic_id_assign(pub_item* item)
{
    if (item->topic_id != 0)
        return true;
    if (list_pub_topic_id_count(&pub_list) >= 65535) {
        if (!topic_ids_full_logged)
            log_write(LOG_WARNING, "mqttsn: all 65535 topic ids are taken; topics without one are refused to "
                                   "MQTT-SN clients\n");
        topic_ids_full_logged = true;
        return false;
    }
    // A node publishing by id must reach the topic it registered: an id
    // still held is skipped, never given twice.
    uint16_t id = broker_counter_take(&mqttsn_topic_id);
    while (list_pub_find_topic_id(&pub_list, id))
        id = broker_counter_take(&mqttsn_topic_id);
    list_pub_set_topic_id(&pub_list, item, id);
    broker_store_mark(item);
    return true;
}

void broker_topics_refused()
{
    if (!topics_full_logged)
        log_write(LOG_WARNING, "broker: %u topics, the max_topics bound; publications and registrations of new "
                               "topics are refused\n", list_pub_count(&pub_list));
    topics_full_logged = true;
}

bool mqtt_loop_pass()
{
    uint32_t left = msg_tcp_mqtt_drain(BROKER_BATCH, serve_tcp_mqtt);
    left += msg_udp_mqtt_drain(BROKER_BATCH, mqttsn_packet_handle);
    // The engine must read its own writes: every publication the rules
    // thread queued before it asked is applied before the answer. It waits
    // meanwhile, so the queue cannot grow behind the drain.
    if (data_item* request = msggap_rules_mqtt_get_request()) {
        msg_rules_mqtt_drain(UINT32_MAX, serve_rules_mqtt);
        mqtt_get_topic_data(request);
        msggap_rules_mqtt_reply_request();
    }
    left += msg_rules_mqtt_drain(BROKER_BATCH, serve_rules_mqtt);
    left += msg_bridge_mqtt_drain(BROKER_BATCH, serve_bridge_mqtt);
    return left != 0;
}

void timer_handle()
{
    for (mqtt_conn* conn = mqtt_conns.head; conn; conn = conn->next) {
        if (conn->keepalivesec == 0 || conn->closing)
            continue;
        if (conn->remainsec == 0)
            broker_conn_close_request(conn);
        else
            --conn->remainsec;
    }
    mqttsn_timer_handle();
    broker_store_flush();
}

void thread_mqtt_setup(broker_conf* conf)
{
    broker_max_topics = static_cast<uint32_t>(conf->max_topics);
    broker_mqttsn_max_sessions = static_cast<uint32_t>(conf->mqttsn_max_sessions);
    broker_mqttsn_publish_enable = conf->mqttsn_publish_enable == 1;
    broker_mqtt_standard = conf->mqtt_standard == 1;
    broker_mqtt_max_queued = static_cast<uint32_t>(conf->mqtt_max_queued_messages);
    delete conf;
}

int thread_mqtt_start()
{
    return thread_module_start(&module);
}

void thread_mqtt_stop()
{
    thread_module_stop(&module);
}

void thread_mqtt_rules_reload_request()
{
    rules_reload_requested.store(true);
    msg_waker_signal(&module.waker);
}

void thread_mqtt_user_add(const char* user_name, const char* password, uint8_t publish_enable)
{
    list_mqtt_user_add_new(&mqtt_users, user_name, password, publish_enable);
}

void thread_mqtt_trigger_add(const char* topic, uint32_t next_id)
{
    mqtt_trigger_add_new(&mqtt_triggers, topic, next_id);
}

void thread_mqtt_trigger_remove_all()
{
    mqtt_trigger_remove_all(&mqtt_triggers);
}
