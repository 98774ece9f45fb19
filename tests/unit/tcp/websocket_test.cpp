// MQTT over WebSocket through the real TCP thread: the upgrade request, the
// 101 answer, frames in and out, and the pending MQTT bytes of a
// connection.
#include "tcp/tcp_internal.h"
#include "tcp_harness.h"

using namespace tcptest;

namespace {

class WsTest : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        start_server();
    }

    // Sends a request and expects the connection to be closed with nothing
    // sent back, and the broker told.
    void expect_rejected(const std::string& request)
    {
        Client c;
        ASSERT_TRUE(c.connect_to(ws_port));
        c.send_bytes(raw(request));
        Bytes answer;
        EXPECT_TRUE(c.wait_closed(&answer));
        EXPECT_EQ(as_text(answer), "");
        expect_close_notice(c.addr);
    }

    void expect_accepted(const std::string& request, const std::string& accept = RFC_ACCEPT)
    {
        Client c;
        ASSERT_TRUE(c.connect_to(ws_port));
        c.send_bytes(raw(request));
        std::string expected = ws_response(accept);
        EXPECT_EQ(as_text(c.recv_exact(expected.size())), expected);
        // The connection now speaks frames.
        c.send_bytes(ws_frame(OP_PING, {}));
        EXPECT_EQ(hex(c.recv_exact(2)), hex({0x8A, 0x00}));
        sockaddr_in addr = c.addr;
        c.close_now();
        expect_close_notice(addr);
    }
};

using WsHandshake = WsTest;
using WsFrames = WsTest;
using WsMqttBytes = WsTest;

