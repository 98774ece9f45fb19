// MQTT decoders for PUBLISH, SUBSCRIBE, UNSUBSCRIBE and the acknowledgements,
// and the per-type encoders. All run on the broker thread. CONNECT is in
// mqtt_connect.cpp, the framing in mqtt_frame.cpp.
#include <cstring>

#include "logging.h"
#include "codec/mqtt.h"

#define MQTT_ASSERT(expression) HALYX_ASSERT_TEXT("mqtt", expression, #expression)

namespace {

// Payloads, like every value the broker keeps, have a 16-bit length.
constexpr uint32_t PAYLOAD_MAX = 65535;
constexpr uint8_t QOS_MAX = 2;

uint16_t read_u16(const uint8_t* bytes)
{
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

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

// Walks the topic filters of a SUBSCRIBE (with_qos) or UNSUBSCRIBE body,
// which follow the 2-byte packet identifier. Returns the number of filters,
// or 0 when the body is malformed: a filter that is empty or does not lie
// within the body, a requested QoS above 2, the last filter not ending the
// body exactly, or no filter at all.
uint32_t filters_count(const uint8_t* body, uint32_t rem_len, bool with_qos)
{
    if (rem_len < 2)
        return 0;
    const uint32_t qos_bytes = with_qos ? 1 : 0;
    uint32_t count = 0;
    uint32_t i = 0;
    while (rem_len - 2 > i) {
        if (rem_len - 2 - i < 2)
            return 0;
        uint32_t filter_len = read_u16(body + i + 2);
        if (filter_len == 0)
            return 0;
        if (rem_len - 4 - i < filter_len + qos_bytes)
            return 0;
        // A QoS above 2 would be granted and later land in the type bits
        // of the PUBLISH first byte.
        if (with_qos && body[i + 4 + filter_len] > QOS_MAX)
            return 0;
        ++count;
        i += filter_len + 2 + qos_bytes;
    }
    if (i + 2 != rem_len)
        return 0;
    return count;
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
    const uint8_t* body = fixhdr->body;
    const uint32_t rem_len = fixhdr->rem_len;
    const uint32_t id_size = fixhdr->qos ? 2 : 0;
    if (rem_len < 2)
        return MQTT_MALFORMED;
    // QoS 3 is reserved: a PUBLISH carrying it is malformed.
    if (fixhdr->qos > QOS_MAX)
        return MQTT_MALFORMED;
    const uint16_t topic_len = read_u16(body);
    if (topic_len == 0 || rem_len - 2 < topic_len + id_size)
        return MQTT_MALFORMED;
    const uint32_t payload_len = rem_len - 2 - topic_len - id_size;
    if (payload_len > PAYLOAD_MAX)
        return MQTT_MALFORMED;

    const uint8_t* topic = body + 2;
    // A topic name is not a filter: stored with a wildcard it would match
    // every filter's wildcard character literally.
    if (std::memchr(topic, '+', topic_len) || std::memchr(topic, '#', topic_len))
        return MQTT_MALFORMED;
    const uint8_t* payload = payload_len ? topic + topic_len + id_size : nullptr;
    // An empty payload is never kept as a retained value.
    const uint8_t retain = payload_len ? fixhdr->retain : 0;
    publish->topic = topic;
    publish->topic_len = topic_len;
    publish->payload = payload;
    publish->payload_len = static_cast<uint16_t>(payload_len);
    publish->retain = retain;
    if (publish->pub_list)
        publish->pub_item = list_pub_add_replace(publish->pub_list, topic, topic_len, payload,
                                                 static_cast<uint16_t>(payload_len), retain);
    log_write(LOG_DEBUG, "pubtopic: %.*s, retain: %d, data: %.*s, qos: %d\n", static_cast<int>(topic_len),
              reinterpret_cast<const char*>(topic), retain, static_cast<int>(payload_len), log_text(payload),
              fixhdr->qos);
    if (!publish->pub_item)
        log_write(LOG_DEBUG, "topic table full, pubtopic: %.*s dropped\n", static_cast<int>(topic_len),
                  reinterpret_cast<const char*>(topic));
    publish->msg_id = id_size ? read_u16(topic + topic_len) : 0;
    publish->qos = fixhdr->qos;
    return 0;
}

int mqtt_subscribe_decode(const mqtt_fixed_header* fixhdr, mqtt_subscribe* subscribe)
{
    const uint8_t* body = fixhdr->body;
    const uint32_t count = filters_count(body, fixhdr->rem_len, true);
    if (count == 0)
        return MQTT_MALFORMED;

    subscribe->msg_id = read_u16(body);
    subscribe->qos = new uint8_t[count];
    subscribe->qos_size = count;
    uint32_t i = 0;
    for (uint32_t n = 0; n < count; ++n) {
        const uint16_t filter_len = read_u16(body + i + 2);
        const uint8_t* filter = body + i + 4;
        const uint8_t qos = filter[filter_len];
        list_sub_add_replace(subscribe->sub_list, filter, filter_len, qos);
        list_sub_add_replace(&subscribe->new_subs, filter, filter_len, qos);
        log_write(LOG_DEBUG, "subtopic: %.*s, qos: %d\n", static_cast<int>(filter_len),
                  reinterpret_cast<const char*>(filter), qos);
        subscribe->qos[n] = qos;
        i += filter_len + 3u;
    }
    return 0;
}

int mqtt_unsubscribe_decode(const mqtt_fixed_header* fixhdr, mqtt_unsubscribe* unsubscribe)
{
    const uint8_t* body = fixhdr->body;
    const uint32_t count = filters_count(body, fixhdr->rem_len, false);
    if (count == 0)
        return MQTT_MALFORMED;

    unsubscribe->msg_id = read_u16(body);
    uint32_t i = 0;
    for (uint32_t n = 0; n < count; ++n) {
        const uint16_t filter_len = read_u16(body + i + 2);
        const uint8_t* filter = body + i + 4;
        list_sub_remove_name(unsubscribe->sub_list, filter, filter_len);
        log_write(LOG_DEBUG, "subtopic: %.*s\n", static_cast<int>(filter_len), reinterpret_cast<const char*>(filter));
        i += filter_len + 2u;
    }
    return 0;
}

int mqtt_pubxxx_decode(const mqtt_fixed_header* fixhdr)
{
    if (fixhdr->rem_len < 2)
        return MQTT_MALFORMED;
    return read_u16(fixhdr->body);
}

void mqtt_connack_encode(uint8_t** buffer, uint32_t* length, uint8_t code)
{
    // Session Present is always 0: nothing of a client outlives its connection.
    auto* body = new uint8_t[2]{0, code};
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
    const pub_item* item = publish->pub_item;
    MQTT_ASSERT(item != NULL);
    const uint32_t id_size = publish->qos ? 2 : 0;
    const uint32_t body_len = 2u + item->name_len + id_size + item->data_len;
    auto* body = new uint8_t[body_len];
    uint8_t* out = write_u16(body, item->name_len);
    std::memcpy(out, item->name, item->name_len);
    out += item->name_len;
    if (id_size)
        out = write_u16(out, publish->msg_id);
    if (item->data_len)
        std::memcpy(out, item->data, item->data_len);
    packet_encode(MQTT_PUBLISH, publish->qos, item->retain, body, body_len, buffer, length);
}

void mqtt_pubxxx_encode(uint32_t msg_type, uint8_t** buffer, uint32_t* length, uint16_t msg_id)
{
    auto* body = new uint8_t[2];
    write_u16(body, msg_id);
    // PUBREL is the one acknowledgement whose fixed header carries QoS 1.
    packet_encode(msg_type, msg_type == MQTT_PUBREL ? 1 : 0, 0, body, 2, buffer, length);
}
