// Publish delivery: fan-out of a stored publication to the subscribers.
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <unordered_map>
#include <vector>

#include "broker/broker_internal.h"
#include "channels/bridge.h"
#include "channels/mqtt_tcp.h"
#include "channels/trigger_rules.h"
#include "codec/mqtt.h"
#include "logging.h"

namespace {

// The clients a topic's publications go to, with their delivery QoS, as
// found by the last full walk of mqtt_conns. Valid while no subscription
// changed since (`generation`), so a steady installation pays for matching
// once per topic and not once per client and publication.
struct delivery_target {
    mqtt_conn* conn;
    uint8_t qos;
};
struct topic_targets {
    uint64_t generation;
    std::vector<delivery_target> targets;
};
// Keyed by pub_item, which lives as long as the broker runs.
std::unordered_map<const pub_item*, topic_targets> targets_by_topic;
uint64_t subs_generation = 1;

// Trigger messages waiting for the rules thread, at most; firings beyond
// are dropped until the queue is down to TRIGGERS_RESUME.
constexpr uint32_t TRIGGERS_MAX = 4096;
constexpr uint32_t TRIGGERS_RESUME = 2048;
// Each trigger message carries a copy of the value that fired it; their sum
// is bounded the same way.
constexpr uint64_t TRIGGERS_BYTES_MAX = 16u << 20;
constexpr uint64_t TRIGGERS_BYTES_RESUME = 8u << 20;
uint32_t triggers_dropped = 0;

// Publications cut off for being too deep: an episode is logged once, at
// its first cut, and ends after a quiet spell without cuts.
constexpr auto DEPTH_EPISODE_QUIET = std::chrono::seconds(10);
std::chrono::steady_clock::time_point depth_last_cut{};
uint32_t depth_cuts = 0;

void depth_cut(const pub_item* item)
{
    auto now = std::chrono::steady_clock::now();
    if (depth_cuts && now - depth_last_cut >= DEPTH_EPISODE_QUIET) {
        if (depth_cuts > 1)
            log_write(LOG_WARNING, "rules: %u more publications were too deep to fire triggers\n", depth_cuts - 1);
        depth_cuts = 0;
    }
    if (depth_cuts++ == 0)
        log_write(LOG_WARNING,
                  "rules: publication on %.*s is more than %u rule steps deep; its triggers do not fire (rules that "
                  "trigger each other?)\n",
                  static_cast<int>(item->name_len), reinterpret_cast<const char*>(item->name), RULES_DEPTH_MAX);
    depth_last_cut = now;
}

// Calls f(conn, qos) for each client with a matching subscription, in
// mqtt_conns order, with the QoS of the client's oldest matching
// subscription, whatever the publication's own QoS. With mqtt_standard = 1
// it is the highest QoS of the client's matching subscriptions (the
// publication's QoS caps it at delivery), and the away clients that keep
// their session follow the connected ones.
template <typename F>
void subscribers_walk(pub_item* item, F f)
{
    if (!broker_mqtt_standard) {
        for (mqtt_conn* conn = mqtt_conns.head; conn; conn = conn->next) {
            int qos = list_pub_sub_matches(item, &conn->subs);
            if (qos >= 0)
                f(conn, static_cast<uint8_t>(qos));
        }
        return;
    }
    for (list<mqtt_conn>* conns : {&mqtt_conns, &mqtt_away}) {
        for (mqtt_conn* conn = conns->head; conn; conn = conn->next) {
            int qos = list_pub_sub_matches_standard(item, &conn->subs);
            if (qos >= 0)
                f(conn, static_cast<uint8_t>(qos));
        }
    }
}

const std::vector<delivery_target>& subscribers_of(pub_item* item)
{
    topic_targets& entry = targets_by_topic[item];
    if (entry.generation != subs_generation) {
        entry.targets.clear();
        subscribers_walk(item, [&](mqtt_conn* conn, uint8_t qos) { entry.targets.push_back({conn, qos}); });
        entry.generation = subs_generation;
    }
    return entry.targets;
}

} // namespace

