// MQTT-SN decoders and encoders. All run on the broker thread.
#include "codec/mqttsn.h"

#include <cstring>

#include "logging.h"

namespace {

constexpr uint8_t PROTOCOL_ID = 1;
// A first octet of 0x01 announces the three-octet length form.
constexpr uint8_t LONG_FORM = 0x01;
constexpr uint32_t SHORT_FORM_MAX = 255;
constexpr uint32_t LONG_FORM_MAX = 65535;

constexpr uint32_t TOPIC_ID_NORMAL = 0;
constexpr uint32_t TOPIC_ID_PREDEFINED = 1;
constexpr uint32_t TOPIC_SHORT_NAME = 2;

const char* text(const uint8_t* bytes)
{
    return bytes ? reinterpret_cast<const char*>(bytes) : "";
}

// Octets of fixed fields at the start of the body of each decoded type,
// so that the decoders never read past a datagram. Whether a SUBSCRIBE or
// UNSUBSCRIBE carries a topic id depends on the type in its flags octet.
uint32_t body_min(uint32_t msg_type, uint8_t flags_octet)
{
    switch (msg_type) {
    case MQTTSN_PUBREC:
    case MQTTSN_PUBREL:
    case MQTTSN_PUBCOMP:
        return 2;
    case MQTTSN_SUBSCRIBE:
    case MQTTSN_UNSUBSCRIBE:
        return (flags_octet & 0x03) == TOPIC_ID_PREDEFINED ? 5 : 3;
    case MQTTSN_CONNECT:
    case MQTTSN_REGISTER:
        return 4;
    case MQTTSN_REGACK:
    case MQTTSN_PUBACK:
    case MQTTSN_PUBLISH:
        return 5;
    default:
        return 0;
    }
}

bool has_wildcard(const uint8_t* name, uint16_t name_len)
{
    return std::memchr(name, '+', name_len) || std::memchr(name, '#', name_len);
}

// Flags, message id, then the topic name (normal type) or topic id
// (pre-defined) of a SUBSCRIBE or UNSUBSCRIBE. The fixed header check
// guarantees the fixed fields; a short body leaves the rest zero.
void subscribe_fields_decode(const mqttsn_fixed_header* header, mqttsn_subscribe* subscribe)
{
    *subscribe = {};
    byte_reader body = byte_reader_make(header->body, header->rem_len);
    uint8_t flags = 0;
    if (!read_u8(&body, &flags) || !read_u16(&body, &subscribe->msg_id))
        return;
    mqttsn_flags_decode(&subscribe->flags, flags);
    if (subscribe->flags.topic_id_type == TOPIC_ID_NORMAL) {
        uint32_t length = 0;
        read_rest(&body, &subscribe->topic_name, &length);
        subscribe->topic_name_length = static_cast<uint16_t>(length);
    } else if (subscribe->flags.topic_id_type == TOPIC_ID_PREDEFINED) {
        if (!read_u16(&body, &subscribe->topic_id))
            return;
    }
}

uint8_t* write_u16(uint8_t* out, uint16_t value)
{
    *out++ = static_cast<uint8_t>(value >> 8);
    *out++ = static_cast<uint8_t>(value);
    return out;
}

// Allocates a datagram whose fields after the message type take fields_len
// octets, writes its length and type, and returns where the fields go; null
// when the length field cannot count the datagram.
uint8_t* datagram_new(uint32_t msg_type, uint32_t fields_len, uint8_t** buf_out, uint32_t* len_out)
{
    uint32_t size = 2 + fields_len;
    if (size > SHORT_FORM_MAX)
        size += 2;
    if (size > LONG_FORM_MAX) {
        *buf_out = nullptr;
        *len_out = 0;
        return nullptr;
    }
    auto* out = new uint8_t[size];
    *buf_out = out;
    *len_out = size;
    if (size > SHORT_FORM_MAX) {
        *out++ = LONG_FORM;
        out = write_u16(out, static_cast<uint16_t>(size));
    } else {
        *out++ = static_cast<uint8_t>(size);
    }
    *out++ = static_cast<uint8_t>(msg_type);
    return out;
}

uint8_t* write_bytes(uint8_t* out, const uint8_t* bytes, uint16_t len)
{
    if (len)
        std::memcpy(out, bytes, len);
    return out + len;
}

} // namespace

int mqttsn_fixed_header_decode(mqttsn_fixed_header* header, const uint8_t* datagram, uint32_t datagram_length)
{
    byte_reader r = byte_reader_make(datagram, datagram_length);
    uint8_t first = 0;
    if (!read_u8(&r, &first))
        return -1;
    uint32_t length = first;
    if (first == LONG_FORM) {
        uint16_t long_length = 0;
        if (!read_u16(&r, &long_length))
            return -1;
        length = long_length;
    }
    uint8_t msg_type = 0;
    if (!read_u8(&r, &msg_type))
        return -1;
    // Equal to the datagram's size, the length covers the header read.
    if (length != datagram_length)
        return -1;
    const uint8_t* body = nullptr;
    uint32_t rem_len = 0;
    read_rest(&r, &body, &rem_len);
    if (rem_len < body_min(msg_type, rem_len ? body[0] : 0))
        return -1;
    header->msg_type = msg_type;
    header->rem_len = static_cast<uint16_t>(rem_len);
    // Never null, so that a decoder's pointers into an empty body stay valid.
    header->body = datagram + (datagram_length - rem_len);
    return 0;
}

