// Bounds on what a WebSocket frame may make the server allocate. Array new
// is replaced in this test binary so that every size asked for is seen.
#include <atomic>
#include <cstdlib>
#include <new>

#include "tcp/tcp_internal.h"
#include "tcp_harness.h"

namespace {

std::atomic<size_t> largest_array{0};

void note(size_t size)
{
    size_t seen = largest_array.load();
    while (size > seen && !largest_array.compare_exchange_weak(seen, size)) {
    }
}

} // namespace

void* operator new[](std::size_t size)
{
    note(size);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    note(size);
    return std::malloc(size ? size : 1);
}

void operator delete[](void* p) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}

using namespace tcptest;

namespace {

class WsLimits : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        start_server();
    }
};

TEST_F(WsLimits, FrameAnnouncing2GiBIsClosedAtItsHeaderWithoutAllocating)
{
    Client c;
    connect_ws(c);
    largest_array.store(0);
    c.send_bytes(ws_frame(OP_BINARY, {}, true, 1ull << 31));
    expect_closed(c);
    EXPECT_LE(largest_array.load(), size_t{tcp::TCP_BUF_SIZE});

    // Unmasked, with every bit of the low word set.
    Client d;
    connect_ws(d);
    d.send_bytes(ws_frame(OP_BINARY, {}, false, 0xFFFFFFFFull));
    expect_closed(d);
    EXPECT_LE(largest_array.load(), size_t{tcp::TCP_BUF_SIZE});
}

// 2^32 + 2 is no 2-byte frame: the high word counts against the bound.
TEST_F(WsLimits, LengthWithHighWordSetIsRefused)
{
    Client c;
    connect_ws(c);
    c.send_bytes(ws_frame(OP_BINARY, PINGREQ, true, (1ull << 32) | PINGREQ.size()));
    expect_closed(c);
}

TEST_F(WsLimits, PayloadBoundIs65536Bytes)
{
    Client c;
    connect_ws(c);
    c.send_bytes(ws_frame(OP_PING, Bytes(65536, 0x5A)));
    EXPECT_EQ(hex(c.recv_exact(2)), hex({0x8A, 0x00}));
    c.send_bytes(ws_frame(OP_BINARY, PINGREQ));
    expect_delivery(c, PINGREQ);

    largest_array.store(0);
    c.send_bytes(ws_frame(OP_PING, {}, true, 65537));
    expect_closed(c);
    EXPECT_LE(largest_array.load(), size_t{tcp::TCP_BUF_SIZE});
}

} // namespace
