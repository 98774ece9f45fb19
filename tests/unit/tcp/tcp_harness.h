// Harness of the TCP server tests: the real TCP thread runs in the test
// process on fresh ports, clients are loopback sockets, and the test plays
// the broker on the two channels (it takes what the server posts on tcp_mqtt
// and posts on mqtt_tcp).
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "conf_records.h"
#include "logging.h"
#include "channels/mqtt_tcp.h"
#include "tcp/tcp.h"
#include "channels/tcp_mqtt.h"

namespace tcptest {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
// Bound for any awaited event; no test waits for a quiet spell.
constexpr auto TIMEOUT = std::chrono::seconds(20);

inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes raw(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

inline Bytes slice(const Bytes& bytes, size_t from, size_t to = SIZE_MAX)
{
    return Bytes(bytes.begin() + from, bytes.begin() + std::min(to, bytes.size()));
}

inline const Bytes PINGREQ{0xC0, 0x00};
// A connection's first packet must be a CONNECT; the server only looks at
// its type.
inline const Bytes CONNECT{0x10, 0x00};

// First byte, Remaining Length, body.
inline Bytes mqtt_packet(uint8_t first, const Bytes& body)
{
    Bytes out{first};
    for (size_t length = body.size();; length /= 128) {
        out.push_back(static_cast<uint8_t>(length % 128 | (length >= 128 ? 0x80 : 0)));
        if (length < 128)
            return out + body;
    }
}

inline sockaddr_in loopback(uint16_t port)
{
    return sockaddr_in{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}

inline uint16_t free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

// One client socket; `addr` is how the server knows it.
struct Client {
    ~Client() { close_now(); }
    void close_now() { close(std::exchange(fd, -1)); }

    bool connect_to(uint16_t port, int rcvbuf = 0)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        if (rcvbuf)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in server = loopback(port);
        socklen_t len = sizeof addr;
        return connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0 &&
               getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    }

    void send_bytes(const Bytes& bytes)
    {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            ASSERT_GT(n, 0) << std::strerror(errno);
            done += static_cast<size_t>(n);
        }
    }

    // Up to n bytes; fewer when the stream ends (then *ended is set) or
    // the time-out comes first.
    Bytes recv_bytes(size_t n, bool* ended = nullptr)
    {
        Bytes out;
        static uint8_t buf[65536];
        for (auto deadline = Clock::now() + TIMEOUT; out.size() < n && Clock::now() < deadline;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            ssize_t got = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
            if (got <= 0) {
                if (ended)
                    *ended = got == 0 || errno == ECONNRESET;
                break;
            }
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }

    // The server ended the connection without sending anything more.
    bool closed_silently()
    {
        bool ended = false;
        return recv_bytes(SIZE_MAX, &ended).empty() && ended;
    }

    int fd = -1;
    sockaddr_in addr{};
};

inline std::string ws_request(const std::string& version = "13")
{
    return "GET /mqtt HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: " +
           version + "\r\nSec-WebSocket-Protocol: mqttv3.1\r\n\r\n";
}

// The answer to ws_request(): the accept value of the RFC 6455 example key.
inline const std::string WS_RESPONSE = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                       "Connection: Upgrade\r\nSec-WebSocket-Protocol: mqttv3.1\r\n"
                                       "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

enum : uint8_t { OP_TEXT = 0x1, OP_BINARY = 0x2, OP_CLOSE = 0x8, OP_PING = 0x9, OP_PONG = 0xA };

// A masked client frame with FIN set; `announced` overrides the length.
inline Bytes ws_frame(uint8_t opcode, const Bytes& payload, uint64_t announced = UINT64_MAX)
{
    uint64_t len = announced == UINT64_MAX ? payload.size() : announced;
    Bytes out{static_cast<uint8_t>(0x80 | opcode)};
    int length_bytes = len <= 125 ? 0 : len <= 0xFFFF ? 2 : 8;
    out.push_back(static_cast<uint8_t>(0x80 | (length_bytes == 0 ? len : length_bytes == 2 ? 126 : 127)));
    for (int i = length_bytes - 1; i >= 0; --i)
        out.push_back(static_cast<uint8_t>(len >> (8 * i)));
    const uint8_t key[4] = {0x37, 0xfa, 0x21, 0x3d};
    out.insert(out.end(), key, key + 4);
    for (size_t i = 0; i < payload.size(); ++i)
        out.push_back(payload[i] ^ key[i % 4]);
    return out;
}

struct Delivery {
    sockaddr_in addr{};
    bool close = false;
    Bytes bytes;
};

// The next record the server posted; waits for one unless told not to.
inline std::optional<Delivery> next_delivery(bool wait = true)
{
    for (auto deadline = Clock::now() + TIMEOUT;; usleep(1000)) {
        if (tcp_mqtt_msg* msg = msg_tcp_mqtt_get_first()) {
            Delivery d{msg->addr, msg->close != 0, {}};
            if (msg->packet)
                d.bytes.assign(msg->packet, msg->packet + msg->packet_len);
            msg_tcp_mqtt_remove(msg);
            return d;
        }
        if (!wait || Clock::now() > deadline)
            return std::nullopt;
    }
}

// The channel takes a new[] buffer over.
inline void broker_send(const sockaddr_in& addr, const Bytes& bytes)
{
    auto* buffer = new uint8_t[bytes.size()];
    std::memcpy(buffer, bytes.data(), bytes.size());
    msg_mqtt_tcp_add_packet(&addr, buffer, static_cast<uint32_t>(bytes.size()));
}

// Runs the TCP thread with both listeners on fresh ports and a log file of
// its own; the log is printed when a test fails.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        msg_tcp_mqtt_init();
        msg_mqtt_tcp_init();
        char path[] = "/tmp/halyx-tcp-test-XXXXXX";
        close(mkstemp(path));
        log_path = path;
        log_set_file(path);
        ASSERT_EQ(start(mqtt_port, ws_port), 0);
    }

