// The one store-and-deliver path and the MQTT-SN sessions that feed it:
// what each source leaves on a topic, and what a client's REGISTER,
// PUBLISH, SUBSCRIBE and UNSUBSCRIBE change, driven through the datagram
// handler with the broker's own state.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "../test_bytes.h"
#include "broker/broker_internal.h"
#include "channels/mqtt_tcp.h"
#include "channels/mqtt_udp.h"
#include "channels/trigger_rules.h"

namespace {

using Topic = std::tuple<std::string, std::string, int, uint16_t>; // name, value, retain, topic id
using Sub = std::pair<std::string, int>;                             // filter, qos

// Each test starts with "old" retained on a/b, topic id 5.
struct PublishPath : ::testing::Test {
    sockaddr_in node = peer("127.0.0.1", 1883);

    void SetUp() override
    {
        for (auto init : {msg_mqtt_tcp_init, msg_mqtt_udp_init, msg_trigger_rules_init})
            init();
        mqttsn_topic_id = 10;
        pub_item* ab = list_pub_add_replace(&pub_list, b("a/b"), 3, b("old"), 3, 1);
        list_pub_set_topic_id(&pub_list, ab, 5);
    }
    void TearDown() override
    {
        replies();
        broker_sn_remove_all();
        list_data_remove_all(&pub_list);
        for (auto destroy : {msg_mqtt_tcp_destroy, msg_mqtt_udp_destroy, msg_trigger_rules_destroy})
            destroy();
    }

    // The datagrams the gateway sent back.
    std::vector<Bytes> replies()
    {
        std::vector<Bytes> out;
        while (mqtt_udp_msg* m = msg_mqtt_udp_get_first()) {
            out.emplace_back(m->packet, m->packet + m->packet_len);
            msg_mqtt_udp_remove(m);
        }
        while (mqtt_tcp_msg* m = msg_mqtt_tcp_get_first())
            msg_mqtt_tcp_remove(m);
        while (trigger_rules_msg* m = msg_trigger_rules_get_first())
            msg_trigger_rules_remove(m);
        return out;
    }
    // The return code of the one reply to a datagram.
    int sent(const Bytes& datagram)
    {
        udp_mqtt_msg record{};
        record.addr = node;
        record.packet = const_cast<uint8_t*>(datagram.data());
        record.packet_len = static_cast<uint32_t>(datagram.size());
        mqttsn_packet_handle(&record);
        std::vector<Bytes> out = replies();
        return out.size() == 1 ? out[0].back() : -1;
    }
    void connect()
    {
        ASSERT_EQ(sent(sn(0x04, Bytes{0x04, 0x01} + u16(60) + raw("node"))), 0);
    }

