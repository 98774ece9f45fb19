// MQTT-SN 1.2 codec, gateway side. Decoders take the received datagram and
// its length, never a socket; decoded records point into the datagram and
// copy nothing, so a record lives only as long as the datagram buffer.
//
// mqttsn_fixed_header_decode refuses a datagram whose length octets differ
// from its size or whose body is shorter than the fixed fields of its type;
// every other decoder relies on that check and must only be given a header
// of its own message type. Every field is read through one byte_reader.
// No decoder changes any state: the gateway's sessions store what was
// decoded.
//
// Encoders allocate the whole datagram with new[]; the broker-to-UDP
// channel takes the buffer over. A datagram above 255 octets is written in
// the three-octet length form.
#pragma once

#include <cstdint>

#include "codec/byte_reader.h"

enum : uint32_t {
    MQTTSN_CONNECT = 0x04,
    MQTTSN_CONNACK = 0x05,
    MQTTSN_WILLTOPICREQ = 0x06,
    MQTTSN_WILLTOPIC = 0x07,
    MQTTSN_WILLMSGREQ = 0x08,
    MQTTSN_WILLMSG = 0x09,
    MQTTSN_REGISTER = 0x0A,
    MQTTSN_REGACK = 0x0B,
    MQTTSN_PUBLISH = 0x0C,
    MQTTSN_PUBACK = 0x0D,
    MQTTSN_PUBCOMP = 0x0E,
    MQTTSN_PUBREC = 0x0F,
    MQTTSN_PUBREL = 0x10,
    MQTTSN_SUBSCRIBE = 0x12,
    MQTTSN_SUBACK = 0x13,
    MQTTSN_UNSUBSCRIBE = 0x14,
    MQTTSN_UNSUBACK = 0x15,
    MQTTSN_PINGREQ = 0x16,
    MQTTSN_PINGRESP = 0x17,
    MQTTSN_DISCONNECT = 0x18,
    MQTTSN_WILLTOPICUPD = 0x1A,
    MQTTSN_WILLTOPICRESP = 0x1B,
    MQTTSN_WILLMSGUPD = 0x1C,
    MQTTSN_WILLMSGRESP = 0x1D,
};

// Decoder results and the return-code octet of CONNACK, REGACK, PUBACK and
// SUBACK.
enum : int {
    MQTTSN_ACCEPTED = 0,
    MQTTSN_REFUSED_CONGESTION = 1,
    MQTTSN_REFUSED_INVALID_TOPIC_ID = 2,
    MQTTSN_REFUSED_NOT_SUPPORTED = 3,
};

struct mqttsn_fixed_header {
    uint32_t msg_type;
    uint16_t rem_len;    // octets after the message type
    const uint8_t* body; // the octet after the message type
};

struct mqttsn_flags {
    uint8_t dup;
    uint8_t qos; // as on the wire: 3 is QoS -1
    uint8_t retain;
    uint8_t will;
    uint8_t clean_session;
    uint32_t topic_id_type; // 0 normal, 1 pre-defined, 2 short name, 3 reserved
};

struct mqttsn_connect {
    mqttsn_flags flags;
    uint8_t protocol_id;
    uint16_t duration;
    uint16_t client_id_length;
    const uint8_t* client_id;
};

// WILLTOPIC and WILLTOPICUPD; an empty body leaves the flags untouched.
struct mqttsn_willtopic {
    mqttsn_flags flags;
    uint16_t will_topic_length;
    const uint8_t* will_topic; // null when empty
};

// WILLMSG and WILLMSGUPD.
struct mqttsn_willmsg {
    uint16_t will_message_length;
    const uint8_t* will_message;
};

struct mqttsn_register {
    uint16_t topic_id;
    uint16_t msg_id;
    uint16_t topic_name_length;
    const uint8_t* topic_name;
};

// REGACK and PUBACK.
struct mqttsn_xxxack {
    uint16_t topic_id;
    uint16_t msg_id;
    uint32_t return_code; // its low octet goes on the wire
};

struct mqttsn_publish {
    mqttsn_flags flags;
    uint16_t topic_id;
    uint16_t msg_id;
    uint16_t data_length;
    const uint8_t* data; // null when empty
};

// SUBSCRIBE and UNSUBSCRIBE.
struct mqttsn_subscribe {
    mqttsn_flags flags;
    uint16_t msg_id;
    uint16_t topic_id; // pre-defined topic id; 0 for a topic name
    uint16_t topic_name_length;
    const uint8_t* topic_name;
};