std::string replace(std::string text, const std::string& from, const std::string& to)
{
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

TEST(WsHandshakeEncode, RfcExampleKeyGivesTheRfcAcceptValue)
{
    char accept[29];
    tcp::ws_handshake_encode(RFC_KEY.c_str(), accept);
    EXPECT_STREQ(accept, RFC_ACCEPT.c_str());
    tcp::ws_handshake_encode("x3JJHMbDL1EzLkh9GBhXDw==", accept);
    EXPECT_STREQ(accept, "HSmrc0sMlYUkAGmm5OPpG2HaGWk=");
}

TEST_F(WsHandshake, RfcExampleRequestGetsTheExact101Response)
{
    Client c;
    ASSERT_TRUE(c.connect_to(ws_port));
    c.send_bytes(raw(ws_request()));
    std::string expected = "HTTP/1.1 101 Switching Protocols\r\n"
                           "Upgrade: websocket\r\n"
                           "Connection: Upgrade\r\n"
                           "Sec-WebSocket-Protocol: mqttv3.1\r\n"
                           "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";
    EXPECT_EQ(as_text(c.recv_exact(expected.size())), expected);
}

TEST_F(WsHandshake, AcceptanceFollowsTheHeaderRules)
{
    const std::string good = ws_headers();
    struct Case {
        const char* what;
        std::string headers;
        bool accepted;
    };
    const Case cases[] = {
        {"as browsers send it", good, true},
        {"keep-alive listed before Upgrade", replace(good, "Connection: Upgrade", "Connection: keep-alive, Upgrade"),
         true},
        {"Connection in lower case", replace(good, "Connection: Upgrade", "Connection: upgrade"), false},
        {"Upgrade capitalised", replace(good, "Upgrade: websocket", "Upgrade: Websocket"), true},
        {"Upgrade with capital W and S", replace(good, "Upgrade: websocket", "Upgrade: WebSocket"), false},
        {"version 8", replace(good, "Sec-WebSocket-Version: 13", "Sec-WebSocket-Version: 8"), false},
        {"sub-protocol mqtt", replace(good, "Sec-WebSocket-Protocol: mqttv3.1", "Sec-WebSocket-Protocol: mqtt"), false},
        {"two sub-protocols offered",
         replace(good, "Sec-WebSocket-Protocol: mqttv3.1", "Sec-WebSocket-Protocol: mqttv3.1, mqtt"), false},
        {"no key", replace(good, "Sec-WebSocket-Key: " + RFC_KEY + "\r\n", ""), false},
        {"no sub-protocol", replace(good, "Sec-WebSocket-Protocol: mqttv3.1\r\n", ""), false},
        {"header name in other case", replace(good, "Sec-WebSocket-Version:", "sec-websocket-version:"), false},
        {"no blank after the colon", replace(good, "Upgrade: websocket", "Upgrade:websocket"), true},
        {"a later repeat overrides", good + "Sec-WebSocket-Version: 7\r\n", false},
        {"a later repeat repairs", replace(good, "Sec-WebSocket-Version: 13", "Sec-WebSocket-Version: 8") +
                                       "Sec-WebSocket-Version: 13\r\n",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.accepted)
            expect_accepted(ws_request(c.headers));
        else
            expect_rejected(ws_request(c.headers));
    }
}

// Lines may end in bare line feeds, but only "\r\n\r\n" ends the request.
TEST_F(WsHandshake, BareLineFeedsSplitLinesButDoNotEndTheRequest)
{
    std::string lf_only;
    for (char ch : ws_request())
        if (ch != '\r')
            lf_only += ch;
    Client waiting;
    ASSERT_TRUE(waiting.connect_to(ws_port));
    waiting.send_bytes(raw(lf_only));
    barrier();
    expect_quiet();
    waiting.send_bytes(raw("\r\n\r\n"));
    EXPECT_EQ(as_text(waiting.recv_exact(ws_response(RFC_ACCEPT).size())), ws_response(RFC_ACCEPT));
}

TEST_F(WsHandshake, KeyIsUsedAsSent)
{
    expect_accepted(ws_request(ws_headers("x3JJHMbDL1EzLkh9GBhXDw==")), "HSmrc0sMlYUkAGmm5OPpG2HaGWk=");
    // Values are cut to 64 characters.
    expect_accepted(ws_request(ws_headers(std::string(70, 'A'))), "CNVCgqrOv9cq/hZteEmJXitx+cU=");
}

TEST_F(WsHandshake, RequestInSeveralSegmentsIsAnsweredOnceAfterTheLast)
{
    Client c;
    ASSERT_TRUE(c.connect_to(ws_port));
    std::string request = ws_request();
    size_t blank = request.size() - 4;
    c.send_bytes(raw(request.substr(0, 20)));
    barrier();
    c.send_bytes(raw(request.substr(20, blank + 2 - 20)));
    barrier();
    expect_quiet();
    c.send_bytes(raw(request.substr(blank + 2)));
    std::string expected = ws_response(RFC_ACCEPT);
    EXPECT_EQ(as_text(c.recv_exact(expected.size())), expected);
    // Nothing was sent before or after the one answer: the next bytes are
    // the pong.
    c.send_bytes(ws_frame(OP_PING, {}));
    EXPECT_EQ(hex(c.recv_exact(2)), hex({0x8A, 0x00}));
}

TEST_F(WsHandshake, RequestWithoutBlankLineWithin32768BytesIsClosed)
{
    Client c;
    ASSERT_TRUE(c.connect_to(ws_port));
    std::string request = "GET / HTTP/1.1\r\n";
    while (request.size() < 32768)
        request += "X-Filler: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n";
    request.resize(32768);
    c.send_bytes(raw(request));
    barrier();
    expect_quiet();
    c.send_bytes(raw("\r"));
    expect_closed(c);
}

TEST_F(WsHandshake, FramesRightBehindTheRequestAreParsed)
{
    Client c;
    ASSERT_TRUE(c.connect_to(ws_port));
    c.send_bytes(raw(ws_request()) + ws_frame(OP_BINARY, PINGREQ) + ws_frame(OP_PING, {}));
    std::string expected = ws_response(RFC_ACCEPT);
    EXPECT_EQ(as_text(c.recv_exact(expected.size())), expected);
    EXPECT_EQ(hex(c.recv_exact(2)), hex({0x8A, 0x00}));
    expect_delivery(c, PINGREQ);

    // Part of a frame behind the request is kept for the next receive.
    Client d;
    ASSERT_TRUE(d.connect_to(ws_port));
    Bytes frame = ws_frame(OP_BINARY, PINGREQ);
    d.send_bytes(raw(ws_request()) + Bytes(frame.begin(), frame.begin() + 3));
    EXPECT_EQ(as_text(d.recv_exact(expected.size())), expected);
    d.send_bytes(Bytes(frame.begin() + 3, frame.end()));
    expect_delivery(d, PINGREQ);
}

TEST_F(WsHandshake, ClientStillServedAfterMalformedRequests)
{
    expect_rejected("\r\n\r\n");
    const char odd[] = "GET / HTTP/1.1\r\n: \r\n:x\r\nUpgrade\r\n\0\0\0\r\n\r\n";
    expect_rejected(std::string(odd, sizeof odd - 1));
    // A header name past 64 characters is not a header at all.
    expect_rejected(ws_request(std::string(200, 'U') + ": websocket\r\n" +
                               replace(ws_headers(), "Upgrade: websocket\r\n", "")));
    Client c;
    connect_ws(c);
    c.send_bytes(ws_frame(OP_BINARY, PINGREQ));
    expect_delivery(c, PINGREQ);
}

TEST_F(WsFrames, FrameInThreeSegmentsIsOneDelivery)
{
    Client c;
    connect_ws(c);
    Bytes publish = publish_of_size(200);
    Bytes frame = ws_frame(OP_BINARY, publish);
    ASSERT_EQ(frame.size(), 4u + 4u + 200u);
    c.send_bytes(Bytes(frame.begin(), frame.begin() + 1));
    barrier();
    c.send_bytes(Bytes(frame.begin() + 1, frame.begin() + 8));
    barrier();
    expect_quiet();
    c.send_bytes(Bytes(frame.begin() + 8, frame.end()));
    expect_delivery(c, publish);
}

TEST_F(WsFrames, PayloadInSeveralSegmentsIsOneDelivery)
{
    Client c;
    connect_ws(c);
    Bytes publish = publish_of_size(3000);
    Bytes frame = ws_frame(OP_BINARY, publish);
    for (size_t at = 0; at < frame.size(); at += 1000) {
        c.send_bytes(Bytes(frame.begin() + at, frame.begin() + std::min(frame.size(), at + 1000)));
        if (at + 1000 < frame.size())
            barrier();
    }
    expect_delivery(c, publish);
}

TEST_F(WsFrames, TwoFramesInOneSegmentAreTwoDeliveriesInOrder)
{
    Client c;
    connect_ws(c);
    Bytes first = mqtt_packet(0x30, {0, 1, 'a', '1'});
    Bytes second = mqtt_packet(0x30, {0, 1, 'b', '2'});
    c.send_bytes(ws_frame(OP_BINARY, first) + ws_frame(OP_BINARY, second));
    expect_delivery(c, first);
    expect_delivery(c, second);
}

TEST_F(WsFrames, FrameCompletingAPendingPayloadIsFollowedByTheNext)
{
    Client c;
    connect_ws(c);
    Bytes first = publish_of_size(300);
    Bytes second = mqtt_packet(0x30, {0, 1, 'b', '2'});
    Bytes bytes = ws_frame(OP_BINARY, first) + ws_frame(OP_BINARY, second) + ws_frame(OP_PING, {});
    c.send_bytes(Bytes(bytes.begin(), bytes.begin() + 100));
    barrier();
    c.send_bytes(Bytes(bytes.begin() + 100, bytes.end()));
    expect_delivery(c, first);
    expect_delivery(c, second);
    EXPECT_EQ(hex(c.recv_exact(2)), hex({0x8A, 0x00}));
}

TEST_F(WsFrames, Masked200ByteFrameIsDeliveredUnmasked)
{
    Client c;
    connect_ws(c);
    Bytes publish = publish_of_size(200);
    Bytes frame = ws_frame(OP_BINARY, publish);
    EXPECT_EQ(frame[1], 0x80 | 126);
    c.send_bytes(frame);
    expect_delivery(c, publish);
}

TEST_F(WsFrames, UnmaskedFrameIsTakenAsItIs)
{
    Client c;
    connect_ws(c);
    Bytes publish = publish_of_size(130);
    c.send_bytes(ws_frame(OP_BINARY, publish, false));
    expect_delivery(c, publish);
}

TEST_F(WsFrames, PingGetsAnEmptyPongAndPongIsIgnored)
{
    Client c;
    connect_ws(c);
    c.send_bytes(ws_frame(OP_PING, raw("are you there")));
    EXPECT_EQ(hex(c.recv_exact(2)), hex({0x8A, 0x00}));
    c.send_bytes(ws_frame(OP_PONG, raw("unsolicited")) + ws_frame(OP_PONG, {}));
    barrier();
    expect_quiet();
    // Nothing was sent for the pongs: the next bytes answer this ping.
    c.send_bytes(ws_frame(OP_PING, {}));
    EXPECT_EQ(hex(c.recv_exact(2)), hex({0x8A, 0x00}));
    c.send_bytes(ws_frame(OP_BINARY, PINGREQ));
    expect_delivery(c, PINGREQ);
}

TEST_F(WsFrames, EmptyFramesLeaveNoStateBehind)
{
    Client c;
    connect_ws(c);
    c.send_bytes(ws_frame(OP_PONG, {}) + ws_frame(OP_BINARY, {}) + ws_frame(OP_BINARY, PINGREQ));
    expect_delivery(c, PINGREQ);
    barrier();
    expect_quiet();
}

TEST_F(WsFrames, CloseTextContinuationAndReservedFramesCloseTheConnection)
{
    const uint8_t opcodes[] = {OP_CLOSE, OP_TEXT, OP_CONTINUATION, 0x3, 0x7, 0xB, 0xF};
    for (uint8_t opcode : opcodes) {
        SCOPED_TRACE("opcode " + std::to_string(opcode));
        Client c;
        connect_ws(c);
        c.send_bytes(ws_frame(opcode, raw("\x03\xe8")));
        expect_closed(c);
    }
    // The same when the frame's payload completes in a later segment.
    Client c;
    connect_ws(c);
    Bytes text = ws_frame(OP_TEXT, raw("hello world"));
    c.send_bytes(Bytes(text.begin(), text.begin() + 8));
    barrier();
    c.send_bytes(Bytes(text.begin() + 8, text.end()));
    expect_closed(c);
    std::string log = log_text();
    EXPECT_NE(log.find("ws_frame_parse_loop: connection has been closed"), std::string::npos) << log;
    EXPECT_NE(log.find("ws_frame_handle: connection has been closed"), std::string::npos) << log;
}

TEST_F(WsFrames, BrokerPacketsGoOutAsBinaryFramesWithTheShortestHeader)
{
    Client c;
    connect_ws(c);
    c.send_bytes(ws_frame(OP_BINARY, PINGREQ));
    expect_delivery(c, PINGREQ);

    struct Case {
        uint32_t size;
        Bytes header;
    };
    const Case cases[] = {
        {2, {0x82, 2}},
        {125, {0x82, 125}},
        {126, {0x82, 126, 0x00, 126}},
        {65535, {0x82, 126, 0xFF, 0xFF}},
        {65536, {0x82, 127, 0, 0, 0, 0, 0, 1, 0, 0}},
        {200000, {0x82, 127, 0, 0, 0, 0, 0, 0x03, 0x0D, 0x40}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE("packet of " + std::to_string(k.size));
        Bytes packet = publish_of_size(k.size);
        broker_send(c.addr, packet);
        WsFrame frame = read_ws_frame(c);
        EXPECT_EQ(hex(frame.header), hex(k.header));
        EXPECT_TRUE(frame.payload == packet);
    }
}

TEST_F(WsMqttBytes, PacketSplitOverTwoFramesIsOneDelivery)
{
    Client c;
    connect_ws(c);
    Bytes publish = publish_of_size(500);
    c.send_bytes(ws_frame(OP_BINARY, Bytes(publish.begin(), publish.begin() + 1)));
    barrier();
    expect_quiet();
    c.send_bytes(ws_frame(OP_BINARY, Bytes(publish.begin() + 1, publish.end())));
    expect_delivery(c, publish);

    // Whole packets wait for a started one and go with it, as on plain TCP.
    Bytes second = mqtt_packet(0x30, {0, 1, 'q', 'r'});
    c.send_bytes(ws_frame(OP_BINARY, PINGREQ + Bytes(second.begin(), second.begin() + 3)));
    barrier();
    expect_quiet();
    c.send_bytes(ws_frame(OP_PING, {}) + ws_frame(OP_BINARY, Bytes(second.begin() + 3, second.end())));
    EXPECT_EQ(hex(c.recv_exact(2)), hex({0x8A, 0x00}));
    expect_delivery(c, PINGREQ + second);
}

TEST_F(WsMqttBytes, PendingBytesAreKeptUpTo65536AndOneMoreCloses)
{
    Client c;
    connect_ws(c);
    // A PUBLISH announcing a 70000-byte body, never complete within the bound.
    const Bytes start{0x30, 0xF0, 0xA2, 0x04};
    c.send_bytes(ws_frame(OP_BINARY, start + Bytes(60000 - start.size(), 0x11)));
    c.send_bytes(ws_frame(OP_BINARY, Bytes(5536, 0x22)));
    barrier();
    expect_quiet();
    c.send_bytes(ws_frame(OP_BINARY, {0x33}));
    expect_closed(c);
}

TEST_F(WsMqttBytes, RemainingLengthPastFourBytesCloses)
{
    Client c;
    connect_ws(c);
    c.send_bytes(ws_frame(OP_BINARY, {0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}));
    expect_closed(c);
}

TEST_F(WsMqttBytes, PacketOfExactly32768BytesInOneFrameIsDelivered)
{
    Client c;
    connect_ws(c);
    Bytes big = publish_of_size(32768);
    c.send_bytes(ws_frame(OP_BINARY, big));
    expect_delivery(c, big);
}

TEST_F(WsMqttBytes, BrokerCloseOrderAndPeerCloseGiveOneNoticeEach)
{
    Client a, b;
    connect_ws(a);
    connect_ws(b);
    // Pending bytes of a half packet go with the connection.
    a.send_bytes(ws_frame(OP_BINARY, {0x30}));
    barrier();
    msg_mqtt_tcp_add_close_conn(&a.addr);
    expect_closed(a);
    sockaddr_in b_addr = b.addr;
    b.close_now();
    expect_close_notice(b_addr);
    barrier();
    expect_quiet();
}

} // namespace
