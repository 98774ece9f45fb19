// MQTT codec: framing, the decoders with their effects on the user, topic
// and subscription lists, and the encoders compared byte for byte. Packets
// are built here by hand, not with the codec's encoders, and decoded from
// exact-size heap copies so that AddressSanitizer reports any read past a
// packet's end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "logging.h"
#include "codec/mqtt.h"
#include "codec/utf8.h"

namespace {

using Bytes = std::vector<uint8_t>;
using PubState = std::tuple<std::string, std::string, int>; // topic, data, retain
using SubState = std::pair<std::string, int>;               // filter, qos

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes u16(uint16_t value)
{
    return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

Bytes raw(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

// A length-prefixed MQTT string.
Bytes str(std::string_view text)
{
    return u16(static_cast<uint16_t>(text.size())) + raw(text);
}

Bytes frame(uint8_t first, const Bytes& body)
{
    Bytes out{first};
    uint32_t length = static_cast<uint32_t>(body.size());
    do {
        out.push_back(static_cast<uint8_t>((length % 128) | (length >= 128 ? 0x80 : 0)));
        length /= 128;
    } while (length);
    return out + body;
}

// A copy whose heap block ends where the bytes end.
Bytes exact(const Bytes& bytes)
{
    return Bytes(bytes.begin(), bytes.end());
}

std::string text(const uint8_t* bytes, uint32_t length)
{
    return bytes ? std::string(reinterpret_cast<const char*>(bytes), length) : std::string();
}

// Takes over an encoder's buffer.
Bytes take(uint8_t* buffer, uint32_t length)
{
    Bytes out(buffer, buffer + length);
    delete[] buffer;
    return out;
}

// One received packet and its decoded fixed header.
struct Packet {
    Bytes bytes;
    mqtt_fixed_header h{};

    Packet(uint8_t first, const Bytes& body) : bytes(exact(frame(first, body)))
    {
        uint32_t consumed = 0;
        EXPECT_EQ(mqtt_fixed_header_decode(&h, bytes.data(), static_cast<uint32_t>(bytes.size()), &consumed), 0);
        EXPECT_EQ(consumed, bytes.size());
    }
};

TEST(Utf8, StrlenCountsCharacters)
{
    const std::pair<Bytes, uint32_t> cases[] = {{raw("h\xC3\xA9llo"), 5}, {{0x80, 0xBF, 0x9F}, 0}, {{}, 0}};
    for (const auto& [bytes, chars] : cases) {
        const Bytes copy = exact(bytes);
        EXPECT_EQ(utf8_strlen(copy.data(), static_cast<uint32_t>(copy.size())), chars);
    }
}

TEST(MqttFrame, RemainingLength)
{
    struct Case {
        Bytes header; // the length check does not need the body
        int result;
        uint32_t rem_len;
    };
    const Case cases[] = {
        {{0xC0, 0x00}, 0, 0},
        {{0x30, 0x7F}, 0, 127},
        {{0x30, 0x80, 0x01}, 0, 128},
        {{0x30, 0xFF, 0x7F}, 0, 16383},
        {{0x30, 0x80, 0x80, 0x01}, 0, 16384},
        {{0x30, 0xFF, 0xFF, 0x7F}, 0, 2097151},
        {{0x30, 0x80, 0x80, 0x80, 0x01}, 0, 2097152},
        {{0x30, 0xFF, 0xFF, 0xFF, 0x7F}, 0, 268435455},
        {{0xC0}, -1, 0},
        {{0x30, 0xFF, 0xFF, 0xFF, 0xFF}, -1, 0},
        {{0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, -2, 0},
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
    const Bytes publish = frame(0x30, str("a/b") + raw("hello"));
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

TEST(MqttFrame, FixedHeaderDecodesPacketByPacket)
{
    const Bytes bytes = exact(frame(0x3B, str("t") + u16(7)) + Bytes{0x62, 0x02, 0x12});
    const auto size = static_cast<uint32_t>(bytes.size());
    uint32_t offset = 0;
    mqtt_fixed_header h{};
    ASSERT_EQ(mqtt_fixed_header_decode(&h, bytes.data(), size, &offset), 0);
    EXPECT_EQ(std::make_tuple(h.msg_type, h.dup, h.qos, h.retain, h.rem_len), std::make_tuple(3u, 1, 1, 1, 5u));
    EXPECT_EQ(h.body, &bytes[2]);
    EXPECT_EQ(offset, 7u);
    // The PUBREL's body is one byte short.
    EXPECT_EQ(mqtt_fixed_header_decode(&h, &bytes[offset], size - offset, &offset), -1);
    EXPECT_EQ(offset, 7u);
}

constexpr uint8_t USER = 0x80, PASS = 0x40, WILL_RETAIN = 0x20, WILL_QOS1 = 0x08, WILL = 0x04, CLEAN = 0x02;
const Bytes MQTT311 = str("MQTT") + Bytes{4};

// Protocol header, flags, keep-alive 60 and the payload.
Bytes connect_body(const Bytes& protocol, uint8_t flags, const Bytes& payload)
{
    return protocol + Bytes{flags} + u16(60) + payload;
}

struct Mqtt : ::testing::Test {
    list<mqtt_user> users{};
    list<pub_item> pub_list{};
    list<sub_item> sub_list{};
    mqtt_subscribe subscribe{};

    void TearDown() override
    {
        list_mqtt_user_remove_all(&users);
        list_data_remove_all(&pub_list);
        list_name_remove_all(&sub_list);
        subscribe_reset();
    }

    void subscribe_reset()
    {
        list_name_remove_all(&subscribe.new_subs);
        delete[] subscribe.qos;
        subscribe = {};
    }

    // The record's pointers into the packet are gone on return.
    int connect(const Bytes& body, mqtt_connect* out)
    {
        Packet p(0x10, body);
        *out = {};
        out->users = &users;
        return mqtt_connect_decode(&p.h, out);
    }

    int publish(uint8_t first, const Bytes& body, mqtt_publish* out)
    {
        Packet p(first, body);
        *out = {};
        out->pub_list = &pub_list;
        return mqtt_publish_decode(&p.h, out);
    }

    int subscribe_decode(const Bytes& body)
    {
        subscribe_reset();
        Packet p(0x82, body);
        subscribe.sub_list = &sub_list;
        return mqtt_subscribe_decode(&p.h, &subscribe);
    }

    int unsubscribe_decode(const Bytes& body, mqtt_unsubscribe* out)
    {
        Packet p(0xA2, body);
        *out = {};
        out->sub_list = &sub_list;
        return mqtt_unsubscribe_decode(&p.h, out);
    }

    std::vector<PubState> pubs()
    {
        std::vector<PubState> out;
        for (pub_item* item = pub_list.head; item; item = list_next(item))
            out.emplace_back(text(item->name, item->name_len), text(item->data, item->data_len), item->retain);
        return out;
    }

    static std::vector<SubState> subs(list<sub_item>* from)
    {
        std::vector<SubState> out;
        for (sub_item* item = from->head; item; item = list_next(item))
            out.emplace_back(text(item->name, item->name_len), item->qos);
        return out;
    }
};

TEST_F(Mqtt, ConnectWithoutConfiguredUsers)
{
    std::string two_byte_chars;
    for (int i = 0; i < 23; ++i)
        two_byte_chars += "\xC3\xA9";
    struct Case {
        const char* name;
        Bytes body;
        int result;
    };
    const Case cases[] = {
        {"MQTT 3.1.1", connect_body(MQTT311, CLEAN, str("c")), 0},
        {"MQTT 3.1", connect_body(str("MQIsdp") + Bytes{3}, CLEAN, str("c")), 0},
        {"MQTT level 3", connect_body(str("MQTT") + Bytes{3}, CLEAN, str("c")), 1},
        {"MQIsdp level 4", connect_body(str("MQIsdp") + Bytes{4}, CLEAN, str("c")), 1},
        {"empty client id", connect_body(MQTT311, CLEAN, str("")), 2},
        {"24 ASCII client id", connect_body(MQTT311, CLEAN, str(std::string(24, 'a'))), 2},
        {"23 two-byte characters", connect_body(MQTT311, CLEAN, str(two_byte_chars)), 0},
        {"any credentials", connect_body(MQTT311, USER | PASS, str("c") + str("u") + str("p")), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqtt_connect record{};
        EXPECT_EQ(connect(c.body, &record), c.result);
        EXPECT_EQ(record.publish_enable, c.result == 0 ? 1 : 0);
    }
}

TEST_F(Mqtt, ConnectFieldsAndAnEmptyWillMessage)
{
    Packet p(0x10, MQTT311 + Bytes{WILL_RETAIN | WILL_QOS1 | WILL} + u16(0x1234) + str("id") + str("w/t") + str(""));
    mqtt_connect c{};
    c.users = &users;
    ASSERT_EQ(mqtt_connect_decode(&p.h, &c), 0);
    EXPECT_EQ(text(c.client_id, c.client_id_length), "id");
    EXPECT_EQ(text(c.will_topic, c.will_topic_length), "w/t");
    EXPECT_EQ(c.will_message_length, 0);
    EXPECT_EQ(std::make_tuple(c.keepalive, c.will_flag, c.will_qos, c.will_retain, c.clean_session),
              std::make_tuple(0x1234, 1, 1, 1, 0));
}

TEST_F(Mqtt, ConnectAuthentication)
{
    list_mqtt_user_add_new(&users, "alice", "secret", 1);
    list_mqtt_user_add_new(&users, "bob", "pw", 0);
    struct Case {
        const char* name;
        uint8_t flags;
        Bytes credentials;
        int result;
        uint8_t publish_enable;
    };
    const Case cases[] = {
        {"no user name flag", PASS, str("secret"), 4, 0},
        {"wrong password", USER | PASS, str("alice") + str("secreT"), 4, 0},
        {"shorter password", USER | PASS, str("alice") + str("secre"), 4, 0},
        {"longer password", USER | PASS, str("alice") + str("secrets"), 4, 0},
        {"publishing user", USER | PASS, str("alice") + str("secret"), 0, 1},
        {"user without publish right", USER | PASS, str("bob") + str("pw"), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqtt_connect record{};
        EXPECT_EQ(connect(connect_body(MQTT311, c.flags, str("c") + c.credentials), &record), c.result);
        EXPECT_EQ(record.publish_enable, c.publish_enable);
    }
}

TEST_F(Mqtt, ConnectMalformed)
{
    struct Case {
        const char* name;
        Bytes body;
    };
    const Case cases[] = {
        {"protocol header only", MQTT311},
        {"no client id length", MQTT311 + Bytes{CLEAN} + u16(60)},
        {"client id overruns", connect_body(MQTT311, CLEAN, u16(3) + raw("ab"))},
        {"will topic overruns", connect_body(MQTT311, WILL, str("c") + u16(3) + raw("w/"))},
        {"empty will topic", connect_body(MQTT311, WILL, str("c") + str("") + str("m"))},
        {"will message overruns", connect_body(MQTT311, WILL, str("c") + str("w") + u16(5) + raw("gone"))},
        {"user name overruns", connect_body(MQTT311, USER, str("c") + u16(6) + raw("alice"))},
        {"password overruns", connect_body(MQTT311, USER | PASS, str("c") + str("u") + u16(9) + raw("p"))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqtt_connect record{};
        EXPECT_EQ(connect(c.body, &record), MQTT_MALFORMED);
    }
}

TEST_F(Mqtt, Publish)
{
    struct Case {
        const char* name;
        uint8_t first;
        Bytes body;
        uint16_t msg_id;
        PubState stored;
    };
    const Case cases[] = {
        {"QoS 1: identifier after the topic", 0x32, str("a/b") + u16(0x1234) + raw("hi"), 0x1234, {"a/b", "hi", 0}},
        {"QoS 0: payload right after the topic", 0x31, str("a/b") + raw("hello"), 0, {"a/b", "hello", 1}},
        {"RETAIN with an empty payload", 0x31, str("a/b"), 0, {"a/b", "", 0}},
        {"65535-byte payload", 0x30, str("a/b") + Bytes(65535, 'x'), 0, {"a/b", std::string(65535, 'x'), 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqtt_publish record{};
        ASSERT_EQ(publish(c.first, c.body, &record), 0);
        EXPECT_EQ(record.msg_id, c.msg_id);
        EXPECT_EQ(record.pub_item, pub_list.head);
        // Each value replaces the last one of the topic.
        EXPECT_EQ(pubs(), std::vector<PubState>{c.stored});
    }
}

TEST_F(Mqtt, PublishMalformedLeavesTheTopicListAlone)
{
    mqtt_publish record{};
    ASSERT_EQ(publish(0x31, str("a/b") + raw("old"), &record), 0);
    const std::vector<PubState> before = pubs();
    struct Case {
        const char* name;
        uint8_t first;
        Bytes body;
    };
    const Case cases[] = {
        {"empty topic", 0x30, str("") + raw("value")},
        {"topic overruns", 0x30, u16(4) + raw("a/b")},
        {"identifier overruns", 0x32, str("a/b") + Bytes{0x01}},
        {"payload of 65536 bytes", 0x31, str("a/b") + Bytes(65536, 'x')},
        {"QoS 3", 0x36, str("a/b") + u16(1) + raw("v")},
        {"topic with +", 0x30, str("a/+") + raw("v")},
        {"topic with #", 0x30, str("a/#") + raw("v")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(publish(c.first, c.body, &record), MQTT_MALFORMED);
        EXPECT_EQ(pubs(), before);
    }
}

TEST_F(Mqtt, SubscribeThreeFilters)
{
    ASSERT_EQ(subscribe_decode(u16(0x0A0B) + str("a/b") + Bytes{0} + str("c/+") + Bytes{1} + str("#") + Bytes{2}), 0);
    EXPECT_EQ(subscribe.msg_id, 0x0A0B);
    ASSERT_EQ(subscribe.qos_size, 3u);
    EXPECT_EQ(Bytes(subscribe.qos, subscribe.qos + 3), (Bytes{0, 1, 2}));
    const std::vector<SubState> expected = {{"a/b", 0}, {"c/+", 1}, {"#", 2}};
    EXPECT_EQ(subs(&subscribe.new_subs), expected);
    EXPECT_EQ(subs(&sub_list), expected);
}

TEST_F(Mqtt, SubscribeSameFilterTwiceTakesTheLaterQos)
{
    ASSERT_EQ(subscribe_decode(u16(1) + str("x") + Bytes{0} + str("x") + Bytes{2}), 0);
    ASSERT_EQ(subscribe.qos_size, 2u);
    EXPECT_EQ(Bytes(subscribe.qos, subscribe.qos + 2), (Bytes{0, 2}));
    EXPECT_EQ(subs(&subscribe.new_subs), (std::vector<SubState>{{"x", 2}}));
    EXPECT_EQ(subs(&sub_list), (std::vector<SubState>{{"x", 2}}));
}

TEST_F(Mqtt, SubscribeMalformedChangesNothing)
{
    ASSERT_EQ(subscribe_decode(u16(1) + str("keep") + Bytes{1}), 0);
    const std::vector<SubState> before = subs(&sub_list);
    struct Case {
        const char* name;
        Bytes body;
    };
    const Case cases[] = {
        {"no filter", u16(1)},
        {"empty filter", u16(1) + str("") + Bytes{0}},
        {"filter overruns", u16(1) + u16(4) + raw("a/b")},
        {"QoS 3", u16(1) + str("a/b") + Bytes{3}},
        {"good filter, then an empty one", u16(1) + str("a/b") + Bytes{0} + str("") + Bytes{0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(subscribe_decode(c.body), MQTT_MALFORMED);
        EXPECT_EQ(subs(&sub_list), before);
        EXPECT_EQ(subscribe.new_subs.head, nullptr);
        EXPECT_EQ(subscribe.qos, nullptr);
    }
}

TEST_F(Mqtt, Unsubscribe)
{
    ASSERT_EQ(subscribe_decode(u16(1) + str("a") + Bytes{0} + str("b") + Bytes{1} + str("c") + Bytes{2}), 0);
    mqtt_unsubscribe record{};
    ASSERT_EQ(unsubscribe_decode(u16(0x4242) + str("c") + str("never") + str("a"), &record), 0);
    EXPECT_EQ(record.msg_id, 0x4242);
    EXPECT_EQ(subs(&sub_list), (std::vector<SubState>{{"b", 1}}));

    for (const Bytes& body : {u16(1), u16(1) + str(""), u16(1) + str("b") + u16(3) + raw("c")}) {
        EXPECT_EQ(unsubscribe_decode(body, &record), MQTT_MALFORMED);
        EXPECT_EQ(subs(&sub_list), (std::vector<SubState>{{"b", 1}}));
    }
}

TEST(MqttEncode, FixedPackets)
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
    // The decoder of the acknowledgements reads back the identifier.
    Packet ack(0x62, u16(0x1234)), short_ack(0x40, {0x12});
    EXPECT_EQ(mqtt_pubxxx_decode(&ack.h), 0x1234);
    EXPECT_EQ(mqtt_pubxxx_decode(&short_ack.h), MQTT_MALFORMED);
}

TEST_F(Mqtt, EncodePublish)
{
    mqtt_publish record{};
    ASSERT_EQ(publish(0x31, str("a/b") + raw("hi"), &record), 0);
    record.msg_id = 0x0102;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqtt_publish_encode(&buffer, &length, &record);
    EXPECT_EQ(take(buffer, length), (Bytes{0x31, 0x07} + str("a/b") + raw("hi")));
    record.qos = 1;
    mqtt_publish_encode(&buffer, &length, &record);
    EXPECT_EQ(take(buffer, length), (Bytes{0x33, 0x09} + str("a/b") + u16(0x0102) + raw("hi")));
}

TEST_F(Mqtt, PublishLogLine)
{
    const std::string path = ::testing::TempDir() + "mqtt_test_" + std::to_string(getpid()) + ".log";
    std::remove(path.c_str());
    log_set_file(path.c_str());
    mqtt_publish record{};
    ASSERT_EQ(publish(0x33, str("a/b") + u16(1) + raw("hello"), &record), 0);
    log_set_file(nullptr);
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "debug pubtopic: a/b, retain: 1, data: hello, qos: 1");
    std::remove(path.c_str());
}

} // namespace
