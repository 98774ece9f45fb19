// The TCP server without its thread: one connection record on a socketpair
// driven by its state's handler as the thread would, the test playing client
// and broker. Then what only the thread itself does.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "../test_bytes.h"
#include "channels/mqtt_tcp.h"
#include "channels/tcp_mqtt.h"
#include "codec/mqtt.h"
#include "tcp/tcp.h"
#include "tcp/tcp_internal.h"

namespace {

const Bytes PINGREQ{0xC0, 0x00};
const Bytes CONNECT{0x10, 0x00}; // the server only looks at the first packet's type
// A close notice among what the server posted for the broker.
const Bytes CLOSE_NOTICE{};

std::string ws_request(const std::string& version = "13")
{
    return "GET /mqtt HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: " +
           version + "\r\nSec-WebSocket-Protocol: mqttv3.1\r\n\r\n";
}

// The answer to ws_request(): the accept value of the RFC 6455 example key.
const std::string WS_RESPONSE = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                "Connection: Upgrade\r\nSec-WebSocket-Protocol: mqttv3.1\r\n"
                                "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

enum : uint8_t { OP_CONTINUATION = 0x0, OP_TEXT = 0x1, OP_BINARY = 0x2, OP_CLOSE = 0x8, OP_PING = 0x9, OP_PONG = 0xA };

enum : uint8_t { FIN = 0x80, RSV1 = 0x40 };

// A masked client frame, with FIN set unless `flags` says otherwise;
// `announced` overrides the length.
Bytes ws_frame(uint8_t opcode, const Bytes& payload, uint64_t announced = UINT64_MAX, uint8_t flags = FIN)
{
    uint64_t len = announced == UINT64_MAX ? payload.size() : announced;
    Bytes out{static_cast<uint8_t>(flags | opcode)};
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

// mqtt_standard as the configuration sets it, for the life of the object.
struct StandardMode {
    tcp_conf conf{};
    tcp_conf* saved = tcp::thread_options;
    explicit StandardMode(int32_t standard)
    {
        conf.mqtt_standard = standard;
        tcp::thread_options = &conf;
    }
    ~StandardMode() { tcp::thread_options = saved; }
};

struct ConnTest : ::testing::Test {
    tcp_conn* conn = nullptr;
    int client = -1;
    sockaddr_in addr = peer("127.0.0.1", 40000);

    void SetUp() override
    {
        msg_tcp_mqtt_init();
        // A close tells the broker only while the thread runs; here the test
        // is the thread.
        tcp::thread_state.store(0);
    }

    void TearDown() override
    {
        drop();
        tcp::thread_state.store(2);
        posted();
        msg_tcp_mqtt_destroy();
    }

    void drop()
    {
        if (conn && open())
            tcp::conn_close(conn);
        tcp::conn_reap();
        conn = nullptr;
        if (client != -1)
            close(std::exchange(client, -1));
    }

    // A fresh connection in `state`; with `started`, past its CONNECT.
    void connect(uint32_t state, bool started = false)
    {
        drop();
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
        client = pair[1];
        conn = list_tcp_conn_add_new(&tcp::conns, &addr);
        conn->sock = pair[0];
        conn->state = state;
        if (!started)
            return;
        send_bytes(state == CONN_STATE_MQTT ? CONNECT : ws_frame(OP_BINARY, CONNECT));
        ASSERT_EQ(posted(), std::vector<Bytes>{CONNECT});
    }

    // The record stays readable until the reap.
    bool open() const { return conn->sock != -1; }

    // The client sends the bytes; the server reads until its socket is empty
    // (and again while the client's send waits for room).
    void send_bytes(const Bytes& bytes)
    {
        for (size_t done = 0; done < bytes.size() && open();) {
            ssize_t sent = send(client, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            ASSERT_TRUE(sent > 0 || errno == EAGAIN) << std::strerror(errno);
            done += static_cast<size_t>(std::max<ssize_t>(sent, 0));
            for (int waiting = 0; open() && ioctl(conn->sock, FIONREAD, &waiting) == 0 && waiting > 0;)
                receive();
        }
    }

    void receive()
    {
        if (conn->state == CONN_STATE_HTTP_HEADER)
            tcp::http_header_handle(conn);
        else if (conn->state == CONN_STATE_WS_FRAME)
            tcp::ws_frame_handle(conn);
        else
            tcp::mqtt_message_handle(conn);
    }

    // What the client receives once the server writes its pending output.
    Bytes answer()
    {
        if (open()) {
            EXPECT_EQ(tcp::conn_write(conn), 0);
            EXPECT_EQ(out_buf_pending(&conn->out), 0u);
        }
        Bytes out;
        uint8_t buf[4096];
        for (ssize_t got; (got = recv(client, buf, sizeof buf, 0)) > 0;)
            out.insert(out.end(), buf, buf + got);
        return out;
    }

    // What the server posted for the broker since the last call.
    std::vector<Bytes> posted()
    {
        std::vector<Bytes> out;
        while (tcp_mqtt_msg* msg = msg_tcp_mqtt_get_first()) {
            EXPECT_EQ(std::memcmp(&msg->addr, &addr, sizeof addr), 0);
            out.push_back(msg->close ? CLOSE_NOTICE : Bytes(msg->packet, msg->packet + msg->packet_len));
            msg_tcp_mqtt_remove(msg);
        }
        return out;
    }
};

using TcpTest = ConnTest;
using WsTest = ConnTest;

TEST_F(TcpTest, PacketsArePostedWholeWhateverTheSegments)
{
    connect(CONN_STATE_MQTT, true);
    send_bytes({0xC0});
    EXPECT_EQ(posted(), std::vector<Bytes>{});
    send_bytes({0x00});
    EXPECT_EQ(posted(), std::vector<Bytes>{PINGREQ});

    Bytes publish = packet(0x30, field("t") + raw("val"));
    send_bytes(publish + PINGREQ);
    EXPECT_EQ(posted(), std::vector<Bytes>{publish + PINGREQ});

    // A whole packet waits for the one started behind it.
    send_bytes(PINGREQ + Bytes{publish[0]});
    EXPECT_EQ(posted(), std::vector<Bytes>{});
    send_bytes(Bytes(publish.begin() + 1, publish.end()));
    EXPECT_EQ(posted(), std::vector<Bytes>{PINGREQ + publish});

    // 100-byte packets without a pause: the first read ends inside one,
    // yet no packet is over the bound, so every byte arrives in order.
    Bytes stream;
    while (stream.size() < 40000)
        stream = stream + packet(0x30, Bytes(98, static_cast<uint8_t>(stream.size() / 100)));
    send_bytes(stream);
    Bytes received;
    for (const Bytes& bytes : posted()) {
        EXPECT_EQ(mqtt_packets_buffer_check(bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
        received = received + bytes;
    }
    EXPECT_TRUE(received == stream);
}

// With mqtt_standard the values count in any case, and the sub-protocol
// answered is the first of ours the client lists.
TEST(WsHandshakeParse, UpgradeRequestsAreAcceptedByTheirHeaders)
{
    struct Case {
        int standard;
        const char *connection, *upgrade, *version, *protocol, *key;
        const char* answered; // null: refused
    };
    const char* key = "dGhlIHNhbXBsZSBub25jZQ==";
    const char *v31 = "mqttv3.1", *v311 = "mqtt";
    const Case cases[] = {
        {0, "Upgrade", "websocket", "13", "mqttv3.1", key, v31},
        {0, "keep-alive, Upgrade", "websocket", "13", "mqttv3.1", key, v31},
        {0, "upgrade", "websocket", "13", "mqttv3.1", key, nullptr},
        {0, "Upgrade", "Websocket", "13", "mqttv3.1", key, v31},
        {0, "Upgrade", "WebSocket", "13", "mqttv3.1", key, nullptr},
        {0, "Upgrade", "websocket", "8", "mqttv3.1", key, nullptr},
        {0, "Upgrade", "websocket", "13", "mqtt", key, nullptr},
        {0, "Upgrade", "websocket", "13", "mqttv3.1, mqtt", key, nullptr},
        {0, "Upgrade", "websocket", "13", "mqttv3.1", nullptr, nullptr},
        {1, "upgrade", "WebSocket", "13", "mqtt", key, v311},
        {1, "keep-alive,UPGRADE", "websocket", "13", "wamp, mqtt,mqttv3.1", key, v311},
        {1, "Upgrade", "websocket", "13", "mqttv3.1, mqtt", key, v31},
        {1, "Upgraded", "websocket", "13", "mqtt", key, nullptr},
        {1, "Upgrade", "websocket", "13", "wamp, mqttv5, MQTT", key, nullptr},
        {1, "Upgrade", "websocket", "8", "mqtt", key, nullptr},
        {1, "Upgrade", "websocket", "13", "mqtt", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        std::string text = std::string("GET /mqtt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: ") + c.connection +
                           "\r\nUpgrade: " + c.upgrade + "\r\nSec-WebSocket-Version: " + c.version +
                           "\r\nSec-WebSocket-Protocol: " + c.protocol + "\r\n";
        if (c.key)
            text += std::string("Sec-WebSocket-Key: ") + c.key + "\r\n";
        SCOPED_TRACE(std::to_string(c.standard) + " " + text);
        StandardMode mode(c.standard);
        char got[65] = "";
        const char* answered = nullptr;
        EXPECT_EQ(tcp::http_header_parse(text.data(), got, &answered), c.answered != nullptr);
        EXPECT_STREQ(got, c.answered ? key : "");
        EXPECT_STREQ(answered ? answered : "(refused)", c.answered ? c.answered : "(refused)");
    }
}

// The blank line straddles the last two segments, and a ping follows the
// request in the last one. Then frames in any segments; packets from the
// broker go out as binary frames with the shortest length header.
TEST_F(WsTest, RequestThenFramesBothWaysWhateverTheSegments)
{
    connect(CONN_STATE_HTTP_HEADER);
    Bytes request = raw(ws_request());
    send_bytes(Bytes(request.begin(), request.begin() + 20));
    send_bytes(Bytes(request.begin() + 20, request.end() - 2));
    EXPECT_EQ(answer(), Bytes{});
    send_bytes(Bytes(request.end() - 2, request.end()) + ws_frame(OP_PING, {}));
    EXPECT_EQ(answer(), (raw(WS_RESPONSE) + Bytes{0x8A, 0x00}));
    send_bytes(ws_frame(OP_BINARY, CONNECT));
    EXPECT_EQ(posted(), std::vector<Bytes>{CONNECT});

    // Masked, and split inside its header and after it.
    Bytes publish = packet(0x30, Bytes(197, 'p'));
    Bytes frame = ws_frame(OP_BINARY, publish);
    for (auto [from, to] : {std::pair{0, 1}, {1, 8}}) {
        send_bytes(Bytes(frame.begin() + from, frame.begin() + to));
        EXPECT_EQ(posted(), std::vector<Bytes>{});
    }
    send_bytes(Bytes(frame.begin() + 8, frame.end()));
    EXPECT_EQ(posted(), std::vector<Bytes>{publish});

    // In one segment: a pong is ignored, a ping gets an empty pong, each
    // binary frame of whole packets is one delivery.
    Bytes small = packet(0x30, field("a") + raw("1"));
    send_bytes(ws_frame(OP_PONG, raw("unsolicited")) + ws_frame(OP_PING, raw("are you there")) +
               ws_frame(OP_BINARY, small) + ws_frame(OP_BINARY, PINGREQ));
    EXPECT_EQ(answer(), (Bytes{0x8A, 0x00}));
    EXPECT_EQ(posted(), (std::vector<Bytes>{small, PINGREQ}));

    const std::pair<uint32_t, Bytes> cases[] = {
        {125, {0x82, 125}}, {126, {0x82, 126, 0, 126}}, {65536, {0x82, 127, 0, 0, 0, 0, 0, 1, 0, 0}}};
    for (const auto& [size, header] : cases) {
        Bytes data(size, static_cast<uint8_t>(size));
        ASSERT_EQ(tcp::ws_frame_send(conn, OP_BINARY, data.data(), size), 0);
        EXPECT_TRUE(answer() == header + data) << size;
    }
}

// A frame over the bound is refused at its header, before its payload is
// allocated; 2^32 + 2 is no 2-byte frame, its high word counts too.
TEST_F(WsTest, PayloadOverTheBoundIsRefusedBeforeAllocation)
{
    using result_t = tcp::ws_frame_result;
    const std::pair<uint64_t, result_t> cases[] = {{65536, result_t::payload_incomplete},
                                                   {65537, result_t::refused},
                                                   {1ull << 31, result_t::refused},
                                                   {(1ull << 32) | 2, result_t::refused}};
    for (const auto& [announced, result] : cases) {
        connect(CONN_STATE_WS_FRAME);
        Bytes frame = ws_frame(OP_BINARY, PINGREQ, announced);
        std::copy(frame.begin(), frame.end(), tcp::sock_buf);
        auto count = static_cast<uint32_t>(frame.size());
        EXPECT_EQ(tcp::ws_frame_parse(conn, tcp::sock_buf, &count), result) << announced;
        EXPECT_EQ(conn->recv_buf != nullptr, result == result_t::payload_incomplete) << announced;
    }
}

// Each segment but the last leaves the connection open and posts nothing;
// the last closes it without an answer, and the broker is told once.
TEST_F(ConnTest, InputsThatCloseTheConnection)
{
    // PUBLISHes announcing 40000 and 70000-byte bodies: over the default
    // mqtt_max_packet_size, closed once their fixed header is in.
    const Bytes plain_start = Bytes{0x30, 0xC0, 0xB8, 0x02} + Bytes(32768 - 4, 0x55);
    const Bytes ws_start = Bytes{0x30, 0xF0, 0xA2, 0x04} + Bytes(65536 - 4, 0x11);
    const Bytes long_length{0x30, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    // A good request whose last header takes it to the bound before its
    // blank line.
    std::string head = ws_request();
    Bytes long_request = raw(head.substr(0, head.size() - 2) + "X-Pad: ");
    long_request.resize(32768, 'x');
    const uint32_t MQTT = CONN_STATE_MQTT, HTTP = CONN_STATE_HTTP_HEADER, WS = CONN_STATE_WS_FRAME;
    struct {
        const char* name;
        uint32_t state;
        bool started; // past its CONNECT first
        std::vector<Bytes> segments;
    } const cases[] = {
        {"first packet not a CONNECT", MQTT, false, {PINGREQ}},
        {"Remaining Length past four bytes", MQTT, true, {long_length}},
        {"packet over mqtt_max_packet_size", MQTT, true, {plain_start}},
        {"rejected request", HTTP, false, {raw(ws_request("8"))}},
        {"request over 32768 bytes", HTTP, false, {long_request, raw("\r\n\r\n")}},
        {"close frame", WS, true, {ws_frame(OP_CLOSE, {0x03, 0xe8})}},
        {"text frame", WS, true, {ws_frame(OP_TEXT, raw("hi"))}},
        {"frame over the bound", WS, true, {ws_frame(OP_PING, {}, 65537)}},
        {"reserved bit", WS, true, {ws_frame(OP_BINARY, PINGREQ, UINT64_MAX, FIN | RSV1)}},
        {"ping of 126 bytes", WS, true, {ws_frame(OP_PING, Bytes(126, 'p'))}},
        {"fragmented ping", WS, true, {ws_frame(OP_PING, {}, UINT64_MAX, 0)}},
        {"continuation of no message", WS, true, {ws_frame(OP_CONTINUATION, PINGREQ)}},
        {"binary frame inside a fragmented message", WS, true,
         {ws_frame(OP_BINARY, {0xC0}, UINT64_MAX, 0), ws_frame(OP_BINARY, PINGREQ)}},
        {"first packet in a frame not a CONNECT", WS, false, {ws_frame(OP_BINARY, PINGREQ)}},
        {"Remaining Length in a frame past four bytes", WS, true, {ws_frame(OP_BINARY, long_length)}},
        {"packet in frames over mqtt_max_packet_size", WS, true, {ws_frame(OP_BINARY, ws_start)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        connect(c.state, c.started);
        for (size_t i = 0; i + 1 < c.segments.size(); ++i) {
            send_bytes(c.segments[i]);
            ASSERT_TRUE(open()) << "closed by segment " << i;
        }
        send_bytes(c.segments.back());
        EXPECT_FALSE(open());
        EXPECT_EQ(answer(), Bytes{});
        EXPECT_EQ(posted(), std::vector<Bytes>{CLOSE_NOTICE});
    }

    // The peer closes.
    connect(CONN_STATE_MQTT, true);
    close(std::exchange(client, -1));
    receive();
    EXPECT_FALSE(open());
    EXPECT_EQ(posted(), std::vector<Bytes>{CLOSE_NOTICE});
}

// A consumer whose socket takes nothing: past its soft bound it holds
// reading back until it took no output for the grace period; past its hard
// bound its QoS 0 deliveries are dropped, other packets still queued; once
// it drained, deliveries go out again.
TEST_F(TcpTest, LaggingConsumerPausesReadingThenLosesOnlyQos0Deliveries)
{
    const tcp::tcp_limits saved = tcp::limits;
    tcp::limits.output_soft = 1000;
    tcp::limits.output_hard = 2000;
    connect(CONN_STATE_MQTT, true);
    conn->writable = 0;
    Bytes qos0(100, 0x30), qos1(100, 0x32);
    auto offer = [&](const Bytes& packet) {
        int admitted = tcp::conn_output_admit(conn, packet.data(), static_cast<uint32_t>(packet.size()));
        if (admitted == 1)
            tcp::conn_output(conn, packet.data(), static_cast<uint32_t>(packet.size()));
        return admitted;
    };
    for (int i = 0; i < 10; ++i)
        offer(qos0);
    EXPECT_FALSE(tcp::consumers_behind()) << "at the soft bound, not past it";
    offer(qos0);
    EXPECT_TRUE(tcp::consumers_behind());
    tcp::now_ms += tcp::OUTPUT_GRACE_MS;
    EXPECT_FALSE(tcp::consumers_behind()) << "no output taken for the grace period";
    while (out_buf_pending(&conn->out) + qos0.size() <= 2000)
        EXPECT_EQ(offer(qos0), 1);
    EXPECT_EQ(std::vector<int>({offer(qos0), offer(qos1), offer(qos0)}), std::vector<int>({0, 1, 0}));
    EXPECT_EQ(conn->dropped, 2u);
    EXPECT_EQ(tcp::out_total, 2100u);
    EXPECT_EQ(answer().size(), 2100u);
    EXPECT_EQ(tcp::out_total, 0u);
    EXPECT_EQ(offer(qos0), 1);
    EXPECT_EQ(conn->dropped, 0u);
    tcp::limits = saved;
}

struct ServerTest : ::testing::Test {
    void SetUp() override
    {
        msg_tcp_mqtt_init();
        msg_mqtt_tcp_init();
    }

    void TearDown() override
    {
        thread_tcp_stop();
        while (tcp_mqtt_msg* msg = msg_tcp_mqtt_get_first())
            msg_tcp_mqtt_remove(msg);
        while (mqtt_tcp_msg* msg = msg_mqtt_tcp_get_first())
            msg_mqtt_tcp_remove(msg);
        msg_tcp_mqtt_destroy();
        msg_mqtt_tcp_destroy();
    }

    // Waits for the next record posted, which must be `bytes` (none: a close
    // notice) for `conn_id` unless 0, from `addr` if given; returns its id.
    static uint64_t expect_posted(const Bytes& bytes, uint64_t conn_id = 0, const sockaddr_in* addr = nullptr)
    {
        tcp_mqtt_msg* msg = nullptr;
        for (int ms = 0; !(msg = msg_tcp_mqtt_get_first()) && ms < 20000; ++ms)
            usleep(1000);
        if (!msg) {
            ADD_FAILURE() << "nothing posted";
            return 0;
        }
        EXPECT_TRUE(conn_id == 0 || msg->conn_id == conn_id);
        EXPECT_TRUE(!addr || std::memcmp(&msg->addr, addr, sizeof *addr) == 0);
        EXPECT_EQ(msg->close ? CLOSE_NOTICE : Bytes(msg->packet, msg->packet + msg->packet_len), bytes);
        uint64_t id = msg->conn_id;
        msg_tcp_mqtt_remove(msg);
        return id;
    }
};

TEST_F(ServerTest, GoneClientIsReportedAgainAndStopClosesWithoutNotices)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = peer("127.0.0.1", 0);
    socklen_t len = sizeof addr;
    // A free port: bound by the kernel's choice, then let go.
    bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    // Port 0 turns the WebSocket listener off.
    auto* conf = new tcp_conf{};
    conf->mqtt_port = ntohs(addr.sin_port);
    std::strcpy(conf->mqtt_iface, "lo");
    thread_tcp_serv_setup(conf);
    ASSERT_EQ(thread_tcp_start(), 0);
    EXPECT_EQ(tcp::servs[1].sock, -1);

    fd = socket(AF_INET, SOCK_STREAM, 0);
    timeval wait{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ASSERT_EQ(send(fd, CONNECT.data(), CONNECT.size(), MSG_NOSIGNAL), 2);
    uint64_t conn_id = expect_posted(CONNECT, 0, &addr);
    EXPECT_NE(conn_id, 0u);

    // The broker still knows a client that is gone here: it is told again.
    msg_mqtt_tcp_add_packet(conn_id + 1, new uint8_t[2]{0xD0, 0x00}, 2);
    expect_posted(CLOSE_NOTICE, conn_id + 1);

    // The broker stops too, so it is not told.
    thread_tcp_stop();
    uint8_t byte;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0);
    close(fd);
    EXPECT_EQ(msg_tcp_mqtt_get_first(), nullptr);
}

} // namespace
