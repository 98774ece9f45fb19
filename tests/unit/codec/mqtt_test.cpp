// MQTT codec: framing, the decoded records, and the encoders compared byte
// for byte. Packets are decoded from exact-size heap copies so that
// AddressSanitizer reports any read past a packet's end.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "codec/mqtt.h"
#include "../test_bytes.h"

namespace {

using SubState = std::pair<std::string, int>; // filter, qos

// A copy whose heap block ends where the bytes end.
Bytes exact(const Bytes& bytes)
{
    return Bytes(bytes.begin(), bytes.end());
}

// One received packet and its decoded fixed header.
struct Packet {
    Bytes bytes;
    mqtt_fixed_header h{};

    Packet(uint8_t first, const Bytes& body) : bytes(exact(packet(first, body)))
    {
        uint32_t consumed = 0;
        EXPECT_EQ(mqtt_fixed_header_decode(&h, bytes.data(), static_cast<uint32_t>(bytes.size()), &consumed), 0);
        EXPECT_EQ(consumed, bytes.size());
    }
};

TEST(MqttFrame, RemainingLength)
{
    struct Case {
        Bytes header; // the length check does not need the body
        int result;
        uint32_t rem_len;
    };
    const Case cases[] = {
        // clang-format off
        {{0xC0, 0x00}, 0, 0}, {{0x30, 0x7F}, 0, 127}, {{0x30, 0x80, 0x01}, 0, 128}, {{0x30, 0xFF, 0x7F}, 0, 16383},
        {{0x30, 0x80, 0x80, 0x01}, 0, 16384}, {{0x30, 0xFF, 0xFF, 0x7F}, 0, 2097151},
        {{0x30, 0x80, 0x80, 0x80, 0x01}, 0, 2097152}, {{0x30, 0xFF, 0xFF, 0xFF, 0x7F}, 0, 268435455},
        {{0xC0}, -1, 0}, {{0x30, 0xFF, 0xFF, 0xFF, 0xFF}, -1, 0}, {{0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, -2, 0},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.header));
        const Bytes header = exact(c.header);
        const auto size = static_cast<uint32_t>(header.size());
        uint32_t rem_len = 0;
        const uint8_t* body = nullptr;
        uint32_t consumed = 0;
        ASSERT_EQ(mqtt_packet_check_length(header.data(), size, &rem_len, &body, &consumed), c.result);
        if (c.result != 0) {
            EXPECT_EQ(consumed, 0u);
            continue;
        }
        EXPECT_EQ(rem_len, c.rem_len);
        EXPECT_EQ(body, header.data() + size);
        EXPECT_EQ(consumed, size + rem_len);

        // Encoding writes the same, shortest, form (skipping the 256 MB body).
        if (rem_len > (1u << 21))
            continue;
        mqtt_fixed_header h{static_cast<uint32_t>(header[0] >> 4),     0, 0, 0, rem_len,
                            rem_len ? new uint8_t[rem_len]() : nullptr};
        uint8_t* buffer = nullptr;
        uint32_t length = 0;
        mqtt_packet_encode(&h, &buffer, &length);
        const Bytes start(buffer, buffer + size);
        delete[] buffer;
        EXPECT_EQ(start, header);
        EXPECT_EQ(length, size + rem_len);
    }
}

