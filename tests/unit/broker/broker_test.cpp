// The broker's reactions, driven in-process through its channels: records
// go in on tcp_mqtt, encoded packets and close orders come out on mqtt_tcp.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "broker/broker_internal.h"
#include "mqtt_tcp.h"
#include "tcp_mqtt.h"
#include "trigger_rules.h"
#include "udp_mqtt.h"

namespace {

using bytes = std::vector<uint8_t>;

sockaddr_in peer(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

bytes str(const std::string& s)
{
    return bytes(s.begin(), s.end());
}

bytes operator+(bytes a, const bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes field(const std::string& s)
{
    return bytes{static_cast<uint8_t>(s.size() >> 8), static_cast<uint8_t>(s.size() & 0xff)} + str(s);
}

bytes packet(uint8_t first, const bytes& body)
{
    return bytes{first, static_cast<uint8_t>(body.size())} + body;
}

bytes connect(const std::string& id, uint16_t keepalive)
{
    return packet(0x10, field("MQTT") + bytes{4, 0x02, static_cast<uint8_t>(keepalive >> 8),
                                              static_cast<uint8_t>(keepalive & 0xff)} + field(id));
}

bytes subscribe(uint16_t id, const std::string& filter, uint8_t qos)
{
    return packet(0x82, bytes{static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)} + field(filter) + bytes{qos});
}

bytes publish(const std::string& topic, const std::string& payload, uint8_t qos = 0, uint16_t id = 0,
              bool retain = false)
{
    bytes body = field(topic);
    if (qos)
        body = body + bytes{static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
    return packet(static_cast<uint8_t>(0x30 | (qos << 1) | (retain ? 1 : 0)), body + str(payload));
}

struct sent {
    sockaddr_in addr;
    bool close;
    bytes packet;
};

struct BrokerTest : ::testing::Test {
    void SetUp() override
    {
        msg_tcp_mqtt_init();
        msg_mqtt_tcp_init();
        msg_udp_mqtt_init();
        msg_trigger_rules_init();
    }
    void TearDown() override
    {
        drain();
        list_mqtt_conn_remove_all(&mqtt_conns);
        list_data_remove_all(&pub_list);
        list_mqtt_user_remove_all(&mqtt_users);
        mqtt_trigger_remove_all(&mqtt_triggers);
        while (trigger_rules_msg* m = msg_trigger_rules_get_first())
            msg_trigger_rules_remove(m);
        msg_tcp_mqtt_destroy();
        msg_mqtt_tcp_destroy();
        msg_udp_mqtt_destroy();
        msg_trigger_rules_destroy();
    }

    // Queues the bytes as the TCP thread would and runs one broker pass
    // that skips the timer.
    void deliver(const sockaddr_in& addr, const bytes& data)
    {
        msg_tcp_mqtt_add_packet(&addr, data.data(), static_cast<uint32_t>(data.size()));
        mqtt_loop_pass(1);
    }
    void closed(const sockaddr_in& addr)
    {
        msg_tcp_mqtt_add_close_conn(&addr);
        mqtt_loop_pass(1);
    }

    std::vector<sent> drain()
    {
        std::vector<sent> out;
        while (mqtt_tcp_msg* m = msg_mqtt_tcp_get_first()) {
            out.push_back({m->addr, m->close != 0, bytes(m->packet, m->packet + m->packet_len)});
            msg_mqtt_tcp_remove(m);
        }
        return out;
    }

    void connected(const sockaddr_in& addr, const std::string& id, uint16_t keepalive = 0)
    {
        deliver(addr, connect(id, keepalive));
        auto out = drain();
        ASSERT_EQ(out.size(), 1u);
        ASSERT_EQ(out[0].packet, (bytes{0x20, 0x02, 0x00, 0x00}));
    }
};

TEST_F(BrokerTest, CountersSkipZeroAfter65535)
{
    uint16_t counter = 65534;
    EXPECT_EQ(broker_counter_take(&counter), 65534);
    EXPECT_EQ(broker_counter_take(&counter), 65535);
    EXPECT_EQ(broker_counter_take(&counter), 1);
    EXPECT_EQ(counter, 2);
}

TEST_F(BrokerTest, PacketsOfOneRecordAreHandledInOrderInOnePass)
{
    sockaddr_in a = peer(1000);
    connected(a, "a");
    deliver(a, subscribe(1, "t", 0));
    drain();
    deliver(a, packet(0xC0, {}) + publish("t", "v"));
    auto out = drain();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].packet, (bytes{0xD0, 0x00}));
    EXPECT_EQ(out[1].packet, publish("t", "v"));
}

TEST_F(BrokerTest, TrailingBytesThatAreNoPacketDoNotStallTheLoop)
{
    sockaddr_in a = peer(1001);
    connected(a, "a");
    deliver(a, packet(0xC0, {}) + bytes{0x30, 0x05, 0x00});
    auto out = drain();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].packet, (bytes{0xD0, 0x00}));
    EXPECT_EQ(msg_tcp_mqtt_get_first(), nullptr);
}

TEST_F(BrokerTest, KeepAliveTwoClosesOnTheThirdSilentTickAndRepeats)
{
    sockaddr_in a = peer(1002);
    connected(a, "a", 2);
    timer_handle();
    timer_handle();
    EXPECT_TRUE(drain().empty());
    timer_handle();
    auto out = drain();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].close);
    timer_handle();
    EXPECT_EQ(drain().size(), 1u);
    // Any packet resets the count.
    deliver(a, packet(0xC0, {}));
    drain();
    timer_handle();
    timer_handle();
    EXPECT_TRUE(drain().empty());
}

TEST_F(BrokerTest, CloseNoticeForAnUnknownAddressChangesNothing)
{
    sockaddr_in a = peer(1006);
    connected(a, "a");
    closed(peer(1007));
    EXPECT_NE(mqtt_conns.head, nullptr);
    EXPECT_TRUE(drain().empty());
}

TEST_F(BrokerTest, MalformedPacketClosesWithoutReplyAndSkipsTheRestOfTheRecord)
{
    sockaddr_in a = peer(1008);
    connected(a, "a");
    // An empty topic, then a PINGREQ that must not be answered.
    deliver(a, packet(0x30, bytes{0x00, 0x00, 'x'}) + packet(0xC0, {}));
    auto out = drain();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].close);
    EXPECT_EQ(pub_list.head, nullptr);
}

TEST_F(BrokerTest, PublishedTopicsGetATopicIdOnce)
{
    sockaddr_in a = peer(1009);
    connected(a, "a");
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
    sockaddr_in a = peer(1010);
    connected(a, "a");
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
