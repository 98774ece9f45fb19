// Partial writes are exercised end to end (the burst and wss:// tests);
// what those cannot show is a reset peer's SIGPIPE, which would end the
// process.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "tcp/out_buf.h"

namespace {

TEST(OutBuf, WriteToAClosedPeerFailsWithoutASignal)
{
    ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    close(fds[1]);
    out_buf buf{};
    const uint8_t bytes[] = {0xD0, 0x00};
    ASSERT_EQ(out_buf_append(&buf, bytes, sizeof bytes), 0);
    EXPECT_EQ(out_buf_write(&buf, fds[0]), -1);
    EXPECT_EQ(errno, EPIPE);
    out_buf_free(&buf);
    close(fds[0]);
}

} // namespace
