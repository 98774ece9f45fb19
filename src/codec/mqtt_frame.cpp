// MQTT framing: the Remaining Length, whole-packet checks, the fixed header
// and the generic packet encoder. The per-type decoders and encoders are in
// mqtt.cpp.
#include <cstring>

#include "codec/mqtt.h"
#include "halyx_assert.h"

int mqtt_packet_check_length(const uint8_t* bytes, uint32_t count, uint32_t* rem_len, const uint8_t** body,
                             uint32_t* consumed)
{
    if (count < 2)
        return -1;
    uint32_t length = 0;
    uint32_t multiplier = 1;
    uint8_t index = 1;
    uint8_t byte;
    do {
        // Incomplete is tested first: a buffer that ends inside a run of
        // continuation bytes may still be the start of a valid packet.
        if (index >= count)
            return -1;
        if (index > 4)
            return -2;
        byte = bytes[index];
        length += (byte & 0x7Fu) * multiplier;
        multiplier *= 128;
        ++index;
    } while (byte & 0x80);
    *rem_len = length;
    *body = bytes + index;
    if (consumed)
        *consumed += length + index;
    return 0;
}

int mqtt_packets_buffer_check(const uint8_t* bytes, uint32_t count)
{
    uint64_t offset = 0;
    int result = mqtt_packets_walk(bytes, count, &offset, [](uint64_t) { return true; });
    if (result != 0)
        return result;
    return offset == count ? 0 : -1;
}

uint32_t mqtt_packets_whole_length(const uint8_t* bytes, uint32_t count)
{
    uint64_t offset = 0;
    (void)mqtt_packets_walk(bytes, count, &offset, [&](uint64_t size) { return offset + size <= count; });
    return static_cast<uint32_t>(offset);
}

int mqtt_fixed_header_decode(mqtt_fixed_header* fixhdr, const uint8_t* bytes, uint32_t count, uint32_t* consumed)
{
    uint32_t rem_len = 0;
    const uint8_t* body = nullptr;
    if (mqtt_packet_check_length(bytes, count, &rem_len, &body, nullptr) != 0)
        return -1;
    uint64_t size = static_cast<uint64_t>(body - bytes) + rem_len;
    if (size > count)
        return -1;
    *consumed += static_cast<uint32_t>(size);
    fixhdr->msg_type = bytes[0] >> 4;
    fixhdr->dup = (bytes[0] >> 3) & 1;
    fixhdr->qos = (bytes[0] >> 1) & 3;
    fixhdr->retain = bytes[0] & 1;
    fixhdr->rem_len = rem_len;
    fixhdr->body = const_cast<uint8_t*>(body);
    return 0;
}

int mqtt_remaining_length_check(const mqtt_fixed_header* fixhdr)
{
    switch (fixhdr->msg_type) {
    case MQTT_CONNACK:
    case MQTT_PUBACK:
    case MQTT_PUBREC:
    case MQTT_PUBREL:
    case MQTT_PUBCOMP:
    case MQTT_UNSUBACK:
        return fixhdr->rem_len == 2 ? 0 : MQTT_MALFORMED;
    case MQTT_PINGREQ:
    case MQTT_PINGRESP:
    case MQTT_DISCONNECT:
        return fixhdr->rem_len == 0 ? 0 : MQTT_MALFORMED;
    default:
        return 0;
    }
}

void mqtt_packet_encode(mqtt_fixed_header* fixhdr, uint8_t** buffer, uint32_t* length)
{
    // Four length bytes hold at most 268,435,455.
    HALYX_ASSERT("mqtt", fixhdr->rem_len <= 0x0FFFFFFFu);
    uint8_t len_bytes[4];
    uint32_t len_count = 0;
    uint32_t rem = fixhdr->rem_len;
    do {
        uint8_t byte = rem % 128;
        rem /= 128;
        if (rem > 0)
            byte |= 0x80;
        len_bytes[len_count++] = byte;
    } while (rem > 0 && len_count < 4);

    uint32_t size = 1 + len_count + fixhdr->rem_len;
    auto* out = new uint8_t[size];
    // Each field is cut to its bits, so that an out-of-range flag (a retain
    // value of 2, a QoS of 4) cannot change the packet type.
    out[0] = static_cast<uint8_t>(((fixhdr->msg_type & 0x0F) << 4) | ((fixhdr->dup & 1) << 3) |
                                  ((fixhdr->qos & 3) << 1) | (fixhdr->retain & 1));
    std::memcpy(out + 1, len_bytes, len_count);
    if (fixhdr->rem_len) {
        std::memcpy(out + 1 + len_count, fixhdr->body, fixhdr->rem_len);
        delete[] fixhdr->body;
        fixhdr->body = nullptr;
    }
    *buffer = out;
    *length = size;
}