    static std::vector<Topic> topics()
    {
        std::vector<Topic> out;
        for (pub_item* item = pub_list.head; item; item = list_next(item))
            out.emplace_back(str(item->name, item->name_len), str(item->data, item->data_len), item->retain,
                             item->topic_id);
        return out;
    }
    std::vector<Sub> subs()
    {
        std::vector<Sub> out;
        for (sub_item* item = broker_sn_find(&node)->subs.head; item; item = list_next(item))
            out.emplace_back(str(item->name, item->name_len), item->qos);
        return out;
    }
};

// Only the clients' own publications and wills lose the retain flag with
// an empty value; only MQTT-SN keeps the value then.
TEST_F(PublishPath, EachSourceStoresByItsRule)
{
    const std::tuple<publication_source, const char*, Topic> cases[] = {
        {PUBLICATION_MQTT, "new", {"a/b", "new", 1, 5}},   {PUBLICATION_MQTT, "", {"a/b", "<none>", 0, 5}},
        {PUBLICATION_MQTTSN, "new", {"a/b", "new", 1, 5}}, {PUBLICATION_MQTTSN, "", {"a/b", "old", 0, 5}},
        {PUBLICATION_WILL, "", {"a/b", "<none>", 0, 5}},   {PUBLICATION_RULE, "", {"a/b", "<none>", 1, 5}},
        {PUBLICATION_RULES_FILE, "", {"a/b", "<none>", 1, 5}},
    };
    for (const auto& [source, value, stored] : cases) {
        SCOPED_TRACE(testing::Message() << source << " " << value);
        list_pub_add_replace(&pub_list, b("a/b"), 3, b("old"), 3, 1);
        EXPECT_EQ(broker_publish(source, b("a/b"), 3, b(value), n(value), 1), pub_list.head);
        EXPECT_EQ(topics(), std::vector<Topic>{stored});
    }
    // A new topic past the bound is dropped.
    list_pub_set_max(&pub_list, 1);
    EXPECT_EQ(broker_publish(PUBLICATION_MQTT, b("new"), 3, b("v"), 1, 1), nullptr);
    list_pub_set_max(&pub_list, 0);
}

// Steps in order, each with its return code (UNSUBACK: the low octet of
// its message id) and the topics and subscriptions after it.
TEST_F(PublishPath, MqttSnClientsChangeTopicsAndSubscriptions)
{
    connect();
    const Topic ab{"a/b", "old", 1, 5}, ab0{"a/b", "old", 0, 5}, cd{"c/d", "<none>", 0, 10}, cdv{"c/d", "v", 1, 10},
        e{"e", "<none>", 0, 11};
    const std::tuple<const char*, Bytes, int, std::vector<Topic>, std::vector<Sub>> steps[] = {
        {"REGISTER c/d", sn(0x0A, u16(0) + u16(1) + raw("c/d")), 0, {ab, cd}, {}},
        {"REGISTER c/d again", sn(0x0A, u16(0) + u16(2) + raw("c/d")), 0, {ab, cd}, {}},
        {"REGISTER a wildcard", sn(0x0A, u16(0) + u16(3) + raw("c/+")), 3, {ab, cd}, {}},
        {"PUBLISH empty, retained", sn(0x0C, Bytes{0x30} + u16(5) + u16(4)), 0, {ab0, cd}, {}},
        {"PUBLISH to id 10", sn(0x0C, Bytes{0x31} + u16(10) + u16(5) + raw("v")), 0, {ab0, cdv}, {}},
        {"PUBLISH to an unknown id", sn(0x0C, Bytes{0x20} + u16(9) + u16(6) + raw("v")), 2, {ab0, cdv}, {}},
        {"SUBSCRIBE to a new name", sn(0x12, Bytes{0x20} + u16(7) + raw("e")), 0, {ab0, cdv, e}, {{"e", 1}}},
        {"SUBSCRIBE to a wildcard", sn(0x12, Bytes{0x40} + u16(8) + raw("x/#")), 0, {ab0, cdv, e},
         {{"e", 1}, {"x/#", 2}}},
        {"SUBSCRIBE to id 5", sn(0x12, Bytes{0x01} + u16(9) + u16(5)), 0, {ab0, cdv, e},
         {{"e", 1}, {"x/#", 2}, {"a/b", 0}}},
        {"SUBSCRIBE to an unknown id", sn(0x12, Bytes{0x01} + u16(10) + u16(99)), 2, {ab0, cdv, e},
         {{"e", 1}, {"x/#", 2}, {"a/b", 0}}},
        {"UNSUBSCRIBE by name", sn(0x14, Bytes{0x00} + u16(11) + raw("x/#")), 11, {ab0, cdv, e},
         {{"e", 1}, {"a/b", 0}}},
        {"UNSUBSCRIBE a short name", sn(0x14, Bytes{0x02} + u16(12) + raw("ab")), 12, {ab0, cdv, e},
         {{"e", 1}, {"a/b", 0}}},
        {"UNSUBSCRIBE by id", sn(0x14, Bytes{0x01} + u16(13) + u16(5)), 13, {ab0, cdv, e}, {{"e", 1}}},
    };
    for (const auto& [name, datagram, code, after_topics, after_subs] : steps) {
        SCOPED_TRACE(name);
        EXPECT_EQ(sent(datagram), code);
        EXPECT_EQ(topics(), after_topics);
        EXPECT_EQ(subs(), after_subs);
    }
}

} // namespace