TEST(MqttFrame, BufferCheckAndWholeLength)
{
    const Bytes pingreq = {0xC0, 0x00};
    const Bytes publish = packet(0x30, field("a/b") + raw("hello"));
    struct Case {
        const char* name;
        Bytes bytes;
        int result;
        uint32_t whole;
    };
    const Case cases[] = {
        {"two whole packets", pingreq + publish, 0, 2 + 12},
        {"PINGREQ and 3 bytes of a PUBLISH", pingreq + Bytes(publish.begin(), publish.begin() + 3), -1, 2},
        {"PINGREQ and a fifth length byte", pingreq + Bytes{0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, -2, 2},
        {"lone type byte", {0x30}, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes bytes = exact(c.bytes);
        EXPECT_EQ(mqtt_packets_buffer_check(bytes.data(), static_cast<uint32_t>(bytes.size())), c.result);
        EXPECT_EQ(mqtt_packets_whole_length(bytes.data(), static_cast<uint32_t>(bytes.size())), c.whole);
    }
}

constexpr uint8_t USER = 0x80, PASS = 0x40, WILL_RETAIN = 0x20, WILL_QOS1 = 0x08, WILL = 0x04, CLEAN = 0x02;
const Bytes MQTT311 = field("MQTT") + Bytes{4};

// Protocol header, flags, keep-alive 60 and the payload.
Bytes connect_body(const Bytes& protocol, uint8_t flags, const Bytes& payload)
{
    return protocol + Bytes{flags} + u16(60) + payload;
}

// The record's pointers into the packet are gone on return.
template <typename R>
int decode(uint8_t first, const Bytes& body, int (*decoder)(const mqtt_fixed_header*, R*), R* record)
{
    Packet p(first, body);
    return decoder(&p.h, record);
}

// The filters of a decoded request; the packet must still be there.
std::vector<SubState> filters(mqtt_filters* from)
{
    std::vector<SubState> out;
    mqtt_filter filter{};
    while (mqtt_filter_next(from, &filter))
        out.emplace_back(str(filter.name, filter.name_len), filter.qos);
    return out;
}

// CONNACK code before the credentials, or MQTT_MALFORMED. The credentials
// are checked end to end.
TEST(Mqtt, Connect)
{
    const auto login = [](uint8_t flags, const Bytes& credentials) {
        return connect_body(MQTT311, flags, field("c") + credentials);
    };
    struct Case {
        const char* name;
        Bytes body;
        int result;
    };
    const Case cases[] = {
        {"MQTT 3.1.1", connect_body(MQTT311, CLEAN, field("c")), 0},
        {"MQTT 3.1", connect_body(field("MQIsdp") + Bytes{3}, CLEAN, field("c")), 0},
        {"MQTT level 3", connect_body(field("MQTT") + Bytes{3}, CLEAN, field("c")), 1},
        {"MQIsdp level 4", connect_body(field("MQIsdp") + Bytes{4}, CLEAN, field("c")), 1},
        {"protocol name cut short", field("MQTT"), 1},
        {"empty client id", connect_body(MQTT311, CLEAN, field("")), 2},
        {"client id of 24 characters", connect_body(MQTT311, CLEAN, field(std::string(24, 'c'))), 2},
        {"credentials", login(USER | PASS, field("u") + field("p")), 0},
        {"3.1 flags without the fields", login(USER | PASS, {}), 0},
        {"protocol header only", MQTT311, MQTT_MALFORMED},
        {"no client id length", MQTT311 + Bytes{CLEAN} + u16(60), MQTT_MALFORMED},
        {"client id overruns", connect_body(MQTT311, CLEAN, u16(3) + raw("ab")), MQTT_MALFORMED},
        {"will topic overruns", login(WILL, u16(3) + raw("w/")), MQTT_MALFORMED},
        {"empty will topic", login(WILL, field("") + field("m")), MQTT_MALFORMED},
        {"will message overruns", login(WILL, field("w") + u16(5) + raw("gone")), MQTT_MALFORMED},
        {"user name overruns", login(USER, u16(6) + raw("alice")), MQTT_MALFORMED},
        {"password overruns", login(USER | PASS, field("u") + u16(9) + raw("p")), MQTT_MALFORMED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqtt_connect record{};
        EXPECT_EQ(decode(0x10, c.body, mqtt_connect_decode, &record), c.result);
    }
}

TEST(Mqtt, ConnectFieldsAndAnEmptyWillMessage)
{
    Packet p(0x10, MQTT311 + Bytes{USER | PASS | WILL_RETAIN | WILL_QOS1 | WILL} + u16(0x1234) + field("id") +
                       field("w/t") + field("") + field("u") + field("pw"));
    mqtt_connect c{};
    ASSERT_EQ(mqtt_connect_decode(&p.h, &c), 0);
    EXPECT_EQ(str(c.client_id, c.client_id_length), "id");
    EXPECT_EQ(str(c.will_topic, c.will_topic_length), "w/t");
    EXPECT_EQ(c.will_message_length, 0);
    EXPECT_EQ(str(c.user_name, c.user_name_length) + str(c.password, c.password_length), "upw");
    EXPECT_EQ(std::make_tuple(c.keepalive, c.will_flag, c.will_qos, c.will_retain, c.clean_session),
              std::make_tuple(0x1234, 1, 1, 1, 0));
}

// The record points into the packet; RETAIN is reported as sent (the store
// rules are the broker's).
TEST(Mqtt, Publish)
{
    using Decoded = std::tuple<std::string, std::string, int, uint16_t>; // topic, payload, retain, msg_id
    struct Case {
        const char* name;
        uint8_t first;
        Bytes body;
        int result;
        Decoded decoded;
    };
    const Decoded none{"<none>", "<none>", 0, 0};
    const Case cases[] = {
        {"QoS 1: identifier after the topic", 0x32, field("a/b") + u16(0x1234) + raw("hi"), 0,
         {"a/b", "hi", 0, 0x1234}},
        {"QoS 0: payload right after the topic", 0x31, field("a/b") + raw("hello"), 0, {"a/b", "hello", 1, 0}},
        {"RETAIN with an empty payload", 0x31, field("a/b"), 0, {"a/b", "<none>", 1, 0}},
        {"300000-byte payload", 0x30, field("a/b") + Bytes(300000, 'x'), 0, {"a/b", std::string(300000, 'x'), 0, 0}},
        {"empty topic", 0x30, field("") + raw("value"), MQTT_MALFORMED, none},
        {"topic overruns", 0x30, u16(4) + raw("a/b"), MQTT_MALFORMED, none},
        {"topic length cut short", 0x30, {0x00}, MQTT_MALFORMED, none},
        {"identifier overruns", 0x32, field("a/b") + Bytes{0x01}, MQTT_MALFORMED, none},
        {"QoS 3", 0x36, field("a/b") + u16(1) + raw("v"), MQTT_MALFORMED, none},
        {"topic with +", 0x30, field("a/+") + raw("v"), MQTT_MALFORMED, none},
        {"topic with #", 0x30, field("a/#") + raw("v"), MQTT_MALFORMED, none},
        {"topic with U+0000", 0x30, field(std::string("a\0b", 3)) + raw("v"), MQTT_MALFORMED, none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Packet p(c.first, c.body);
        mqtt_publish r{};
        ASSERT_EQ(mqtt_publish_decode(&p.h, &r), c.result);
        EXPECT_EQ(Decoded(str(r.topic, r.topic_len), str(r.payload, r.payload_len), r.retain, r.msg_id), c.decoded);
    }
}

// A request's filters come back in request order, duplicates included;
// one malformed filter refuses the whole packet.
TEST(Mqtt, SubscribeAndUnsubscribe)
{
    struct Case {
        const char* name;
        uint8_t first;
        Bytes body;
        int result;
        std::vector<SubState> filters;
    };
    const Case cases[] = {
        {"no filter", 0x82, u16(1), MQTT_MALFORMED, {}},
        {"no identifier", 0x82, {0x00}, MQTT_MALFORMED, {}},
        {"empty filter", 0x82, u16(1) + field("") + Bytes{0}, MQTT_MALFORMED, {}},
        {"filter overruns", 0x82, u16(1) + u16(4) + raw("a/b"), MQTT_MALFORMED, {}},
        {"QoS missing", 0x82, u16(1) + field("a/b"), MQTT_MALFORMED, {}},
        {"QoS 3", 0x82, u16(1) + field("a/b") + Bytes{3}, MQTT_MALFORMED, {}},
        {"good filter, then an empty one", 0x82, u16(1) + field("a/b") + Bytes{0} + field("") + Bytes{0},
         MQTT_MALFORMED, {}},
        {"three filters, one twice", 0x82,
         u16(0x0A0B) + field("a/b") + Bytes{0} + field("#") + Bytes{1} + field("a/b") + Bytes{2}, 0,
         {{"a/b", 0}, {"#", 1}, {"a/b", 2}}},
        {"unsubscribe", 0xA2, u16(0x0A0B) + field("c") + field("never"), 0, {{"c", 0}, {"never", 0}}},
        {"unsubscribe without filter", 0xA2, u16(1), MQTT_MALFORMED, {}},
        {"unsubscribe from an empty filter", 0xA2, u16(1) + field(""), MQTT_MALFORMED, {}},
        {"unsubscribe filter overruns", 0xA2, u16(1) + field("b") + u16(3) + raw("c"), MQTT_MALFORMED, {}},
        {"filter with U+0000", 0x82, u16(1) + field(std::string("a\0", 2)) + Bytes{0}, MQTT_MALFORMED, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Packet p(c.first, c.body);
        mqtt_subscribe sub{};
        mqtt_unsubscribe unsub{};
        const int result = c.first == 0x82 ? mqtt_subscribe_decode(&p.h, &sub) : mqtt_unsubscribe_decode(&p.h, &unsub);
        ASSERT_EQ(result, c.result);
        if (result != 0)
            continue;
        mqtt_filters* decoded = c.first == 0x82 ? &sub.filters : &unsub.filters;
        EXPECT_EQ(decoded->count, c.filters.size());
        EXPECT_EQ(filters(decoded), c.filters);
        EXPECT_EQ(c.first == 0x82 ? sub.msg_id : unsub.msg_id, 0x0A0B);
    }
}

TEST(MqttEncode, PacketsByteForByte)
{
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqtt_connack_encode(&buffer, &length, 4);
    EXPECT_EQ(take(buffer, length), (Bytes{0x20, 0x02, 0x00, 0x04}));
    mqtt_pingresp_encode(&buffer, &length);
    EXPECT_EQ(take(buffer, length), (Bytes{0xD0, 0x00}));
    const std::pair<uint32_t, uint8_t> acks[] = {
        {MQTT_PUBACK, 0x40}, {MQTT_PUBREC, 0x50}, {MQTT_PUBREL, 0x62}, {MQTT_PUBCOMP, 0x70}, {MQTT_UNSUBACK, 0xB0}};
    for (const auto& [msg_type, first] : acks) {
        mqtt_pubxxx_encode(msg_type, &buffer, &length, 0xBEEF);
        EXPECT_EQ(take(buffer, length), (Bytes{first, 0x02, 0xBE, 0xEF}));
    }
    const uint8_t codes[] = {1, 0, 2};
    const mqtt_suback suback{0x0102, codes, 3};
    mqtt_suback_encode(&buffer, &length, &suback);
    EXPECT_EQ(take(buffer, length), (Bytes{0x90, 0x05, 0x01, 0x02, 1, 0, 2}));
    // The identifier goes on the wire only with QoS.
    mqtt_publish publish{0x0102, 0, 1, b("a/b"), 3, b("hi"), 2, 0};
    mqtt_publish_encode(&buffer, &length, &publish);
    EXPECT_EQ(take(buffer, length), (Bytes{0x31, 0x07} + field("a/b") + raw("hi")));
    publish.qos = 1;
    mqtt_publish_encode(&buffer, &length, &publish);
    EXPECT_EQ(take(buffer, length), (Bytes{0x33, 0x09} + field("a/b") + u16(0x0102) + raw("hi")));
    // The decoder of the acknowledgements reads back the identifier.
    Packet ack(0x62, u16(0x1234)), short_ack(0x40, {0x12});
    EXPECT_EQ(mqtt_pubxxx_decode(&ack.h), 0x1234);
    EXPECT_EQ(mqtt_pubxxx_decode(&short_ack.h), MQTT_MALFORMED);
}

// Packet types of a fixed size refuse any other Remaining Length; the
// others (-1) leave their bodies to their decoders.
TEST(MqttFrame, FixedSizeTypesRefuseAnyOtherLength)
{
    const std::pair<uint8_t, int> types[] = {{0x20, 2}, {0x40, 2}, {0x50, 2}, {0x62, 2},  {0x70, 2},
                                             {0xB0, 2}, {0xC0, 0}, {0xD0, 0}, {0xE0, 0},  {0x10, -1},
                                             {0x30, -1}, {0x82, -1}, {0x90, -1}, {0xA2, -1}};
    for (auto [first, size] : types) {
        for (int len : {0, 1, 2, 3, 121}) {
            Packet p(first, Bytes(static_cast<size_t>(len), 0));
            EXPECT_EQ(mqtt_remaining_length_check(&p.h), size < 0 || len == size ? 0 : MQTT_MALFORMED)
                << +first << " " << len;
        }
    }
}

} // namespace
