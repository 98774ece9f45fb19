// MQTT over WebSocket: the upgrade request and its answer, frames in and
// out, the pending MQTT bytes of a connection, and what a frame may make the
// server allocate. Array new is replaced in this binary so that the largest
// size asked for is seen.
#include <atomic>
#include <cstdlib>
#include <new>

#include "tcp/tcp_internal.h"
#include "tcp_harness.h"

static std::atomic<size_t> largest_array{0};

static void* note(size_t size)
{
    for (size_t seen = largest_array.load(); size > seen && !largest_array.compare_exchange_weak(seen, size);) {
    }
    return std::malloc(size ? size : 1);
}

void* operator new[](std::size_t size)
{
    if (void* p = note(size))
        return p;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return note(size);
}

void operator delete[](void* p) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

using namespace tcptest;

namespace {

using WsTest = ServerTest;

TEST(WsHandshakeEncode, RfcExampleKeyGivesTheRfcAcceptValue)
{
    char accept[29];
    tcp::ws_handshake_encode("dGhlIHNhbXBsZSBub25jZQ==", accept);
    EXPECT_STREQ(accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WsHandshakeParse, UpgradeRequestsAreAcceptedByTheirHeaders)
{
    struct Case {
        const char *connection, *upgrade, *version, *protocol, *key;
        int accepted;
    };
    const char* key = "dGhlIHNhbXBsZSBub25jZQ==";
    const Case cases[] = {
        {"Upgrade", "websocket", "13", "mqttv3.1", key, 1},
        {"keep-alive, Upgrade", "websocket", "13", "mqttv3.1", key, 1},
        {"upgrade", "websocket", "13", "mqttv3.1", key, 0},
        {"Upgrade", "Websocket", "13", "mqttv3.1", key, 1},
        {"Upgrade", "WebSocket", "13", "mqttv3.1", key, 0},
        {"Upgrade", "websocket", "8", "mqttv3.1", key, 0},
        {"Upgrade", "websocket", "13", "mqtt", key, 0},
        {"Upgrade", "websocket", "13", "mqttv3.1, mqtt", key, 0},
        {"Upgrade", "websocket", "13", "mqttv3.1", nullptr, 0},
    };
    for (const Case& c : cases) {
        std::string text = std::string("GET /mqtt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: ") + c.connection +
                           "\r\nUpgrade: " + c.upgrade + "\r\nSec-WebSocket-Version: " + c.version +
                           "\r\nSec-WebSocket-Protocol: " + c.protocol + "\r\n";
        if (c.key)
            text += std::string("Sec-WebSocket-Key: ") + c.key + "\r\n";
        SCOPED_TRACE(text);
        char got[65] = "";
        EXPECT_EQ(tcp::http_header_parse(text.data(), got), c.accepted);
        EXPECT_STREQ(got, c.accepted ? key : "");
    }
}

TEST_F(WsTest, RejectedRequestIsClosedWithoutAnAnswer)
{
    Client c;
    ASSERT_TRUE(c.connect_to(ws_port));
    c.send_bytes(raw(ws_request("8")));
    expect_closed(c);
}

TEST_F(WsTest, RequestInSeveralSegmentsIsAnsweredOnceAfterTheLast)
{
    Client c;
    ASSERT_TRUE(c.connect_to(ws_port));
    Bytes request = raw(ws_request());
    c.send_bytes(slice(request, 0, 20));
    barrier();
    // The blank line straddles the last two segments.
    c.send_bytes(slice(request, 20, request.size() - 2));
    barrier();
    c.send_bytes(slice(request, request.size() - 2));
    EXPECT_EQ(c.recv_bytes(WS_RESPONSE.size()), raw(WS_RESPONSE));
    // Nothing else was sent: the next bytes are the pong.
    c.send_bytes(ws_frame(OP_PING, {}));
    EXPECT_EQ(c.recv_bytes(2), (Bytes{0x8A, 0x00}));
}

TEST_F(WsTest, MaskedFrameInThreeSegmentsIsOneUnmaskedDelivery)
{
    Client c;
    connect_ws(c);
    Bytes packet = mqtt_packet(0x30, Bytes(197, 'p'));
    Bytes frame = ws_frame(OP_BINARY, packet);
    ASSERT_EQ(packet.size(), 200u);
    c.send_bytes(slice(frame, 0, 1));
    barrier();
    c.send_bytes(slice(frame, 1, 8)); // the rest of the header
    barrier();
    c.send_bytes(slice(frame, 8));
    expect_packets(c.addr, packet);
}

// Frames in one segment are handled in order: a pong is ignored, a ping
// gets an empty pong, each binary frame is one delivery.
TEST_F(WsTest, FramesInOneSegmentAreHandledInOrder)
{
    Client c;
    connect_ws(c);
    Bytes publish = mqtt_packet(0x30, {0, 1, 'a', '1'});
    c.send_bytes(ws_frame(OP_PONG, raw("unsolicited")) + ws_frame(OP_PING, raw("are you there")) +
                 ws_frame(OP_BINARY, publish) + ws_frame(OP_BINARY, PINGREQ));
    EXPECT_EQ(c.recv_bytes(2), (Bytes{0x8A, 0x00}));
    expect_packets(c.addr, publish);
    expect_packets(c.addr, PINGREQ);
    barrier();
}

TEST_F(WsTest, CloseAndTextFramesCloseTheConnection)
{
    for (uint8_t opcode : {OP_CLOSE, OP_TEXT}) {
        Client c;
        connect_ws(c);
        c.send_bytes(ws_frame(opcode, raw("\x03\xe8")));
        expect_closed(c);
    }
}

TEST_F(WsTest, BrokerPacketsGoOutAsBinaryFramesWithTheShortestHeader)
{
    Client c;
    connect_ws(c);
    const std::pair<uint32_t, Bytes> cases[] = {
        {125, {0x82, 125}}, {126, {0x82, 126, 0, 126}}, {65536, {0x82, 127, 0, 0, 0, 0, 0, 1, 0, 0}}};
    for (const auto& [size, header] : cases) {
        Bytes packet(size, static_cast<uint8_t>(size));
        broker_send(c.addr, packet);
        EXPECT_TRUE(c.recv_bytes(header.size() + size) == header + packet) << size;
    }
}

TEST_F(WsTest, PacketSplitOverTwoFramesIsOneDelivery)
{
    Client c;
    connect_ws(c);
    Bytes packet = mqtt_packet(0x30, Bytes(497, 'q'));
    c.send_bytes(ws_frame(OP_BINARY, slice(packet, 0, 1)));
    barrier();
    c.send_bytes(ws_frame(OP_BINARY, slice(packet, 1)));
    expect_packets(c.addr, packet);
}

TEST_F(WsTest, PendingBytesAreKeptUpTo65536AndOneMoreCloses)
{
    Client c;
    connect_ws(c);
    // A PUBLISH announcing a 70000-byte body: never whole within the bound.
    const Bytes start{0x30, 0xF0, 0xA2, 0x04};
    c.send_bytes(ws_frame(OP_BINARY, start + Bytes(65536 - start.size(), 0x11)));
    barrier();
    c.send_bytes(ws_frame(OP_BINARY, {0x33}));
    expect_closed(c);
}

TEST_F(WsTest, RemainingLengthPastFourBytesCloses)
{
    Client c;
    connect_ws(c);
    c.send_bytes(ws_frame(OP_BINARY, {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}));
    expect_closed(c);
}

// A larger frame is refused at its header, before anything is allocated.
TEST_F(WsTest, PayloadBoundIs65536Bytes)
{
    Client c, d, e;
    connect_ws(c);
    connect_ws(d);
    connect_ws(e);
    c.send_bytes(ws_frame(OP_PING, Bytes(65536, 0x5A)));
    EXPECT_EQ(c.recv_bytes(2), (Bytes{0x8A, 0x00}));
    largest_array.store(0);
    c.send_bytes(ws_frame(OP_PING, {}, 65537));
    expect_closed(c);
    d.send_bytes(ws_frame(OP_BINARY, {}, 1ull << 31));
    expect_closed(d);
    // 2^32 + 2 is no 2-byte frame: the high word counts against the bound.
    e.send_bytes(ws_frame(OP_BINARY, {0xC0, 0x00}, (1ull << 32) | 2));
    expect_closed(e);
    EXPECT_LE(largest_array.load(), size_t{tcp::TCP_BUF_SIZE});
}

} // namespace
