// The broker's MQTT-SN client sessions, keyed by UDP address (and found by
// client id when a node reconnects from a new address). Used by the broker
// thread only.
//
// A record refused at CONNECT is removed by the gateway at once, so every
// record in the list has a non-zero keep-alive and the reset below may
// insist on one.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "list/lists.h"

// MQTT-SN client states.
enum : uint32_t {
    MQTTSN_STATE_DISCONNECTED = 0, // not (yet) accepted, or about to be removed
    MQTTSN_STATE_CONNECTING = 1,   // CONNECT accepted, CONNACK still to come
    MQTTSN_STATE_ACTIVE = 2,       // connected and awake
    MQTTSN_STATE_ASLEEP = 3,       // sleeping: deliveries are queued
    MQTTSN_STATE_AWAKE = 4,        // woken by PINGREQ: its queue is being sent
};

struct mqttsn_conn {
    mqttsn_conn* next;
    sockaddr_in addr;
    uint8_t* client_id; // not terminated; null until set
    uint32_t client_id_length;
    list<sub_item> subs;
    ::will will;
    uint32_t keepalivesec;
    uint32_t remainsec;
    uint32_t state;
    list<reg_item> regs;     // topic ids registered with the client
    list<msg_item> wait_reg; // deliveries whose topic must be registered first
    list<msg_item> wait_ack; // deliveries ready to send or awaiting their ack
};

static_assert(std::is_standard_layout_v<mqttsn_conn>);
static_assert(offsetof(mqttsn_conn, next) == 0);

mqttsn_conn* list_mqttsn_conn_add_new(list<mqttsn_conn>* list, const sockaddr_in* addr);
[[nodiscard]] mqttsn_conn* list_mqttsn_conn_find_addr(list<mqttsn_conn>* list, const sockaddr_in* addr);
// Lengths must be equal: a prefix of a stored id finds nothing.
[[nodiscard]] mqttsn_conn* list_mqttsn_conn_find_client_id(list<mqttsn_conn>* list, const uint8_t* client_id,
                                                           uint32_t length);
void list_mqttsn_conn_set_client_id(mqttsn_conn* item, const uint8_t* client_id, uint32_t length);
mqttsn_conn* list_mqttsn_conn_reset_remainsec(mqttsn_conn* item);
// Drops subscriptions, will, registrations and both delivery lists.
void list_mqttsn_conn_topics_clear(mqttsn_conn* item);
mqttsn_conn* list_mqttsn_conn_remove(list<mqttsn_conn>* list, mqttsn_conn* item);
void list_mqttsn_conn_remove_all(list<mqttsn_conn>* list);

// Hash index from client id to session, kept beside the list (as
// addr_index is for addresses) so that a CONNECT does not walk every
// session. Its keys view the ids the records own: the owner takes a record
// out before its id changes or it is freed.
struct client_id_index {
    std::unordered_map<std::string_view, mqttsn_conn*> map;
};

[[nodiscard]] mqttsn_conn* client_id_index_find(const client_id_index* index, const uint8_t* client_id,
                                                uint32_t length);
// Indexes the record under its client id (none: nothing to do).
void client_id_index_add(client_id_index* index, mqttsn_conn* item);
// Takes the record out, if it is the one indexed under its id.
void client_id_index_remove(client_id_index* index, const mqttsn_conn* item);
