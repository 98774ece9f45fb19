// MQTT decoders for PUBLISH, SUBSCRIBE, UNSUBSCRIBE and the acknowledgements,
// and the per-type encoders. All run on the broker thread. CONNECT is in
// mqtt_connect.cpp, the framing in mqtt_frame.cpp.
#include <cstring>

#include "logging.h"
#include "codec/mqtt.h"
#include "halyx_assert.h"

#define MQTT_ASSERT(expression) HALYX_ASSERT_TEXT("mqtt", expression, #expression)

namespace {

constexpr uint8_t QOS_MAX = 2;

uint8_t* write_u16(uint8_t* out, uint16_t value)
{
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
    return out + 2;
}

const char* log_text(const uint8_t* bytes)
{
    return bytes ? reinterpret_cast<const char*>(bytes) : "";
}

// Checks the topic filters of a SUBSCRIBE (with_qos) or UNSUBSCRIBE body,
// which follow the 2-byte packet identifier. Returns the number of filters,
// or 0 when the body is malformed: a filter that is empty, holds U+0000 or does not lie
// within the body, a requested QoS above 2, or no filter at all.
uint32_t filters_count(byte_reader filters, bool with_qos)
{
    uint32_t count = 0;
    while (byte_reader_remaining(&filters)) {
        const uint8_t* filter = nullptr;
        uint16_t filter_len = 0;
        if (!read_string(&filters, &filter, &filter_len) || filter_len == 0 || std::memchr(filter, 0, filter_len))
            return 0;
        // A QoS above 2 would be granted and later land in the type bits
        // of the PUBLISH first byte.
        uint8_t qos = 0;
        if (with_qos && (!read_u8(&filters, &qos) || qos > QOS_MAX))
            return 0;
        ++count;
    }
    return count;
}

// The packet identifier and the checked filter list of a SUBSCRIBE or
// UNSUBSCRIBE; false when the body is malformed.
bool filters_decode(const mqtt_fixed_header* fixhdr, bool with_qos, uint16_t* msg_id, mqtt_filters* filters)
{
    byte_reader body = byte_reader_make(fixhdr->body, fixhdr->rem_len);
    if (!read_u16(&body, msg_id))
        return false;
    const uint32_t count = filters_count(body, with_qos);
    if (count == 0)
        return false;
    *filters = mqtt_filters{body, with_qos, count};
    return true;
}

// Builds the packet around a new[] body of body_len bytes, which it frees.
void packet_encode(uint32_t msg_type, uint8_t qos, uint8_t retain, uint8_t* body, uint32_t body_len,
                   uint8_t** buffer, uint32_t* length)
{
    mqtt_fixed_header fixhdr{};
    fixhdr.msg_type = msg_type;
    fixhdr.qos = qos;
    fixhdr.retain = retain;
    fixhdr.rem_len = body_len;
    fixhdr.body = body;
    mqtt_packet_encode(&fixhdr, buffer, length);
}

} // namespace

int mqtt_publish_decode(const mqtt_fixed_header* fixhdr, mqtt_publish* publish)
{
    // QoS 3 is reserved: a PUBLISH carrying it is malformed.
    if (fixhdr->qos > QOS_MAX)
        return MQTT_MALFORMED;
    byte_reader body = byte_reader_make(fixhdr->body, fixhdr->rem_len);
    const uint8_t* topic = nullptr;
    uint16_t topic_len = 0;
    if (!read_string(&body, &topic, &topic_len) || topic_len == 0)
        return MQTT_MALFORMED;
    uint16_t msg_id = 0;
    if (fixhdr->qos && !read_u16(&body, &msg_id))
        return MQTT_MALFORMED;
    // A topic name is not a filter: stored with a wildcard it would match
    // every filter's wildcard character literally. U+0000 is no character
    // of an MQTT string, and would cut the name short where it is logged.
    if (std::memchr(topic, '+', topic_len) || std::memchr(topic, '#', topic_len) || std::memchr(topic, 0, topic_len))
        return MQTT_MALFORMED;
    const uint8_t* payload = nullptr;
    uint32_t payload_len = 0;
    read_rest(&body, &payload, &payload_len);

    publish->msg_id = msg_id;
    publish->qos = fixhdr->qos;
    publish->retain = fixhdr->retain;
    publish->topic = topic;
    publish->topic_len = topic_len;
    publish->payload = payload;
    publish->payload_len = payload_len;
    log_write(LOG_DEBUG, "pubtopic: %.*s, retain: %d, data: %.*s, qos: %d\n", static_cast<int>(topic_len),
              reinterpret_cast<const char*>(topic), fixhdr->retain, static_cast<int>(payload_len), log_text(payload),
              fixhdr->qos);
    return 0;
}