void mqtt_publish_to(mqtt_conn* conn, uint8_t qos, const pub_item* item, bool replay)
{
    // A client whose close is under way gets nothing more (with
    // mqtt_standard = 1 its QoS 1 and 2 deliveries wait in its outbox).
    if (conn->closing && !(broker_mqtt_standard && qos > 0))
        return;
    log_conn(LOG_DEBUG, "mqtt", &conn->addr, ", qos:%d\n", qos);
    mqtt_publish publish{};
    publish.qos = qos;
    publish.retain = item->retain;
    publish.topic = item->name;
    publish.topic_len = item->name_len;
    publish.payload = item->data;
    publish.payload_len = item->data_len;
    if (broker_mqtt_standard) {
        // RETAIN marks the retained message sent for a new subscription;
        // live deliveries carry the value just published.
        publish.retain = replay ? 1 : 0;
        if (replay) {
            publish.payload = item->retained;
            publish.payload_len = item->retained_len;
        }
        // QoS 1 and 2 deliveries wait in the outbox for their
        // acknowledgement, or until an away client is back; an away client
        // misses QoS 0 ones.
        if (qos > 0 ? !mqtt_outbox_add(conn, &publish) : conn->conn_id == 0)
            return;
    } else {
        publish.msg_id = broker_counter_take(&mqtt_msg_id);
    }
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqtt_publish_encode(&buffer, &length, &publish);
    log_write(LOG_DEBUG, "<MQTT_PUBLISH\n");
    msg_mqtt_tcp_add_packet(conn->conn_id, buffer, length);
}

void broker_subs_changed()
{
    ++subs_generation;
}

void broker_subs_forget()
{
    targets_by_topic.clear();
}

void broker_publication_deliver(pub_item* item, publication_source source, uint8_t depth, uint8_t qos)
{
    if (source == PUBLICATION_RULES_FILE) {
        mqtt_publish_send(item, qos);
        return;
    }
    broker_topic_id_assign(item);
    if (source != PUBLICATION_WILL)
        mqtt_trigger_send(item, depth);
    mqtt_publish_send(item, qos);
    mqttsn_publish_send(item);
}

pub_item* broker_publish(publication_source source, const uint8_t* name, uint16_t name_len, const uint8_t* data,
                         uint32_t data_len, uint8_t retain, uint8_t depth, uint8_t qos)
{
    const uint8_t retain_flag = retain;
    pub_item* item = nullptr;
    if (source == PUBLICATION_MQTT || source == PUBLICATION_MQTTSN || source == PUBLICATION_WILL ||
        source == PUBLICATION_BRIDGE) {
        // A client's empty payload (and an empty will) clears the topic's
        // retained value rather than becoming one.
        if (data_len == 0)
            retain = 0;
        // From an MQTT-SN client it also keeps the topic's value, which
        // then goes out again.
        if (source == PUBLICATION_MQTTSN && data_len == 0)
            item = list_name_find_name(&pub_list, name, name_len);
        if (item)
            item->retain = 0;
    }
    if (!item)
        item = list_pub_add_replace(&pub_list, name, name_len, data, data_len, retain);
    if (!item) {
        log_write(LOG_DEBUG, "topic table full, pubtopic: %.*s dropped\n", static_cast<int>(name_len),
                  reinterpret_cast<const char*>(name));
        broker_topics_refused();
        return nullptr;
    }
    // MQTT 3.1.1: only a publication with RETAIN touches the retained
    // message, and an empty one clears it.
    if (broker_mqtt_standard && retain_flag)
        list_pub_retained_set(item, data, data_len, qos);
    broker_publication_deliver(item, source, depth, qos);
    // What came down from the upstream never goes back up, whatever the
    // filters; the rules file stays local. The flag as published: an empty
    // retained value clears the upstream's too.
    if (source != PUBLICATION_BRIDGE && source != PUBLICATION_RULES_FILE)
        bridge_out_offer(name, name_len, data, data_len, retain_flag);
    broker_store_note(item);
    return item;
}

void mqtt_publish_send(pub_item* item, uint8_t qos)
{
    for (const delivery_target& target : subscribers_of(item))
        mqtt_publish_to(target.conn, broker_mqtt_standard ? std::min(qos, target.qos) : target.qos, item);
}

void mqtt_trigger_send(pub_item* item, uint8_t depth)
{
    for (mqtt_trigger* trigger = mqtt_triggers.head; trigger; trigger = trigger->next) {
        if (trigger->name_len != item->name_len || !std::equal(item->name, item->name + item->name_len, trigger->name))
            continue;
        if (depth > RULES_DEPTH_MAX) {
            depth_cut(item);
            return;
        }
        // Rules whose actions fire more triggers than the rules thread can
        // run would grow the queue without end: beyond the bound, firings
        // are dropped, and each such episode is logged once when it ends.
        uint32_t waiting = msg_trigger_rules_length();
        uint64_t carried = msg_trigger_rules_bytes();
        if (triggers_dropped && waiting < TRIGGERS_RESUME && carried < TRIGGERS_BYTES_RESUME) {
            log_write(LOG_WARNING, "rules: %u triggers dropped while the rules engine was behind\n",
                      triggers_dropped);
            triggers_dropped = 0;
        }
        if (triggers_dropped || waiting >= TRIGGERS_MAX || carried >= TRIGGERS_BYTES_MAX) {
            ++triggers_dropped;
            continue;
        }
        msg_mqtt_rules_add_packet(trigger->next_id, item, depth);
    }
}
