// CONNECT decoding and authentication. Called by the broker thread for the
// first packet of a connection.
#include <cstring>

#include "codec/mqtt.h"
#include "codec/utf8.h"

#define MQTT_ASSERT(expression) HALYX_ASSERT_TEXT("mqtt", expression, #expression)

namespace {

constexpr uint8_t PROTOCOL_311[] = {0x00, 0x04, 'M', 'Q', 'T', 'T', 0x04};
constexpr uint8_t PROTOCOL_31[] = {0x00, 0x06, 'M', 'Q', 'I', 's', 'd', 'p', 0x03};
constexpr uint32_t CLIENT_ID_MAX_CHARS = 23;

uint16_t read_u16(const uint8_t* bytes)
{
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

// Reads one length-prefixed field at *pos. False when the length or the
// bytes would run past `end`; *pos moves past the field otherwise.
bool read_field(const uint8_t* body, uint32_t end, uint32_t* pos, const uint8_t** field, uint16_t* length)
{
    if (end - *pos < 2)
        return false;
    uint16_t len = read_u16(body + *pos);
    if (end - *pos - 2 < len)
        return false;
    *length = len;
    *field = len ? body + *pos + 2 : nullptr;
    *pos += 2u + len;
    return true;
}

// Matches the protocol name and level; the position of the Connect Flags
// byte, or 0 when neither accepted form is there.
uint32_t protocol_header_match(const uint8_t* body, uint32_t rem_len)
{
    if (rem_len >= sizeof PROTOCOL_311 && std::memcmp(body, PROTOCOL_311, sizeof PROTOCOL_311) == 0)
        return sizeof PROTOCOL_311;
    if (rem_len >= sizeof PROTOCOL_31 && std::memcmp(body, PROTOCOL_31, sizeof PROTOCOL_31) == 0)
        return sizeof PROTOCOL_31;
    return 0;
}

// Reads every field of the packet into `out`; false when one of them does
// not lie within the packet, or the will topic is empty.
bool connect_fields_read(const uint8_t* body, uint32_t rem_len, uint32_t pos, mqtt_connect* out)
{
    // Flags, keep-alive and the client identifier's length.
    if (rem_len - pos < 5)
        return false;
    uint8_t flags = body[pos];
    out->user_name_flag = (flags >> 7) & 1;
    out->password_flag = (flags >> 6) & 1;
    out->will_retain = (flags >> 5) & 1;
    out->will_qos = (flags >> 3) & 3;
    out->will_flag = (flags >> 2) & 1;
    out->clean_session = (flags >> 1) & 1;
    out->keepalive = read_u16(body + pos + 1);
    pos += 3;

    if (!read_field(body, rem_len, &pos, &out->client_id, &out->client_id_length))
        return false;
    if (out->will_flag) {
        if (!read_field(body, rem_len, &pos, &out->will_topic, &out->will_topic_length))
            return false;
        if (out->will_topic_length == 0)
            return false;
        // An empty will message is valid MQTT: the will publishes an empty value.
        if (!read_field(body, rem_len, &pos, &out->will_message, &out->will_message_length))
            return false;
    }
    // MQTT 3.1 clients may set the flags and leave the fields out, so they
    // are read only while bytes remain.
    if (out->user_name_flag && pos < rem_len) {
        if (!read_field(body, rem_len, &pos, &out->user_name, &out->user_name_length))
            return false;
    }
    if (out->password_flag && pos < rem_len) {
        if (!read_field(body, rem_len, &pos, &out->password, &out->password_length))
            return false;
    }
    return true;
}

} // namespace

int mqtt_connect_decode(const mqtt_fixed_header* fixhdr, mqtt_connect* connect)
{
    MQTT_ASSERT(connect->users != NULL);
    uint32_t pos = protocol_header_match(fixhdr->body, fixhdr->rem_len);
    if (pos == 0)
        return 1;

    // Decode into a fresh record so that a malformed packet leaves the
    // caller's record as it was.
    mqtt_connect decoded{};
    decoded.users = connect->users;
    if (!connect_fields_read(fixhdr->body, fixhdr->rem_len, pos, &decoded))
        return MQTT_MALFORMED;
    *connect = decoded;

    if (connect->client_id_length == 0)
        return 2;
    if (utf8_strlen(connect->client_id, connect->client_id_length) > CLIENT_ID_MAX_CHARS)
        return 2;

    if (!list_head(connect->users)) {
        connect->publish_enable = 1;
        return 0;
    }
    // The lookup asserts on empty credentials, so they are refused here.
    if (connect->user_name_length == 0 || connect->password_length == 0)
        return 4;
    mqtt_user* user = list_mqtt_user_find_user(connect->users, connect->user_name, connect->user_name_length,
                                               connect->password, connect->password_length);
    if (!user)
        return 4;
    connect->publish_enable = user->publish_enable;
    return 0;
}