    void TearDown() override
    {
        thread_tcp_stop();
        while (next_delivery(false)) {
        }
        while (mqtt_tcp_msg* msg = msg_mqtt_tcp_get_first())
            msg_mqtt_tcp_remove(msg);
        msg_tcp_mqtt_destroy();
        msg_mqtt_tcp_destroy();
        log_set_file(nullptr);
        if (HasFailure())
            std::fprintf(stderr, "--- server log ---\n%s", log_text().c_str());
        unlink(log_path.c_str());
    }

    int start(uint16_t plain, uint16_t ws)
    {
        thread_tcp_serv_setup(new tcp_conf{plain, 0, ws, 0, "lo"});
        return thread_tcp_start();
    }

    std::string log_text()
    {
        std::stringstream text;
        text << std::ifstream(log_path).rdbuf();
        return text.str();
    }

    void expect_packets(const sockaddr_in& addr, const Bytes& bytes, bool close = false)
    {
        auto d = next_delivery();
        ASSERT_TRUE(d.has_value()) << "nothing posted for port " << ntohs(addr.sin_port);
        EXPECT_EQ(d->close, close);
        EXPECT_EQ(std::memcmp(&d->addr, &addr, sizeof addr), 0) << "posted for port " << ntohs(d->addr.sin_port);
        EXPECT_TRUE(d->bytes == bytes);
    }

    void expect_close_notice(const sockaddr_in& addr) { expect_packets(addr, {}, true); }

    // Closed with nothing sent back, and the broker told.
    void expect_closed(Client& c)
    {
        EXPECT_TRUE(c.closed_silently());
        expect_close_notice(c.addr);
    }

    // A plain client the server has accepted and delivered from.
    void connect_plain(Client& c, int rcvbuf = 0)
    {
        ASSERT_TRUE(c.connect_to(mqtt_port, rcvbuf));
        c.send_bytes(CONNECT);
        expect_packets(c.addr, CONNECT);
    }

    // Upgraded; with `mqtt`, also past its first packet.
    void connect_ws(Client& c, bool mqtt = true)
    {
        ASSERT_TRUE(c.connect_to(ws_port));
        c.send_bytes(raw(ws_request()));
        EXPECT_EQ(c.recv_bytes(WS_RESPONSE.size()), raw(WS_RESPONSE));
        if (!mqtt)
            return;
        c.send_bytes(ws_frame(OP_BINARY, CONNECT));
        expect_packets(c.addr, CONNECT);
    }

    // Returns once the thread has read all sent so far on connections opened
    // before the first barrier (they precede the barrier client, accepted
    // last, in the server's list); fails if anything was posted meanwhile.
    void barrier()
    {
        if (!barrier_client)
            connect_ws(barrier_client.emplace());
        barrier_client->send_bytes(ws_frame(OP_BINARY, PINGREQ));
        expect_packets(barrier_client->addr, PINGREQ);
    }

    uint16_t mqtt_port = free_port();
    uint16_t ws_port = free_port();
    std::string log_path;
    std::optional<Client> barrier_client;
};

} // namespace tcptest
