// MQTT-SN decoders and encoders. All run on the broker thread, which owns
// the topic and subscription lists the decoders change.
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

uint16_t read_u16(const uint8_t* bytes)
{
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

const char* text(const uint8_t* bytes)
{
    return reinterpret_cast<const char*>(bytes);
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

// The list insists on a non-zero id; from a client, 0 just finds nothing.
pub_item* pub_find(list<pub_item>* pub_list, uint16_t topic_id)
{
    return pub_list && topic_id ? list_pub_find_topic_id(pub_list, topic_id) : nullptr;
}

// Flags, message id, then the topic name (normal type) or topic id
// (pre-defined) of a SUBSCRIBE or UNSUBSCRIBE.
void subscribe_fields_decode(const mqttsn_fixed_header* header, mqttsn_subscribe* subscribe)
{
    const uint8_t* body = header->body;
    mqttsn_flags_decode(&subscribe->flags, body[0]);
    subscribe->msg_id = read_u16(body + 1);
    if (subscribe->flags.topic_id_type == TOPIC_ID_NORMAL) {
        subscribe->topic_name_length = static_cast<uint16_t>(header->rem_len - 3);
        subscribe->topic_name = body + 3;
    } else if (subscribe->flags.topic_id_type == TOPIC_ID_PREDEFINED) {
        subscribe->topic_id = read_u16(body + 3);
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
    if (datagram_length < 2)
        return -1;
    uint32_t length = datagram[0];
    uint32_t header_len = 2;
    if (datagram[0] == LONG_FORM) {
        if (datagram_length < 4)
            return -1;
        length = read_u16(datagram + 1);
        header_len = 4;
    }
    // Equal to a size of at least header_len, the length covers the header.
    if (length != datagram_length)
        return -1;
    const uint32_t msg_type = datagram[header_len - 1];
    const uint8_t* body = datagram + header_len;
    const uint32_t rem_len = length - header_len;
    if (rem_len < body_min(msg_type, rem_len ? body[0] : 0))
        return -1;
    header->msg_type = msg_type;
    header->rem_len = static_cast<uint16_t>(rem_len);
    header->body = body;
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
    const uint8_t* body = header->body;
    mqttsn_flags_decode(&connect->flags, body[0]);
    connect->protocol_id = body[1];
    connect->duration = read_u16(body + 2);
    connect->client_id_length = static_cast<uint16_t>(header->rem_len - 4);
    connect->client_id = body + 4;
    if (connect->protocol_id != PROTOCOL_ID || connect->client_id_length == 0)
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    return MQTTSN_ACCEPTED;
}

void mqttsn_willtopic_decode(const mqttsn_fixed_header* header, mqttsn_willtopic* willtopic)
{
    willtopic->will_topic_length = 0;
    willtopic->will_topic = nullptr;
    // An empty WILLTOPIC, without even the flags, removes the will.
    if (header->rem_len == 0)
        return;
    mqttsn_flags_decode(&willtopic->flags, header->body[0]);
    willtopic->will_topic_length = static_cast<uint16_t>(header->rem_len - 1);
    if (willtopic->will_topic_length)
        willtopic->will_topic = header->body + 1;
}

void mqttsn_willmsg_decode(const mqttsn_fixed_header* header, mqttsn_willmsg* willmsg)
{
    willmsg->will_message_length = header->rem_len;
    willmsg->will_message = header->body;
}

int mqttsn_register_decode(const mqttsn_fixed_header* header, mqttsn_register* reg)
{
    const uint8_t* body = header->body;
    reg->topic_id = read_u16(body);
    reg->msg_id = read_u16(body + 2);
    reg->topic_name_length = static_cast<uint16_t>(header->rem_len - 4);
    reg->topic_name = body + 4;
    reg->pub_item = nullptr;
    if (reg->topic_name_length == 0) {
        log_write(LOG_DEBUG, "no pubtopic, topic_id: 0, msg_id: %d\n", reg->msg_id);
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    }
    // A wildcard names no single topic that could get an id.
    if (name_has_wildcard(reg->topic_name, reg->topic_name_length)) {
        log_write(LOG_DEBUG, "wildcard pubtopic, topic_id: 0, msg_id: %d\n", reg->msg_id);
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    }
    if (reg->pub_list) {
        reg->pub_item = list_pub_add_ignore(reg->pub_list, reg->topic_name, reg->topic_name_length, nullptr, 0, 0);
        if (!reg->pub_item) {
            log_write(LOG_DEBUG, "topic table full, pubtopic: %.*s refused, msg_id: %d\n",
                      static_cast<int>(reg->topic_name_length), text(reg->topic_name), reg->msg_id);
            return MQTTSN_REFUSED_CONGESTION;
        }
    }
    log_write(LOG_DEBUG, "pubtopic: %.*s, topic_id: %d, msg_id: %d\n", static_cast<int>(reg->topic_name_length),
              text(reg->topic_name), reg->topic_id, reg->msg_id);
    return MQTTSN_ACCEPTED;
}

void mqttsn_xxxack_decode(const mqttsn_fixed_header* header, mqttsn_xxxack* xxxack)
{
    xxxack->topic_id = read_u16(header->body);
    xxxack->msg_id = read_u16(header->body + 2);
    xxxack->return_code = header->body[4];
}

void mqttsn_pubxxx_decode(const mqttsn_fixed_header* header, uint16_t* msg_id_out)
{
    *msg_id_out = read_u16(header->body);
}

void mqttsn_disconnect_decode(const mqttsn_fixed_header* header, uint16_t* duration_out)
{
    // A lone octet is no duration.
    *duration_out = header->rem_len >= 2 ? read_u16(header->body) : 0;
    log_write(LOG_DEBUG, "duration:%d\n", *duration_out);
}

int mqttsn_publish_decode(const mqttsn_fixed_header* header, mqttsn_publish* publish)
{
    const uint8_t* body = header->body;
    mqttsn_flags& flags = publish->flags;
    mqttsn_flags_decode(&flags, body[0]);
    publish->topic_id = read_u16(body + 1);
    publish->msg_id = read_u16(body + 3);
    publish->data_length = static_cast<uint16_t>(header->rem_len - 5);
    publish->data = body + 5;
    publish->pub_item = nullptr;
    if (flags.topic_id_type != TOPIC_ID_NORMAL && flags.topic_id_type != TOPIC_ID_PREDEFINED)
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    if (publish->pub_list) {
        // Pre-defined ids live in the same list as the registered ones.
        pub_item* item = pub_find(publish->pub_list, publish->topic_id);
        if (!item) {
            log_write(LOG_DEBUG, "invalid pubtopic, topic_id:%d, qos:%d, msg_id:%d\n", publish->topic_id, flags.qos,
                      publish->msg_id);
            return MQTTSN_REFUSED_INVALID_TOPIC_ID;
        }
        // An empty payload keeps the value but is never retained.
        list_pub_data_replace(item, publish->data, publish->data_length, publish->data_length ? flags.retain : 0);
        publish->pub_item = item;
    }
    log_write(LOG_DEBUG, "retain:%d, data:%.*s, qos:%d, topic_id:%d, msg_id:%d\n", flags.retain,
              static_cast<int>(publish->data_length), text(publish->data), flags.qos, publish->topic_id,
              publish->msg_id);
    return MQTTSN_ACCEPTED;
}

int mqttsn_subscribe_decode(const mqttsn_fixed_header* header, mqttsn_subscribe* subscribe)
{
    subscribe_fields_decode(header, subscribe);
    subscribe->pub_item = nullptr;
    subscribe->sub_item = nullptr;
    const uint8_t qos = subscribe->flags.qos;
    if (subscribe->flags.topic_id_type == TOPIC_ID_NORMAL) {
        if (subscribe->topic_name_length == 0)
            return MQTTSN_REFUSED_NOT_SUPPORTED;
        // A plain name is a topic the client will be told the id of.
        if (subscribe->pub_list && !name_has_wildcard(subscribe->topic_name, subscribe->topic_name_length)) {
            subscribe->pub_item = list_pub_add_ignore(subscribe->pub_list, subscribe->topic_name,
                                                      subscribe->topic_name_length, nullptr, 0, 0);
            if (!subscribe->pub_item) {
                log_write(LOG_DEBUG, "topic table full, subtopic: %.*s refused, msg_id: %d\n",
                          static_cast<int>(subscribe->topic_name_length), text(subscribe->topic_name),
                          subscribe->msg_id);
                return MQTTSN_REFUSED_CONGESTION;
            }
        }
        subscribe->sub_item =
            list_sub_add_replace(subscribe->sub_list, subscribe->topic_name, subscribe->topic_name_length, qos);
    } else if (subscribe->flags.topic_id_type == TOPIC_ID_PREDEFINED) {
        pub_item* item = pub_find(subscribe->pub_list, subscribe->topic_id);
        if (!item) {
            log_write(LOG_DEBUG, "invalid subtopic, topic_id:%d, qos:%d, msg_id:%d\n", subscribe->topic_id, qos,
                      subscribe->msg_id);
            return MQTTSN_REFUSED_INVALID_TOPIC_ID;
        }
        subscribe->pub_item = item;
        subscribe->sub_item = list_sub_add_replace(subscribe->sub_list, item->name, item->name_len, qos);
    } else {
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    }
    const sub_item* sub = subscribe->sub_item;
    log_write(LOG_DEBUG, "subtopic: %.*s, topic_id: %d, qos: %d, msg_id: %d\n", static_cast<int>(sub->name_len),
              text(sub->name), subscribe->topic_id, qos, subscribe->msg_id);
    return MQTTSN_ACCEPTED;
}

int mqttsn_unsubscribe_decode(const mqttsn_fixed_header* header, mqttsn_subscribe* subscribe)
{
    subscribe_fields_decode(header, subscribe);
    const uint32_t type = subscribe->flags.topic_id_type;
    if (type == TOPIC_SHORT_NAME)
        return MQTTSN_REFUSED_NOT_SUPPORTED;
    // The lists refuse an empty name and topic id 0; neither names a
    // subscription, so there is nothing to remove.
    if (type == TOPIC_ID_NORMAL && subscribe->topic_name_length)
        list_sub_remove_name(subscribe->sub_list, subscribe->topic_name, subscribe->topic_name_length);
    else if (type == TOPIC_ID_PREDEFINED && subscribe->topic_id)
        list_sub_remove_topic_id(subscribe->sub_list, subscribe->topic_id);
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

void mqttsn_register_encode(uint8_t** buf_out, uint32_t* len_out, mqttsn_register* reg)
{
    if (const pub_item* item = reg->pub_item) {
        reg->topic_id = item->topic_id;
        reg->topic_name = item->name;
        reg->topic_name_length = item->name_len;
    }
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

void mqttsn_publish_encode(uint8_t** buf_out, uint32_t* len_out, mqttsn_publish* publish)
{
    if (const pub_item* item = publish->pub_item) {
        publish->topic_id = item->topic_id;
        publish->data = item->data;
        publish->data_length = item->data_len;
        publish->flags.retain = item->retain;
    }
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
