// MQTT 3.1.1 sessions (mqtt_standard = 1): one connection per client id,
// the outbox of QoS 1 and 2 deliveries, and clean-session-0 clients kept
// while they are away. All on the broker thread.
#include <algorithm>
#include <cstring>
#include <deque>
#include <string>

#include "broker/broker_internal.h"
#include "channels/mqtt_tcp.h"
#include "logging.h"

bool broker_mqtt_standard = false;
uint32_t broker_mqtt_max_queued = CONF_MAX_QUEUED_MESSAGES_DEFAULT;
list<mqtt_conn> mqtt_away;

// One QoS 1 or 2 delivery with its own copy of the publication: the
// topic's value may change before it is acknowledged or sent.
struct mqtt_outbound {
    uint16_t msg_id; // 0 while it waits for an away client
    uint8_t qos;
    uint8_t retain;
    uint8_t released; // 1: PUBREC came, PUBREL went; PUBCOMP ends it
    std::string topic;
    std::string payload;
};

struct mqtt_outbox {
    // Sent and not yet acknowledged, oldest first; then those waiting.
    std::deque<mqtt_outbound> in_flight;
    std::deque<mqtt_outbound> waiting;
    uint64_t dropped; // over the bound since the client was last told of it in the log
};

namespace {

mqtt_outbox* outbox_of(mqtt_conn* conn)
{
    if (!conn->outbox)
        conn->outbox = new mqtt_outbox{};
    return conn->outbox;
}

void log_client(int priority, const mqtt_conn* conn, const char* what)
{
    log_write(priority, "mqtt: client %.*s: %s\n", static_cast<int>(conn->client_id_len),
              reinterpret_cast<const char*>(conn->client_id), what);
}

bool same_client(const mqtt_conn* a, const mqtt_conn* b)
{
    return a != b && a->client_id && a->client_id_len == b->client_id_len &&
           std::equal(a->client_id, a->client_id + a->client_id_len, b->client_id);
}

void send_publish(const mqtt_conn* conn, const mqtt_outbound& out, uint8_t dup)
{
    mqtt_publish publish{};
    publish.msg_id = out.msg_id;
    publish.dup = dup;
    publish.qos = out.qos;
    publish.retain = out.retain;
    publish.topic = reinterpret_cast<const uint8_t*>(out.topic.data());
    publish.topic_len = static_cast<uint16_t>(out.topic.size());
    publish.payload = reinterpret_cast<const uint8_t*>(out.payload.data());
    publish.payload_len = static_cast<uint32_t>(out.payload.size());
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqtt_publish_encode(&buffer, &length, &publish);
    log_write(LOG_DEBUG, "<MQTT_PUBLISH\n");
    msg_mqtt_tcp_add_packet(conn->conn_id, buffer, length);
}

// Moves the session of `from` (subscriptions and outbox) to `to`.
void session_move(mqtt_conn* from, mqtt_conn* to)
{
    list_name_remove_all(&to->subs);
    to->subs = from->subs;
    from->subs.head = nullptr;
    mqtt_outbox_free(to);
    to->outbox = from->outbox;
    from->outbox = nullptr;
    broker_subs_changed();
}

} // namespace

bool mqtt_outbox_add(mqtt_conn* conn, mqtt_publish* publish)
{
    mqtt_outbox* box = outbox_of(conn);
    // Away, or about to be: a connection whose close is under way may yet
    // be parked with its session.
    const bool away = conn->conn_id == 0 || conn->closing;
    if (box->in_flight.size() + box->waiting.size() >= broker_mqtt_max_queued) {
        std::deque<mqtt_outbound>& oldest = box->waiting.empty() ? box->in_flight : box->waiting;
        if (!oldest.empty())
            oldest.pop_front();
        if (box->dropped++ == 0)
            log_client(LOG_WARNING, conn, "mqtt_max_queued_messages reached; dropping its oldest deliveries");
    }
    mqtt_outbound out{};
    out.qos = publish->qos;
    out.retain = publish->retain;
    out.topic.assign(reinterpret_cast<const char*>(publish->topic), publish->topic_len);
    if (publish->payload_len)
        out.payload.assign(reinterpret_cast<const char*>(publish->payload), publish->payload_len);
    if (!conn->clean_session)
        broker_store_session_mark(conn);
    if (away) {
        box->waiting.push_back(std::move(out));
        return false;
    }
    publish->msg_id = broker_counter_take(&mqtt_msg_id);
    out.msg_id = publish->msg_id;
    box->in_flight.push_back(std::move(out));
    return true;
}

void mqtt_outbox_ack(mqtt_conn* conn, uint32_t type, uint16_t msg_id)
{
    if (!conn->outbox)
        return;
    std::deque<mqtt_outbound>& sent = conn->outbox->in_flight;
    auto it = std::find_if(sent.begin(), sent.end(), [msg_id](const mqtt_outbound& o) { return o.msg_id == msg_id; });
    if (it == sent.end())
        return;
    if (type == MQTT_PUBREC && it->qos == 2)
        it->released = 1;
    else if ((type == MQTT_PUBACK && it->qos == 1) || (type == MQTT_PUBCOMP && it->qos == 2))
        sent.erase(it);
    else
        return;
    if (!conn->clean_session)
        broker_store_session_mark(conn);
}

void mqtt_outbox_free(mqtt_conn* conn)
{
    delete conn->outbox;
    conn->outbox = nullptr;
}

