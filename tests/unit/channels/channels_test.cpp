// The channels between threads: what the packet producers keep, the order
// and batch size in which a consumer drains several producers, wake-ups,
// and the request/reply rendezvous of the rules engine with its close on
// shut-down and reload.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "../test_bytes.h"
#include "channels/tcp_mqtt.h"
#include "channels/trigger_rules.h"
#include "channels/udp_mqtt.h"

namespace {

struct ChannelsTest : ::testing::Test {
    void SetUp() override
    {
        for (auto init : {msg_tcp_mqtt_init, msg_udp_mqtt_init, msg_trigger_rules_init})
            init();
    }
    void TearDown() override
    {
        for (auto destroy : {msg_tcp_mqtt_destroy, msg_udp_mqtt_destroy, msg_trigger_rules_destroy})
            destroy();
    }
};

// The transports receive into one area that the next receive overwrites.
TEST_F(ChannelsTest, InboundChannelsCopyTheCallersBytes)
{
    sockaddr_in addr = peer("10.0.0.5", 40001);
    uint8_t buf[] = {0x30, 0x03, 0x00, 0x01, 't'};
    msg_tcp_mqtt_add_packet(7, &addr, buf, sizeof buf);
    msg_tcp_mqtt_add_close_conn(7, &addr);
    msg_udp_mqtt_add_packet(&addr, buf, sizeof buf);
    const std::string sent(reinterpret_cast<const char*>(buf), sizeof buf);
    std::fill(std::begin(buf), std::end(buf), 0xEE);
    tcp_mqtt_msg* t = msg_tcp_mqtt_get_first();
    EXPECT_EQ(str(t->packet, t->packet_len), sent);
    EXPECT_EQ(std::memcmp(&t->addr, &addr, sizeof addr), 0);
    EXPECT_EQ(t->conn_id, 7u);
    msg_tcp_mqtt_remove(t);
    t = msg_tcp_mqtt_get_first();
    EXPECT_EQ(std::make_tuple(t->close, t->packet), std::make_tuple(1, nullptr));
    msg_tcp_mqtt_remove(t);
    udp_mqtt_msg* u = msg_udp_mqtt_get_first();
    EXPECT_EQ(str(u->packet, u->packet_len), sent);
    msg_udp_mqtt_remove(u);
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
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto produce = [&](uint32_t me) {
        for (uint32_t seq = me; seq < total; seq += 2) {
            while (turn.load() != seq && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
            msg_mqtt_rules_add_packet(seq + 1);
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

// The consumer sleeps on the waker's descriptor: every add must leave it
// readable until the consumer clears it, however many adds come first.
TEST_F(ChannelsTest, AddsWakeTheConsumerUntilItClears)
{
    msg_waker waker{};
    ASSERT_EQ(msg_waker_init(&waker), 0);
    msg_trigger_rules_set_waker(&waker);
    auto woken = [&] {
        pollfd p{waker.fd, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    };
    EXPECT_FALSE(woken());
    msg_mqtt_rules_add_packet(1);
    msg_mqtt_rules_add_packet(1);
    EXPECT_TRUE(woken());
    msg_waker_clear(&waker);
    EXPECT_FALSE(woken());
    msg_mqtt_rules_add_packet(1);
    EXPECT_TRUE(woken());
    msg_waker_wait(&waker, 0);
    EXPECT_FALSE(woken());
    EXPECT_EQ(msg_trigger_rules_length(), 3u);
    msg_trigger_rules_drain(3, record_id);
    msg_trigger_rules_set_waker(nullptr);
    msg_waker_destroy(&waker);
}

// The rules thread requests, the test serves as the broker does: woken by
// the gap's waker.
struct GapTest : ::testing::Test {
    msg_gap gap{};
    msg_waker waker{};
    std::atomic<int> result{99};
    std::thread requester;
    void SetUp() override
    {
        msggap_init(&gap);
        ASSERT_EQ(msg_waker_init(&waker), 0);
        msggap_set_waker(&gap, &waker);
    }
    void TearDown() override
    {
        msggap_close(&gap); // releases a requester that a failed check left waiting
        if (requester.joinable())
            requester.join();
        msggap_destroy(&gap);
        msg_waker_destroy(&waker);
    }
    // A request for `data` from another thread, pending once this returns.
    void request(int* data)
    {
        gap.request = reinterpret_cast<uintptr_t>(data);
        requester = std::thread([this] { result = msggap_request(&gap); });
        pollfd p{waker.fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 30000), 1);
        msg_waker_clear(&waker);
    }
};

// A close releases the waiting requester; requests fail at once until the
// gap is reopened, then wait for the reply again.
TEST_F(GapTest, CloseReleasesTheRequesterAndHoldsUntilReopened)
{
    int data = 0;
    request(&data);
    msggap_close(&gap);
    requester.join();
    EXPECT_EQ(result.load(), -1);
    EXPECT_EQ(msggap_request(&gap), -1);
    EXPECT_EQ(msggap_get_request(&gap), 0);

    msggap_reopen(&gap);
    result = 99;
    request(&data);
    ASSERT_EQ(msggap_get_request(&gap), 1);
    *reinterpret_cast<int*>(gap.request) = 42;
    EXPECT_EQ(result.load(), 99);
    msggap_reply(&gap);
    requester.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(data, 42);
}

// Shut-down closes the gap while the server is still writing into the
// request, which the requester frees as soon as it returns.
TEST_F(GapTest, CloseWaitsForARequestTheServerIsStillFilling)
{
    int* data = new int(0);
    request(data);
    ASSERT_EQ(msggap_get_request(&gap), 1);
    msggap_close(&gap);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result.load(), 99);
    *reinterpret_cast<int*>(gap.request) = 7;
    msggap_reply(&gap);
    requester.join();
    EXPECT_EQ(result.load(), 0);
    delete data;
}

} // namespace