int mqtt_subscribe_decode(const mqtt_fixed_header* fixhdr, mqtt_subscribe* subscribe)
{
    if (!filters_decode(fixhdr, true, &subscribe->msg_id, &subscribe->filters))
        return MQTT_MALFORMED;
    return 0;
}

int mqtt_unsubscribe_decode(const mqtt_fixed_header* fixhdr, mqtt_unsubscribe* unsubscribe)
{
    if (!filters_decode(fixhdr, false, &unsubscribe->msg_id, &unsubscribe->filters))
        return MQTT_MALFORMED;
    return 0;
}

bool mqtt_filter_next(mqtt_filters* filters, mqtt_filter* out)
{
    out->qos = 0;
    if (!read_string(&filters->reader, &out->name, &out->name_len))
        return false;
    if (filters->with_qos && !read_u8(&filters->reader, &out->qos))
        return false;
    log_write(LOG_DEBUG, filters->with_qos ? "subtopic: %.*s, qos: %d\n" : "subtopic: %.*s\n",
              static_cast<int>(out->name_len), reinterpret_cast<const char*>(out->name), out->qos);
    return true;
}

int mqtt_pubxxx_decode(const mqtt_fixed_header* fixhdr)
{
    byte_reader body = byte_reader_make(fixhdr->body, fixhdr->rem_len);
    uint16_t msg_id = 0;
    if (!read_u16(&body, &msg_id))
        return MQTT_MALFORMED;
    return msg_id;
}

void mqtt_connack_encode(uint8_t** buffer, uint32_t* length, uint8_t code, uint8_t session_present)
{
    auto* body = new uint8_t[2]{static_cast<uint8_t>(session_present & 1), code};
    packet_encode(MQTT_CONNACK, 0, 0, body, 2, buffer, length);
}

void mqtt_suback_encode(uint8_t** buffer, uint32_t* length, const mqtt_suback* suback)
{
    const uint32_t body_len = 2 + suback->qos_size;
    auto* body = new uint8_t[body_len];
    uint8_t* out = write_u16(body, suback->msg_id);
    if (suback->qos_size)
        std::memcpy(out, suback->qos, suback->qos_size);
    packet_encode(MQTT_SUBACK, 0, 0, body, body_len, buffer, length);
}

void mqtt_pingresp_encode(uint8_t** buffer, uint32_t* length)
{
    packet_encode(MQTT_PINGRESP, 0, 0, nullptr, 0, buffer, length);
}

void mqtt_publish_encode(uint8_t** buffer, uint32_t* length, const mqtt_publish* publish)
{
    MQTT_ASSERT(publish->topic_len != 0);
    const uint32_t id_size = publish->qos ? 2 : 0;
    const uint32_t body_len = 2u + publish->topic_len + id_size + publish->payload_len;
    auto* body = new uint8_t[body_len];
    uint8_t* out = write_u16(body, publish->topic_len);
    std::memcpy(out, publish->topic, publish->topic_len);
    out += publish->topic_len;
    if (id_size)
        out = write_u16(out, publish->msg_id);
    if (publish->payload_len)
        std::memcpy(out, publish->payload, publish->payload_len);
    mqtt_fixed_header fixhdr{MQTT_PUBLISH, publish->dup, publish->qos, publish->retain, body_len, body};
    mqtt_packet_encode(&fixhdr, buffer, length);
}

void mqtt_pubxxx_encode(uint32_t msg_type, uint8_t** buffer, uint32_t* length, uint16_t msg_id)
{
    auto* body = new uint8_t[2];
    write_u16(body, msg_id);
    // PUBREL is the one acknowledgement whose fixed header carries QoS 1.
    packet_encode(msg_type, msg_type == MQTT_PUBREL ? 1 : 0, 0, body, 2, buffer, length);
}
