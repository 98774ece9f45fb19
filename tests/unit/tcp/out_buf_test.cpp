// A connection's pending output against a real socket that takes only part
// of each write.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "tcp/out_buf.h"

namespace {

struct OutBufTest : ::testing::Test {
    int fds[2] = {-1, -1};
    out_buf buf{};
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
        int small = 4096;
        setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
    void TearDown() override
    {
        out_buf_free(&buf);
        close(fds[0]);
        close(fds[1]);
    }
};

// Packets appended between partial writes reach the peer exactly once, in
// order, and the buffer reports what is still pending.
TEST_F(OutBufTest, PartialWritesResumeWhereTheyStopped)
{
    std::vector<uint8_t> sent, received;
    uint8_t chunk[65536];
    bool saw_partial = false;
    for (int packet = 0; packet < 64; ++packet) {
        std::vector<uint8_t> bytes(1000 + packet * 37, static_cast<uint8_t>(packet));
        ASSERT_EQ(out_buf_append(&buf, bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
        sent.insert(sent.end(), bytes.begin(), bytes.end());
        ssize_t left = out_buf_write(&buf, fds[0]);
        ASSERT_GE(left, 0);
        EXPECT_EQ(static_cast<uint32_t>(left), out_buf_pending(&buf));
        saw_partial = saw_partial || left > 0;
        // The peer reads only now and then, so the socket fills up.
        if (packet % 8 == 7)
            for (ssize_t n; (n = read(fds[1], chunk, sizeof chunk)) > 0;)
                received.insert(received.end(), chunk, chunk + n);
    }
    while (out_buf_pending(&buf)) {
        ASSERT_GE(out_buf_write(&buf, fds[0]), 0);
        for (ssize_t n; (n = read(fds[1], chunk, sizeof chunk)) > 0;)
            received.insert(received.end(), chunk, chunk + n);
    }
    EXPECT_TRUE(saw_partial);
    EXPECT_TRUE(received == sent);
}

// Writing to a peer that has gone reports the error instead of raising
// SIGPIPE, whose default action would end the process.
TEST_F(OutBufTest, WriteToAClosedPeerFailsWithoutASignal)
{
    ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
    close(fds[1]);
    fds[1] = -1;
    const uint8_t bytes[] = {0xD0, 0x00};
    ASSERT_EQ(out_buf_append(&buf, bytes, sizeof bytes), 0);
    EXPECT_EQ(out_buf_write(&buf, fds[0]), -1);
    EXPECT_EQ(errno, EPIPE);
}

} // namespace
