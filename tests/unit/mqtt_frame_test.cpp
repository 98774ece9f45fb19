// MQTT framing: Remaining Length, whole-packet check, fixed header and the
// generic packet encoder.
#include "mqtt_packet.h"

namespace {

TEST(MqttFrame, RemainingLengthBoundaries)
{
    struct Case {
        Bytes length_bytes;
        uint32_t rem_len;
    };
    const Case cases[] = {
        {{0x00}, 0},
        {{0x7F}, 127},
        {{0x80, 0x01}, 128},
        {{0xFF, 0x7F}, 16383},
        {{0x80, 0x80, 0x01}, 16384},
        {{0xFF, 0xFF, 0x7F}, 2097151},
        {{0x80, 0x80, 0x80, 0x01}, 2097152},
        {{0xFF, 0xFF, 0xFF, 0x7F}, 268435455},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rem_len);
        // The body need not be present for the length check.
        Bytes bytes = Bytes{0x30} + c.length_bytes;
        auto exact = exact_copy(bytes);
        uint32_t rem_len = 1;
        const uint8_t* body = nullptr;
        uint32_t consumed = 10;
        ASSERT_EQ(mqtt_packet_check_length(exact.get(), static_cast<uint32_t>(bytes.size()), &rem_len, &body,
                                           &consumed),
                  0);
        EXPECT_EQ(rem_len, c.rem_len);
        EXPECT_EQ(body, exact.get() + bytes.size());
        EXPECT_EQ(consumed, 10 + bytes.size() + c.rem_len);
        EXPECT_EQ(rem_len_bytes(c.rem_len), c.length_bytes);
    }
}