void mqttsn_flags_decode(mqttsn_flags* flags, uint8_t octet)
{
    flags->dup = octet >> 7 & 1;
    flags->qos = octet >> 5 & 3;
    flags->retain = octet >> 4 & 1;
    flags->will = octet >> 3 & 1;
    flags->clean_session = octet >> 2 & 1;
    flags->topic_id_type = octet & 3;
}

void mqttsn_flags_encode(const mqttsn_flags* flags, uint8_t* octet_out)
{
    // Each field is cut to its bits so that it cannot spill into another.
    *octet_out =
        static_cast<uint8_t>((flags->dup & 1) << 7 | (flags->qos & 3) << 5 | (flags->retain & 1) << 4 |
                             (flags->will & 1) << 3 | (flags->clean_session & 1) << 2 | (flags->topic_id_type & 3));
}

int mqttsn_connect_decode(const mqttsn_fixed_header* header, mqttsn_connect* connect)
{
    *connect = {};
    byte_reader body = byte_reader_make(header->body, header->rem_len);
    uint8_t flags = 0;
    if (!read_u8(&body, &flags) || !read_u8(&body, &connect->protocol_id) || !read_u16(&body, &connect->duration))
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    mqttsn_flags_decode(&connect->flags, flags);
    uint32_t length = 0;
    read_rest(&body, &connect->client_id, &length);
    connect->client_id_length = static_cast<uint16_t>(length);
    if (connect->protocol_id != PROTOCOL_ID || connect->client_id_length == 0)
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    return MQTTSN_ACCEPTED;
}

void mqttsn_willtopic_decode(const mqttsn_fixed_header* header, mqttsn_willtopic* willtopic)
{
    willtopic->will_topic_length = 0;
    willtopic->will_topic = nullptr;
    byte_reader body = byte_reader_make(header->body, header->rem_len);
    uint8_t flags = 0;
    // An empty WILLTOPIC, without even the flags, removes the will.
    if (!read_u8(&body, &flags))
        return;
    mqttsn_flags_decode(&willtopic->flags, flags);
    uint32_t length = 0;
    read_rest(&body, &willtopic->will_topic, &length);
    willtopic->will_topic_length = static_cast<uint16_t>(length);
}

void mqttsn_willmsg_decode(const mqttsn_fixed_header* header, mqttsn_willmsg* willmsg)
{
    byte_reader body = byte_reader_make(header->body, header->rem_len);
    uint32_t length = 0;
    read_rest(&body, &willmsg->will_message, &length);
    willmsg->will_message_length = static_cast<uint16_t>(length);
}

int mqttsn_register_decode(const mqttsn_fixed_header* header, mqttsn_register* reg)
{
    *reg = {};
    byte_reader body = byte_reader_make(header->body, header->rem_len);
    if (!read_u16(&body, &reg->topic_id) || !read_u16(&body, &reg->msg_id))
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    uint32_t length = 0;
    read_rest(&body, &reg->topic_name, &length);
    reg->topic_name_length = static_cast<uint16_t>(length);
    if (reg->topic_name_length == 0) {
        log_write(LOG_DEBUG, "no pubtopic, topic_id: 0, msg_id: %d\n", reg->msg_id);
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    }
    // A wildcard names no single topic that could get an id.
    if (has_wildcard(reg->topic_name, reg->topic_name_length)) {
        log_write(LOG_DEBUG, "wildcard pubtopic, topic_id: 0, msg_id: %d\n", reg->msg_id);
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    }
    log_write(LOG_DEBUG, "pubtopic: %.*s, topic_id: %d, msg_id: %d\n", static_cast<int>(reg->topic_name_length),
              text(reg->topic_name), reg->topic_id, reg->msg_id);
    return MQTTSN_ACCEPTED;
}

void mqttsn_xxxack_decode(const mqttsn_fixed_header* header, mqttsn_xxxack* xxxack)
{
    *xxxack = {};
    byte_reader body = byte_reader_make(header->body, header->rem_len);
    uint8_t code = 0;
    if (read_u16(&body, &xxxack->topic_id) && read_u16(&body, &xxxack->msg_id) && read_u8(&body, &code))
        xxxack->return_code = code;
}

void mqttsn_pubxxx_decode(const mqttsn_fixed_header* header, uint16_t* msg_id_out)
{
    byte_reader body = byte_reader_make(header->body, header->rem_len);
    if (!read_u16(&body, msg_id_out))
        *msg_id_out = 0;
}

