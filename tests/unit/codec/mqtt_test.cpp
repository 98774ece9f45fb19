// MQTT codec: framing, the decoders with their effects on the user, topic
// and subscription lists, and the encoders compared byte for byte. Packets
// are built here by hand, not with the codec's encoders, and decoded from
// exact-size heap copies so that AddressSanitizer reports any read past a
// packet's end.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "codec/mqtt.h"
#include "../test_bytes.h"

namespace {

using PubState = std::tuple<std::string, std::string, int>; // topic, data, retain
using SubState = std::pair<std::string, int>;               // filter, qos

// A copy whose heap block ends where the bytes end.
Bytes exact(const Bytes& bytes)
{
    return Bytes(bytes.begin(), bytes.end());
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
    template <typename R>
    static int decode(uint8_t first, const Bytes& body, int (*decoder)(const mqtt_fixed_header*, R*), R* record)
    {
        Packet p(first, body);
        return decoder(&p.h, record);
    }

    int subscribe_decode(const Bytes& body)
    {
        subscribe_reset();
        subscribe.sub_list = &sub_list;
        return decode(0x82, body, mqtt_subscribe_decode, &subscribe);
    }

    std::vector<PubState> pubs()
    {
        std::vector<PubState> out;
        for (pub_item* item = pub_list.head; item; item = list_next(item))
            out.emplace_back(str(item->name, item->name_len), str(item->data, item->data_len), item->retain);
        return out;
    }

    static std::vector<SubState> subs(list<sub_item>* from)
    {
        std::vector<SubState> out;
        for (sub_item* item = from->head; item; item = list_next(item))
            out.emplace_back(str(item->name, item->name_len), item->qos);
        return out;
    }
};

// CONNACK code, or MQTT_MALFORMED, and the publish right; with `users`,
// alice may publish with her first password, and bob may not. Client id
// bounds and password lengths are checked end to end.
TEST_F(Mqtt, Connect)
{
    const auto login = [](uint8_t flags, const Bytes& credentials) {
        return connect_body(MQTT311, flags, field("c") + credentials);
    };
    struct Case {
        const char* name;
        bool users;
        Bytes body;
        int result;
        uint8_t publish_enable;
    };
    const Case cases[] = {
        {"MQTT 3.1.1", false, connect_body(MQTT311, CLEAN, field("c")), 0, 1},
        {"MQTT 3.1", false, connect_body(field("MQIsdp") + Bytes{3}, CLEAN, field("c")), 0, 1},
        {"MQTT level 3", false, connect_body(field("MQTT") + Bytes{3}, CLEAN, field("c")), 1, 0},
        {"MQIsdp level 4", false, connect_body(field("MQIsdp") + Bytes{4}, CLEAN, field("c")), 1, 0},
        {"empty client id", false, connect_body(MQTT311, CLEAN, field("")), 2, 0},
        {"any credentials without users", false, login(USER | PASS, field("u") + field("p")), 0, 1},
        {"no user name flag", true, login(PASS, field("secret")), 4, 0},
        {"wrong password", true, login(USER | PASS, field("alice") + field("secreT")), 4, 0},
        {"publishing user", true, login(USER | PASS, field("alice") + field("secret")), 0, 1},
        {"user without publish right", true, login(USER | PASS, field("bob") + field("pw")), 0, 0},
        {"user name in another case", true, login(USER | PASS, field("Alice") + field("secret")), 4, 0},
        {"second entry of a name", true, login(USER | PASS, field("alice") + field("other")), 0, 0},
        {"protocol header only", false, MQTT311, MQTT_MALFORMED, 0},
        {"no client id length", false, MQTT311 + Bytes{CLEAN} + u16(60), MQTT_MALFORMED, 0},
        {"client id overruns", false, connect_body(MQTT311, CLEAN, u16(3) + raw("ab")), MQTT_MALFORMED, 0},
        {"will topic overruns", false, login(WILL, u16(3) + raw("w/")), MQTT_MALFORMED, 0},
        {"empty will topic", false, login(WILL, field("") + field("m")), MQTT_MALFORMED, 0},
        {"will message overruns", false, login(WILL, field("w") + u16(5) + raw("gone")), MQTT_MALFORMED, 0},
        {"user name overruns", false, login(USER, u16(6) + raw("alice")), MQTT_MALFORMED, 0},
        {"password overruns", false, login(USER | PASS, field("u") + u16(9) + raw("p")), MQTT_MALFORMED, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        list_mqtt_user_remove_all(&users);
        if (c.users) {
            list_mqtt_user_add_new(&users, "alice", "secret", 1);
            list_mqtt_user_add_new(&users, "bob", "pw", 0);
            list_mqtt_user_add_new(&users, "alice", "other", 0);
        }
        mqtt_connect record{};
        record.users = &users;
        EXPECT_EQ(decode(0x10, c.body, mqtt_connect_decode, &record), c.result);
        EXPECT_EQ(record.publish_enable, c.publish_enable);
    }
}

TEST_F(Mqtt, ConnectFieldsAndAnEmptyWillMessage)
{
    Packet p(0x10, MQTT311 + Bytes{WILL_RETAIN | WILL_QOS1 | WILL} + u16(0x1234) + field("id") + field("w/t") +
                       field(""));
    mqtt_connect c{};
    c.users = &users;
    ASSERT_EQ(mqtt_connect_decode(&p.h, &c), 0);
    EXPECT_EQ(str(c.client_id, c.client_id_length), "id");
    EXPECT_EQ(str(c.will_topic, c.will_topic_length), "w/t");
    EXPECT_EQ(c.will_message_length, 0);
    EXPECT_EQ(std::make_tuple(c.keepalive, c.will_flag, c.will_qos, c.will_retain, c.clean_session),
              std::make_tuple(0x1234, 1, 1, 1, 0));
}

// Each case starts with "old" retained on a/b. A malformed packet leaves
// the topic list alone.
TEST_F(Mqtt, Publish)
{
    const PubState old{"a/b", "old", 1};
    struct Case {
        const char* name;
        uint8_t first;
        Bytes body;
        int result;
        uint16_t msg_id;
        PubState stored;
    };
    const Case cases[] = {
        {"QoS 1: identifier after the topic", 0x32, field("a/b") + u16(0x1234) + raw("hi"), 0, 0x1234,
         {"a/b", "hi", 0}},
        {"QoS 0: payload right after the topic", 0x31, field("a/b") + raw("hello"), 0, 0, {"a/b", "hello", 1}},
        {"RETAIN with an empty payload", 0x31, field("a/b"), 0, 0, {"a/b", "<none>", 0}},
        {"65535-byte payload", 0x30, field("a/b") + Bytes(65535, 'x'), 0, 0, {"a/b", std::string(65535, 'x'), 0}},
        {"empty topic", 0x30, field("") + raw("value"), MQTT_MALFORMED, 0, old},
        {"topic overruns", 0x30, u16(4) + raw("a/b"), MQTT_MALFORMED, 0, old},
        {"identifier overruns", 0x32, field("a/b") + Bytes{0x01}, MQTT_MALFORMED, 0, old},
        {"payload of 65536 bytes", 0x31, field("a/b") + Bytes(65536, 'x'), MQTT_MALFORMED, 0, old},
        {"QoS 3", 0x36, field("a/b") + u16(1) + raw("v"), MQTT_MALFORMED, 0, old},
        {"topic with +", 0x30, field("a/+") + raw("v"), MQTT_MALFORMED, 0, old},
        {"topic with #", 0x30, field("a/#") + raw("v"), MQTT_MALFORMED, 0, old},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        list_data_remove_all(&pub_list);
        list_pub_add_replace(&pub_list, b("a/b"), 3, b("old"), 3, 1);
        mqtt_publish record{};
        record.pub_list = &pub_list;
        ASSERT_EQ(decode(c.first, c.body, mqtt_publish_decode, &record), c.result);
        EXPECT_EQ(record.msg_id, c.msg_id);
        EXPECT_EQ(pubs(), std::vector<PubState>{c.stored});
    }
}

// Each case starts with "keep" subscribed. The same filter twice in one
// request takes the later QoS, yet has one code per filter of the request;
// a malformed packet changes nothing.
TEST_F(Mqtt, Subscribe)
{
    const std::vector<SubState> keep = {{"keep", 1}};
    struct Case {
        const char* name;
        Bytes body;
        int result;
        Bytes codes;
        std::vector<SubState> new_subs, subs;
    };
    const Case cases[] = {
        {"no filter", u16(1), MQTT_MALFORMED, {}, {}, keep},
        {"empty filter", u16(1) + field("") + Bytes{0}, MQTT_MALFORMED, {}, {}, keep},
        {"filter overruns", u16(1) + u16(4) + raw("a/b"), MQTT_MALFORMED, {}, {}, keep},
        {"QoS 3", u16(1) + field("a/b") + Bytes{3}, MQTT_MALFORMED, {}, {}, keep},
        {"good filter, then an empty one", u16(1) + field("a/b") + Bytes{0} + field("") + Bytes{0}, MQTT_MALFORMED,
         {}, {}, keep},
        {"three filters, one twice", u16(0x0A0B) + field("a/b") + Bytes{0} + field("#") + Bytes{1} + field("a/b") +
         Bytes{2}, 0, {0, 1, 2}, {{"a/b", 2}, {"#", 1}}, {{"keep", 1}, {"a/b", 2}, {"#", 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        list_name_remove_all(&sub_list);
        list_sub_add_replace(&sub_list, b("keep"), 4, 1);
        EXPECT_EQ(subscribe_decode(c.body), c.result);
        EXPECT_EQ(Bytes(subscribe.qos, subscribe.qos + subscribe.qos_size), c.codes);
        EXPECT_EQ(subs(&subscribe.new_subs), c.new_subs);
        EXPECT_EQ(subs(&sub_list), c.subs);
    }
    EXPECT_EQ(subscribe.msg_id, 0x0A0B);
}

TEST_F(Mqtt, Unsubscribe)
{
    ASSERT_EQ(subscribe_decode(u16(1) + field("a") + Bytes{0} + field("b") + Bytes{1} + field("c") + Bytes{2}), 0);
    mqtt_unsubscribe record{};
    record.sub_list = &sub_list;
    ASSERT_EQ(decode(0xA2, u16(0x4242) + field("c") + field("never") + field("a"), mqtt_unsubscribe_decode, &record),
              0);
    EXPECT_EQ(record.msg_id, 0x4242);
    EXPECT_EQ(subs(&sub_list), (std::vector<SubState>{{"b", 1}}));

    for (const Bytes& body : {u16(1), u16(1) + field(""), u16(1) + field("b") + u16(3) + raw("c")}) {
        EXPECT_EQ(decode(0xA2, body, mqtt_unsubscribe_decode, &record), MQTT_MALFORMED);
        EXPECT_EQ(subs(&sub_list), (std::vector<SubState>{{"b", 1}}));
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
    // The retain flag comes from the stored topic, the identifier only with QoS.
    list<pub_item> pubs{};
    mqtt_publish publish{0x0102, 0, &pubs, list_pub_add_replace(&pubs, b("a/b"), 3, b("hi"), 2, 1)};
    mqtt_publish_encode(&buffer, &length, &publish);
    EXPECT_EQ(take(buffer, length), (Bytes{0x31, 0x07} + field("a/b") + raw("hi")));
    publish.qos = 1;
    mqtt_publish_encode(&buffer, &length, &publish);
    EXPECT_EQ(take(buffer, length), (Bytes{0x33, 0x09} + field("a/b") + u16(0x0102) + raw("hi")));
    list_data_remove_all(&pubs);
    // The decoder of the acknowledgements reads back the identifier.
    Packet ack(0x62, u16(0x1234)), short_ack(0x40, {0x12});
    EXPECT_EQ(mqtt_pubxxx_decode(&ack.h), 0x1234);
    EXPECT_EQ(mqtt_pubxxx_decode(&short_ack.h), MQTT_MALFORMED);
}

} // namespace
