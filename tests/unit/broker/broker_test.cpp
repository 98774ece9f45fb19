// The broker's reactions, driven in-process through its channels: records
// go in on tcp_mqtt, encoded packets and close orders come out on mqtt_tcp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../test_bytes.h"
#include "broker/broker_internal.h"
#include "channels/mqtt_tcp.h"
#include "channels/tcp_mqtt.h"
#include "channels/trigger_rules.h"
#include "channels/udp_mqtt.h"

namespace {

const Bytes close_order;

Bytes publish(const std::string& topic, const std::string& payload)
{
    return packet(0x30, field(topic) + raw(payload));
}

// Each test starts with client "a" connected without keep-alive.
struct BrokerTest : ::testing::Test {
    sockaddr_in a = peer("127.0.0.1", 1000);
    void SetUp() override
    {
        for (auto init : {msg_tcp_mqtt_init, msg_mqtt_tcp_init, msg_udp_mqtt_init, msg_trigger_rules_init})
            init();
        connected(a, "a");
    }
    void TearDown() override
    {
        drain();
        broker_conn_remove_all();
        list_data_remove_all(&pub_list);
        mqtt_trigger_remove_all(&mqtt_triggers);
        for (auto destroy :
             {msg_tcp_mqtt_destroy, msg_mqtt_tcp_destroy, msg_udp_mqtt_destroy, msg_trigger_rules_destroy})
            destroy();
    }

    // Queues the bytes as the TCP thread would and runs one broker pass
    // (the timer runs by the clock, outside the pass).
    void deliver(const sockaddr_in& addr, const Bytes& data)
    {
        msg_tcp_mqtt_add_packet(ntohs(addr.sin_port), &addr, data.data(), static_cast<uint32_t>(data.size()));
        mqtt_loop_pass();
    }
    // What the broker posted for the TCP thread, a close order as no bytes.
    std::vector<Bytes> drain()
    {
        std::vector<Bytes> out;
        while (mqtt_tcp_msg* m = msg_mqtt_tcp_get_first()) {
            out.push_back(m->close ? Bytes{} : Bytes(m->packet, m->packet + m->packet_len));
            msg_mqtt_tcp_remove(m);
        }
        return out;
    }

    void connected(const sockaddr_in& addr, const std::string& id, uint8_t keepalive = 0)
    {
        deliver(addr, packet(0x10, field("MQTT") + Bytes{4, 0x02, 0, keepalive} + field(id)));
        ASSERT_EQ(drain(), (std::vector<Bytes>{{0x20, 0x02, 0x00, 0x00}}));
    }
};

TEST(Broker, CountersSkipZeroAfter65535)
{
    uint16_t counter = 65534;
    EXPECT_EQ(broker_counter_take(&counter), 65534);
    EXPECT_EQ(broker_counter_take(&counter), 65535);
    EXPECT_EQ(broker_counter_take(&counter), 1);
    EXPECT_EQ(counter, 2);
}

// Trailing bytes that are no packet are dropped, not waited for.
TEST_F(BrokerTest, PacketsOfOneRecordAreHandledInOrderInOnePass)
{
    deliver(a, packet(0x82, Bytes{0, 1} + field("t") + Bytes{0}));
    drain();
    deliver(a, packet(0xC0, {}) + publish("t", "v") + Bytes{0x30, 0x05, 0x00});
    EXPECT_EQ(drain(), (std::vector<Bytes>{{0xD0, 0x00}, publish("t", "v")}));
    EXPECT_EQ(msg_tcp_mqtt_get_first(), nullptr);
}

TEST_F(BrokerTest, KeepAliveTwoClosesOnceOnTheThirdSilentTick)
{
    sockaddr_in k = peer("127.0.0.1", 1002);
    sockaddr_in j = peer("127.0.0.1", 1003);
    connected(k, "k", 2);
    connected(j, "j", 2);
    timer_handle();
    timer_handle();
    EXPECT_TRUE(drain().empty());
    // Any packet resets the count.
    deliver(j, packet(0xC0, {}));
    drain();
    timer_handle();
    EXPECT_EQ(drain(), std::vector<Bytes>{close_order});
    // The close is under way: no second order, and nothing more is answered.
    timer_handle();
    deliver(k, packet(0xC0, {}));
    EXPECT_TRUE(drain().empty());
}

TEST_F(BrokerTest, CloseNoticeForAnUnknownAddressChangesNothing)
{
    sockaddr_in unknown = peer("127.0.0.1", 1007);
    msg_tcp_mqtt_add_close_conn(ntohs(unknown.sin_port), &unknown);
    mqtt_loop_pass();
    EXPECT_NE(mqtt_conns.head, nullptr);
    EXPECT_TRUE(drain().empty());
}

TEST_F(BrokerTest, MalformedPacketClosesWithoutReplyAndSkipsTheRestOfTheRecord)
{
    // An empty topic, then a PINGREQ that must not be answered.
    deliver(a, packet(0x30, Bytes{0x00, 0x00, 'x'}) + packet(0xC0, {}));
    EXPECT_EQ(drain(), std::vector<Bytes>{close_order});
    EXPECT_EQ(pub_list.head, nullptr);
}

TEST_F(BrokerTest, PublishedTopicsGetATopicIdOnce)
{
    mqttsn_topic_id = 7;
    deliver(a, publish("x", "1"));
    deliver(a, publish("x", "2"));
    deliver(a, publish("y", "3"));
    ASSERT_NE(pub_list.head, nullptr);
    EXPECT_EQ(pub_list.head->topic_id, 7);
    EXPECT_EQ(list_next(pub_list.head)->topic_id, 8);
    EXPECT_EQ(mqttsn_topic_id, 9);
}

TEST_F(BrokerTest, TriggersFireOnExactTopicsInOrder)
{
    thread_mqtt_trigger_add("a/b", 11);
    thread_mqtt_trigger_add("a/+", 12);
    thread_mqtt_trigger_add("a/b", 13);
    deliver(a, publish("a/bc", "x"));
    deliver(a, publish("a/b", "x"));
    std::vector<uint32_t> fired;
    while (trigger_rules_msg* m = msg_trigger_rules_get_first()) {
        fired.push_back(m->next_id);
        msg_trigger_rules_remove(m);
    }
    EXPECT_EQ(fired, (std::vector<uint32_t>{11, 13}));
}

} // namespace