void mqttsn_disconnect_decode(const mqttsn_fixed_header* header, uint16_t* duration_out)
{
    byte_reader body = byte_reader_make(header->body, header->rem_len);
    // A lone octet is no duration.
    if (!read_u16(&body, duration_out))
        *duration_out = 0;
    log_write(LOG_DEBUG, "duration:%d\n", *duration_out);
}

int mqttsn_publish_decode(const mqttsn_fixed_header* header, mqttsn_publish* publish)
{
    *publish = {};
    byte_reader body = byte_reader_make(header->body, header->rem_len);
    mqttsn_flags& flags = publish->flags;
    uint8_t flags_octet = 0;
    if (!read_u8(&body, &flags_octet) || !read_u16(&body, &publish->topic_id) || !read_u16(&body, &publish->msg_id))
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    mqttsn_flags_decode(&flags, flags_octet);
    uint32_t length = 0;
    read_rest(&body, &publish->data, &length);
    publish->data_length = static_cast<uint16_t>(length);
    if (flags.topic_id_type != TOPIC_ID_NORMAL && flags.topic_id_type != TOPIC_ID_PREDEFINED)
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    log_write(LOG_DEBUG, "retain:%d, data:%.*s, qos:%d, topic_id:%d, msg_id:%d\n", flags.retain,
              static_cast<int>(publish->data_length), text(publish->data), flags.qos, publish->topic_id,
              publish->msg_id);
    return MQTTSN_ACCEPTED;
}

int mqttsn_subscribe_decode(const mqttsn_fixed_header* header, mqttsn_subscribe* subscribe)
{
    subscribe_fields_decode(header, subscribe);
    const uint32_t type = subscribe->flags.topic_id_type;
    if (type == TOPIC_ID_NORMAL && subscribe->topic_name_length == 0)
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    if (type != TOPIC_ID_NORMAL && type != TOPIC_ID_PREDEFINED)
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    return MQTTSN_ACCEPTED;
}

int mqttsn_unsubscribe_decode(const mqttsn_fixed_header* header, mqttsn_subscribe* subscribe)
{
    subscribe_fields_decode(header, subscribe);
    if (subscribe->flags.topic_id_type == TOPIC_SHORT_NAME)
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    return MQTTSN_ACCEPTED;
}

void mqttsn_simple_command_encode(uint32_t msg_type, uint8_t** buf_out, uint32_t* len_out)
{
    datagram_new(msg_type, 0, buf_out, len_out);
}

void mqttsn_return_command_encode(uint32_t msg_type, uint8_t** buf_out, uint32_t* len_out, uint32_t return_code)
{
    *datagram_new(msg_type, 1, buf_out, len_out) = static_cast<uint8_t>(return_code);
}

void mqttsn_register_encode(uint8_t** buf_out, uint32_t* len_out, const mqttsn_register* reg)
{
    uint8_t* out = datagram_new(MQTTSN_REGISTER, 4u + reg->topic_name_length, buf_out, len_out);
    if (!out)
        return;
    out = write_u16(out, reg->topic_id);
    out = write_u16(out, reg->msg_id);
    write_bytes(out, reg->topic_name, reg->topic_name_length);
}

void mqttsn_xxxack_encode(uint32_t msg_type, uint8_t** buf_out, uint32_t* len_out, const mqttsn_xxxack* xxxack)
{
    uint8_t* out = datagram_new(msg_type, 5, buf_out, len_out);
    out = write_u16(out, xxxack->topic_id);
    out = write_u16(out, xxxack->msg_id);
    *out = static_cast<uint8_t>(xxxack->return_code);
}

void mqttsn_publish_encode(uint8_t** buf_out, uint32_t* len_out, const mqttsn_publish* publish)
{
    uint8_t* out = datagram_new(MQTTSN_PUBLISH, 5u + publish->data_length, buf_out, len_out);
    if (!out)
        return;
    mqttsn_flags_encode(&publish->flags, out++);
    out = write_u16(out, publish->topic_id);
    out = write_u16(out, publish->msg_id);
    write_bytes(out, publish->data, publish->data_length);
}

void mqttsn_pubxxx_encode(uint32_t msg_type, uint8_t** buf_out, uint32_t* len_out, uint16_t msg_id)
{
    write_u16(datagram_new(msg_type, 2, buf_out, len_out), msg_id);
}

void mqttsn_suback_encode(uint8_t** buf_out, uint32_t* len_out, const mqttsn_suback* suback)
{
    // The granted QoS is the one flag a SUBACK carries.
    mqttsn_flags granted{};
    granted.qos = suback->flags.qos;
    uint8_t* out = datagram_new(MQTTSN_SUBACK, 6, buf_out, len_out);
    mqttsn_flags_encode(&granted, out++);
    out = write_u16(out, suback->topic_id);
    out = write_u16(out, suback->msg_id);
    *out = static_cast<uint8_t>(suback->return_code);
}

void mqttsn_disconnect_encode(uint8_t** buf_out, uint32_t* len_out, uint16_t duration)
{
    uint8_t* out = datagram_new(MQTTSN_DISCONNECT, duration ? 2 : 0, buf_out, len_out);
    if (duration)
        write_u16(out, duration);
}
