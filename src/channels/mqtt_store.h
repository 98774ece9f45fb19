// Broker thread -> store thread: what changed in the hub's lasting state
// since the last record, and the numeric publications to keep as history.
// Operations: msg_mqtt_store_init, _new, _add, _get_first, _remove,
// _destroy, _length, _set_waker, _drain (channel.h).
//
// The broker sends at most one record a second: topics are coalesced on
// its side, so the queue grows with time only while the store is behind,
// and the broker holds its changes back then (MQTT_STORE_BEHIND).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "channels/channel.h"

// One topic's lasting state: the retained value (empty when the topic
// holds none) and its MQTT-SN topic id (0: none). A topic with neither has
// nothing to keep.
struct store_topic {
    std::string name;
    std::string value;
    // Bit 0: retained. With mqtt_standard = 1 the value is the retained
    // message (kept apart from the last value) and bits 1-2 hold the QoS it
    // was published with.
    uint8_t retain;
    uint16_t topic_id;
};

// Publications of one topic that may be numbers, as the broker saw them:
// for each, its time in ms since the epoch (int64_t, host order), its
// length (one octet) and its payload. The store thread tells the numbers.
struct store_series {
    std::string topic;
    std::string raw;
};

// One numeric publication, as the store thread keeps it.
struct store_point {
    std::string topic;
    int64_t time_ms; // since the epoch
    double value;
};

// A clean-session-0 client's session (mqtt_standard = 1): its
// subscriptions and the QoS 1 and 2 deliveries kept for it.
struct store_subscription {
    std::string filter;
    uint8_t qos;
};

struct store_delivery {
    std::string topic;
    std::string payload;
    uint8_t qos;
    uint8_t retain;
    uint8_t state;   // STORE_DELIVERY_*
    uint16_t msg_id; // 0 while it waits
};

constexpr uint8_t STORE_DELIVERY_WAITING = 0; // not sent yet
constexpr uint8_t STORE_DELIVERY_SENT = 1;    // sent, not acknowledged
constexpr uint8_t STORE_DELIVERY_RELEASED = 2; // PUBREC came, PUBREL went

struct store_session {
    std::string client_id;
    bool kept; // false: the session ended and leaves the store
    std::vector<store_subscription> subs;
    std::vector<store_delivery> deliveries; // sent ones first, oldest first
};

struct mqtt_store_msg : msg_record {
    std::vector<store_topic> topics;  // the current state of each topic named
    std::vector<store_session> sessions; // the sessions that changed
    std::vector<store_series> series; // each topic's publications, in order
    uint16_t next_topic_id;           // the broker's topic-id counter
};

MSG_CHANNEL(mqtt_store, mqtt_store_msg)

// Records queued past which the broker keeps its changes for later.
constexpr uint32_t MQTT_STORE_BEHIND = 8;
