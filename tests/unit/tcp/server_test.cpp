// The TCP server with plain MQTT clients: framing of deliveries, closes and
// close notices, the broker's outgoing messages, and the thread's life.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>

#include "mqtt.h"
#include "tcp/tcp_internal.h"
#include "tcp_harness.h"

using namespace tcptest;

namespace {

class TcpFraming : public ServerTest {
protected:
    void SetUp() override
    {
        ServerTest::SetUp();
        start_server();
    }
};

using TcpConnections = TcpFraming;
using TcpLifecycle = ServerTest;

// PUBLISH announcing a 40000-byte body: never complete within the bound.
const Bytes LONG_PUBLISH_START{0x30, 0xC0, 0xB8, 0x02};

TEST_F(TcpFraming, PacketInTwoSegmentsIsOneDeliveryAfterTheSecond)
{
    Client a;
    connect_plain(a);
    a.send_bytes({0xC0});
    barrier();
    a.send_bytes({0x00});
    expect_delivery(a, PINGREQ);
    barrier();
    expect_quiet();
}

TEST_F(TcpFraming, TwoPacketsInOneSegmentAreOneDelivery)
{
    Client a;
    connect_plain(a);
    Bytes publish = mqtt_packet(0x30, {0, 3, 'a', '/', 'b', 'x', 'y'});
    a.send_bytes(publish + PINGREQ);
    expect_delivery(a, publish + PINGREQ);
}

TEST_F(TcpFraming, WholePacketWaitsForTheStartedOneAndGoesWithIt)
{
    Client a;
    connect_plain(a);
    Bytes publish = mqtt_packet(0x30, {0, 1, 't', 'v', 'a', 'l'});
    a.send_bytes(PINGREQ + Bytes{publish[0]});
    barrier();
    a.send_bytes(Bytes(publish.begin() + 1, publish.end()));
    expect_delivery(a, PINGREQ + publish);
}

TEST_F(TcpFraming, PacketOfExactly32768BytesIsDelivered)
{
    Client a;
    connect_plain(a);
    Bytes big = publish_of_size(32768);
    a.send_bytes(big);
    expect_delivery(a, big);
}

TEST_F(TcpFraming, PendingBytesAreKeptUpTo32768AndOneMoreCloses)
{
    Client a;
    connect_plain(a);
    a.send_bytes(LONG_PUBLISH_START + Bytes(32768 - LONG_PUBLISH_START.size(), 0x55));
    barrier();
    expect_quiet();

    a.send_bytes({0x55});
    expect_close_notice(a.addr);
    EXPECT_TRUE(a.wait_closed());
}

TEST_F(TcpFraming, RemainingLengthPastFourBytesCloses)
{
    Client a;
    connect_plain(a);
    a.send_bytes({0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F});
    expect_close_notice(a.addr);
    EXPECT_TRUE(a.wait_closed());
}

TEST_F(TcpFraming, StreamWithoutAPauseOnAPacketBoundaryIsDeliveredWhole)
{
    Client a;
    connect_plain(a);
    // 40000 bytes of 100-byte packets in one send, cut so that no read is
    // likely to end between two packets: no packet is over the bound, so
    // every byte must reach the broker, in order.
    Bytes stream;
    Bytes one = publish_of_size(100);
    while (stream.size() < 40000)
        stream = stream + one;
    a.send_bytes(stream);
    Bytes received;
    while (received.size() < stream.size()) {
        auto d = next_delivery();
        ASSERT_TRUE(d.has_value());
        ASSERT_FALSE(d->close) << "closed after " << received.size() << " bytes";
        EXPECT_EQ(mqtt_packets_buffer_check(d->bytes.data(), static_cast<uint32_t>(d->bytes.size())), 0);
        received = received + d->bytes;
    }
    EXPECT_EQ(received, stream);
}

TEST_F(TcpFraming, EachConnectionCollectsOnItsOwn)
{
    Client a, b;
    connect_plain(a);
    connect_plain(b);
    Bytes pa = mqtt_packet(0x30, {0, 1, 'a', '1'});
    Bytes pb = mqtt_packet(0x30, {0, 1, 'b', '2', '3'});
    a.send_bytes({pa[0], pa[1]});
    b.send_bytes({pb[0]});
    barrier();
    b.send_bytes(Bytes(pb.begin() + 1, pb.end()));
    expect_delivery(b, pb);
    a.send_bytes(Bytes(pa.begin() + 2, pa.end()));
    expect_delivery(a, pa);
    EXPECT_FALSE(same_addr(a.addr, b.addr));
}

TEST_F(TcpConnections, PeerCloseGivesExactlyOneCloseNotice)
{
    Client a;
    connect_plain(a);
    sockaddr_in addr = a.addr;
    a.close_now();
    expect_close_notice(addr);
    barrier();
    expect_quiet();
}

TEST_F(TcpConnections, PeerResetGivesExactlyOneCloseNotice)
{
    Client a;
    connect_plain(a);
    sockaddr_in addr = a.addr;
    a.reset();
    expect_close_notice(addr);
    barrier();
    expect_quiet();
}

TEST_F(TcpConnections, BrokerCloseOrderClosesAndIsAnsweredWithACloseNotice)
{
    Client a, b;
    connect_plain(a);
    connect_plain(b);
    msg_mqtt_tcp_add_close_conn(&a.addr);
    expect_close_notice(a.addr);
    EXPECT_TRUE(a.wait_closed());
    // The other connection is untouched.
    b.send_bytes(PINGREQ);
    expect_delivery(b, PINGREQ);
    barrier();
    expect_quiet();
}

TEST_F(TcpConnections, BrokerMessageForAnUnknownAddressGivesACloseNoticeForIt)
{
    sockaddr_in stranger = loopback(1);
    broker_send(stranger, PINGREQ);
    expect_close_notice(stranger);
    msg_mqtt_tcp_add_close_conn(&stranger);
    expect_close_notice(stranger);
}

TEST_F(TcpConnections, BrokerPacketsReachTheClientByteExactAndInOrder)
{
    Client a;
    connect_plain(a);
    Bytes first{0xD0, 0x00};
    Bytes big = publish_of_size(100000);
    Bytes last = mqtt_packet(0x30, {0, 1, 'z', '!'});
    broker_send(a.addr, first);
    broker_send(a.addr, big);
    broker_send(a.addr, last);
    Bytes expected = first + big + last;
    Bytes got = a.recv_exact(expected.size());
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

TEST_F(TcpConnections, StopClosesConnectionsWithoutCloseNotices)
{
    Client a, w;
    connect_plain(a);
    ASSERT_TRUE(w.connect_to(ws_port));
    w.send_bytes(raw("GET / HTTP/1.1\r\n"));
    barrier();

    thread_tcp_stop();
    EXPECT_TRUE(a.wait_closed());
    EXPECT_TRUE(w.wait_closed());
    EXPECT_FALSE(port_accepts(mqtt_port));
    EXPECT_FALSE(port_accepts(ws_port));
    expect_quiet();
}

// Pongs are written right after a receive, so they are the sends that can
// meet a connection the peer has just reset. The thread is held inside a
// long send to another client meanwhile, so the reset is in before it
// reads the pings: the first pong then fails with ECONNRESET and the next
// ones with EPIPE, which would raise SIGPIPE.
TEST_F(TcpConnections, SendsToAPeerThatResetDoNotEndTheProcess)
{
    struct sigaction current{};
    sigaction(SIGPIPE, nullptr, &current);
    ASSERT_EQ(current.sa_handler, SIG_DFL) << "SIGPIPE must keep its default action";

    Client slow, ws;
    ASSERT_TRUE(slow.connect_to(mqtt_port, 4096));
    slow.send_bytes(PINGREQ);
    expect_delivery(slow, PINGREQ);
    connect_ws(ws);

    const size_t big = 16 * 1024 * 1024;
    broker_send(slow.addr, Bytes(big, 0x42));
    pollfd p{slow.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 20000), 1) << "the broker's bytes never started";

    Bytes pings;
    for (int i = 0; i < 3; ++i)
        pings = pings + ws_frame(OP_PING, {});
    ws.send_bytes(pings);
    sockaddr_in ws_addr = ws.addr;
    ws.reset();

    EXPECT_EQ(slow.recv_exact(big).size(), big);
    expect_close_notice(ws_addr);

    sigaction(SIGPIPE, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_DFL);
    Client after;
    connect_plain(after);
}

TEST_F(TcpLifecycle, ListeningAddressesAreLogged)
{
    start_server();
    std::string log = log_text();
    EXPECT_NE(log.find("MQTT: lo: 0.0.0.0:" + std::to_string(mqtt_port) + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("WS:   lo: 0.0.0.0:" + std::to_string(ws_port) + "\n"), std::string::npos) << log;
}

TEST_F(TcpLifecycle, PortZeroOpensNoListenerAndIsStillLogged)
{
    int fds = open_fd_count();
    thread_tcp_serv_setup(make_conf(0, 0));
    ASSERT_EQ(thread_tcp_start(), 0);
    EXPECT_EQ(open_fd_count(), fds);
    std::string log = log_text();
    EXPECT_NE(log.find("MQTT: lo: 0.0.0.0:0\n"), std::string::npos) << log;
    EXPECT_NE(log.find("WS:   lo: 0.0.0.0:0\n"), std::string::npos) << log;
    // The thread runs without any listener: it still serves the broker.
    sockaddr_in stranger = loopback(1);
    broker_send(stranger, PINGREQ);
    expect_close_notice(stranger);
    thread_tcp_stop();

    mqtt_port = free_port();
    thread_tcp_serv_setup(make_conf(mqtt_port, 0));
    ASSERT_EQ(thread_tcp_start(), 0);
    EXPECT_EQ(open_fd_count(), fds + 1);
    log = log_text();
    EXPECT_NE(log.find("MQTT: lo: 0.0.0.0:" + std::to_string(mqtt_port) + "\n"), std::string::npos) << log;
    Client a;
    connect_plain(a);
}

TEST_F(TcpLifecycle, TlsPortsOpenNothing)
{
    int fds = open_fd_count();
    tcp_conf* conf = make_conf(0, 0);
    uint16_t tls = free_port();
    uint16_t ws_tls = free_port();
    conf->mqtt_tls_port = tls;
    conf->mqtt_ws_tls_port = ws_tls;
    thread_tcp_serv_setup(conf);
    ASSERT_EQ(thread_tcp_start(), 0);
    EXPECT_EQ(open_fd_count(), fds);
    EXPECT_FALSE(port_accepts(tls));
    EXPECT_FALSE(port_accepts(ws_tls));
}

TEST_F(TcpLifecycle, PortInUseFailsTheStartAndClosesTheListenerOpenedBefore)
{
    int fds = open_fd_count();
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    socklen_t len = sizeof any;
    getsockname(taken, reinterpret_cast<sockaddr*>(&any), &len);

    uint16_t plain = free_port();
    thread_tcp_serv_setup(make_conf(plain, ntohs(any.sin_port)));
    EXPECT_EQ(thread_tcp_start(), -1);
    close(taken);

    std::string log = log_text();
    EXPECT_NE(log.find("Socket Error on line "), std::string::npos) << log;
    EXPECT_NE(log.find(std::strerror(EADDRINUSE)), std::string::npos) << log;
    EXPECT_EQ(log.find("MQTT: "), std::string::npos) << log;
    EXPECT_EQ(open_fd_count(), fds);
    // The plain listener opened first is gone: its port binds again.
    int again = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(plain);
    EXPECT_EQ(bind(again, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
    close(again);
    // Nothing runs, so stopping returns at once.
    thread_tcp_stop();
}

std::atomic<int> signals_seen{0};
std::atomic<int> signals_on_tcp_thread{0};

void count_signal(int)
{
    signals_seen.fetch_add(1);
    if (pthread_equal(pthread_self(), tcp::thread_id))
        signals_on_tcp_thread.fetch_add(1);
}

// The thread spends nearly all its time in poll, so signals sent to it
// interrupt poll; it must go on serving.
TEST_F(TcpLifecycle, InterruptedPollStartsTheNextPass)
{
    struct sigaction action{};
    action.sa_handler = count_signal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous{};
    sigaction(SIGUSR1, &action, &previous);

    start_server();
    Client a;
    connect_plain(a);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(tcp::thread_state.load(), 0) << "the thread ended after " << i << " signals";
        int before = signals_seen.load();
        ASSERT_EQ(pthread_kill(tcp::thread_id, SIGUSR1), 0);
        auto deadline = Clock::now() + TIMEOUT;
        while (signals_seen.load() == before && Clock::now() < deadline)
            usleep(100);
        ASSERT_NE(signals_seen.load(), before);
        if (i % 50 == 0) {
            a.send_bytes(PINGREQ);
            expect_delivery(a, PINGREQ);
            broker_send(a.addr, {0xD0, 0x00});
            EXPECT_EQ(hex(a.recv_exact(2)), hex({0xD0, 0x00}));
        }
    }
    EXPECT_EQ(signals_on_tcp_thread.load(), 200);
    EXPECT_EQ(tcp::thread_state.load(), 0);

    a.send_bytes(PINGREQ);
    expect_delivery(a, PINGREQ);
    broker_send(a.addr, {0xD0, 0x00});
    EXPECT_EQ(hex(a.recv_exact(2)), hex({0xD0, 0x00}));
    EXPECT_EQ(log_text().find("Socket Error"), std::string::npos) << log_text();
    thread_tcp_stop();
    sigaction(SIGUSR1, &previous, nullptr);
}

// poll refuses more descriptors than RLIMIT_NOFILE allows: a real failure
// of the readiness call, which ends the TCP service for good.
TEST_F(TcpLifecycle, PollFailureEndsTheThreadWithCloseNotices)
{
    start_server();
    Client a, b;
    connect_plain(a);
    connect_plain(b);

    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = 3; // the loop polls two listeners and two connections
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    auto first = next_delivery();
    auto second = next_delivery();
    auto deadline = Clock::now() + TIMEOUT;
    while (tcp::thread_state.load() != 2 && Clock::now() < deadline)
        usleep(1000);
    setrlimit(RLIMIT_NOFILE, &saved);

    ASSERT_TRUE(first && second);
    EXPECT_TRUE(first->close && same_addr(first->addr, a.addr));
    EXPECT_TRUE(second->close && same_addr(second->addr, b.addr));
    EXPECT_EQ(tcp::thread_state.load(), 2);
    EXPECT_NE(log_text().find("Socket Error on line "), std::string::npos) << log_text();
    EXPECT_TRUE(a.wait_closed());
    EXPECT_TRUE(b.wait_closed());
    EXPECT_FALSE(port_accepts(mqtt_port));
    EXPECT_FALSE(port_accepts(ws_port));
    // The service stays down; stopping returns at once.
    thread_tcp_stop();
    expect_quiet();
}

} // namespace
