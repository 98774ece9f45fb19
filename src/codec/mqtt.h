// MQTT 3.1 ("MQIsdp", level 3) and 3.1.1 ("MQTT", level 4) packet codec,
// broker side. Decoders take bytes and lengths, never sockets; decoded
// records point into the packet and copy nothing, and no decoder changes
// any state: the broker's sessions store what was decoded. Every field is
// read through one byte_reader, and a malformed packet is refused with
// MQTT_MALFORMED; nothing is read past the packet.
//
// Encoders allocate the complete packet with new[]; the broker-to-TCP
// channel takes the buffer over.
#pragma once

#include <cstdint>

#include "codec/byte_reader.h"

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
    uint8_t protocol_level; // 3 (MQTT 3.1) or 4 (MQTT 3.1.1)
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
};

// Decoder output, pointing into the packet; encoder input.
struct mqtt_publish {
    uint16_t msg_id; // present on the wire only when qos is not 0
    uint8_t qos;
    uint8_t retain;  // the RETAIN flag as on the wire
    const uint8_t* topic;
    uint16_t topic_len;
    const uint8_t* payload; // null when empty
    uint32_t payload_len;
    uint8_t dup; // encoding only: a delivery sent again
};

// The topic filters of a decoded SUBSCRIBE or UNSUBSCRIBE, still in the
// packet: mqtt_filter_next hands them out in request order.
struct mqtt_filters {
    byte_reader reader;
    bool with_qos; // SUBSCRIBE: a requested QoS follows each filter
    uint32_t count; // filters in the request, duplicates included
};

struct mqtt_filter {
    const uint8_t* name;
    uint16_t name_len;
    uint8_t qos; // 0 for UNSUBSCRIBE
};

struct mqtt_subscribe {
    uint16_t msg_id;
    mqtt_filters filters;
};

struct mqtt_unsubscribe {
    uint16_t msg_id;
    mqtt_filters filters;
};

struct mqtt_suback {
    uint16_t msg_id;
    const uint8_t* qos; // qos_size return codes
    uint32_t qos_size;
};

// Remaining Length of the packet at `bytes`: 0 ok, -1 incomplete, -2 a
// fifth length byte would be needed. Does not check that the body is
// there. When `consumed` is given, the whole packet's size is added to it.
[[nodiscard]] int mqtt_packet_check_length(const uint8_t* bytes, uint32_t count, uint32_t* rem_len,
                                           const uint8_t** body, uint32_t* consumed);
// Walks the packets whose fixed headers lie in bytes[*offset, count),
// handing visit(size) each packet's whole size (its body may run past the
// bytes) and moving *offset past it while visit returns true. Returns 0
// at the end of the bytes, -1 at a cut-off fixed header, -2 at a fifth
// length byte, 1 when visit stopped it.
template <typename Visit>
int mqtt_packets_walk(const uint8_t* bytes, uint32_t count, uint64_t* offset, Visit visit)
{
    while (*offset < count) {
        const uint8_t* at = bytes + *offset;
        uint32_t rem_len = 0;
        const uint8_t* body = nullptr;
        int result = mqtt_packet_check_length(at, count - static_cast<uint32_t>(*offset), &rem_len, &body, nullptr);
        if (result != 0)
            return result;
        uint64_t size = static_cast<uint64_t>(body - at) + rem_len;
        if (!visit(size))
            return 1;
        *offset += size;
    }
    return 0;
}
// 0 when the bytes are exactly one or more whole packets, else -1 or -2.
[[nodiscard]] int mqtt_packets_buffer_check(const uint8_t* bytes, uint32_t count);
// Number of leading bytes that form whole packets (0 when the first packet
// is not complete).
[[nodiscard]] uint32_t mqtt_packets_whole_length(const uint8_t* bytes, uint32_t count);
// Decodes the fixed header of the packet at `bytes` and adds its size to
// *consumed. -1 unless the whole packet lies within `count` bytes.
[[nodiscard]] int mqtt_fixed_header_decode(mqtt_fixed_header* fixhdr, const uint8_t* bytes, uint32_t count,
                                           uint32_t* consumed);
// 0, or MQTT_MALFORMED for a packet type of fixed size whose Remaining
// Length differs: 2 for the acknowledgements and CONNACK, 0 for PINGREQ,
// PINGRESP and DISCONNECT.
[[nodiscard]] int mqtt_remaining_length_check(const mqtt_fixed_header* fixhdr);

// CONNACK return code 0, 1 (protocol) or 2 (client identifier), or
// MQTT_MALFORMED. The session checks the credentials of an accepted one.
[[nodiscard]] int mqtt_connect_decode(const mqtt_fixed_header* fixhdr, mqtt_connect* connect);
// 0, or MQTT_MALFORMED (QoS 3, empty topic or one holding a wildcard or
// U+0000, topic and identifier overrunning the packet). The TCP thread
// bounds the packet, and so the payload (mqtt_max_packet_size).
[[nodiscard]] int mqtt_publish_decode(const mqtt_fixed_header* fixhdr, mqtt_publish* publish);
// 0, or MQTT_MALFORMED (empty or overrunning filter, one holding U+0000, requested QoS above 2,
// no filter). Every filter has been checked when it returns 0.
[[nodiscard]] int mqtt_subscribe_decode(const mqtt_fixed_header* fixhdr, mqtt_subscribe* subscribe);
[[nodiscard]] int mqtt_unsubscribe_decode(const mqtt_fixed_header* fixhdr, mqtt_unsubscribe* unsubscribe);
// The next filter of a decoded request; false after the last.
[[nodiscard]] bool mqtt_filter_next(mqtt_filters* filters, mqtt_filter* out);
// The packet identifier of a PUBACK/PUBREC/PUBREL/PUBCOMP, or
// MQTT_MALFORMED when the body is shorter than 2 bytes.
[[nodiscard]] int mqtt_pubxxx_decode(const mqtt_fixed_header* fixhdr);

void mqtt_packet_encode(mqtt_fixed_header* fixhdr, uint8_t** buffer, uint32_t* length);
// `session_present` only for MQTT 3.1.1 clients (the byte is reserved in 3.1).
void mqtt_connack_encode(uint8_t** buffer, uint32_t* length, uint8_t code, uint8_t session_present = 0);
void mqtt_suback_encode(uint8_t** buffer, uint32_t* length, const mqtt_suback* suback);
void mqtt_pingresp_encode(uint8_t** buffer, uint32_t* length);
void mqtt_publish_encode(uint8_t** buffer, uint32_t* length, const mqtt_publish* publish);
// PUBACK, PUBREC, PUBREL (first byte 0x62), PUBCOMP or UNSUBACK.
void mqtt_pubxxx_encode(uint32_t msg_type, uint8_t** buffer, uint32_t* length, uint16_t msg_id);
