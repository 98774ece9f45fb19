// MQTT-SN codec: framing, the decoded records, encoders byte for byte. Datagrams are built by hand and
// decoded from exact-size heap copies, so ASan reports any read past one.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "codec/mqttsn.h"
#include "../test_bytes.h"

namespace {

struct Datagram {
    Bytes bytes; // an exact-size copy
    mqttsn_fixed_header h{};

    explicit Datagram(const Bytes& datagram) : bytes(datagram)
    {
        EXPECT_EQ(mqttsn_fixed_header_decode(&h, bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
    }
};

TEST(MqttSnFrame, FixedHeaderAndMinimumBodies)
{
    const Bytes disconnect60 = {0x01, 0x00, 0x06, 0x18, 0x00, 0x3C};
    const std::tuple<const char*, Bytes, int, uint16_t> cases[] = {
        // clang-format off
        {"PINGREQ", {0x02, 0x16}, 0, 0}, {"PINGREQ with a client id", sn(MQTTSN_PINGREQ, raw("id")), 0, 2},
        {"three-octet form", disconnect60, 0, 2}, {"one octet more", disconnect60 + Bytes{0x00}, -1, 0},
        {"one octet less", Bytes(disconnect60.begin(), disconnect60.end() - 1), -1, 0},
        {"nothing", {}, -1, 0}, {"length only", {0x02}, -1, 0}, {"three-octet length cut", {0x01, 0x00, 0x03}, -1, 0},
        {"CONNECT of 3", sn(MQTTSN_CONNECT, {4, 1, 0}), -1, 0}, {"REGISTER of 3", sn(MQTTSN_REGISTER, {0, 1, 0}), -1, 0},
        {"PUBLISH of 4", sn(MQTTSN_PUBLISH, {0, 0, 1, 0}), -1, 0}, {"REGACK of 4", sn(MQTTSN_REGACK, {0, 1, 0, 1}), -1, 0},
        {"PUBREL of 1", sn(MQTTSN_PUBREL, {0}), -1, 0}, {"UNSUBSCRIBE of 2", sn(MQTTSN_UNSUBSCRIBE, {0, 0}), -1, 0},
        {"SUBSCRIBE to a pre-defined id without the id", sn(MQTTSN_SUBSCRIBE, {0x21, 0, 1}), -1, 0},
        {"SUBSCRIBE to an empty name", sn(MQTTSN_SUBSCRIBE, {0x20, 0, 1}), 0, 3},
        {"empty WILLTOPIC", sn(MQTTSN_WILLTOPIC, {}), 0, 0},
        // clang-format on
    };
    for (const auto& [name, datagram, result, rem_len] : cases) {
        SCOPED_TRACE(name);
        const Bytes bytes = datagram;
        mqttsn_fixed_header h{};
        ASSERT_EQ(mqttsn_fixed_header_decode(&h, bytes.data(), static_cast<uint32_t>(bytes.size())), result);
        // Nothing is set on failure; the type is the octet before the body.
        EXPECT_EQ(std::make_tuple(h.msg_type, h.rem_len),
                  std::make_tuple(result ? 0u : bytes[bytes.size() - rem_len - 1], rem_len));
    }

    // Only two octets make a duration.
    const std::pair<Bytes, uint16_t> durations[] = {
        {{0x02, 0x18}, 0}, {{0x03, 0x18, 0x00}, 0}, {{0x04, 0x18, 0x00, 0x3C}, 60}, {disconnect60, 60}};
    for (const auto& [datagram, duration] : durations) {
        Datagram d(datagram);
        uint16_t decoded = 1;
        mqttsn_disconnect_decode(&d.h, &decoded);
        EXPECT_EQ(decoded, duration);
    }
}

TEST(MqttSnFrame, FlagsAndConnect)
{
    mqttsn_flags f{};
    mqttsn_flags_decode(&f, 0xE4);
    EXPECT_EQ(std::make_tuple(f.dup, f.qos, f.retain, f.will, f.clean_session, f.topic_id_type),
              std::make_tuple(1, 3, 0, 0, 1, 0u));
    uint8_t octet = 0;
    mqttsn_flags_encode(&f, &octet);
    EXPECT_EQ(octet, 0xE4);

    const std::tuple<Bytes, int, const char*> connects[] = {{{0x04, 0x01, 0x00, 0x3C, 'i', 'd'}, 0, "id"},
                                                            {{0x04, 0x02, 0x00, 0x3C, 'i', 'd'}, 3, "id"},
                                                            {{0x04, 0x01, 0x00, 0x3C}, 3, "<none>"}};
    for (const auto& [body, result, client_id] : connects) {
        Datagram d(sn(MQTTSN_CONNECT, body));
        mqttsn_connect c{};
        EXPECT_EQ(mqttsn_connect_decode(&d.h, &c), result);
        EXPECT_EQ(std::make_tuple(c.flags.clean_session, c.duration, str(c.client_id, c.client_id_length)),
                  std::make_tuple(1, 60, client_id));
    }
}

TEST(MqttSn, RegisterRefusesEmptyAndWildcardNames)
{
    const std::pair<const char*, int> cases[] = {{"c/d", 0}, {"a/+", 3}, {"#", 3}, {"", 3}};
    for (const auto& [name, result] : cases) {
        SCOPED_TRACE(name);
        Datagram d(sn(MQTTSN_REGISTER, u16(9) + u16(0x0102) + raw(name)));
        mqttsn_register reg{};
        EXPECT_EQ(mqttsn_register_decode(&d.h, &reg), result);
        EXPECT_EQ(std::make_tuple(reg.topic_id, reg.msg_id, str(reg.topic_name, reg.topic_name_length)),
                  std::make_tuple(9, 0x0102, *name ? name : "<none>"));
    }
}

TEST(MqttSn, Publish)
{
    // flags, topic id, payload; result and the decoded flags
    const std::tuple<uint8_t, uint16_t, const char*, int> cases[] = {
        {0x20, 5, "new", 0}, {0x11, 5, "new", 0}, {0x10, 5, "", 0}, // normal id; pre-defined id; empty payload
        {0x02, 0, "new", 3}, {0x03, 5, "new", 3},                   // short name, reserved type
    };
    for (const auto& [flags, topic_id, data, result] : cases) {
        Datagram d(sn(MQTTSN_PUBLISH, Bytes{flags} + u16(topic_id) + u16(0x0A0B) + raw(data)));
        mqttsn_publish p{};
        EXPECT_EQ(mqttsn_publish_decode(&d.h, &p), result);
        EXPECT_EQ(std::make_tuple(p.msg_id, p.topic_id, str(p.data, p.data_length), p.flags.qos, p.flags.retain),
                  std::make_tuple(0x0A0B, topic_id, *data ? data : "<none>", flags >> 5 & 3, flags >> 4 & 1));
    }
}

TEST(MqttSn, SubscribeAndUnsubscribe)
{
    // type, flags, topic name or id; result, then the decoded name and id
    const std::tuple<uint32_t, uint8_t, Bytes, int, const char*, uint16_t> cases[] = {
        // clang-format off
        {MQTTSN_SUBSCRIBE, 0x20, raw("a/#"), 0, "a/#", 0}, {MQTTSN_SUBSCRIBE, 0x21, u16(5), 0, "<none>", 5},
        {MQTTSN_SUBSCRIBE, 0x21, u16(0), 0, "<none>", 0},  {MQTTSN_SUBSCRIBE, 0x22, raw("cd"), 3, "<none>", 0},
        {MQTTSN_SUBSCRIBE, 0x23, raw("cd"), 3, "<none>", 0}, {MQTTSN_SUBSCRIBE, 0x20, {}, 3, "<none>", 0},
        {MQTTSN_UNSUBSCRIBE, 0x00, raw("c/d"), 0, "c/d", 0}, {MQTTSN_UNSUBSCRIBE, 0x01, u16(5), 0, "<none>", 5},
        {MQTTSN_UNSUBSCRIBE, 0x00, {}, 0, "<none>", 0},    {MQTTSN_UNSUBSCRIBE, 0x02, raw("cd"), 3, "<none>", 0},
        {MQTTSN_UNSUBSCRIBE, 0x03, raw("cd"), 0, "<none>", 0},
        // clang-format on
    };
    for (const auto& [type, flags, topic, result, name, topic_id] : cases) {
        Datagram d(sn(static_cast<uint8_t>(type), Bytes{flags} + u16(0x0102) + topic));
        mqttsn_subscribe s{};
        EXPECT_EQ(type == MQTTSN_SUBSCRIBE ? mqttsn_subscribe_decode(&d.h, &s) : mqttsn_unsubscribe_decode(&d.h, &s),
                  result);
        EXPECT_EQ(std::make_tuple(s.msg_id, str(s.topic_name, s.topic_name_length), s.topic_id),
                  std::make_tuple(0x0102, name, topic_id));
    }
}

TEST(MqttSn, EncodersByteForByte)
{
    uint8_t* o = nullptr;
    uint32_t n = 0;
    const mqttsn_flags qos1{0, 1, 0, 0, 0, 1};
    mqttsn_simple_command_encode(MQTTSN_PINGRESP, &o, &n);
    EXPECT_EQ(take(o, n), (Bytes{2, 0x17}));
    mqttsn_return_command_encode(MQTTSN_CONNACK, &o, &n, 0x103);
    EXPECT_EQ(take(o, n), (Bytes{3, 0x05, 3}));
    const mqttsn_register reg{0x0102, 0x0304, 3, b("c/d")};
    mqttsn_register_encode(&o, &n, &reg);
    EXPECT_EQ(take(o, n), (Bytes{9, 0x0A, 1, 2, 3, 4} + raw("c/d")));
    const mqttsn_xxxack puback{0x0102, 0x0304, 0x102};
    mqttsn_xxxack_encode(MQTTSN_PUBACK, &o, &n, &puback);
    EXPECT_EQ(take(o, n), (Bytes{7, 0x0D, 1, 2, 3, 4, 2}));
    mqttsn_publish publish{qos1, 0x0102, 0x0304, 2, b("hi")};
    mqttsn_publish_encode(&o, &n, &publish);
    EXPECT_EQ(take(o, n), (Bytes{9, 0x0C, 0x21, 1, 2, 3, 4} + raw("hi")));
    mqttsn_pubxxx_encode(MQTTSN_UNSUBACK, &o, &n, 0x0304);
    EXPECT_EQ(take(o, n), (Bytes{4, 0x15, 3, 4}));
    const mqttsn_suback suback{qos1, 5, 0x0304, 0}; // the granted QoS is its only flag
    mqttsn_suback_encode(&o, &n, &suback);
    EXPECT_EQ(take(o, n), (Bytes{8, 0x13, 0x20, 0, 5, 3, 4, 0}));
    mqttsn_disconnect_encode(&o, &n, 0);
    EXPECT_EQ(take(o, n), (Bytes{2, 0x18}));
    mqttsn_disconnect_encode(&o, &n, 60);
    EXPECT_EQ(take(o, n), (Bytes{4, 0x18, 0, 0x3C}));

    // From 256 octets on, the three-octet length form; beyond 65535, nothing.
    const std::pair<uint16_t, Bytes> sizes[] = {
        // clang-format off
        {248, {0xFF, 0x0C}}, {249, {0x01, 0x01, 0x02, 0x0C}}, {300, {0x01, 0x01, 0x35, 0x0C}},
        {65526, {0x01, 0xFF, 0xFF, 0x0C}},
        // clang-format on
    };
    const Bytes x(65527, 'x');
    for (const auto& [size, start] : sizes) {
        publish = {{}, 0x0102, 0x0304, size, x.data()};
        mqttsn_publish_encode(&o, &n, &publish);
        EXPECT_EQ(take(o, n), (start + Bytes{0, 1, 2, 3, 4} + Bytes(size, 'x')));
    }
    publish.data_length = 65527;
    mqttsn_publish_encode(&o, &n, &publish);
    EXPECT_EQ(o, nullptr);
    EXPECT_EQ(n, 0u);
}

} // namespace
