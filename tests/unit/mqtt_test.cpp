// MQTT decoders for PUBLISH, SUBSCRIBE, UNSUBSCRIBE and acknowledgements,
// with their effects on the topic and subscription lists, and the
// per-type encoders compared byte for byte.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <tuple>

#include "logging.h"
#include "mqtt_packet.h"

namespace {

using PubState = std::tuple<std::string, std::string, int>; // name, data, retain
using SubState = std::pair<std::string, int>;               // filter, qos

std::vector<PubState> pubs(list<pub_item>* pub_list)
{
    std::vector<PubState> out;
    for (pub_item* item = pub_list->head; item; item = list_next(item))
        out.emplace_back(text(item->name, item->name_len), text(item->data, item->data_len), item->retain);
    return out;
}

std::vector<SubState> subs(list<sub_item>* sub_list)
{
    std::vector<SubState> out;
    for (sub_item* item = sub_list->head; item; item = list_next(item))
        out.emplace_back(text(item->name, item->name_len), item->qos);
    return out;
}

struct MqttCodec : ::testing::Test {
    list<pub_item> pub_list{};
    list<sub_item> sub_list{};
    mqtt_subscribe subscribe{};

    void TearDown() override
    {
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

    int publish(uint8_t first, const Bytes& body, mqtt_publish* out = nullptr)
    {
        Packet p = packet(first, body);
        mqtt_publish record{};
        record.pub_list = &pub_list;
        int result = mqtt_publish_decode(&p.fixhdr, &record);
        if (out)
            *out = record;
        return result;
    }

    int subscribe_decode(const Bytes& body)
    {
        subscribe_reset();
        Packet p = packet(0x82, body);
        subscribe.sub_list = &sub_list;
        return mqtt_subscribe_decode(&p.fixhdr, &subscribe);
    }

    int unsubscribe_decode(const Bytes& body, mqtt_unsubscribe* out = nullptr)
    {
        Packet p = packet(0xA2, body);
        mqtt_unsubscribe record{};
        record.sub_list = &sub_list;
        int result = mqtt_unsubscribe_decode(&p.fixhdr, &record);
        if (out)
            *out = record;
        return result;
    }
};

// --- PUBLISH -----------------------------------------------------------------

TEST_F(MqttCodec, PublishLayoutByQos)
{
    struct Case {
        const char* name;
        uint8_t first;
        Bytes body;
        uint16_t msg_id;
        uint8_t qos;
    };
    const Case cases[] = {
        {"QoS 0: payload right after the topic", 0x30, str("a/b") + raw("hello"), 0, 0},
        {"QoS 1: identifier after the topic", 0x32, str("a/b") + u16(0x1234) + raw("hello"), 0x1234, 1},
        {"QoS 2", 0x34, str("a/b") + u16(0xFFFF) + raw("hello"), 0xFFFF, 2},
        {"QoS 3 is taken as having an identifier", 0x36, str("a/b") + u16(7) + raw("hello"), 7, 3},
        {"DUP does not change the layout", 0x3A, str("a/b") + u16(1) + raw("hello"), 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        list_data_remove_all(&pub_list);
        mqtt_publish record{};
        ASSERT_EQ(publish(c.first, c.body, &record), 0);
        EXPECT_EQ(record.msg_id, c.msg_id);
        EXPECT_EQ(record.qos, c.qos);
        EXPECT_EQ(pubs(&pub_list), (std::vector<PubState>{{"a/b", "hello", 0}}));
        EXPECT_EQ(record.pub_item, pub_list.head);
    }
}

TEST_F(MqttCodec, PublishStoresTheLastValueAndRetainOnlyWithPayload)
{
    ASSERT_EQ(publish(0x31, str("t") + raw("first")), 0);
    EXPECT_EQ(pubs(&pub_list), (std::vector<PubState>{{"t", "first", 1}}));

    // Without RETAIN the value is still replaced, and no longer retained.
    ASSERT_EQ(publish(0x30, str("t") + raw("second")), 0);
    EXPECT_EQ(pubs(&pub_list), (std::vector<PubState>{{"t", "second", 0}}));

    ASSERT_EQ(publish(0x31, str("t") + raw("third")), 0);
    // RETAIN with an empty payload clears the value and the retain flag.
    ASSERT_EQ(publish(0x31, str("t")), 0);
    EXPECT_EQ(pubs(&pub_list), (std::vector<PubState>{{"t", "", 0}}));
    EXPECT_EQ(pub_list.head->data, nullptr);

    ASSERT_EQ(publish(0x33, str("new") + u16(5)), 0);
    EXPECT_EQ(pubs(&pub_list), (std::vector<PubState>{{"t", "", 0}, {"new", "", 0}}));
}

TEST_F(MqttCodec, PublishPayloadIsBinaryAndUpTo65535Bytes)
{
    const Bytes binary = {0x00, 0xFF, 0x00, '%', 's'};
    ASSERT_EQ(publish(0x30, str("bin") + binary), 0);
    EXPECT_EQ(std::get<1>(pubs(&pub_list)[0]), text(binary.data(), 5));

    // rem_len 65539 with QoS 1: 2 + 1 + 2 + 65535 payload bytes.
    const Bytes largest(65535, 'x');
    ASSERT_EQ(publish(0x32, str("L") + u16(9) + largest), 0);
    EXPECT_EQ(pubs(&pub_list)[1], (PubState{"L", std::string(65535, 'x'), 0}));
}

TEST_F(MqttCodec, PublishMalformedLeavesTheTopicListAlone)
{
    list_pub_add_replace(&pub_list, reinterpret_cast<const uint8_t*>("a/b"), 3, reinterpret_cast<const uint8_t*>("old"),
                         3, 1);
    const std::vector<PubState> before = pubs(&pub_list);
    struct Case {
        const char* name;
        uint8_t first;
        Bytes body;
    };
    const Case cases[] = {
        {"empty body", 0x30, {}},
        {"half a topic length", 0x30, {0x00}},
        {"empty topic", 0x31, str("") + raw("value")},
        {"empty topic, QoS 1", 0x32, str("") + u16(1) + raw("value")},
        {"topic one byte short", 0x30, u16(4) + raw("a/b")},
        {"topic length 65535", 0x30, u16(0xFFFF) + raw("a/b")},
        {"QoS 1 without identifier", 0x32, str("a/b")},
        {"QoS 1 with half an identifier", 0x32, str("a/b") + Bytes{0x01}},
        {"QoS 2 without identifier", 0x35, str("a/b")},
        {"payload of 65536 bytes", 0x31, str("a/b") + Bytes(65536, 'x')},
        {"payload of 65536 bytes, QoS 1", 0x32, str("a/b") + u16(1) + Bytes(65536, 'x')},
        // Counted in 16 bits this payload length would wrap to 3.
        {"payload of 65539 bytes", 0x30, str("a/b") + Bytes(65539, 'x')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqtt_publish record{};
        EXPECT_EQ(publish(c.first, c.body, &record), MQTT_MALFORMED);
        EXPECT_EQ(record.pub_item, nullptr);
        EXPECT_EQ(pubs(&pub_list), before);
    }
}

// --- SUBSCRIBE ---------------------------------------------------------------

TEST_F(MqttCodec, SubscribeThreeFilters)
{
    ASSERT_EQ(subscribe_decode(u16(0x0A0B) + str("a/b") + Bytes{0} + str("c/+") + Bytes{1} + str("#") + Bytes{2}), 0);
    EXPECT_EQ(subscribe.msg_id, 0x0A0B);
    ASSERT_EQ(subscribe.qos_size, 3u);
    EXPECT_EQ(Bytes(subscribe.qos, subscribe.qos + 3), (Bytes{0, 1, 2}));
    const std::vector<SubState> expected = {{"a/b", 0}, {"c/+", 1}, {"#", 2}};
    EXPECT_EQ(subs(&subscribe.new_subs), expected);
    EXPECT_EQ(subs(&sub_list), expected);
}

TEST_F(MqttCodec, SubscribeSameFilterTwiceTakesTheLaterQos)
{
    ASSERT_EQ(subscribe_decode(u16(1) + str("x") + Bytes{0} + str("x") + Bytes{2}), 0);
    ASSERT_EQ(subscribe.qos_size, 2u);
    EXPECT_EQ(Bytes(subscribe.qos, subscribe.qos + 2), (Bytes{0, 2}));
    EXPECT_EQ(subs(&subscribe.new_subs), (std::vector<SubState>{{"x", 2}}));
    EXPECT_EQ(subs(&sub_list), (std::vector<SubState>{{"x", 2}}));
}

TEST_F(MqttCodec, SubscribeUpdatesAnExistingFilterInPlace)
{
    ASSERT_EQ(subscribe_decode(u16(1) + str("x") + Bytes{1} + str("y") + Bytes{0}), 0);
    ASSERT_EQ(subscribe_decode(u16(2) + str("y") + Bytes{2} + str("z") + Bytes{1}), 0);
    EXPECT_EQ(subs(&sub_list), (std::vector<SubState>{{"x", 1}, {"y", 2}, {"z", 1}}));
    // Only this request's filters are new_subs, even the one already held.
    EXPECT_EQ(subs(&subscribe.new_subs), (std::vector<SubState>{{"y", 2}, {"z", 1}}));
}

TEST_F(MqttCodec, SubscribeMalformedChangesNothing)
{
    ASSERT_EQ(subscribe_decode(u16(1) + str("keep") + Bytes{1}), 0);
    const std::vector<SubState> before = subs(&sub_list);
    struct Case {
        const char* name;
        Bytes body;
    };
    const Case cases[] = {
        {"empty body", {}},
        {"half an identifier", {0x00}},
        {"identifier only", u16(1)},
        {"half a filter length", u16(1) + Bytes{0x00}},
        {"empty filter", u16(1) + str("") + Bytes{0}},
        {"filter one byte short", u16(1) + u16(4) + raw("a/b")},
        {"QoS byte missing", u16(1) + str("a/b")},
        {"QoS 3", u16(1) + str("a/b") + Bytes{3}},
        {"QoS with reserved bits", u16(1) + str("a/b") + Bytes{0x81}},
        {"a byte after the last filter", u16(1) + str("a/b") + Bytes{0} + Bytes{0}},
        // The first filter is good: it must not be applied either.
        {"second filter empty", u16(1) + str("a/b") + Bytes{0} + str("") + Bytes{0}},
        {"second filter overruns", u16(1) + str("a/b") + Bytes{0} + u16(9) + raw("c") + Bytes{0}},
        {"second QoS 3", u16(1) + str("a/b") + Bytes{0} + str("keep") + Bytes{3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(subscribe_decode(c.body), MQTT_MALFORMED);
        EXPECT_EQ(subs(&sub_list), before);
        EXPECT_EQ(subscribe.new_subs.head, nullptr);
        EXPECT_EQ(subscribe.qos, nullptr);
        EXPECT_EQ(subscribe.qos_size, 0u);
    }
}

// --- UNSUBSCRIBE ---------------------------------------------------------------

TEST_F(MqttCodec, UnsubscribeRemovesListedFiltersOnly)
{
    ASSERT_EQ(subscribe_decode(u16(1) + str("a") + Bytes{0} + str("b") + Bytes{1} + str("c") + Bytes{2}), 0);
    mqtt_unsubscribe record{};
    // "never" was not subscribed and "A" differs in case: both are ignored.
    ASSERT_EQ(unsubscribe_decode(u16(0x4242) + str("c") + str("never") + str("A") + str("a"), &record), 0);
    EXPECT_EQ(record.msg_id, 0x4242);
    EXPECT_EQ(subs(&sub_list), (std::vector<SubState>{{"b", 1}}));
}

TEST_F(MqttCodec, UnsubscribeMalformedChangesNothing)
{
    ASSERT_EQ(subscribe_decode(u16(1) + str("a/b") + Bytes{0} + str("c") + Bytes{1}), 0);
    const std::vector<SubState> before = subs(&sub_list);
    struct Case {
        const char* name;
        Bytes body;
    };
    const Case cases[] = {
        {"empty body", {}},
        {"half an identifier", {0x00}},
        {"identifier only", u16(1)},
        {"half a filter length", u16(1) + Bytes{0x00}},
        {"empty filter", u16(1) + str("")},
        {"filter one byte short", u16(1) + u16(4) + raw("a/b")},
        {"a byte after the last filter", u16(1) + str("a/b") + Bytes{0}},
        {"second filter empty", u16(1) + str("a/b") + str("")},
        {"second filter overruns", u16(1) + str("a/b") + u16(3) + raw("c")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqtt_unsubscribe record{};
        EXPECT_EQ(unsubscribe_decode(c.body, &record), MQTT_MALFORMED);
        EXPECT_EQ(subs(&sub_list), before);
    }
}

// --- Acknowledgements ------------------------------------------------------------

TEST(MqttPubxxx, DecodeIdentifier)
{
    struct Case {
        uint8_t first;
        Bytes body;
        int result;
    };
    const Case cases[] = {
        {0x50, u16(0x1234), 0x1234}, {0x62, u16(1), 1},         {0x40, u16(0xFFFF), 0xFFFF},
        {0x70, u16(0), 0},           {0x50, {}, MQTT_MALFORMED}, {0x62, {0x12}, MQTT_MALFORMED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        Packet p = packet(c.first, c.body);
        EXPECT_EQ(mqtt_pubxxx_decode(&p.fixhdr), c.result);
    }
}

// --- Encoders ------------------------------------------------------------------------

TEST(MqttEncode, FixedPackets)
{
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    for (uint8_t code : {0, 1, 2, 3, 4, 5}) {
        mqtt_connack_encode(&buffer, &length, code);
        EXPECT_EQ(take(buffer, length), (Bytes{0x20, 0x02, 0x00, code}));
    }
    mqtt_pingresp_encode(&buffer, &length);
    EXPECT_EQ(take(buffer, length), (Bytes{0xD0, 0x00}));

    struct Case {
        uint32_t msg_type;
        uint8_t first;
    };
    const Case acks[] = {
        {MQTT_PUBACK, 0x40}, {MQTT_PUBREC, 0x50}, {MQTT_PUBREL, 0x62}, {MQTT_PUBCOMP, 0x70}, {MQTT_UNSUBACK, 0xB0},
    };
    for (const Case& c : acks) {
        SCOPED_TRACE(c.msg_type);
        mqtt_pubxxx_encode(c.msg_type, &buffer, &length, 0xBEEF);
        EXPECT_EQ(take(buffer, length), (Bytes{c.first, 0x02, 0xBE, 0xEF}));
    }
}

TEST(MqttEncode, Suback)
{
    const uint8_t codes[] = {1, 0, 2, 1};
    struct Case {
        uint32_t qos_size;
        Bytes expected;
    };
    const Case cases[] = {
        {4, {0x90, 0x06, 0x01, 0x02, 0x01, 0x00, 0x02, 0x01}},
        {1, {0x90, 0x03, 0x01, 0x02, 0x01}},
    };
    for (const Case& c : cases) {
        mqtt_suback suback{0x0102, codes, c.qos_size};
        uint8_t* buffer = nullptr;
        uint32_t length = 0;
        mqtt_suback_encode(&buffer, &length, &suback);
        EXPECT_EQ(take(buffer, length), c.expected);
    }
}

TEST_F(MqttCodec, EncodePublish)
{
    auto bytes = [](const char* s) { return reinterpret_cast<const uint8_t*>(s); };
    pub_item* retained = list_pub_add_replace(&pub_list, bytes("a/b"), 3, bytes("hi"), 2, 1);
    pub_item* plain = list_pub_add_replace(&pub_list, bytes("t"), 1, bytes("v"), 1, 0);
    pub_item* empty = list_pub_add_replace(&pub_list, bytes("e"), 1, nullptr, 0, 0);
    const std::string long_topic(100, 't');
    const std::string long_data(200, 'd');
    pub_item* large = list_pub_add_replace(&pub_list, bytes(long_topic.c_str()), 100, bytes(long_data.c_str()), 200, 0);

    struct Case {
        const char* name;
        pub_item* item;
        uint8_t qos;
        uint16_t msg_id;
        Bytes expected;
    };
    const Case cases[] = {
        {"QoS 0, retained", retained, 0, 99, {0x31, 0x07, 0x00, 0x03, 'a', '/', 'b', 'h', 'i'}},
        {"QoS 1, retained", retained, 1, 0x0102, {0x33, 0x09, 0x00, 0x03, 'a', '/', 'b', 0x01, 0x02, 'h', 'i'}},
        {"QoS 2", plain, 2, 0xFFFE, {0x34, 0x06, 0x00, 0x01, 't', 0xFF, 0xFE, 'v'}},
        {"no value", empty, 0, 0, {0x30, 0x03, 0x00, 0x01, 'e'}},
        {"two length bytes", large, 1, 5, Bytes{0x32, 0xB0, 0x02} + str(long_topic) + u16(5) + raw(long_data)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqtt_publish record{};
        record.qos = c.qos;
        record.msg_id = c.msg_id;
        record.pub_item = c.item;
        uint8_t* buffer = nullptr;
        uint32_t length = 0;
        mqtt_publish_encode(&buffer, &length, &record);
        EXPECT_EQ(take(buffer, length), c.expected);
    }
}

TEST_F(MqttCodec, EncodedPublishDecodesToTheSameValue)
{
    auto bytes = [](const char* s) { return reinterpret_cast<const uint8_t*>(s); };
    for (uint8_t qos : {0, 1, 2}) {
        SCOPED_TRACE(static_cast<int>(qos));
        list<pub_item> source{};
        mqtt_publish out{};
        out.qos = qos;
        out.msg_id = 0x7788;
        out.pub_item = list_pub_add_replace(&source, bytes("s/t"), 3, bytes("payload"), 7, 1);
        uint8_t* buffer = nullptr;
        uint32_t length = 0;
        mqtt_publish_encode(&buffer, &length, &out);
        list_data_remove_all(&source);

        Bytes packet_bytes = take(buffer, length);
        auto exact = exact_copy(packet_bytes);
        mqtt_fixed_header h{};
        uint32_t consumed = 0;
        ASSERT_EQ(mqtt_fixed_header_decode(&h, exact.get(), length, &consumed), 0);
        list_data_remove_all(&pub_list);
        mqtt_publish in{};
        in.pub_list = &pub_list;
        ASSERT_EQ(mqtt_publish_decode(&h, &in), 0);
        EXPECT_EQ(in.qos, qos);
        EXPECT_EQ(in.msg_id, qos ? 0x7788 : 0);
        EXPECT_EQ(pubs(&pub_list), (std::vector<PubState>{{"s/t", "payload", 1}}));
    }
}

// --- Log lines -----------------------------------------------------------------------

struct MqttLog : MqttCodec {
    std::string path;

    void SetUp() override
    {
        path = ::testing::TempDir() + "mqtt_test_" + std::to_string(getpid()) + ".log";
        std::remove(path.c_str());
        log_set_file(path.c_str());
    }
    void TearDown() override
    {
        log_set_file(nullptr);
        std::remove(path.c_str());
        MqttCodec::TearDown();
    }
    std::vector<std::string> lines()
    {
        std::vector<std::string> out;
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
};

TEST_F(MqttLog, OneDebugLinePerDecodedItem)
{
    ASSERT_EQ(publish(0x33, str("a/b") + u16(1) + raw("hello")), 0);
    ASSERT_EQ(publish(0x31, str("a/c")), 0);
    ASSERT_EQ(subscribe_decode(u16(2) + str("a/#") + Bytes{1} + str("x") + Bytes{0}), 0);
    ASSERT_EQ(unsubscribe_decode(u16(3) + str("a/#") + str("nope")), 0);
    // Refused packets log nothing.
    EXPECT_EQ(publish(0x30, str("")), MQTT_MALFORMED);
    EXPECT_EQ(subscribe_decode(u16(4) + str("y") + Bytes{0} + str("z") + Bytes{7}), MQTT_MALFORMED);
    EXPECT_EQ(unsubscribe_decode(u16(5) + str("y") + Bytes{0}), MQTT_MALFORMED);

    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "debug pubtopic: a/b, retain: 1, data: hello, qos: 1",
                           "debug pubtopic: a/c, retain: 0, data: , qos: 0",
                           "debug subtopic: a/#, qos: 1",
                           "debug subtopic: x, qos: 0",
                           "debug subtopic: a/#",
                           "debug subtopic: nope",
                       }));
}

} // namespace