bool mqtt_session_start(mqtt_conn* conn)
{
    // Kept, taken over or ended by clean session 1: the store follows.
    broker_store_session_mark(conn);
    bool present = false;
    // An older connection whose close is under way still holds the
    // session until the TCP thread reports the close: it is taken over too.
    for (mqtt_conn* older = mqtt_conns.head; older; older = older->next) {
        if (!same_client(older, conn))
            continue;
        if (!older->closing)
            log_client(LOG_NOTICE, conn, "connected again; its older connection is closed");
        // Taken over: the older connection ends as a broken one would.
        mqtt_conn_close(older);
        will_remove_all(&older->will);
        if (!conn->clean_session && !present) {
            session_move(older, conn);
            present = true;
        }
        // Its record goes when the TCP thread reports the close.
        older->clean_session = 1;
        broker_conn_close_request(older);
    }
    for (mqtt_conn* away = mqtt_away.head; away; away = away->next) {
        if (!same_client(away, conn))
            continue;
        if (!conn->clean_session && !present) {
            session_move(away, conn);
            present = true;
        }
        mqtt_outbox_free(away);
        list_mqtt_conn_remove(&mqtt_away, away);
        broker_subs_changed();
        break;
    }
    return present;
}

void mqtt_session_resume(mqtt_conn* conn)
{
    mqtt_outbox* box = conn->outbox;
    if (!box)
        return;
    broker_store_session_mark(conn);
    if (box->dropped) {
        log_write(LOG_WARNING, "mqtt: client %.*s: %llu deliveries dropped at mqtt_max_queued_messages (%u)\n",
                  static_cast<int>(conn->client_id_len), reinterpret_cast<const char*>(conn->client_id),
                  static_cast<unsigned long long>(box->dropped), broker_mqtt_max_queued);
        box->dropped = 0;
    }
    for (const mqtt_outbound& out : box->in_flight) {
        if (out.released) {
            uint8_t* buffer = nullptr;
            uint32_t length = 0;
            mqtt_pubxxx_encode(MQTT_PUBREL, &buffer, &length, out.msg_id);
            log_write(LOG_DEBUG, "<MQTT_PUBREL\n");
            msg_mqtt_tcp_add_packet(conn->conn_id, buffer, length);
        } else {
            send_publish(conn, out, 1);
        }
    }
    while (!box->waiting.empty()) {
        mqtt_outbound out = std::move(box->waiting.front());
        box->waiting.pop_front();
        out.msg_id = broker_counter_take(&mqtt_msg_id);
        send_publish(conn, out, 0);
        box->in_flight.push_back(std::move(out));
    }
}

bool mqtt_session_park(mqtt_conn* conn)
{
    if (conn->clean_session || !conn->client_id)
        return false;
    // The record leaves the connections and their index for mqtt_away;
    // conn_id 0 marks it away.
    broker_conn_unlink(conn);
    conn->conn_id = 0;
    conn->closing = 0;
    conn->keepalivesec = 0;
    will_remove_all(&conn->will);
    list_add_item(&mqtt_away, conn);
    broker_subs_changed();
    broker_store_session_mark(conn);
    return true;
}

void mqtt_session_copy(const mqtt_conn* conn, store_session* out)
{
    out->kept = true;
    for (const sub_item* sub = conn->subs.head; sub; sub = list_next(sub))
        out->subs.push_back({std::string(reinterpret_cast<const char*>(sub->name), sub->name_len), sub->qos});
    if (!conn->outbox)
        return;
    for (const auto* queue : {&conn->outbox->in_flight, &conn->outbox->waiting})
        for (const mqtt_outbound& o : *queue) {
            uint8_t state = o.msg_id == 0  ? STORE_DELIVERY_WAITING
                            : o.released ? STORE_DELIVERY_RELEASED
                                         : STORE_DELIVERY_SENT;
            out->deliveries.push_back({o.topic, o.payload, o.qos, o.retain, state, o.msg_id});
        }
}

void thread_mqtt_sessions_restore(std::vector<store_session>* sessions)
{
    const sockaddr_in nowhere{};
    uint16_t highest_id = 0;
    for (store_session& session : *sessions) {
        if (session.client_id.empty() || session.client_id.size() > UINT16_MAX)
            continue;
        auto* conn = new mqtt_conn{};
        conn->addr = nowhere;
        conn->client_id_len = static_cast<uint16_t>(session.client_id.size());
        conn->client_id = new uint8_t[conn->client_id_len];
        std::memcpy(conn->client_id, session.client_id.data(), conn->client_id_len);
        for (const store_subscription& sub : session.subs)
            if (!sub.filter.empty() && sub.filter.size() <= UINT16_MAX)
                list_sub_add_replace(&conn->subs, reinterpret_cast<const uint8_t*>(sub.filter.data()),
                                     static_cast<uint16_t>(sub.filter.size()), static_cast<uint8_t>(sub.qos & 3));
        for (store_delivery& d : session.deliveries) {
            if (d.qos < 1 || d.qos > 2 || d.topic.empty() || d.topic.size() > UINT16_MAX)
                continue;
            mqtt_outbox* box = outbox_of(conn);
            bool sent = d.state != STORE_DELIVERY_WAITING && d.msg_id != 0;
            mqtt_outbound out{sent ? d.msg_id : uint16_t{0}, d.qos, static_cast<uint8_t>(d.retain & 1),
                              static_cast<uint8_t>(d.qos == 2 && d.state == STORE_DELIVERY_RELEASED),
                              std::move(d.topic), std::move(d.payload)};
            if (sent) {
                highest_id = std::max(highest_id, out.msg_id);
                box->in_flight.push_back(std::move(out));
            } else {
                box->waiting.push_back(std::move(out));
            }
        }
        list_add_item(&mqtt_away, conn);
    }
    // New packet identifiers start past the restored ones.
    if (highest_id && highest_id >= mqtt_msg_id)
        mqtt_msg_id = highest_id == UINT16_MAX ? 1 : static_cast<uint16_t>(highest_id + 1);
    sessions->clear();
    broker_subs_changed();
}
