// The TCP server with plain MQTT clients: framing of deliveries, closes and
// close notices, the broker's outgoing bytes, and starting the thread.
#include "codec/mqtt.h"
#include "tcp/tcp_internal.h"
#include "tcp_harness.h"

using namespace tcptest;

namespace {

using TcpTest = ServerTest;

TEST_F(TcpTest, PacketsAreDeliveredOnceWholeWhateverTheSegments)
{
    Client a;
    connect_plain(a);
    a.send_bytes({0xC0});
    barrier();
    a.send_bytes({0x00});
    expect_packets(a.addr, PINGREQ);

    Bytes publish = mqtt_packet(0x30, {0, 1, 't', 'v', 'a', 'l'});
    a.send_bytes(publish + PINGREQ);
    expect_packets(a.addr, publish + PINGREQ);

    // A whole packet waits for the one started behind it.
    a.send_bytes(PINGREQ + slice(publish, 0, 1));
    barrier();
    a.send_bytes(slice(publish, 1));
    expect_packets(a.addr, PINGREQ + publish);
    barrier();
}

TEST_F(TcpTest, PendingBytesAreKeptUpTo32768AndOneMoreCloses)
{
    Client a;
    connect_plain(a);
    // A PUBLISH announcing a 40000-byte body: never whole within the bound.
    const Bytes start{0x30, 0xC0, 0xB8, 0x02};
    a.send_bytes(start + Bytes(32768 - start.size(), 0x55));
    barrier();
    a.send_bytes({0x55});
    expect_closed(a);
}

TEST_F(TcpTest, RemainingLengthPastFourBytesCloses)
{
    Client a;
    connect_plain(a);
    a.send_bytes({0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F});
    expect_closed(a);
}

TEST_F(TcpTest, StreamWithoutAPauseOnAPacketBoundaryIsDeliveredWhole)
{
    Client a;
    connect_plain(a);
    // 100-byte packets in one send: reads rarely end on a packet boundary,
    // yet no packet is over the bound, so every byte must arrive in order.
    Bytes stream;
    while (stream.size() < 40000)
        stream = stream + mqtt_packet(0x30, Bytes(98, static_cast<uint8_t>(stream.size() / 100)));
    a.send_bytes(stream);
    Bytes received;
    while (received.size() < stream.size()) {
        auto d = next_delivery();
        ASSERT_TRUE(d.has_value() && !d->close) << "stopped after " << received.size() << " bytes";
        EXPECT_EQ(mqtt_packets_buffer_check(d->bytes.data(), static_cast<uint32_t>(d->bytes.size())), 0);
        received = received + d->bytes;
    }
    EXPECT_TRUE(received == stream);
}

TEST_F(TcpTest, PeerCloseGivesExactlyOneCloseNotice)
{
    Client a;
    connect_plain(a);
    a.close_now();
    expect_close_notice(a.addr);
    barrier();
}

TEST_F(TcpTest, BrokerCloseOrderClosesAndIsAnsweredWithOneCloseNotice)
{
    Client a;
    connect_plain(a);
    msg_mqtt_tcp_add_close_conn(&a.addr);
    expect_closed(a);
    barrier();
}

TEST_F(TcpTest, BrokerMessageForAnUnknownAddressGivesACloseNoticeForIt)
{
    sockaddr_in stranger = loopback(1);
    broker_send(stranger, PINGREQ);
    expect_close_notice(stranger);
}

TEST_F(TcpTest, BrokerPacketsReachTheClientByteExact)
{
    Client a;
    connect_plain(a);
    Bytes big = mqtt_packet(0x30, Bytes(100000, 0x42));
    Bytes expected = Bytes{0xD0, 0x00} + big + PINGREQ;
    broker_send(a.addr, {0xD0, 0x00});
    broker_send(a.addr, big);
    broker_send(a.addr, PINGREQ);
    EXPECT_TRUE(a.recv_bytes(expected.size()) == expected);
}

TEST_F(TcpTest, StopClosesConnectionsWithoutCloseNotices)
{
    Client a;
    connect_plain(a);
    thread_tcp_stop();
    EXPECT_TRUE(a.closed_silently());
    EXPECT_FALSE(next_delivery(false).has_value());
}

TEST_F(TcpTest, PortZeroOpensNoListenerButIsLogged)
{
    thread_tcp_stop();
    ASSERT_EQ(start(0, 0), 0);
    EXPECT_EQ(tcp::servs[0].sock, -1);
    EXPECT_EQ(tcp::servs[1].sock, -1);
    std::string log = log_text();
    EXPECT_NE(log.find("MQTT: lo: 0.0.0.0:0\n"), std::string::npos) << log;
    EXPECT_NE(log.find("WS:   lo: 0.0.0.0:0\n"), std::string::npos) << log;
}

TEST_F(TcpTest, PortInUseFailsTheStart)
{
    thread_tcp_stop();
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&addr), len), 0);
    listen(taken, 1);
    getsockname(taken, reinterpret_cast<sockaddr*>(&addr), &len);
    EXPECT_EQ(start(free_port(), ntohs(addr.sin_port)), -1);
    close(taken);
    EXPECT_NE(log_text().find("Socket Error on line "), std::string::npos);
}

} // namespace
