// CONNECT decoding. Called by the broker thread for the first packet of a
// connection; the session checks the credentials.
#include <cstring>

#include "codec/mqtt.h"
#include "codec/utf8.h"

namespace {

constexpr uint8_t PROTOCOL_311[] = {0x00, 0x04, 'M', 'Q', 'T', 'T', 0x04};
constexpr uint8_t PROTOCOL_31[] = {0x00, 0x06, 'M', 'Q', 'I', 's', 'd', 'p', 0x03};
constexpr uint32_t CLIENT_ID_MAX_CHARS = 23;

// Moves past the protocol name and level when they are `protocol`.
bool protocol_is(byte_reader* body, const uint8_t* protocol, uint32_t size)
{
    byte_reader r = *body;
    const uint8_t* bytes = nullptr;
    if (!read_bytes(&r, size, &bytes) || std::memcmp(bytes, protocol, size) != 0)
        return false;
    *body = r;
    return true;
}

// Matches the protocol name and level and moves past them: the level, or
// 0 when neither accepted form is there.
uint8_t protocol_header_match(byte_reader* body)
{
    if (protocol_is(body, PROTOCOL_311, sizeof PROTOCOL_311))
        return 4;
    return protocol_is(body, PROTOCOL_31, sizeof PROTOCOL_31) ? 3 : 0;
}

// Reads every field of the packet into `out`; false when one of them does
// not lie within the packet, or the will topic is empty.
bool connect_fields_read(byte_reader* body, mqtt_connect* out)
{
    uint8_t flags = 0;
    if (!read_u8(body, &flags) || !read_u16(body, &out->keepalive))
        return false;
    out->user_name_flag = (flags >> 7) & 1;
    out->password_flag = (flags >> 6) & 1;
    out->will_retain = (flags >> 5) & 1;
    out->will_qos = (flags >> 3) & 3;
    out->will_flag = (flags >> 2) & 1;
    out->clean_session = (flags >> 1) & 1;

    if (!read_string(body, &out->client_id, &out->client_id_length))
        return false;
    if (out->will_flag) {
        if (!read_string(body, &out->will_topic, &out->will_topic_length))
            return false;
        if (out->will_topic_length == 0)
            return false;
        // An empty will message is valid MQTT: the will publishes an empty value.
        if (!read_string(body, &out->will_message, &out->will_message_length))
            return false;
    }
    // MQTT 3.1 clients may set the flags and leave the fields out, so they
    // are read only while bytes remain.
    if (out->user_name_flag && byte_reader_remaining(body)) {
        if (!read_string(body, &out->user_name, &out->user_name_length))
            return false;
    }
    if (out->password_flag && byte_reader_remaining(body)) {
        if (!read_string(body, &out->password, &out->password_length))
            return false;
    }
    return true;
}

} // namespace

int mqtt_connect_decode(const mqtt_fixed_header* fixhdr, mqtt_connect* connect)
{
    byte_reader body = byte_reader_make(fixhdr->body, fixhdr->rem_len);
    const uint8_t level = protocol_header_match(&body);
    if (level == 0)
        return 1;

    // Decode into a fresh record so that a malformed packet leaves the
    // caller's record as it was.
    mqtt_connect decoded{};
    decoded.protocol_level = level;
    if (!connect_fields_read(&body, &decoded))
        return MQTT_MALFORMED;
    *connect = decoded;

    if (connect->client_id_length == 0)
        return 2;
    if (utf8_strlen(connect->client_id, connect->client_id_length) > CLIENT_ID_MAX_CHARS)
        return 2;
    return 0;
}
