#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "channels/mqtt_tcp.h"
#include "channels/mqtt_udp.h"
#include "channels/rules_mqtt.h"
#include "channels/tcp_mqtt.h"
#include "../test_bytes.h"
#include "channels/trigger_rules.h"
#include "channels/udp_mqtt.h"

namespace {

using namespace std::chrono_literals;

struct ChannelsTest : ::testing::Test {
    sockaddr_in addr = peer("10.0.0.5", 40001);
    void SetUp() override
    {
        for (auto init : {msg_tcp_mqtt_init, msg_mqtt_tcp_init, msg_udp_mqtt_init, msg_mqtt_udp_init,
                          msg_trigger_rules_init, msg_rules_mqtt_init, msggap_rules_mqtt_init})
            init();
    }
    void TearDown() override
    {
        for (auto destroy : {msg_tcp_mqtt_destroy, msg_mqtt_tcp_destroy, msg_udp_mqtt_destroy, msg_mqtt_udp_destroy,
                             msg_trigger_rules_destroy, msg_rules_mqtt_destroy, msggap_rules_mqtt_destroy})
            destroy();
    }
};

// Each record is followed by a close record, which carries no packet.
TEST_F(ChannelsTest, InboundChannelsCopyTheCallersBytes)
{
    uint8_t buf[] = {0x30, 0x03, 0x00, 0x01, 't'};
    msg_tcp_mqtt_add_packet(&addr, buf, sizeof buf);
    msg_tcp_mqtt_add_close_conn(&addr);
    msg_udp_mqtt_add_packet(&addr, buf, sizeof buf);
    std::memset(buf, 0xee, sizeof buf);
    const std::string sent("\x30\x03\x00\x01t", 5);
    tcp_mqtt_msg* t = msg_tcp_mqtt_get_first();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(str(t->packet, t->packet_len), sent);
    EXPECT_EQ(std::memcmp(&t->addr, &addr, sizeof addr), 0);
    msg_tcp_mqtt_remove(t);
    ASSERT_NE(t = msg_tcp_mqtt_get_first(), nullptr);
    EXPECT_EQ(t->close, 1);
    EXPECT_EQ(t->packet, nullptr);
    msg_tcp_mqtt_remove(t);
    udp_mqtt_msg* u = msg_udp_mqtt_get_first();
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(str(u->packet, u->packet_len), sent);
    msg_udp_mqtt_remove(u);
}

TEST_F(ChannelsTest, OutboundChannelsTakeTheBufferOver)
{
    auto* tcp_buf = new uint8_t[2]{0xd0, 0x00};
    auto* udp_buf = new uint8_t[2]{0x02, 0x17};
    msg_mqtt_tcp_add_packet(&addr, tcp_buf, 2);
    msg_mqtt_tcp_add_close_conn(&addr);
    msg_mqtt_udp_add_packet(&addr, udp_buf, 2);
    mqtt_tcp_msg* t = msg_mqtt_tcp_get_first();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->packet, tcp_buf);
    msg_mqtt_tcp_remove(t);
    ASSERT_NE(t = msg_mqtt_tcp_get_first(), nullptr);
    EXPECT_EQ(t->close, 1);
    EXPECT_EQ(t->packet, nullptr);
    msg_mqtt_tcp_remove(t);
    mqtt_udp_msg* u = msg_mqtt_udp_get_first();
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->packet, udp_buf);
    msg_mqtt_udp_remove(u);
}

std::vector<uint32_t> drained;
void record_id(trigger_rules_msg* r)
{
    drained.push_back(r->next_id);
}

// The broker and the cron thread both fire rule chains. The producers take
// strict turns, so the add order is known; the consumer meanwhile drains in
// batches of at most 7, and gets the records in add order.
TEST_F(ChannelsTest, TwoProducersAreDrainedInBatchesInAddOrder)
{
    constexpr uint32_t total = 2000;
    std::atomic<uint32_t> turn{0};
    auto deadline = std::chrono::steady_clock::now() + 30s;
    auto produce = [&](uint32_t me) {
        for (uint32_t seq = me; seq < total; seq += 2) {
            while (turn.load() != seq && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            mqtt_trigger trigger{};
            trigger.next_id = seq + 1;
            msg_mqtt_rules_add_packet(&trigger);
            turn.store(seq + 1);
        }
    };
    std::thread broker(produce, 0), cron(produce, 1);
    drained.clear();
    bool bounded = true;
    while (drained.size() < total && std::chrono::steady_clock::now() < deadline) {
        size_t before = drained.size();
        msg_trigger_rules_drain(7, record_id);
        bounded = bounded && drained.size() - before <= 7;
    }
    broker.join();
    cron.join();
    EXPECT_TRUE(bounded);
    ASSERT_EQ(drained.size(), total);
    for (uint32_t i = 0; i < total; ++i)
        ASSERT_EQ(drained[i], i + 1) << "position " << i;
}

TEST_F(ChannelsTest, RulesPublishRecordOwnsItsWholeList)
{
    list<data_item> items{};
    int created = 0;
    list_data_add_replace(&items, b("$SYS/rulesengine/variables/x"), 28, nullptr, 0, &created);
    list_data_add_replace(&items, b("sensor/temp"), 11, b("21.5"), 4, &created);
    msg_rules_mqtt_add_packet(items, 1);
    rules_mqtt_msg* r = msg_rules_mqtt_get_first();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->retain, 1);
    EXPECT_EQ(list_head(&r->data_list), items.head);
    msg_rules_mqtt_remove(r);
}

// Plays the broker's part: waits for one request, fills every item from
// `pub_list` and replies; closes the rendezvous if no request comes.
void serve_one_request(list<pub_item>* pub_list)
{
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        data_item* request = msggap_rules_mqtt_get_request();
        if (!request) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        for (data_item* item = request; item; item = static_cast<data_item*>(item->next))
            if (pub_item* pub = list_name_find_name(pub_list, item->name, item->name_len))
                list_data_replace_data(item, pub->data, pub->data_len);
        msggap_rules_mqtt_reply_request();
        return;
    }
    msggap_rules_mqtt_close();
}

TEST_F(ChannelsTest, RulesRequestIsFilledFromPublishedTopics)
{
    list<pub_item> pub_list{};
    list_pub_add_replace(&pub_list, b("sensor/temp"), 11, b("21.5"), 4, 0);
    list<data_item> request{};
    int created = 0;
    data_item* never = list_data_add_ignore(&request, b("never/published"), 15, nullptr, 0, &created);
    data_item* first = list_data_add_ignore(&request, b("sensor/temp"), 11, nullptr, 0, &created);
    // The same topic named twice: add_ignore would fold it, so link it by hand.
    data_item* second = list_add_item(&request, list_data_new<data_item>(b("sensor/temp"), 11, nullptr, 0));

    std::thread broker(serve_one_request, &pub_list);
    EXPECT_EQ(msggap_rules_mqtt_request(list_head(&request)), 0);
    broker.join();
    EXPECT_EQ(never->data, nullptr);
    EXPECT_EQ(str(first->data, first->data_len), "21.5");
    EXPECT_EQ(str(second->data, second->data_len), "21.5");

    // Once closed, a request is refused at once and nothing is written.
    msggap_rules_mqtt_close();
    EXPECT_EQ(msggap_rules_mqtt_request(list_head(&request)), -1);
    EXPECT_EQ(msggap_rules_mqtt_get_request(), nullptr);
    msggap_rules_mqtt_reopen();
    list_data_remove_all(&request);
    list_data_remove_all(&pub_list);
}

} // namespace
