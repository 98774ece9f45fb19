// MQTT-SN delivery: per-client queues, REGISTER before a client's first
// PUBLISH of a topic, and stop-and-wait for QoS 1 and 2.
#include <arpa/inet.h>

#include <cstdio>

#include "broker/broker_internal.h"
#include "channels/mqtt_udp.h"
#include "codec/mqttsn.h"
#include "logging.h"

namespace {

// Ticks an unacknowledged PUBLISH waits before it is sent again.
constexpr uint8_t RETRY_TICKS = 5;

// False when the message could not be framed (a name or value too long for
// one datagram); the caller then drops the delivery.
bool sn_post(const mqttsn_conn* conn, uint8_t* buffer, uint32_t length)
{
    if (!buffer) {
        log_conn(LOG_DEBUG, "mqttsn", &conn->addr, ", too long for a datagram, not sent\n");
        return false;
    }
    msg_mqtt_udp_add_packet(&conn->addr, buffer, length);
    return true;
}

bool send_register(mqttsn_conn* conn, msg_item* waiting, pub_item* item)
{
    waiting->msg_id = broker_counter_take(&mqttsn_msg_id);
    mqttsn_register reg{};
    reg.topic_id = item->topic_id;
    reg.msg_id = waiting->msg_id;
    reg.topic_name_length = item->name_len;
    reg.topic_name = item->name;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqttsn_register_encode(&buffer, &length, &reg);
    log_write(LOG_DEBUG, "<MQTTSN_REGISTER\n");
    return sn_post(conn, buffer, length);
}

bool send_publish(mqttsn_conn* conn, msg_item* pending, pub_item* item)
{
    uint8_t dup = pending->sent;
    // A re-send repeats the first message id; the counter moves on anyway.
    uint16_t next = broker_counter_take(&mqttsn_msg_id);
    if (!pending->sent) {
        pending->msg_id = next;
        pending->sent = 1;
    }
    // MQTT clients may publish values no datagram can carry.
    if (item->data_len > UINT16_MAX)
        return sn_post(conn, nullptr, 0);
    mqttsn_publish publish{};
    publish.flags.dup = dup;
    publish.flags.qos = pending->qos;
    publish.flags.retain = item->retain;
    publish.topic_id = item->topic_id;
    publish.msg_id = pending->msg_id;
    publish.data_length = static_cast<uint16_t>(item->data_len);
    publish.data = item->data;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqttsn_publish_encode(&buffer, &length, &publish);
    log_write(LOG_DEBUG, "<MQTTSN_PUBLISH\n");
    log_conn(LOG_DEBUG, "mqttsn", &conn->addr, ", topic_id:%d, msg_id:%d, dup:%d\n", item->topic_id,
             pending->msg_id, dup);
    return sn_post(conn, buffer, length);
}

void send_simple(const mqttsn_conn* conn, uint32_t type, const char* trace)
{
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    if (type == MQTTSN_CONNACK)
        mqttsn_return_command_encode(type, &buffer, &length, MQTTSN_ACCEPTED);
    else
        mqttsn_simple_command_encode(type, &buffer, &length);
    log_write(LOG_DEBUG, "%s", trace);
    sn_post(conn, buffer, length);
}

} // namespace

bool mqttsn_name_reserved(const uint8_t* name, uint32_t length)
{
    return length != 0 && name[0] == '$' && list_head(&mqtt_users) != nullptr;
}

void mqttsn_publish_send(pub_item* item)
{
    // Every path gives a topic its id before delivering it; a topic without
    // one could not be queued.
    if (item->topic_id == 0 || mqttsn_name_reserved(item->name, item->name_len))
        return;
    for (mqttsn_conn* conn = mqttsn_conns.head; conn; conn = conn->next) {
        int qos = list_pub_sub_matches(item, &conn->subs);
        if (qos < 0)
            continue;
        log_conn(LOG_DEBUG, "mqttsn", &conn->addr, ", qos:%d\n", qos);
        mqttsn_queue_add(conn, item->topic_id, static_cast<uint8_t>(qos));
        if (conn->state == MQTTSN_STATE_ACTIVE)
            mqttsn_send_buffered_msgs(conn);
    }
}

void mqttsn_queue_add(mqttsn_conn* conn, uint16_t topic_id, uint8_t qos)
{
    // QoS -1 is a way of publishing, not of receiving: such a subscription
    // gets fire-and-forget deliveries rather than ones awaiting an
    // acknowledgement that never comes.
    if (qos > 2)
        qos = 0;
    list<msg_item>* queue = list_reg_find_topic_id(&conn->regs, topic_id) ? &conn->wait_ack : &conn->wait_reg;
    list_msg_add(queue, topic_id, qos);
}

void mqttsn_send_buffered_msgs(mqttsn_conn* conn)
{
    // Registration first: nothing leaves wait_ack while a topic waits for
    // its REGACK.
    while (msg_item* waiting = conn->wait_reg.head) {
        pub_item* item = list_pub_find_topic_id(&pub_list, waiting->topic_id);
        if (item && send_register(conn, waiting, item))
            return;
        list_msg_remove(&conn->wait_reg, waiting);
    }
    for (msg_item* pending = conn->wait_ack.head; pending;) {
        if (pending->qos != 0 && pending->retry != 0)
            return; // in flight, waiting for its acknowledgement
        pub_item* item = list_pub_find_topic_id(&pub_list, pending->topic_id);
        if (!item || !send_publish(conn, pending, item)) {
            pending = list_msg_remove(&conn->wait_ack, pending);
            continue;
        }
        if (pending->qos != 0) {
            pending->retry = RETRY_TICKS;
            return;
        }
        pending = list_msg_remove(&conn->wait_ack, pending);
    }
    if (conn->state == MQTTSN_STATE_AWAKE) {
        conn->state = MQTTSN_STATE_ASLEEP;
        send_simple(conn, MQTTSN_PINGRESP, "<MQTTSN_PINGRESP\n");
    } else if (conn->state == MQTTSN_STATE_CONNECTING) {
        conn->state = MQTTSN_STATE_ACTIVE;
        send_simple(conn, MQTTSN_CONNACK, "<MQTTSN_CONNACK\n");
    }
}

void mqttsn_timer_handle()
{
    for (mqttsn_conn* conn = mqttsn_conns.head; conn;) {
        uint32_t state = conn->state;
        bool counted = state == MQTTSN_STATE_CONNECTING || state == MQTTSN_STATE_ACTIVE || state == MQTTSN_STATE_ASLEEP;
        if (counted && conn->keepalivesec != 0) {
            if (conn->remainsec == 0) {
                conn->state = MQTTSN_STATE_DISCONNECTED;
                mqttsn_conn_close(conn);
                conn = broker_sn_remove(conn);
                continue;
            }
            --conn->remainsec;
        }
        bool served = state == MQTTSN_STATE_CONNECTING || state == MQTTSN_STATE_ACTIVE || state == MQTTSN_STATE_AWAKE;
        if (served && conn->wait_ack.head) {
            msg_item* first = conn->wait_ack.head;
            if (first->retry == 0)
                mqttsn_send_buffered_msgs(conn);
            else
                --first->retry;
        }
        conn = conn->next;
    }
}
