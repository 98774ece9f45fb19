// Harness of the TCP server tests: the real TCP thread runs in the test
// process on ports of its own, clients are real loopback sockets, and the
// test plays the broker on the two channels (it takes what the server
// delivers on tcp_mqtt and posts on mqtt_tcp).
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "conf.h"
#include "logging.h"
#include "mqtt_tcp.h"
#include "tcp/tcp.h"
#include "tcp_mqtt.h"

namespace tcptest {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// Generous bound for any awaited event; tests never wait for a quiet spell.
constexpr auto TIMEOUT = std::chrono::seconds(20);

inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes raw(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

inline std::string as_text(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

inline std::string hex(const Bytes& bytes)
{
    std::string out;
    char buf[4];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x ", b);
        out += buf;
    }
    return out;
}

// An MQTT packet: first byte, Remaining Length, body.
inline Bytes mqtt_packet(uint8_t first, const Bytes& body)
{
    Bytes out{first};
    uint32_t length = static_cast<uint32_t>(body.size());
    do {
        uint8_t byte = length % 128;
        length /= 128;
        if (length)
            byte |= 0x80;
        out.push_back(byte);
    } while (length);
    return out + body;
}

inline const Bytes PINGREQ{0xC0, 0x00};

// A PUBLISH of exactly `size` bytes (at least 2) with a recognisable body.
// Sizes that the shortest Remaining Length cannot reach get one padding
// length byte (0x80 then 0x00 adds nothing), which the framing accepts.
inline Bytes publish_of_size(uint32_t size)
{
    uint32_t length_bytes = 1;
    uint32_t body = size - 2;
    for (uint32_t limit = 128; body >= limit && length_bytes < 4; limit *= 128) {
        ++length_bytes;
        body = size - 1 - length_bytes;
    }
    Bytes out{0x30};
    uint32_t rest = body;
    for (uint32_t i = 0; i < length_bytes; ++i) {
        uint8_t byte = rest % 128;
        rest /= 128;
        if (i + 1 < length_bytes)
            byte |= 0x80;
        out.push_back(byte);
    }
    for (uint32_t i = 0; i < body; ++i)
        out.push_back(static_cast<uint8_t>(i * 7 + 3));
    if (body >= 3) {
        out[1 + length_bytes] = 0; // topic "t"
        out[2 + length_bytes] = 1;
        out[3 + length_bytes] = 't';
    }
    EXPECT_EQ(out.size(), size);
    return out;
}

inline uint16_t free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

inline sockaddr_in loopback(uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

inline bool same_addr(const sockaddr_in& a, const sockaddr_in& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline std::string addr_string(const sockaddr_in& addr)
{
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

inline int open_fd_count()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

// Whether a TCP connect to the port on 127.0.0.1 is accepted.
inline bool port_accepts(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// One client socket. `addr` is how the server knows it (the 16 bytes that
// travel on the channels).
class Client {
public:
    Client() = default;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client()
    {
        if (fd >= 0)
            close(fd);
    }

    bool connect_to(uint16_t port, int rcvbuf = 0)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        if (rcvbuf)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in server = loopback(port);
        if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
            return false;
        sockaddr_in local{};
        socklen_t len = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
        addr = sockaddr_in{};
        addr.sin_family = AF_INET;
        addr.sin_port = local.sin_port;
        addr.sin_addr = local.sin_addr;
        return true;
    }

    void send_bytes(const Bytes& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            ASSERT_GT(n, 0) << std::strerror(errno);
            done += static_cast<size_t>(n);
        }
    }

    // Exactly n bytes, or fewer when the time-out or the end of the stream
    // comes first.
    Bytes recv_exact(size_t n)
    {
        Bytes out;
        auto deadline = Clock::now() + TIMEOUT;
        while (out.size() < n && Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            uint8_t buf[65536];
            size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
            ssize_t got = recv(fd, buf, want, 0);
            if (got <= 0)
                break;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }

    // Waits for the server to end the connection. True when it did; the
    // bytes that came before the end are appended to `before`.
    bool wait_closed(Bytes* before = nullptr)
    {
        auto deadline = Clock::now() + TIMEOUT;
        while (Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            uint8_t buf[4096];
            ssize_t got = recv(fd, buf, sizeof buf, 0);
            if (got == 0 || (got < 0 && errno == ECONNRESET))
                return true;
            if (got < 0)
                return false;
            if (before)
                before->insert(before->end(), buf, buf + got);
        }
        return false;
    }

    // Closes with a reset instead of an orderly FIN.
    void reset()
    {
        linger lg{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        close(fd);
        fd = -1;
    }

    void close_now()
    {
        close(fd);
        fd = -1;
    }

    int fd = -1;
    sockaddr_in addr{};
};

// --- WebSocket ---

// RFC 6455 section 1.3: this key gives this accept value.
inline const std::string RFC_KEY = "dGhlIHNhbXBsZSBub25jZQ==";
inline const std::string RFC_ACCEPT = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

inline std::string ws_response(const std::string& accept)
{
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Protocol: mqttv3.1\r\nSec-WebSocket-Accept: " +
           accept + "\r\n\r\n";
}

// The header lines a browser MQTT client sends, one per line.
inline std::string ws_headers(const std::string& key = RFC_KEY)
{
    return "Upgrade: websocket\r\n"
           "Connection: Upgrade\r\n"
           "Sec-WebSocket-Key: " +
           key +
           "\r\n"
           "Sec-WebSocket-Version: 13\r\n"
           "Sec-WebSocket-Protocol: mqttv3.1\r\n";
}

inline std::string ws_request(const std::string& headers = ws_headers())
{
    return "GET /mqtt HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: http://127.0.0.1\r\n" + headers + "\r\n";
}

enum : uint8_t {
    OP_CONTINUATION = 0x0,
    OP_TEXT = 0x1,
    OP_BINARY = 0x2,
    OP_CLOSE = 0x8,
    OP_PING = 0x9,
    OP_PONG = 0xA,
};

// A client frame with FIN set, masked unless told otherwise.
inline Bytes ws_frame(uint8_t opcode, const Bytes& payload, bool masked = true, uint64_t announced = UINT64_MAX)
{
    uint64_t len = announced == UINT64_MAX ? payload.size() : announced;
    Bytes out{static_cast<uint8_t>(0x80 | opcode)};
    uint8_t mask_bit = masked ? 0x80 : 0;
    if (len <= 125) {
        out.push_back(static_cast<uint8_t>(mask_bit | len));
    } else if (len <= 0xFFFF) {
        out.push_back(mask_bit | 126);
        out.push_back(static_cast<uint8_t>(len >> 8));
        out.push_back(static_cast<uint8_t>(len));
    } else {
        out.push_back(mask_bit | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            out.push_back(static_cast<uint8_t>(len >> shift));
    }
    const uint8_t key[4] = {0x37, 0xfa, 0x21, 0x3d};
    if (masked)
        out.insert(out.end(), key, key + 4);
    for (size_t i = 0; i < payload.size(); ++i)
        out.push_back(masked ? payload[i] ^ key[i % 4] : payload[i]);
    return out;
}

struct WsFrame {
    Bytes header;
    Bytes payload;
};

// One server frame: its header bytes as sent and its payload.
inline WsFrame read_ws_frame(Client& client)
{
    WsFrame frame;
    frame.header = client.recv_exact(2);
    if (frame.header.size() < 2)
        return frame;
    uint64_t len = frame.header[1] & 0x7F;
    size_t extra = len == 126 ? 2 : len == 127 ? 8 : 0;
    if (extra) {
        Bytes ext = client.recv_exact(extra);
        frame.header = frame.header + ext;
        len = 0;
        for (uint8_t b : ext)
            len = len << 8 | b;
    }
    frame.payload = client.recv_exact(len);
    return frame;
}

// What the server posted on tcp_mqtt, copied out of the record.
struct Delivery {
    sockaddr_in addr{};
    bool close = false;
    Bytes bytes;
};

inline std::optional<Delivery> take_delivery()
{
    tcp_mqtt_msg* msg = msg_tcp_mqtt_get_first();
    if (!msg)
        return std::nullopt;
    Delivery d;
    d.addr = msg->addr;
    d.close = msg->close != 0;
    if (msg->packet)
        d.bytes.assign(msg->packet, msg->packet + msg->packet_len);
    msg_tcp_mqtt_remove(msg);
    return d;
}

inline std::optional<Delivery> next_delivery()
{
    auto deadline = Clock::now() + TIMEOUT;
    while (Clock::now() < deadline) {
        if (auto d = take_delivery())
            return d;
        usleep(1000);
    }
    return take_delivery();
}

// Hands the broker's bytes to the TCP thread (the channel takes a new[]
// buffer over).
inline void broker_send(const sockaddr_in& addr, const Bytes& bytes)
{
    auto* buffer = new uint8_t[bytes.size() ? bytes.size() : 1];
    std::memcpy(buffer, bytes.data(), bytes.size());
    msg_mqtt_tcp_add_packet(&addr, buffer, static_cast<uint32_t>(bytes.size()));
}

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the TCP thread for one test: fresh ports, its own log file, the two
// channels, and a check at the end that nothing was left undelivered.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        msg_tcp_mqtt_init();
        msg_mqtt_tcp_init();
        char path[] = "/tmp/halyx-tcp-test-XXXXXX";
        int fd = mkstemp(path);
        close(fd);
        log_path = path;
        log_set_file(log_path.c_str());
    }

    void TearDown() override
    {
        thread_tcp_stop();
        while (take_delivery()) {
        }
        while (mqtt_tcp_msg* msg = msg_mqtt_tcp_get_first())
            msg_mqtt_tcp_remove(msg);
        msg_tcp_mqtt_destroy();
        msg_mqtt_tcp_destroy();
        log_set_file(nullptr);
        if (HasFailure())
            std::fprintf(stderr, "--- server log ---\n%s------------------\n", log_text().c_str());
        unlink(log_path.c_str());
    }

    tcp_conf* make_conf(uint16_t plain, uint16_t ws)
    {
        auto* conf = new tcp_conf{};
        conf->mqtt_port = plain;
        conf->mqtt_ws_port = ws;
        std::strcpy(conf->mqtt_iface, "lo");
        return conf;
    }

    // Both listeners on fresh ports.
    void start_server()
    {
        mqtt_port = free_port();
        ws_port = free_port();
        thread_tcp_serv_setup(make_conf(mqtt_port, ws_port));
        ASSERT_EQ(thread_tcp_start(), 0) << log_text();
    }

    std::string log_text() { return read_file(log_path); }

    // A plain client the server has accepted and delivered from.
    void connect_plain(Client& client)
    {
        ASSERT_TRUE(client.connect_to(mqtt_port));
        client.send_bytes(PINGREQ);
        expect_delivery(client, PINGREQ);
    }

    void expect_delivery(const Client& client, const Bytes& bytes)
    {
        auto d = next_delivery();
        ASSERT_TRUE(d.has_value()) << "no delivery for " << addr_string(client.addr);
        EXPECT_FALSE(d->close) << "close notice instead of " << hex(bytes);
        EXPECT_TRUE(same_addr(d->addr, client.addr)) << addr_string(d->addr) << " vs " << addr_string(client.addr);
        EXPECT_EQ(hex(d->bytes), hex(bytes));
    }

    void expect_close_notice(const sockaddr_in& addr)
    {
        auto d = next_delivery();
        ASSERT_TRUE(d.has_value()) << "no close notice for " << addr_string(addr);
        EXPECT_TRUE(d->close) << "data instead of a close notice: " << hex(d->bytes);
        EXPECT_TRUE(same_addr(d->addr, addr)) << addr_string(d->addr) << " vs " << addr_string(addr);
        EXPECT_TRUE(d->bytes.empty());
    }

    // A WebSocket client past its handshake.
    void connect_ws(Client& client)
    {
        ASSERT_TRUE(client.connect_to(ws_port));
        client.send_bytes(raw(ws_request()));
        EXPECT_EQ(as_text(client.recv_exact(ws_response(RFC_ACCEPT).size())), ws_response(RFC_ACCEPT));
    }

    // Returns once the TCP thread has read everything sent so far on the
    // connections opened before the first barrier. The barrier client
    // connects to the WebSocket listener, which is accepted from after the
    // plain one in a pass and in connect order, so it sits behind those
    // connections in the server's list: they were read in the pass that
    // read the barrier's packet or before. The barrier delivery is
    // consumed; any other record taken on the way fails the test.
    void barrier()
    {
        if (!barrier_client) {
            barrier_client = std::make_unique<Client>();
            connect_ws(*barrier_client);
        }
        barrier_client->send_bytes(ws_frame(OP_BINARY, PINGREQ));
        expect_delivery(*barrier_client, PINGREQ);
    }

    // The server ends the connection with nothing sent back, and tells the
    // broker.
    void expect_closed(Client& c)
    {
        Bytes answer;
        EXPECT_TRUE(c.wait_closed(&answer));
        EXPECT_EQ(hex(answer), "");
        expect_close_notice(c.addr);
    }

    // After a barrier: nothing else has been posted.
    void expect_quiet() { EXPECT_FALSE(take_delivery().has_value()); }

    uint16_t mqtt_port = 0;
    uint16_t ws_port = 0;
    std::string log_path;
    std::unique_ptr<Client> barrier_client;
};

} // namespace tcptest
