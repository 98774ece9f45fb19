// MQTT 3.1 ("MQIsdp", level 3) and 3.1.1 ("MQTT", level 4) packet codec,
// broker side. Decoders take bytes and lengths, never sockets; decoded
// records point into the packet and copy nothing. Every decoder checks the
// packet's layout before it reads a field or touches a list, and refuses a
// malformed packet with MQTT_MALFORMED; nothing is read past the packet.
//
// Encoders allocate the complete packet with new[]; the broker-to-TCP
// channel takes the buffer over.
#pragma once

#include <cstdint>

#include "list/lists.h"
#include "list/mqtt_user.h"

enum : uint32_t {
    MQTT_CONNECT = 1,
    MQTT_CONNACK = 2,
    MQTT_PUBLISH = 3,
    MQTT_PUBACK = 4,
    MQTT_PUBREC = 5,
    MQTT_PUBREL = 6,
    MQTT_PUBCOMP = 7,
    MQTT_SUBSCRIBE = 8,
    MQTT_SUBACK = 9,
    MQTT_UNSUBSCRIBE = 10,
    MQTT_UNSUBACK = 11,
    MQTT_PINGREQ = 12,
    MQTT_PINGRESP = 13,
    MQTT_DISCONNECT = 14,
};

// Result of a decoder for a packet that breaks its layout rules: the
// session refuses it by closing the connection without a reply.
constexpr int MQTT_MALFORMED = -1;

struct mqtt_fixed_header {
    uint32_t msg_type;
    uint8_t dup;
    uint8_t qos;
    uint8_t retain;
    uint32_t rem_len;
    // Decoding: first byte after the Remaining Length. Encoding: a new[]
    // buffer of rem_len bytes that the encoder frees.
    uint8_t* body;
};

struct mqtt_connect {
    uint8_t user_name_flag;
    uint8_t password_flag;
    uint8_t will_retain;
    uint8_t will_qos;
    uint8_t will_flag;
    uint8_t clean_session;
    uint16_t keepalive;
    uint16_t client_id_length;
    const uint8_t* client_id;
    uint16_t will_topic_length;
    const uint8_t* will_topic;
    uint16_t will_message_length;
    const uint8_t* will_message;
    uint16_t user_name_length; // 0 when absent
    const uint8_t* user_name;  // null when absent
    uint16_t password_length;
    const uint8_t* password;
    list<mqtt_user>* users;    // input: the configured users
    uint8_t publish_enable;    // output
};

struct mqtt_publish {
    uint16_t msg_id;            // present on the wire only when qos is not 0
    uint8_t qos;
    list<::pub_item>* pub_list; // decoder input: where the value is stored (null: nowhere)
    ::pub_item* pub_item;       // decoder output / encoder input
    // Decoder output, pointing into the packet: what would be stored.
    const uint8_t* topic = nullptr;
    uint16_t topic_len = 0;
    const uint8_t* payload = nullptr; // null when empty
    uint16_t payload_len = 0;
    uint8_t retain = 0;               // 0 with an empty payload
};

struct mqtt_subscribe {
    uint16_t msg_id;
    list<sub_item>* sub_list;   // input: the connection's subscriptions
    list<sub_item> new_subs;    // one item per distinct filter, request order;
                                // the caller frees it (list_name_remove_all)
    uint8_t* qos;               // requested QoS per filter of the request,
                                // duplicates included; the caller delete[]s it
    uint32_t qos_size;          // number of filters in the request
};

struct mqtt_unsubscribe {
    uint16_t msg_id;
    list<sub_item>* sub_list;
};

struct mqtt_suback {
    uint16_t msg_id;
    const uint8_t* qos; // qos_size return codes
    uint32_t qos_size;
};

// Remaining Length of the packet at `bytes`: 0 ok, -1 incomplete, -2 a
// fifth length byte would be needed. Does not check that the body is
// there. When `consumed` is given, the whole packet's size is added to it.
int mqtt_packet_check_length(const uint8_t* bytes, uint32_t count, uint32_t* rem_len, const uint8_t** body,
                             uint32_t* consumed);
// 0 when the bytes are exactly one or more whole packets, else -1 or -2.
int mqtt_packets_buffer_check(const uint8_t* bytes, uint32_t count);
// Number of leading bytes that form whole packets (0 when the first packet
// is not complete).
uint32_t mqtt_packets_whole_length(const uint8_t* bytes, uint32_t count);
// Decodes the fixed header of the packet at `bytes` and adds its size to
// *consumed. -1 unless the whole packet lies within `count` bytes.
int mqtt_fixed_header_decode(mqtt_fixed_header* fixhdr, const uint8_t* bytes, uint32_t count, uint32_t* consumed);

// CONNACK return code 0, 1, 2 or 4 (authenticating against `users`), or
// MQTT_MALFORMED.
int mqtt_connect_decode(const mqtt_fixed_header* fixhdr, mqtt_connect* connect);
// Decodes into the record and, when pub_list is given, stores the value
// there (retain only with a non-empty payload).
// A new topic past the list's bound is not stored: pub_item is null then.
// 0, or MQTT_MALFORMED (QoS 3, empty topic or one holding a wildcard,
// topic and identifier overrunning the packet, payload beyond 65535 bytes)
// with pub_list untouched.
int mqtt_publish_decode(const mqtt_fixed_header* fixhdr, mqtt_publish* publish);
// Adds every filter to sub_list and new_subs. 0, or MQTT_MALFORMED (empty
// or overrunning filter, requested QoS above 2, no filter) with nothing
// changed.
int mqtt_subscribe_decode(const mqtt_fixed_header* fixhdr, mqtt_subscribe* subscribe);
// Removes every listed filter from sub_list. 0, or MQTT_MALFORMED.
int mqtt_unsubscribe_decode(const mqtt_fixed_header* fixhdr, mqtt_unsubscribe* unsubscribe);
// The packet identifier of a PUBACK/PUBREC/PUBREL/PUBCOMP, or
// MQTT_MALFORMED when the body is shorter than 2 bytes.
int mqtt_pubxxx_decode(const mqtt_fixed_header* fixhdr);

void mqtt_packet_encode(mqtt_fixed_header* fixhdr, uint8_t** buffer, uint32_t* length);
void mqtt_connack_encode(uint8_t** buffer, uint32_t* length, uint8_t code);
void mqtt_suback_encode(uint8_t** buffer, uint32_t* length, const mqtt_suback* suback);
void mqtt_pingresp_encode(uint8_t** buffer, uint32_t* length);
void mqtt_publish_encode(uint8_t** buffer, uint32_t* length, const mqtt_publish* publish);
// PUBACK, PUBREC, PUBREL (first byte 0x62), PUBCOMP or UNSUBACK.
void mqtt_pubxxx_encode(uint32_t msg_type, uint8_t** buffer, uint32_t* length, uint16_t msg_id);
