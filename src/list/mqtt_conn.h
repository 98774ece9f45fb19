// The broker's MQTT client sessions, one per TCP connection that sent
// CONNECT, keyed by the TCP thread's connection id. Used by the broker
// thread only.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <type_traits>

#include "list/lists.h"

struct mqtt_conn {
    mqtt_conn* next;
    uint64_t conn_id; // tcp_conn.conn_id of the connection
    sockaddr_in addr; // its peer, for log lines
    list<sub_item> subs;
    ::will will;
    uint32_t keepalivesec; // 0: no keep-alive supervision
    uint32_t remainsec;
    uint8_t publish_enable; // 0: a PUBLISH drops the client
    uint8_t closing;        // 1: the broker has ordered the close; later packets are ignored
    // Kept with mqtt_standard = 1 only: the client id of its CONNECT
    // (owned; null before), its clean session flag, and its QoS 1 and 2
    // deliveries not yet acknowledged or, while it is away, not yet sent
    // (owned by the broker, which frees it before the record goes).
    uint8_t* client_id;
    uint16_t client_id_len;
    uint8_t clean_session;
    struct mqtt_outbox* outbox;
};

static_assert(std::is_standard_layout_v<mqtt_conn>);
static_assert(offsetof(mqtt_conn, next) == 0);

mqtt_conn* list_mqtt_conn_add_new(list<mqtt_conn>* list, const sockaddr_in* addr);
[[nodiscard]] mqtt_conn* list_mqtt_conn_find_addr(list<mqtt_conn>* list, const sockaddr_in* addr);
mqtt_conn* list_mqtt_conn_reset_remainsec(mqtt_conn* item);
// Drops the subscriptions and empties the will.
void list_mqtt_conn_topics_clear(mqtt_conn* item);
// Frees the record with everything it owns; returns its successor.
mqtt_conn* list_mqtt_conn_remove(list<mqtt_conn>* list, mqtt_conn* item);
void list_mqtt_conn_remove_all(list<mqtt_conn>* list);