struct mqttsn_suback {
    mqttsn_flags flags; // only qos, the granted QoS, goes on the wire
    uint16_t topic_id;
    uint16_t msg_id;
    uint32_t return_code; // its low octet goes on the wire
};

// 0, or -1 (drop the datagram; nothing set) when the length octets differ
// from datagram_length, the datagram is shorter than its own length and type
// octets, or the body is shorter than its type's fixed fields: CONNECT 4,
// REGISTER 4, PUBLISH 5, SUBSCRIBE and UNSUBSCRIBE 3 (5 with a pre-defined
// topic id), REGACK and PUBACK 5, PUBREC, PUBREL and PUBCOMP 2.
[[nodiscard]] int mqttsn_fixed_header_decode(mqttsn_fixed_header* header, const uint8_t* datagram,
                                             uint32_t datagram_length);
void mqttsn_flags_decode(mqttsn_flags* flags, uint8_t octet);
void mqttsn_flags_encode(const mqttsn_flags* flags, uint8_t* octet_out);

// 0, or 3 for a protocol id other than 1 or an empty client id.
[[nodiscard]] int mqttsn_connect_decode(const mqttsn_fixed_header* header, mqttsn_connect* connect);
void mqttsn_willtopic_decode(const mqttsn_fixed_header* header, mqttsn_willtopic* willtopic);
void mqttsn_willmsg_decode(const mqttsn_fixed_header* header, mqttsn_willmsg* willmsg);
// 0, or 3 for an empty name or one holding a wildcard.
[[nodiscard]] int mqttsn_register_decode(const mqttsn_fixed_header* header, mqttsn_register* reg);
void mqttsn_xxxack_decode(const mqttsn_fixed_header* header, mqttsn_xxxack* xxxack);
// PUBREC, PUBREL and PUBCOMP.
void mqttsn_pubxxx_decode(const mqttsn_fixed_header* header, uint16_t* msg_id_out);
// 0 when the DISCONNECT carries no duration.
void mqttsn_disconnect_decode(const mqttsn_fixed_header* header, uint16_t* duration_out);
// 0, or 3 for a short topic name or the reserved type. The topic id is
// looked up by the session.
[[nodiscard]] int mqttsn_publish_decode(const mqttsn_fixed_header* header, mqttsn_publish* publish);
// A topic name (normal type) or pre-defined topic id. 0, or 3 for an empty
// name, a short topic name or the reserved type.
[[nodiscard]] int mqttsn_subscribe_decode(const mqttsn_fixed_header* header, mqttsn_subscribe* subscribe);
// 3 for a short topic name, otherwise 0.
[[nodiscard]] int mqttsn_unsubscribe_decode(const mqttsn_fixed_header* header, mqttsn_subscribe* subscribe);

// Every encoder sets *buf_out to a new[] datagram and *len_out to its size.
// One longer than the 65535 octets its length field can count (a REGISTER
// or PUBLISH near the 16-bit limits of names and values) cannot be framed:
// *buf_out is null and *len_out 0 then.

// Length and type only (WILLTOPICREQ, WILLMSGREQ, PINGRESP).
void mqttsn_simple_command_encode(uint32_t msg_type, uint8_t** buf_out, uint32_t* len_out);
// CONNACK, WILLTOPICRESP, WILLMSGRESP.
void mqttsn_return_command_encode(uint32_t msg_type, uint8_t** buf_out, uint32_t* len_out, uint32_t return_code);
void mqttsn_register_encode(uint8_t** buf_out, uint32_t* len_out, const mqttsn_register* reg);
void mqttsn_xxxack_encode(uint32_t msg_type, uint8_t** buf_out, uint32_t* len_out, const mqttsn_xxxack* xxxack);
void mqttsn_publish_encode(uint8_t** buf_out, uint32_t* len_out, const mqttsn_publish* publish);
// PUBREC, PUBREL, PUBCOMP and UNSUBACK.
void mqttsn_pubxxx_encode(uint32_t msg_type, uint8_t** buf_out, uint32_t* len_out, uint16_t msg_id);
void mqttsn_suback_encode(uint8_t** buf_out, uint32_t* len_out, const mqttsn_suback* suback);
// A duration of 0 is left off the wire.
void mqttsn_disconnect_encode(uint8_t** buf_out, uint32_t* len_out, uint16_t duration);
