#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "msgs.h"

namespace {

struct item : msg_record {
    int producer;
    int seq;
};

struct QueueTest : ::testing::Test {
    msg_queue queue{};
    void SetUp() override { msg_init(&queue); }
    void TearDown() override { msg_destroy(&queue); }
    item* take()
    {
        auto* first = static_cast<item*>(msg_get_first(&queue));
        if (first)
            msg_remove(&queue, first);
        return first;
    }
};

TEST_F(QueueTest, OldestFirst)
{
    item a{}, b{}, c{};
    msg_add(&queue, &a);
    msg_add(&queue, &b);
    msg_add(&queue, &c);
    EXPECT_EQ(take(), &a);
    // Added while the consumer works: comes after what was queued before.
    item d{};
    msg_add(&queue, &d);
    EXPECT_EQ(take(), &b);
    EXPECT_EQ(take(), &c);
    EXPECT_EQ(take(), &d);
    EXPECT_EQ(msg_get_first(&queue), nullptr);
}

TEST_F(QueueTest, RemovingARecordNotQueuedChangesNothing)
{
    item a{}, b{}, stray{};
    msg_add(&queue, &a);
    msg_add(&queue, &b);
    msg_record dummy{};
    stray.next = &dummy;
    msg_remove(&queue, &stray);
    EXPECT_EQ(stray.next, nullptr);
    EXPECT_EQ(take(), &a);
    EXPECT_EQ(take(), &b);
}

TEST_F(QueueTest, ManyProducersOneConsumerKeepEachProducersOrder)
{
    constexpr int producers = 4;
    constexpr int per_producer = 5000;
    std::vector<std::thread> threads;
    std::vector<item> items(producers * per_producer);
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < per_producer; ++i) {
                item* it = &items[p * per_producer + i];
                it->producer = p;
                it->seq = i;
                msg_add(&queue, it);
            }
        });
    }
    int next_seq[producers] = {0};
    int received = 0;
    while (received < producers * per_producer) {
        item* it = take();
        if (!it) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(it->seq, next_seq[it->producer]);
        ++next_seq[it->producer];
        ++received;
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(msg_get_first(&queue), nullptr);
}

struct GapTest : ::testing::Test {
    msg_gap gap{};
    void SetUp() override { msggap_init(&gap); }
    void TearDown() override { msggap_destroy(&gap); }
};

TEST_F(GapTest, RequestWaitsForTheReply)
{
    int data = 0;
    std::atomic<int> result{99};
    gap.request = reinterpret_cast<uintptr_t>(&data);
    std::thread requester([&] { result = msggap_request(&gap); });
    while (msggap_get_request(&gap) != 1)
        std::this_thread::yield();
    *reinterpret_cast<int*>(gap.request) = 42;
    EXPECT_EQ(result.load(), 99);
    msggap_reply(&gap);
    requester.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(data, 42);
    EXPECT_EQ(msggap_get_request(&gap), 0);
}

TEST_F(GapTest, CloseReleasesAWaitingRequester)
{
    std::atomic<int> result{99};
    std::thread requester([&] { result = msggap_request(&gap); });
    // Wait until the request is pending, without taking it.
    for (;;) {
        pthread_mutex_lock(&gap.mutex);
        int pending = gap.pending;
        pthread_mutex_unlock(&gap.mutex);
        if (pending == 1)
            break;
        std::this_thread::yield();
    }
    msggap_close(&gap);
    requester.join();
    EXPECT_EQ(result.load(), -1);
}

TEST_F(GapTest, RequestAfterCloseDoesNotBlockUntilReopened)
{
    msggap_close(&gap);
    EXPECT_EQ(msggap_request(&gap), -1);
    EXPECT_EQ(msggap_request(&gap), -1);
    EXPECT_EQ(msggap_get_request(&gap), 0);
    msggap_reopen(&gap);
    std::atomic<int> result{99};
    std::thread requester([&] { result = msggap_request(&gap); });
    while (msggap_get_request(&gap) != 1)
        std::this_thread::yield();
    msggap_reply(&gap);
    requester.join();
    EXPECT_EQ(result.load(), 0);
}

TEST_F(GapTest, CloseWaitsForARequestTheServerIsStillFilling)
{
    int* data = new int(0);
    std::atomic<bool> returned{false};
    gap.request = reinterpret_cast<uintptr_t>(data);
    std::thread requester([&] {
        msggap_request(&gap);
        returned = true;
        delete data; // what the rules thread does after its request
    });
    while (msggap_get_request(&gap) != 1)
        std::this_thread::yield();
    // Shut-down closes the gap while the server is still writing.
    msggap_close(&gap);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());
    *reinterpret_cast<int*>(gap.request) = 7; // still valid memory
    msggap_reply(&gap);
    requester.join();
    EXPECT_TRUE(returned.load());
}

} // namespace