TEST(MqttFrame, RemainingLengthFailures)
{
    struct Case {
        const char* name;
        Bytes bytes;
        int result;
    };
    const Case cases[] = {
        {"nothing", {}, -1},
        {"lone type byte", {0xC0}, -1},
        {"ends after a continuation byte", {0x30, 0xFF}, -1},
        {"ends after three continuation bytes", {0x30, 0xFF, 0xFF, 0xFF}, -1},
        {"four continuation bytes, nothing after", {0x30, 0xFF, 0xFF, 0xFF, 0xFF}, -1},
        {"a fifth length byte", {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, -2},
        {"a fifth length byte of zero value", {0x30, 0x80, 0x80, 0x80, 0x80, 0x00}, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto exact = exact_copy(c.bytes);
        uint32_t rem_len = 0;
        const uint8_t* body = nullptr;
        uint32_t consumed = 7;
        EXPECT_EQ(mqtt_packet_check_length(exact.get(), static_cast<uint32_t>(c.bytes.size()), &rem_len, &body,
                                           &consumed),
                  c.result);
        EXPECT_EQ(consumed, 7u);
        EXPECT_EQ(mqtt_packets_buffer_check(exact.get(), static_cast<uint32_t>(c.bytes.size())),
                  c.bytes.empty() ? 0 : c.result);
    }
}

TEST(MqttFrame, BufferCheckNeedsWholePackets)
{
    const Bytes pingreq = {0xC0, 0x00};
    const Bytes publish = frame(0x30, str("a/b") + raw("hello"));
    struct Case {
        const char* name;
        Bytes bytes;
        int result;
    };
    const Case cases[] = {
        {"one PINGREQ", pingreq, 0},
        {"PINGREQ and a whole PUBLISH", pingreq + publish, 0},
        {"three packets", publish + pingreq + publish, 0},
        {"PINGREQ and 3 bytes of a PUBLISH", pingreq + Bytes(publish.begin(), publish.begin() + 3), -1},
        {"PUBLISH one byte short", Bytes(publish.begin(), publish.end() - 1), -1},
        {"PINGREQ and a lone type byte", pingreq + Bytes{0x30}, -1},
        {"PINGREQ and a bad length", pingreq + Bytes{0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, -2},
        {"bad length first", Bytes{0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01} + pingreq, -2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto exact = exact_copy(c.bytes);
        EXPECT_EQ(mqtt_packets_buffer_check(exact.get(), static_cast<uint32_t>(c.bytes.size())), c.result);
    }
}

TEST(MqttFrame, FixedHeaderWalksPacketByPacket)
{
    const Bytes bytes = Bytes{0xC0, 0x00} + frame(0x3B, str("t") + u16(7) + raw("v")) + Bytes{0x62, 0x02, 0x12, 0x34};
    auto exact = exact_copy(bytes);
    const uint32_t count = static_cast<uint32_t>(bytes.size());
    uint32_t offset = 0;

    mqtt_fixed_header h{};
    ASSERT_EQ(mqtt_fixed_header_decode(&h, exact.get() + offset, count - offset, &offset), 0);
    EXPECT_EQ(h.msg_type, MQTT_PINGREQ);
    EXPECT_EQ(h.rem_len, 0u);
    EXPECT_EQ(offset, 2u);

    h = {};
    ASSERT_EQ(mqtt_fixed_header_decode(&h, exact.get() + offset, count - offset, &offset), 0);
    EXPECT_EQ(h.msg_type, MQTT_PUBLISH);
    EXPECT_EQ(h.dup, 1);
    EXPECT_EQ(h.qos, 1);
    EXPECT_EQ(h.retain, 1);
    EXPECT_EQ(h.rem_len, 6u);
    EXPECT_EQ(h.body, exact.get() + 4);
    EXPECT_EQ(offset, 10u);

    h = {};
    ASSERT_EQ(mqtt_fixed_header_decode(&h, exact.get() + offset, count - offset, &offset), 0);
    EXPECT_EQ(h.msg_type, MQTT_PUBREL);
    EXPECT_EQ(h.qos, 1);
    EXPECT_EQ(h.dup, 0);
    EXPECT_EQ(h.retain, 0);
    EXPECT_EQ(offset, count);
}

TEST(MqttFrame, FixedHeaderFlagBits)
{
    struct Case {
        uint8_t first;
        uint32_t msg_type;
        uint8_t dup, qos, retain;
    };
    const Case cases[] = {
        {0x10, MQTT_CONNECT, 0, 0, 0}, {0x31, MQTT_PUBLISH, 0, 0, 1}, {0x32, MQTT_PUBLISH, 0, 1, 0},
        {0x34, MQTT_PUBLISH, 0, 2, 0}, {0x36, MQTT_PUBLISH, 0, 3, 0}, {0x38, MQTT_PUBLISH, 1, 0, 0},
        {0x82, MQTT_SUBSCRIBE, 0, 1, 0}, {0xE0, MQTT_DISCONNECT, 0, 0, 0}, {0xFF, 15, 1, 3, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.first));
        Packet p = packet(c.first, {});
        EXPECT_EQ(p.fixhdr.msg_type, c.msg_type);
        EXPECT_EQ(p.fixhdr.dup, c.dup);
        EXPECT_EQ(p.fixhdr.qos, c.qos);
        EXPECT_EQ(p.fixhdr.retain, c.retain);
    }
}

TEST(MqttFrame, FixedHeaderRefusesAPacketLongerThanTheBuffer)
{
    struct Case {
        const char* name;
        Bytes bytes;
    };
    const Case cases[] = {
        {"lone type byte", {0xC0}},
        {"body one byte short", {0x62, 0x02, 0x12}},
        {"length only", {0x30, 0x80, 0x01}},
        {"fifth length byte", {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto exact = exact_copy(c.bytes);
        mqtt_fixed_header h{};
        uint32_t consumed = 3;
        EXPECT_EQ(mqtt_fixed_header_decode(&h, exact.get(), static_cast<uint32_t>(c.bytes.size()), &consumed), -1);
        EXPECT_EQ(consumed, 3u);
    }
}

TEST(MqttFrame, EncodeWritesTheShortestLengthForm)
{
    const uint32_t lengths[] = {0, 1, 127, 128, 16383, 16384, 2097151, 2097152};
    for (uint32_t rem_len : lengths) {
        SCOPED_TRACE(rem_len);
        mqtt_fixed_header h{};
        h.msg_type = MQTT_PUBLISH;
        h.rem_len = rem_len;
        if (rem_len) {
            h.body = new uint8_t[rem_len];
            for (uint32_t i = 0; i < rem_len; ++i)
                h.body[i] = static_cast<uint8_t>(i * 7);
        }
        uint8_t* buffer = nullptr;
        uint32_t length = 0;
        mqtt_packet_encode(&h, &buffer, &length);
        Bytes out = take(buffer, length);

        const Bytes header = Bytes{0x30} + rem_len_bytes(rem_len);
        ASSERT_EQ(out.size(), header.size() + rem_len);
        EXPECT_TRUE(std::equal(header.begin(), header.end(), out.begin()));
        bool body_same = true;
        for (uint32_t i = 0; i < rem_len; ++i)
            body_same = body_same && out[header.size() + i] == static_cast<uint8_t>(i * 7);
        EXPECT_TRUE(body_same);
        EXPECT_EQ(mqtt_packets_buffer_check(out.data(), static_cast<uint32_t>(out.size())), 0);
    }
}

TEST(MqttFrame, EncodeFirstByte)
{
    struct Case {
        uint32_t msg_type;
        uint8_t dup, qos, retain;
        uint8_t first;
    };
    const Case cases[] = {
        {MQTT_PUBLISH, 0, 0, 0, 0x30}, {MQTT_PUBLISH, 1, 2, 1, 0x3D}, {MQTT_PUBLISH, 0, 1, 1, 0x33},
        {MQTT_PUBREL, 0, 1, 0, 0x62},  {MQTT_PINGRESP, 0, 0, 0, 0xD0},
        // Out-of-range flags stay in their own bits and leave the type alone.
        {MQTT_PUBLISH, 0, 4, 0, 0x30}, {MQTT_PUBLISH, 0, 0, 2, 0x30}, {MQTT_PUBLISH, 2, 0, 0, 0x30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.first));
        mqtt_fixed_header h{};
        h.msg_type = c.msg_type;
        h.dup = c.dup;
        h.qos = c.qos;
        h.retain = c.retain;
        uint8_t* buffer = nullptr;
        uint32_t length = 0;
        mqtt_packet_encode(&h, &buffer, &length);
        EXPECT_EQ(take(buffer, length), (Bytes{c.first, 0x00}));
    }
}

} // namespace
