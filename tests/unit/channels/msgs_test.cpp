#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "channels/msgs.h"

namespace {

using namespace std::chrono_literals;

// Polls `done` until it holds; false once a generous deadline has passed.
template <typename F> bool eventually(F done)
{
    for (auto deadline = std::chrono::steady_clock::now() + 30s; !done(); std::this_thread::yield())
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

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
    item a{}, b{}, c{}, d{};
    msg_add(&queue, &a);
    msg_add(&queue, &b);
    msg_add(&queue, &c);
    EXPECT_EQ(take(), &a);
    // Added while the consumer works: comes after what was queued before.
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
    stray.next = &b;
    msg_remove(&queue, &stray);
    EXPECT_EQ(stray.next, nullptr);
    EXPECT_EQ(take(), &a);
    EXPECT_EQ(take(), &b);
}

// The consumer sleeps on the waker's descriptor: every add must leave it
// readable until the consumer clears it, however many adds come first.
TEST_F(QueueTest, AddsWakeTheConsumerUntilItClears)
{
    msg_waker waker{};
    ASSERT_EQ(msg_waker_init(&waker), 0);
    msg_set_waker(&queue, &waker);
    auto woken = [&] {
        pollfd p{waker.fd, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    };
    item a{}, b{}, c{};
    EXPECT_FALSE(woken());
    msg_add(&queue, &a);
    msg_add(&queue, &b);
    EXPECT_TRUE(woken());
    msg_waker_clear(&waker);
    EXPECT_FALSE(woken());
    msg_add(&queue, &c);
    EXPECT_TRUE(woken());
    msg_waker_wait(&waker, 0);
    EXPECT_FALSE(woken());
    EXPECT_EQ(msg_length(&queue), 3u);
    msg_set_waker(&queue, nullptr);
    msg_waker_destroy(&waker);
}

struct GapTest : ::testing::Test {
    msg_gap gap{};
    std::atomic<int> result{99};
    std::thread requester;
    void SetUp() override { msggap_init(&gap); }
    void TearDown() override
    {
        msggap_close(&gap); // releases a requester that a failed check left waiting
        if (requester.joinable())
            requester.join();
        msggap_destroy(&gap);
    }
};

TEST_F(GapTest, RequestAfterCloseFailsUntilReopenedThenWaitsForTheReply)
{
    msggap_close(&gap);
    EXPECT_EQ(msggap_request(&gap), -1);
    EXPECT_EQ(msggap_request(&gap), -1);
    EXPECT_EQ(msggap_get_request(&gap), 0);
    msggap_reopen(&gap);

    int data = 0;
    gap.request = reinterpret_cast<uintptr_t>(&data);
    requester = std::thread([this] { result = msggap_request(&gap); });
    ASSERT_TRUE(eventually([this] { return msggap_get_request(&gap) == 1; }));
    *reinterpret_cast<int*>(gap.request) = 42;
    EXPECT_EQ(result.load(), 99);
    msggap_reply(&gap);
    requester.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(data, 42);
}

TEST_F(GapTest, CloseReleasesAWaitingRequester)
{
    requester = std::thread([this] { result = msggap_request(&gap); });
    // Wait until the request is pending, without taking it.
    ASSERT_TRUE(eventually([this] {
        pthread_mutex_lock(&gap.mutex);
        int pending = gap.pending;
        pthread_mutex_unlock(&gap.mutex);
        return pending == 1;
    }));
    msggap_close(&gap);
    requester.join();
    EXPECT_EQ(result.load(), -1);
}

TEST_F(GapTest, CloseWaitsForARequestTheServerIsStillFilling)
{
    int* data = new int(0);
    std::atomic<bool> returned{false};
    gap.request = reinterpret_cast<uintptr_t>(data);
    requester = std::thread([&] {
        msggap_request(&gap);
        returned = true;
        delete data; // what the rules thread does after its request
    });
    ASSERT_TRUE(eventually([this] { return msggap_get_request(&gap) == 1; }));
    // Shut-down closes the gap while the server is still writing.
    msggap_close(&gap);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(returned.load());
    *reinterpret_cast<int*>(gap.request) = 7; // still valid memory
    msggap_reply(&gap);
    requester.join();
    EXPECT_TRUE(returned.load());
}

} // namespace
