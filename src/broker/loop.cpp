// The broker thread: state, start/stop, the polling loop and the timer.
#include <atomic>
#include <unistd.h>

#include "broker/broker_internal.h"
#include "daemon.h"
#include "channels/mqtt_tcp.h"
#include "channels/udp_mqtt.h"

list<mqtt_conn> mqtt_conns;
list<mqttsn_conn> mqttsn_conns;
list<mqtt_user> mqtt_users;
list<pub_item> pub_list;
list<mqtt_trigger> mqtt_triggers;
uint16_t mqtt_msg_id = 1;
uint16_t mqttsn_msg_id = 1;
uint16_t mqttsn_topic_id = 1;

namespace {

// 0 running, 1 stop requested, 2 stopped.
std::atomic<int> thread_state{2};

constexpr uint32_t TIMER_PASSES = 100;
constexpr useconds_t PASS_SLEEP_US = 10000;

void serve_tcp_mqtt()
{
    tcp_mqtt_msg* record = msg_tcp_mqtt_get_first();
    if (!record)
        return;
    // A close notice or a one-packet record takes one call; a record with
    // several whole packets takes one call per packet.
    record->offset = 0;
    do {
        mqtt_packet_handle(record);
    } while (record->offset != 0 && record->offset != record->packet_len);
    msg_tcp_mqtt_remove(record);
}

void serve_udp_mqtt()
{
    udp_mqtt_msg* record = msg_udp_mqtt_get_first();
    if (!record)
        return;
    // MQTT-SN datagrams are handled here once the gateway sessions exist;
    // until then they are dropped.
    msg_udp_mqtt_remove(record);
}

void release_all()
{
    list_mqttsn_conn_remove_all(&mqttsn_conns);
    list_mqtt_conn_remove_all(&mqtt_conns);
    list_data_remove_all(&pub_list);
    list_mqtt_user_remove_all(&mqtt_users);
    mqtt_trigger_remove_all(&mqtt_triggers);
}

void thread_mqtt_loop()
{
    for (uint32_t pass = 0;; ++pass) {
        mqtt_loop_pass(pass);
        if (thread_state.load() == 1)
            break;
        usleep(PASS_SLEEP_US);
    }
    // Nothing is sent and no will is published at shut-down.
    release_all();
    thread_state.store(2);
}

void* thread_mqtt_launcher(void*)
{
    thread_mqtt_loop();
    return nullptr;
}

} // namespace

uint16_t broker_counter_take(uint16_t* counter)
{
    uint16_t value = *counter;
    *counter = value == 65535 ? 1 : static_cast<uint16_t>(value + 1);
    return value;
}

void broker_topic_id_assign(pub_item* item)
{
    if (item->topic_id == 0)
        item->topic_id = broker_counter_take(&mqttsn_topic_id);
}

void mqtt_loop_pass(uint32_t pass)
{
    serve_tcp_mqtt();
    serve_udp_mqtt();
    // The rules engine's topic-value requests (rendezvous) and its
    // publications (rules_mqtt) are served here once the engine exists.
    if (pass % TIMER_PASSES == 0)
        timer_handle();
}

void timer_handle()
{
    for (mqtt_conn* conn = mqtt_conns.head; conn; conn = conn->next) {
        if (conn->keepalivesec == 0)
            continue;
        // The record stays until the TCP thread's close notice comes back,
        // so the order is repeated on every tick until then.
        if (conn->remainsec == 0)
            msg_mqtt_tcp_add_close_conn(&conn->addr);
        else
            --conn->remainsec;
    }
    // MQTT-SN keep-alive and re-sends are supervised here once the gateway
    // sessions exist.
}

int thread_mqtt_start()
{
    thread_state.store(0);
    int result = thread_begin(thread_mqtt_launcher, nullptr, nullptr);
    if (result != 0)
        thread_state.store(2);
    return result;
}

void thread_mqtt_stop()
{
    int running = 0;
    thread_state.compare_exchange_strong(running, 1);
    while (thread_state.load() != 2)
        usleep(10000);
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
