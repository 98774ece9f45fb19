// halyx_bench: load generator for an MQTT broker (halyx, or mosquitto to
// compare with).
//
// Speaks raw MQTT 3.1.1 over plain TCP (or over TLS with --tls, OpenSSL),
// all clients in this one process so
// that send and receive times come from one monotonic clock; with --sn-port
// the publisher is an MQTT-SN 1.2 client over UDP instead (a gateway
// bridging into the broker), the subscribers staying MQTT. With --sub-port
// the subscribers connect to another broker, one the publisher's broker
// bridges to. Three modes:
//
//   publish/subscribe (default): N subscribers and one publisher on one
//     topic. The publisher sends M messages at a fixed rate or open loop
//     (as fast as the socket takes them); each payload carries a sequence
//     number and its send time. Reports publish-to-delivery latency,
//     deliveries per second and losses.
//   idle clients (--clients N): connects N clients, a window of them in
//     flight at a time, and reports the set-up time; then the broker's CPU
//     and memory while the clients sit idle (--pid); with --ping, whether
//     every client gets its PINGRESP.
//   many topics (--topics N): creates N topics, then streams M messages
//     open loop spread over all of them (or all to one) to a subscriber of
//     a wildcard filter matching them all. Reports deliveries per second,
//     which show how a broker's cost per publication grows with its topics.
//
// Results go to standard output as "key value" lines, anything unusual to
// standard error as "label: note" lines. Every phase is bounded in time
// (--cap, --drain, --quiet): a slow or stuck broker shows up as losses and
// notes, never as a hang.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

// MQTT-SN 1.2 message types and sizes the publisher uses.
constexpr uint8_t SN_CONNECT = 0x04, SN_CONNACK = 0x05, SN_REGISTER = 0x0A, SN_REGACK = 0x0B,
                  SN_PUBLISH = 0x0C, SN_PUBACK = 0x0D, SN_DISCONNECT = 0x18;
// The gateway reads at most this many octets of a datagram.
constexpr size_t SN_MAX_DATAGRAM = 110;
// Length, type, flags, topic id, message id.
constexpr size_t SN_PUBLISH_HEADER = 7;
// Length, type, topic id, message id.
constexpr size_t SN_REGISTER_HEADER = 6;

// ---------------------------------------------------------------------------
// Options

struct options {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string label = "run";
    int pid = 0;              // broker process to sample; 0 = none
    int keepalive = 0;        // in CONNECT; 0 = the broker times nobody out
    double cap_sec = 60;      // longest a scenario's measured phase may take

    // Publish/subscribe.
    int subs = 1;
    int count = 200;
    double rate = 10;         // messages per second; 0 = open loop
    int qos = 0;              // publish and subscription QoS
    int size = 32;            // payload bytes, at least the 16-byte stamp
    double drain_sec = 60;    // longest wait for deliveries after the last publish
    double quiet_sec = 5;     // stop waiting after this long without progress
    std::string topic;        // default bench/<pid of this tool>
    bool timeline = false;    // publications and deliveries per second
    int topics = 0;           // > 0: many-topics run over this many topics
    bool one_topic = false;   // many-topics: publish to one of them only
    int sn_port = 0;          // publish over MQTT-SN to this UDP port; 0 = MQTT
    std::string tls_ca;       // non-empty: TLS, checking the broker against these authorities
    int sub_port = 0;         // subscribers on this port of the host (a bridge's upstream); 0 = port
    double probe_sec = 20;    // --sub-port: longest wait for the bridge to carry a probe

    // Idle clients; -1 selects publish/subscribe.
    int clients = -1;
    int window = 50;          // connections between connect() and CONNACK at once
    double idle_sec = 5;      // CPU and memory sampling window
    bool ping = false;
    bool numeric = false;     // payloads are decimal numbers (a hub's history keeps those)
};

void usage()
{
    std::fprintf(stderr,
        "usage: halyx_bench [options]               publish/subscribe run\n"
        "       halyx_bench --clients N [options]   idle clients run\n"
        "       halyx_bench --topics N [options]    many-topics run\n"
        "       halyx_bench --free-port             print a free TCP port and exit\n"
        "       halyx_bench --free-udp-port         print a free UDP port and exit\n"
        "common:\n"
        "  --host ADDR      broker IPv4 address (127.0.0.1)\n"
        "  --port N         broker MQTT port (1883)\n"
        "  --pid P          broker process id: sample its CPU and RSS from /proc\n"
        "  --keepalive S    keep-alive sent in CONNECT (0 = none)\n"
        "  --cap S          longest the measured phase may take (60)\n"
        "  --label TEXT     prefix of the notes on standard error\n"
        "  --tls CAFILE     MQTT over TLS, the broker's certificate checked against CAFILE\n"
        "                   (not with --qos 1 or --sn-port)\n"
        "publish/subscribe:\n"
        "  --subs N         subscribers (1)\n"
        "  --count M        messages to publish (200)\n"
        "  --rate R         messages per second, 0 = open loop (10)\n"
        "  --qos Q          0 or 1: publish and subscription QoS (0)\n"
        "  --size B         payload bytes, 16 to 16384 (32)\n"
        "  --drain S        longest wait for deliveries after the last publish (60)\n"
        "  --quiet S        stop waiting after S seconds without a delivery (5)\n"
        "  --topic TEXT     topic (bench/<pid of this tool>)\n"
        "  --timeline       publications and deliveries per second, to standard error\n"
        "  --sn-port N      publish over MQTT-SN 1.2 to this UDP port of the host (size\n"
        "                   at most 103); the subscribers stay MQTT\n"
        "  --sub-port N     subscribers connect to this port of the host, a broker that\n"
        "                   --port bridges to; publishing starts once a probe got across\n"
        "  --probe S        longest wait for the probe (20)\n"
        "idle clients:\n"
        "  --clients N      clients to connect (0 samples the broker alone)\n"
        "  --window W       connections in set-up at once (50)\n"
        "  --idle S         seconds of CPU and RSS sampling with the clients idle (5)\n"
        "  --ping           then send PINGREQ on every client and count PINGRESPs\n"
        "  --numeric        payloads are decimal numbers \"SEQ.SENT_NS\" (--size 30 or more)\n"
        "many topics (subscriber on mt/+/x, open loop at QoS 0):\n"
        "  --topics N       first create mt/0/x ... mt/<N-1>/x, one publication each,\n"
        "                   then publish --count messages spread over all of them\n"
        "  --one-topic      ... or all to the middle topic\n");
}

bool parse_number(const char* v, double& out)
{
    char* end = nullptr;
    out = std::strtod(v, &end);
    return end != v && *end == '\0';
}

template <class T, size_t N>
T* find_option(const std::pair<const char*, T*> (&table)[N], const std::string& name)
{
    for (const auto& [n, p] : table)
        if (name == n)
            return p;
    return nullptr;
}

bool parse_args(int argc, char** argv, options& o)
{
    const std::pair<const char*, bool*> flags[] = {
        {"--timeline", &o.timeline}, {"--ping", &o.ping}, {"--one-topic", &o.one_topic},
        {"--numeric", &o.numeric}};
    const std::pair<const char*, std::string*> texts[] = {
        {"--host", &o.host}, {"--label", &o.label}, {"--topic", &o.topic}, {"--tls", &o.tls_ca}};
    const std::pair<const char*, double*> reals[] = {
        {"--cap", &o.cap_sec}, {"--rate", &o.rate}, {"--drain", &o.drain_sec},
        {"--quiet", &o.quiet_sec}, {"--idle", &o.idle_sec}, {"--probe", &o.probe_sec}};
    const std::pair<const char*, int*> ints[] = {
        {"--port", &o.port}, {"--pid", &o.pid}, {"--keepalive", &o.keepalive},
        {"--subs", &o.subs}, {"--count", &o.count}, {"--qos", &o.qos}, {"--size", &o.size},
        {"--clients", &o.clients}, {"--window", &o.window}, {"--sn-port", &o.sn_port},
        {"--topics", &o.topics}, {"--sub-port", &o.sub_port}};
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (bool* flag = find_option(flags, a)) {
            *flag = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "halyx_bench: %s needs a value\n", a.c_str());
            return false;
        }
        const char* v = argv[++i];
        double x = 0;
        if (std::string* text = find_option(texts, a)) {
            *text = v;
        } else if (!find_option(reals, a) && !find_option(ints, a)) {
            std::fprintf(stderr, "halyx_bench: unknown option %s\n", a.c_str());
            return false;
        } else if (!parse_number(v, x)) {
            std::fprintf(stderr, "halyx_bench: %s wants a number, not %s\n", a.c_str(), v);
            return false;
        } else if (double* real = find_option(reals, a)) {
            *real = x;
        } else {
            *find_option(ints, a) = int(x);
        }
    }
    if (o.subs < 1 || o.count < 1 || o.rate < 0 || (o.qos != 0 && o.qos != 1) ||
        o.size < (o.numeric ? 30 : 16) || o.size > 16384 || o.port < 1 || o.port > 65535 || o.window < 1 ||
        o.keepalive < 0 || o.keepalive > 65535 || o.cap_sec <= 0 || o.sn_port < 0 ||
        o.sn_port > 65535 || o.topics < 0 || o.sub_port < 0 || o.sub_port > 65535 ||
        o.probe_sec <= 0) {
        std::fprintf(stderr, "halyx_bench: option out of range\n");
        return false;
    }
    if (o.sub_port > 0 && (o.clients >= 0 || o.topics > 0)) {
        std::fprintf(stderr, "halyx_bench: --sub-port is for the publish/subscribe run\n");
        return false;
    }
    if (!o.tls_ca.empty() && (o.qos != 0 || o.sn_port > 0)) {
        // The publisher's session would be written by one thread and read
        // (for PUBACKs) by another.
        std::fprintf(stderr, "halyx_bench: --tls runs at QoS 0 over MQTT only\n");
        return false;
    }
    if (o.topic.empty())
        o.topic = "bench/" + std::to_string(getpid());
    if (o.sn_port > 0 && (size_t(o.size) > SN_MAX_DATAGRAM - SN_PUBLISH_HEADER ||
                          o.topic.size() > SN_MAX_DATAGRAM - SN_REGISTER_HEADER)) {
        std::fprintf(stderr, "halyx_bench: an MQTT-SN datagram takes at most %zu octets\n",
                     SN_MAX_DATAGRAM);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Clock

int64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t sec_ns(double s)
{
    return int64_t(s * 1e9);
}

void sleep_until_ns(int64_t t)
{
    timespec ts;
    ts.tv_sec = t / 1000000000;
    ts.tv_nsec = t % 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Milliseconds from now until t for a poll time-out, between 0 and max_ms.
int ms_until(int64_t t, int max_ms)
{
    int64_t left = (t - now_ns() + 999999) / 1000000;
    return int(std::clamp<int64_t>(left, 0, max_ms));
}

// ---------------------------------------------------------------------------
// MQTT 3.1.1 packets

constexpr unsigned PKT_CONNECT = 1, PKT_CONNACK = 2, PKT_PUBLISH = 3, PKT_PUBACK = 4,
                   PKT_SUBACK = 9, PKT_PINGRESP = 13;
constexpr uint8_t PINGREQ[2] = {0xc0, 0};
constexpr uint8_t DISCONNECT[2] = {0xe0, 0};

using bytes = std::vector<uint8_t>;

void put_u16(bytes& b, unsigned v)
{
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}

void put_str(bytes& b, const std::string& s)
{
    put_u16(b, unsigned(s.size()));
    b.insert(b.end(), s.begin(), s.end());
}

// Prefixes the body with the fixed header: first byte and remaining length.
bytes frame(uint8_t first, const bytes& body)
{
    bytes p{first};
    size_t len = body.size();
    do {
        uint8_t d = len % 128;
        len /= 128;
        p.push_back(len > 0 ? d | 0x80 : d);
    } while (len > 0);
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

bytes connect_packet(const std::string& client_id, int keepalive)
{
    bytes b;
    put_str(b, "MQTT");
    b.push_back(4);     // protocol level 3.1.1
    b.push_back(0x02);  // clean session
    put_u16(b, unsigned(keepalive));
    put_str(b, client_id);
    return frame(PKT_CONNECT << 4, b);
}

bytes subscribe_packet(unsigned packet_id, const std::string& filter, int qos)
{
    bytes b;
    put_u16(b, packet_id);
    put_str(b, filter);
    b.push_back(uint8_t(qos));
    return frame(0x82, b);
}

// Client ids stay within the 23 characters every 3.1.1 broker must accept.
std::string client_id(char role, int n)
{
    return "hxb" + std::to_string(getpid() % 10000000) + role + std::to_string(n);
}

// Payload: "HXB1", sequence number (u32), send time in ns (u64), filler up
// to the requested size. Host byte order: sender and receiver are this one
// process.
constexpr char STAMP_MAGIC[4] = {'H', 'X', 'B', '1'};
constexpr size_t STAMP_LEN = 16;
// Payload of the probes that show a bridge carries the topic; not a message
// of the run, and not counted as a foreign one when it comes late.
constexpr char PROBE_PAYLOAD[] = "HXB1probe";
constexpr size_t PROBE_LEN = sizeof PROBE_PAYLOAD - 1;
// --numeric: the stamp as a number instead, "%010u.%019lld" (30 bytes),
// filled with zeros, which keep it the same number.
constexpr size_t NUMERIC_STAMP_LEN = 30;
bool numeric_payload = false;

bool numeric_stamp_read(const uint8_t* b, size_t len, uint32_t& seq, int64_t& sent_ns)
{
    if (len < NUMERIC_STAMP_LEN || b[10] != '.')
        return false;
    uint64_t s = 0;
    int64_t ns = 0;
    for (size_t i = 0; i < NUMERIC_STAMP_LEN; ++i) {
        if (i == 10)
            continue;
        if (b[i] < '0' || b[i] > '9')
            return false;
        if (i < 10)
            s = s * 10 + (b[i] - '0');
        else
            ns = ns * 10 + (b[i] - '0');
    }
    seq = uint32_t(s);
    sent_ns = ns;
    return true;
}

// One PUBLISH built once; each message patches in its packet id, sequence
// number and send time, so publishing allocates nothing.
struct publish_template {
    bytes pkt;
    size_t id_at = 0;  // 0: QoS 0, no packet id
    size_t stamp_at = 0;

    publish_template(const std::string& topic, int qos, int size)
    {
        bytes b;
        put_str(b, topic);
        if (qos > 0)
            put_u16(b, 0);
        b.resize(b.size() + size_t(size), uint8_t(numeric_payload ? '0' : '.'));
        pkt = frame(uint8_t((PKT_PUBLISH << 4) | (qos << 1)), b);
        stamp_at = pkt.size() - size_t(size);
        id_at = qos > 0 ? stamp_at - 2 : 0;
        if (!numeric_payload)
            std::memcpy(&pkt[stamp_at], STAMP_MAGIC, 4);
    }

    // MQTT-SN PUBLISH to a registered topic id: flags carry the QoS in bits
    // 5-6 and topic id type 0 (normal); QoS 0 keeps message id 0.
    publish_template(unsigned topic_id, int qos, int size)
    {
        pkt = {uint8_t(SN_PUBLISH_HEADER + size_t(size)), SN_PUBLISH, uint8_t(qos << 5)};
        put_u16(pkt, topic_id);
        put_u16(pkt, 0);
        stamp_at = pkt.size();
        id_at = qos > 0 ? stamp_at - 2 : 0;
        pkt.resize(stamp_at + size_t(size), uint8_t('.'));
        std::memcpy(&pkt[stamp_at], STAMP_MAGIC, 4);
    }

    // Appends one message to out.
    void append(bytes& out, unsigned packet_id, uint32_t seq, int64_t sent_ns) const
    {
        size_t at = out.size();
        out.insert(out.end(), pkt.begin(), pkt.end());
        uint8_t* p = &out[at];
        if (id_at > 0) {
            p[id_at] = uint8_t(packet_id >> 8);
            p[id_at + 1] = uint8_t(packet_id);
        }
        if (numeric_payload) {
            char text[48];
            std::snprintf(text, sizeof text, "%010u.%019lld", seq, static_cast<long long>(sent_ns));
            std::memcpy(p + stamp_at, text, NUMERIC_STAMP_LEN);
            return;
        }
        std::memcpy(p + stamp_at + 4, &seq, 4);
        std::memcpy(p + stamp_at + 8, &sent_ns, 8);
    }
};

// Looks for one whole packet at the start of buf. Returns 1 and the header
// and body lengths when one is there, 0 when more bytes are needed, -1 when
// the remaining-length field is malformed.
int packet_split(const uint8_t* buf, size_t n, size_t& header_len, size_t& body_len)
{
    size_t len = 0;
    for (size_t i = 1; i < 5; i++) {
        if (i >= n)
            return 0;
        len |= size_t(buf[i] & 0x7f) << (7 * (i - 1));
        if ((buf[i] & 0x80) == 0) {
            header_len = i + 1;
            body_len = len;
            return n >= header_len + body_len ? 1 : 0;
        }
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Connections: non-blocking sockets, TCP_NODELAY

struct conn {
    int fd = -1;
    bytes rx;                          // start of a packet not complete yet
    std::atomic<bool> closed{false};   // closed or reset by the broker
};

// Large reads keep the receiving side cheap at 100k+ deliveries per second.
constexpr size_t READ_SIZE = 256 * 1024;

// --tls: the client context, and each connection's session by descriptor.
// Sessions are added and removed only while a single thread runs.
SSL_CTX* tls_ctx = nullptr;
std::unordered_map<int, SSL*> tls_sessions;

SSL* tls_of(int fd)
{
    if (!tls_ctx)
        return nullptr;
    auto it = tls_sessions.find(fd);
    return it == tls_sessions.end() ? nullptr : it->second;
}

void tls_close(int fd)
{
    if (SSL* ssl = tls_of(fd)) {
        SSL_free(ssl);
        tls_sessions.erase(fd);
    }
}

// Waits (at most until the deadline, 100 ms at a time) for what a TLS call
// that moved nothing asked for. False when it failed or time is up.
bool tls_retry(SSL* ssl, int fd, int r, int64_t deadline)
{
    int err = SSL_get_error(ssl, r);
    if ((err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) || now_ns() >= deadline) {
        ERR_clear_error();
        return false;
    }
    pollfd pfd{fd, short(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    poll(&pfd, 1, ms_until(deadline, 100));
    return true;
}

// A full handshake on a connected socket (no session is resumed).
bool tls_open(int fd, int64_t deadline)
{
    SSL* ssl = SSL_new(tls_ctx);
    if (!ssl || SSL_set_fd(ssl, fd) != 1) {
        SSL_free(ssl);
        return false;
    }
    tls_sessions[fd] = ssl;
    for (;;) {
        int r = SSL_connect(ssl);
        if (r == 1)
            return true;
        if (!tls_retry(ssl, fd, r, deadline))
            return false;
    }
}

// After a send that took nothing (r <= 0): waits for socket space, at most
// 100 ms. False when the socket failed or the deadline has passed.
bool send_retry(int fd, long r, int64_t deadline)
{
    if (r < 0 && errno == EINTR)
        return true;
    if ((r < 0 && errno != EAGAIN && errno != ENOBUFS) || now_ns() >= deadline)
        return false;
    pollfd pfd{fd, POLLOUT, 0};
    poll(&pfd, 1, ms_until(deadline, 100));
    return true;
}

// Sends everything, waiting for socket space until the deadline. False when
// the connection failed or the deadline passed first.
bool send_all(int fd, const uint8_t* p, size_t n, int64_t deadline)
{
    if (SSL* ssl = tls_of(fd)) {
        while (n > 0) {
            int r = SSL_write(ssl, p, int(std::min<size_t>(n, 1 << 30)));
            if (r > 0) {
                p += r;
                n -= size_t(r);
            } else if (!tls_retry(ssl, fd, r, deadline)) {
                return false;
            }
        }
        return true;
    }
    while (n > 0) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            p += r;
            n -= size_t(r);
        } else if (!send_retry(fd, r, deadline)) {
            return false;
        }
    }
    return true;
}

bool send_all(int fd, const bytes& b, int64_t deadline)
{
    return send_all(fd, b.data(), b.size(), deadline);
}

// Reads once from c and hands each whole packet to f(first byte, body,
// body length). False when the connection is gone or the broker sent a
// malformed length; c.closed is then set.
template <class F>
bool read_packets(conn& c, bytes& scratch, F&& f)
{
    ssize_t n;
    if (SSL* ssl = tls_of(c.fd)) {
        // A record at a time: read until the session needs the socket, as
        // bytes it holds bring no readiness event.
        n = 0;
        for (;;) {
            int r = SSL_read(ssl, scratch.data() + n, int(scratch.size() - size_t(n)));
            if (r > 0 && (n += r) < ssize_t(scratch.size()))
                continue;
            if (r > 0)
                break;
            int err = SSL_get_error(ssl, r);
            ERR_clear_error();
            if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
                n = n > 0 ? n : -1;
            else if (n == 0)
                return true;
            break;
        }
    } else {
        n = recv(c.fd, scratch.data(), scratch.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
    }
    if (n <= 0) {
        c.closed = true;
        return false;
    }
    // Parse straight from the read buffer unless a partial packet waits.
    const uint8_t* p = scratch.data();
    size_t len = size_t(n);
    if (!c.rx.empty()) {
        c.rx.insert(c.rx.end(), scratch.begin(), scratch.begin() + n);
        p = c.rx.data();
        len = c.rx.size();
    }
    size_t off = 0, hl = 0, bl = 0;
    int s;
    while ((s = packet_split(p + off, len - off, hl, bl)) == 1) {
        f(p[off], p + off + hl, bl);
        off += hl + bl;
    }
    if (s < 0) {
        c.closed = true;
        return false;
    }
    if (c.rx.empty())
        c.rx.assign(p + off, p + len);
    else
        c.rx.erase(c.rx.begin(), c.rx.begin() + long(off));
    return true;
}

// Starts a non-blocking connect; -1 on failure.
int start_connect(const sockaddr_in& sa)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // Every client packet leaves as its own segment, as a sensor's would.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 &&
        errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether a started connect has succeeded (call once the socket is writable).
bool connect_done(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

// Waits up to the deadline for a packet of the given type; its body goes
// to body. Other packets are dropped.
bool expect_packet(conn& c, bytes& scratch, unsigned type, int64_t deadline, bytes& body)
{
    bool got = false;
    auto take = [&](uint8_t first, const uint8_t* b, size_t n) {
        if (!got && unsigned(first >> 4) == type) {
            body.assign(b, b + n);
            got = true;
        }
    };
    while (!got) {
        if (now_ns() >= deadline)
            return false;
        pollfd pfd{c.fd, POLLIN, 0};
        if (poll(&pfd, 1, ms_until(deadline, 1000)) > 0 && !read_packets(c, scratch, take))
            return false;
    }
    return true;
}

// Connects one client and waits for CONNACK 0, one step after another, for
// the few clients of a publish/subscribe run.
bool mqtt_open(conn& c, const sockaddr_in& sa, const std::string& id, int keepalive,
               bytes& scratch)
{
    int64_t deadline = now_ns() + sec_ns(10);
    c.fd = start_connect(sa);
    if (c.fd < 0)
        return false;
    pollfd pfd{c.fd, POLLOUT, 0};
    bytes body;
    return poll(&pfd, 1, 10000) == 1 && connect_done(c.fd) && (!tls_ctx || tls_open(c.fd, deadline)) &&
           send_all(c.fd, connect_packet(id, keepalive), deadline) &&
           expect_packet(c, scratch, PKT_CONNACK, deadline, body) && body.size() == 2 &&
           body[1] == 0;
}

// MQTT DISCONNECT, or with sn the MQTT-SN one (duration absent: no sleep).
void disconnect(conn& c, bool sn = false)
{
    static constexpr uint8_t SN_DISCONNECT_PKT[2] = {2, SN_DISCONNECT};
    if (c.fd < 0)
        return;
    if (!c.closed)
        send_all(c.fd, sn ? SN_DISCONNECT_PKT : DISCONNECT, 2, now_ns() + sec_ns(0.1));
    tls_close(c.fd);
    close(c.fd);
    c.fd = -1;
}

bool resolve(const options& o, sockaddr_in& sa)
{
    sa = sockaddr_in{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(o.port));
    if (inet_pton(AF_INET, o.host.c_str(), &sa.sin_addr) == 1)
        return true;
    std::fprintf(stderr, "halyx_bench: bad IPv4 address %s\n", o.host.c_str());
    return false;
}

// Thousands of clients need as many descriptors: take the hard limit.
void raise_fd_limit()
{
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// ---------------------------------------------------------------------------
// MQTT-SN publisher: one UDP socket connected to the gateway

// Datagrams per sendmmsg() in the open loop.
constexpr size_t SN_BATCH = 256;

// Length octet, type, body: every datagram here stays under 256 octets, so
// the one-octet length form does.
bytes sn_frame(uint8_t type, const bytes& body)
{
    bytes p{uint8_t(body.size() + 2), type};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}

// Sends req and waits for a datagram of the given type, sending req again
// every second (UDP may lose either way) until the deadline.
bool sn_request(int fd, const bytes& req, uint8_t type, int64_t deadline, bytes& reply)
{
    uint8_t d[512];
    while (now_ns() < deadline) {
        if (send(fd, req.data(), req.size(), MSG_DONTWAIT) < 0 && errno == ECONNREFUSED)
            return false;
        int64_t resend = std::min(deadline, now_ns() + sec_ns(1));
        pollfd pfd{fd, POLLIN, 0};
        while (poll(&pfd, 1, ms_until(resend, 1000)) > 0) {
            ssize_t n = recv(fd, d, sizeof d, MSG_DONTWAIT);
            if (n < 0 && errno == ECONNREFUSED)  // nothing listens on the port
                return false;
            if (n >= 2 && d[0] == n && d[1] == type) {
                reply.assign(d, d + n);
                return true;
            }
        }
    }
    return false;
}

// CONNECT with clean session, then REGISTER of the topic; the id the
// gateway assigns goes to topic_id. duration is the keep-alive the gateway
// enforces (it refuses 0), so it must outlast the run's quiet phases.
bool sn_open(conn& c, const sockaddr_in& gw, const std::string& id, int duration,
             const std::string& topic, unsigned& topic_id)
{
    int64_t deadline = now_ns() + sec_ns(10);
    c.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.fd < 0 || connect(c.fd, reinterpret_cast<const sockaddr*>(&gw), sizeof gw) != 0)
        return false;
    bytes b{0x04, 0x01};  // flags: clean session; protocol id
    put_u16(b, unsigned(duration));
    b.insert(b.end(), id.begin(), id.end());
    bytes reply;
    if (!sn_request(c.fd, sn_frame(SN_CONNECT, b), SN_CONNACK, deadline, reply) ||
        reply.size() != 3 || reply[2] != 0)
        return false;
    b.clear();
    put_u16(b, 0);  // topic id: the gateway's to assign
    put_u16(b, 1);  // message id
    b.insert(b.end(), topic.begin(), topic.end());
    if (!sn_request(c.fd, sn_frame(SN_REGISTER, b), SN_REGACK, deadline, reply) ||
        reply.size() != 7 || reply[6] != 0)
        return false;
    topic_id = (unsigned(reply[2]) << 8) | reply[3];
    return true;
}

// Sends the datagrams of `each` octets laid end to end in buf (at most
// SN_BATCH), waiting for socket space until the deadline. False when the
// socket failed (ECONNREFUSED: the gateway is gone) or the deadline passed.
bool send_datagrams(int fd, const bytes& buf, size_t each, int64_t deadline)
{
    size_t n = std::min(buf.size() / each, SN_BATCH);
    iovec iov[SN_BATCH];
    mmsghdr msgs[SN_BATCH] = {};
    for (size_t k = 0; k < n; k++) {
        iov[k] = {const_cast<uint8_t*>(&buf[k * each]), each};
        msgs[k].msg_hdr.msg_iov = &iov[k];
        msgs[k].msg_hdr.msg_iovlen = 1;
    }
    size_t done = 0;
    while (done < n) {
        int r = sendmmsg(fd, msgs + done, unsigned(n - done), MSG_DONTWAIT);
        if (r > 0)
            done += size_t(r);
        else if (!send_retry(fd, r, deadline))
            return false;
    }
    return true;
}

// Datagrams the kernel dropped because the receive buffer of a socket bound
// to this UDP port was full: the last field of /proc/net/udp. -1 when
// unreadable.
long udp_drops(int port)
{
    FILE* f = std::fopen("/proc/net/udp", "r");
    if (!f)
        return -1;
    char line[512];
    long sum = 0;
    while (std::fgets(line, sizeof line, f)) {
        // sl, local address:port, remote, state, tx:rx queue, timer, retransmits,
        // uid, time-out, inode, references, pointer, drops.
        unsigned local_port = 0;
        long drops = 0;
        if (std::sscanf(line, " %*u: %*x:%x %*x:%*x %*x %*x:%*x %*x:%*x %*x %*u %*u %*u %*u %*x %ld",
                        &local_port, &drops) == 2 &&
            int(local_port) == port)
            sum += drops;
    }
    std::fclose(f);
    return sum;
}

// ---------------------------------------------------------------------------
// Output

void put(const char* key, const std::string& value)
{
    std::printf("%s %s\n", key, value.c_str());
}

void put(const char* key, const char* fmt, double v)
{
    char b[64];
    std::snprintf(b, sizeof b, fmt, v);
    put(key, b);
}

std::string fraction(long part, long whole)
{
    return std::to_string(part) + "/" + std::to_string(whole);
}

// ---------------------------------------------------------------------------
// Broker process from /proc

struct proc_sample {
    bool ok = false;
    long rss_kib = 0;
    unsigned long long cpu_ticks = 0;  // utime + stime, all threads
    int64_t t = 0;
};

proc_sample proc_read(int pid)
{
    proc_sample s;
    s.t = now_ns();
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE* f = std::fopen(path, "r");
    if (!f)
        return s;
    char line[1024];
    bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    // The command name may hold blanks and parentheses: fields are counted
    // from the last ')'. After it come state (field 3) ... utime (14), stime (15).
    const char* p = got ? std::strrchr(line, ')') : nullptr;
    unsigned long long utime = 0, stime = 0;
    if (!p || std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu",
                          &utime, &stime) != 2)
        return s;
    s.cpu_ticks = utime + stime;

    std::snprintf(path, sizeof path, "/proc/%d/status", pid);
    f = std::fopen(path, "r");
    if (!f)
        return s;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            s.rss_kib = std::strtol(line + 6, nullptr, 10);
            s.ok = true;
            break;
        }
    }
    std::fclose(f);
    return s;
}

// CPU between two samples in percent of one core. The kernel counts in
// ticks (10 ms), so over 5 s the resolution is 0.2 %.
double cpu_pct(const proc_sample& a, const proc_sample& b)
{
    double wall = double(b.t - a.t) / 1e9;
    return 100.0 * double(b.cpu_ticks - a.cpu_ticks) / double(sysconf(_SC_CLK_TCK)) / wall;
}

// ---------------------------------------------------------------------------
// Publish/subscribe run

// Counts per second from the start of publishing; one owner thread each.
struct per_second {
    std::vector<long> n;
    void add(int64_t since_start)
    {
        size_t s = size_t(std::max<int64_t>(since_start, 0) / 1000000000);
        if (s >= n.size())
            n.resize(s + 1, 0);
        n[s]++;
    }
};

struct pubsub {
    const options& o;
    publish_template tmpl;
    conn pub;
    std::vector<conn> subs;
    int64_t t0 = 0;        // first publication
    int64_t deadline = 0;  // t0 + cap

    // Publisher thread.
    std::atomic<long> sent{0};
    std::atomic<bool> pub_failed{false};
    int64_t t_last_tx = 0;
    per_second tx_timeline;

    // Receiver thread.
    std::atomic<bool> stop_rx{false};
    std::atomic<long> received{0};  // distinct (subscriber, sequence) pairs
    std::atomic<long> pubacks{0};
    long sn_refused = 0;  // MQTT-SN PUBACKs with a return code other than 0
    long sn_socket_drops = -1;  // by the kernel at the gateway's socket; -1 unknown
    int64_t t_last_rx = 0;
    long duplicates = 0, reordered = 0, foreign = 0;
    std::vector<std::vector<uint8_t>> seen;  // [subscriber][sequence]
    std::vector<long> last_seq;
    std::vector<int64_t> latency_ns;
    per_second rx_timeline;

    explicit pubsub(const options& opt)
        : o(opt), tmpl(opt.topic, opt.qos, opt.size), subs(size_t(opt.subs)),
          seen(size_t(opt.subs), std::vector<uint8_t>(size_t(opt.count), 0)),
          last_seq(size_t(opt.subs), -1)
    {
        latency_ns.reserve(size_t(opt.subs) * size_t(opt.count));
    }
};

// Paced: one message at each tick of the rate; when waking up late (rates
// of thousands per second), every message due by then goes at once, so the
// rate holds. Open loop: batches of about 64 KiB (MQTT-SN: SN_BATCH
// datagrams). Each batch is stamped with the time it is handed to the socket.
void publisher_main(pubsub& r)
{
    const options& o = r.o;
    size_t each = r.tmpl.pkt.size();
    size_t batch = o.sn_port > 0 ? SN_BATCH : std::max<size_t>(1, 65536 / each);
    bytes buf;
    buf.reserve(batch * each);
    long i = 0;
    while (i < o.count) {
        if (o.rate > 0)
            sleep_until_ns(std::min(r.deadline, r.t0 + int64_t(double(i) * 1e9 / o.rate)));
        int64_t t = now_ns();
        if (t >= r.deadline)
            break;
        buf.clear();
        long first = i;
        long due = o.rate > 0 ? long(double(t - r.t0) * o.rate / 1e9) + 1 : o.count;
        for (; i < std::min<long>(o.count, due) && size_t(i - first) < batch; i++)
            r.tmpl.append(buf, unsigned(i % 65535) + 1, uint32_t(i), t);
        if (o.sn_port > 0 ? !send_datagrams(r.pub.fd, buf, each, r.deadline)
                          : !send_all(r.pub.fd, buf, r.deadline)) {
            r.pub_failed = now_ns() < r.deadline;
            break;
        }
        r.t_last_tx = t;
        for (long k = first; k < i && o.timeline; k++)
            r.tx_timeline.add(t - r.t0);
        r.sent = i;
    }
}

// One delivery to subscriber si; QoS 1 deliveries queue a PUBACK in acks.
void on_delivery(pubsub& r, size_t si, uint8_t first, const uint8_t* b, size_t len,
                 int64_t t_rx, bytes& acks)
{
    if ((first >> 4) != PKT_PUBLISH || len < 2)
        return;
    unsigned qos = (first >> 1) & 3;
    size_t topic_len = (size_t(b[0]) << 8) | b[1];
    size_t at = 2 + topic_len;
    if (qos > 0) {
        if (at + 2 > len)
            return;
        acks.insert(acks.end(), {uint8_t(PKT_PUBACK << 4), 2, b[at], b[at + 1]});
        at += 2;
    }
    if (at <= len && len - at == PROBE_LEN && std::memcmp(b + at, PROBE_PAYLOAD, PROBE_LEN) == 0)
        return;
    uint32_t seq = 0;
    int64_t sent_ns = 0;
    if (at + STAMP_LEN <= len && std::memcmp(b + at, STAMP_MAGIC, 4) == 0) {
        std::memcpy(&seq, b + at + 4, 4);
        std::memcpy(&sent_ns, b + at + 8, 8);
    } else if (at < len) {
        numeric_stamp_read(b + at, len - at, seq, sent_ns);
    }
    if (sent_ns == 0 || seq >= uint32_t(r.o.count) ||
        std::string_view(reinterpret_cast<const char*>(b + 2), topic_len) != r.o.topic) {
        r.foreign++;
        return;
    }
    uint8_t& seen = r.seen[si][seq];
    if (seen) {
        r.duplicates++;
        return;
    }
    seen = 1;
    if (long(seq) < r.last_seq[si])
        r.reordered++;
    r.last_seq[si] = std::max(r.last_seq[si], long(seq));
    r.latency_ns.push_back(t_rx - sent_ns);
    if (r.o.timeline)
        r.rx_timeline.add(t_rx - r.t0);
    r.t_last_rx = t_rx;
    r.received.fetch_add(1, std::memory_order_relaxed);
}

// The gateway's datagrams to the MQTT-SN publisher: PUBACKs, or DISCONNECT
// when it no longer knows the client (which counts as closed). False when
// the socket failed or the session is gone.
bool read_sn_replies(pubsub& r)
{
    uint8_t d[512];
    for (;;) {
        ssize_t n = recv(r.pub.fd, d, sizeof d, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return true;
        if (n < 0 || (n >= 2 && d[1] == SN_DISCONNECT)) {
            r.pub.closed = true;
            return false;
        }
        if (n >= 7 && d[1] == SN_PUBACK)
            d[6] == 0 ? r.pubacks++ : r.sn_refused++;
    }
}

// Reads every subscriber and the publisher (for its PUBACKs) through one
// epoll set, and answers QoS 1 deliveries with one batched write per read.
void receiver_main(pubsub& r)
{
    int ep = epoll_create1(EPOLL_CLOEXEC);
    size_t n = r.subs.size();
    // Over TLS (QoS 0, nothing to read) the publisher's session is the
    // publisher thread's alone.
    size_t watched = tls_ctx ? n : n + 1;
    for (size_t i = 0; i < watched; i++) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        epoll_ctl(ep, EPOLL_CTL_ADD, i < n ? r.subs[i].fd : r.pub.fd, &ev);
    }
    bytes scratch(READ_SIZE), acks;
    epoll_event evs[64];
    while (!r.stop_rx.load()) {
        int k = epoll_wait(ep, evs, 64, 20);
        for (int e = 0; e < k; e++) {
            size_t i = size_t(evs[e].data.u64);
            conn& c = i < n ? r.subs[i] : r.pub;
            int64_t t_rx = now_ns();
            acks.clear();
            bool open = i == n && r.o.sn_port > 0 ? read_sn_replies(r) : read_packets(c, scratch, [&](uint8_t first, const uint8_t* b, size_t len) {
                if (i < n)
                    on_delivery(r, i, first, b, len, t_rx, acks);
                else if ((first >> 4) == PKT_PUBACK)
                    r.pubacks++;
            });
            if (!open)
                epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
            else if (!acks.empty())
                send_all(c.fd, acks, r.deadline);
        }
    }
    close(ep);
}

double percentile_ms(const std::vector<int64_t>& sorted, double q)
{
    size_t k = size_t(q * double(sorted.size() - 1) + 0.5);
    return double(sorted[std::min(k, sorted.size() - 1)]) / 1e6;
}

void report_pubsub(pubsub& r, double broker_cpu)
{
    const options& o = r.o;
    long sent = r.sent, received = r.received;
    long expected = sent * o.subs;
    put("sent", std::to_string(sent));
    put("delivered", fraction(received, expected));
    put("lost", std::to_string(expected - received));
    std::vector<int64_t>& lat = r.latency_ns;
    std::sort(lat.begin(), lat.end());
    const std::pair<const char*, double> quantiles[] = {
        {"p50_ms", 0.5}, {"p99_ms", 0.99}, {"max_ms", 1.0}};
    for (auto [key, q] : quantiles) {
        if (lat.empty())
            put(key, "-");
        else
            put(key, "%.3f", percentile_ms(lat, q));
    }
    double pub_window = double(r.t_last_tx - r.t0) / 1e9;
    double rx_window = double(r.t_last_rx - r.t0) / 1e9;
    put("pub_per_s", "%.0f", pub_window > 0 ? double(sent - 1) / pub_window : 0);
    put("deliveries_per_s", "%.0f", rx_window > 0 ? double(received) / rx_window : 0);
    if (broker_cpu >= 0)
        put("broker_cpu_pct", "%.0f", broker_cpu);
    if (r.sn_socket_drops >= 0)
        put("sn_socket_drops", std::to_string(r.sn_socket_drops));

    const char* l = o.label.c_str();
    if (sent < o.count)
        std::fprintf(stderr, "%s: published %ld of %d messages: %s\n", l, sent, o.count,
                     r.pub_failed ? "the connection failed" : "time cap reached");
    if (received < expected)
        std::fprintf(stderr, "%s: %ld of %ld deliveries missing at the end of the wait\n", l,
                     expected - received, expected);
    if (r.pub.closed)
        std::fprintf(stderr, "%s: %s\n", l,
                     o.sn_port > 0 ? "the gateway sent DISCONNECT to the publisher or its socket failed"
                                   : "the broker closed the publisher's connection");
    if (r.sn_socket_drops > 0)
        std::fprintf(stderr, "%s: the kernel dropped %ld datagrams at the gateway's full socket\n",
                     l, r.sn_socket_drops);
    if (r.sn_refused > 0)
        std::fprintf(stderr, "%s: %ld MQTT-SN PUBACKs refused the publication\n", l, r.sn_refused);
    long closed = std::count_if(r.subs.begin(), r.subs.end(), [](const conn& c) {
        return c.closed.load();
    });
    if (closed > 0)
        std::fprintf(stderr, "%s: the broker closed %ld of %d subscriber connections\n", l,
                     closed, o.subs);
    if (r.duplicates > 0)
        std::fprintf(stderr, "%s: %ld duplicate deliveries\n", l, r.duplicates);
    if (r.reordered > 0)
        std::fprintf(stderr, "%s: %ld deliveries out of order\n", l, r.reordered);
    if (r.foreign > 0)
        std::fprintf(stderr, "%s: %ld deliveries not from this run\n", l, r.foreign);
    if (o.qos > 0 && r.pubacks != sent)
        std::fprintf(stderr, "%s: %ld PUBACKs for %ld QoS 1 publications\n", l,
                     r.pubacks.load(), sent);
    if (o.timeline) {
        std::fprintf(stderr, "%s: second  published  delivered\n", l);
        size_t secs = std::max(r.tx_timeline.n.size(), r.rx_timeline.n.size());
        r.tx_timeline.n.resize(secs, 0);
        r.rx_timeline.n.resize(secs, 0);
        for (size_t s = 0; s < secs; s++)
            std::fprintf(stderr, "%s: %6zu %10ld %10ld\n", l, s, r.tx_timeline.n[s],
                         r.rx_timeline.n[s]);
    }
}

// Publishes a probe (QoS 0) to the run's topic every 200 ms until the first
// subscriber has it, at most probe_sec: with --sub-port the publisher's
// broker must first bridge to the subscribers' one. Deliveries at QoS 1 are
// acknowledged. Probes still on their way later are ignored. Returns the
// seconds it took, or -1.
double bridge_probe(pubsub& r, bytes& scratch)
{
    const options& o = r.o;
    bytes b;
    put_str(b, o.topic);
    b.insert(b.end(), PROBE_PAYLOAD, PROBE_PAYLOAD + PROBE_LEN);
    bytes probe = frame(PKT_PUBLISH << 4, b);
    conn& sub = r.subs[0];
    int64_t t0 = now_ns(), deadline = t0 + sec_ns(o.probe_sec);
    bool seen = false;
    while (!seen && !sub.closed && now_ns() < deadline) {
        if (!send_all(r.pub.fd, probe, deadline))
            return -1;
        int64_t next = std::min(deadline, now_ns() + 200000000);
        while (!seen && now_ns() < next) {
            pollfd pfd{sub.fd, POLLIN, 0};
            if (poll(&pfd, 1, ms_until(next, 200)) <= 0)
                continue;
            bytes acks;
            bool open = read_packets(sub, scratch, [&](uint8_t first, const uint8_t* p, size_t len) {
                if ((first >> 4) != PKT_PUBLISH || len < 2)
                    return;
                size_t at = 2 + ((size_t(p[0]) << 8) | p[1]);
                if ((first & 0x06) != 0 && at + 2 <= len) {
                    acks.insert(acks.end(), {uint8_t(PKT_PUBACK << 4), 2, p[at], p[at + 1]});
                    at += 2;
                }
                seen = seen || (at <= len && len - at == PROBE_LEN &&
                                std::memcmp(p + at, PROBE_PAYLOAD, PROBE_LEN) == 0);
            });
            if (!open)
                return -1;
            if (!acks.empty())
                send_all(sub.fd, acks, deadline);
        }
    }
    return seen ? double(now_ns() - t0) / 1e9 : -1;
}

int run_pubsub(const options& o, const sockaddr_in& sa)
{
    pubsub r(o);
    bytes scratch(READ_SIZE), body;
    sockaddr_in sub_sa = sa;
    if (o.sub_port > 0)
        sub_sa.sin_port = htons(uint16_t(o.sub_port));
    for (int i = 0; i < o.subs; i++) {
        conn& c = r.subs[size_t(i)];
        int64_t deadline = now_ns() + sec_ns(10);
        if (!mqtt_open(c, sub_sa, client_id('s', i), o.keepalive, scratch) ||
            !send_all(c.fd, subscribe_packet(1, o.topic, o.qos), deadline) ||
            !expect_packet(c, scratch, PKT_SUBACK, deadline, body) || body.size() != 3 ||
            body[2] != o.qos) {
            std::fprintf(stderr, "%s: subscriber %d: no CONNACK 0 and SUBACK %d within 10 s\n",
                         o.label.c_str(), i, o.qos);
            return 1;
        }
    }
    if (o.sn_port > 0) {
        sockaddr_in gw = sa;
        gw.sin_port = htons(uint16_t(o.sn_port));
        unsigned topic_id = 0;
        if (!sn_open(r.pub, gw, client_id('n', 0), o.keepalive > 0 ? o.keepalive : 600, o.topic,
                     topic_id)) {
            std::fprintf(stderr, "%s: MQTT-SN publisher: no CONNACK 0 and REGACK 0 within 10 s\n",
                         o.label.c_str());
            return 1;
        }
        r.tmpl = publish_template(topic_id, o.qos, o.size);
    } else if (!mqtt_open(r.pub, sa, client_id('p', 0), o.keepalive, scratch)) {
        std::fprintf(stderr, "%s: publisher: no CONNACK 0 within 10 s\n", o.label.c_str());
        return 1;
    }
    if (o.sub_port > 0) {
        double ready = bridge_probe(r, scratch);
        if (ready < 0) {
            std::fprintf(stderr, "%s: no probe got from port %d to port %d within %.0f s\n",
                         o.label.c_str(), o.port, o.sub_port, o.probe_sec);
            return 1;
        }
        put("bridge_ready_s", "%.3f", ready);
    }

    long drops0 = o.sn_port > 0 ? udp_drops(o.sn_port) : -1;
    proc_sample broker0 = proc_read(o.pid);
    r.t0 = now_ns();
    r.deadline = r.t0 + sec_ns(o.cap_sec);
    std::thread rx([&r] { receiver_main(r); });
    std::thread tx([&r] { publisher_main(r); });
    tx.join();

    // Wait until every delivery is in, nothing has come for quiet_sec, the
    // drain time is over, every subscriber is gone, or the cap is reached.
    long expected = r.sent * o.subs;
    int64_t t_end_tx = now_ns();
    int64_t drain_end = std::min(r.deadline, t_end_tx + sec_ns(o.drain_sec));
    int64_t last_progress = t_end_tx;
    long last_received = -1;
    auto all_closed = [&r] {
        return std::all_of(r.subs.begin(), r.subs.end(), [](const conn& c) {
            return c.closed.load();
        });
    };
    for (;;) {
        long got = r.received;
        int64_t t = now_ns();
        if (got != last_received) {
            last_received = got;
            last_progress = t;
        }
        if (got >= expected || t >= drain_end || t - last_progress > sec_ns(o.quiet_sec) ||
            all_closed())
            break;
        sleep_until_ns(t + 10000000);
    }
    // Give the publisher's last PUBACKs a moment.
    int64_t ack_end = std::min(r.deadline, now_ns() + sec_ns(2));
    while (o.qos > 0 && r.pubacks < r.sent && now_ns() < ack_end && !r.pub.closed)
        sleep_until_ns(now_ns() + 10000000);
    r.stop_rx = true;
    rx.join();
    proc_sample broker1 = proc_read(o.pid);
    double broker_cpu = broker0.ok && broker1.ok ? cpu_pct(broker0, broker1) : -1;
    long drops1 = o.sn_port > 0 ? udp_drops(o.sn_port) : -1;
    if (drops0 >= 0 && drops1 >= 0)
        r.sn_socket_drops = drops1 - drops0;

    disconnect(r.pub, o.sn_port > 0);
    for (conn& c : r.subs)
        disconnect(c);
    report_pubsub(r, broker_cpu);
    return 0;
}

// ---------------------------------------------------------------------------
// Many-topics run

// Topic n of the run; the subscriber's filter mt/+/x takes every one.
std::string many_topic(int n)
{
    return "mt/" + std::to_string(n) + "/x";
}

bytes publish_packet(const std::string& topic, int qos, unsigned packet_id, size_t size)
{
    bytes b;
    put_str(b, topic);
    if (qos > 0)
        put_u16(b, packet_id);
    b.resize(b.size() + size, uint8_t('.'));
    return frame(uint8_t((PKT_PUBLISH << 4) | (qos << 1)), b);
}

// Reads the subscriber until `want` publications have arrived, nothing came
// for quiet_sec, the connection closed or the deadline passed. Returns the
// count; the time of the last one goes to t_last.
long count_deliveries(conn& c, bytes& scratch, long want, const options& o, int64_t deadline,
                      int64_t& t_last)
{
    long got = 0;
    int64_t last_progress = now_ns();
    while (got < want && !c.closed) {
        int64_t t = now_ns();
        if (t >= deadline || t - last_progress > sec_ns(o.quiet_sec))
            break;
        pollfd pfd{c.fd, POLLIN, 0};
        if (poll(&pfd, 1, ms_until(deadline, 100)) <= 0)
            continue;
        long before = got;
        read_packets(c, scratch, [&](uint8_t first, const uint8_t*, size_t) {
            got += (first >> 4) == PKT_PUBLISH;
        });
        if (got != before)
            last_progress = t_last = now_ns();
    }
    return got;
}

// Creates --topics topics (one plain publication each, then a QoS 1 one
// whose PUBACK says the broker has handled them all), subscribes to mt/+/x
// and streams --count QoS 0 publications open loop, spread round-robin over
// every topic, or with --one-topic all to the middle one.
int run_topics(const options& o, const sockaddr_in& sa)
{
    const char* l = o.label.c_str();
    bytes scratch(READ_SIZE), body;
    conn pub, sub;
    if (!mqtt_open(pub, sa, client_id('p', 0), o.keepalive, scratch) ||
        !mqtt_open(sub, sa, client_id('s', 0), o.keepalive, scratch)) {
        std::fprintf(stderr, "%s: no CONNACK 0 within 10 s\n", l);
        return 1;
    }
    int64_t t_create = now_ns(), deadline = t_create + sec_ns(o.cap_sec);
    bytes batch;
    for (int n = 0; n < o.topics; n++) {
        bytes p = publish_packet(many_topic(n), 0, 0, 1);
        batch.insert(batch.end(), p.begin(), p.end());
        if (batch.size() >= 65536 || n + 1 == o.topics) {
            if (!send_all(pub.fd, batch, deadline))
                break;
            batch.clear();
        }
    }
    if (!send_all(pub.fd, publish_packet(many_topic(0), 1, 1, 1), deadline) ||
        !expect_packet(pub, scratch, PKT_PUBACK, deadline, body)) {
        std::fprintf(stderr, "%s: %d topics not created within the %.0f s cap\n", l, o.topics,
                     o.cap_sec);
        return 1;
    }
    put("create_s", "%.3f", double(now_ns() - t_create) / 1e9);
    int64_t sub_deadline = now_ns() + sec_ns(10);
    if (!send_all(sub.fd, subscribe_packet(1, "mt/+/x", 0), sub_deadline) ||
        !expect_packet(sub, scratch, PKT_SUBACK, sub_deadline, body)) {
        std::fprintf(stderr, "%s: no SUBACK within 10 s\n", l);
        return 1;
    }

    bytes stream;
    std::string one = many_topic(o.topics / 2);
    for (int i = 0; i < o.count; i++) {
        bytes p = publish_packet(o.one_topic ? one : many_topic(i % o.topics), 0, 0,
                                 size_t(o.size));
        stream.insert(stream.end(), p.begin(), p.end());
    }
    proc_sample broker0 = proc_read(o.pid);
    int64_t t0 = now_ns(), t_last = t0;
    deadline = t0 + sec_ns(o.cap_sec);
    std::atomic<bool> sent_all{false};
    std::thread tx([&] { sent_all = send_all(pub.fd, stream, deadline); });
    long got = count_deliveries(sub, scratch, o.count, o, deadline, t_last);
    tx.join();
    proc_sample broker1 = proc_read(o.pid);

    put("delivered", fraction(got, o.count));
    if (got > 0) {
        double s = double(t_last - t0) / 1e9;
        put("deliveries_per_s", "%.0f", double(got) / s);
        put("us_per_publication", "%.2f", s * 1e6 / double(got));
    }
    if (broker0.ok && broker1.ok) {
        put("broker_cpu_pct", "%.0f", cpu_pct(broker0, broker1));
        // The broker's own time, which other load on the machine leaves
        // alone; ticks of 10 ms, so at least a few thousand publications.
        double cpu_s = double(broker1.cpu_ticks - broker0.cpu_ticks) / double(sysconf(_SC_CLK_TCK));
        if (got > 0)
            put("broker_us_per_publication", "%.2f", cpu_s * 1e6 / double(got));
    }
    if (!sent_all)
        std::fprintf(stderr, "%s: the publisher could not hand over all %d publications\n", l,
                     o.count);
    if (got < o.count)
        std::fprintf(stderr, "%s: %ld of %d deliveries missing at the end of the wait%s\n", l,
                     o.count - got, o.count, sub.closed ? " (subscriber closed by the broker)" : "");
    disconnect(pub);
    disconnect(sub);
    return 0;
}

// ---------------------------------------------------------------------------
// Idle clients run

struct fleet {
    enum state : uint8_t { CONNECTING, CONNECT_SENT, CONNECTED, FAILED, CLOSED };

    const options& o;
    const sockaddr_in& sa;
    int ep = -1;
    std::vector<conn> conns;
    std::vector<state> st;
    bytes scratch;
    size_t next = 0;       // next client to start
    long in_setup = 0;     // between connect() and CONNACK
    long connected = 0, failed = 0, closed = 0, pongs = 0;
    int64_t t_last_connack = 0, t_last_pong = 0;

    fleet(const options& opt, const sockaddr_in& addr)
        : o(opt), sa(addr), ep(epoll_create1(EPOLL_CLOEXEC)), conns(size_t(opt.clients)),
          st(size_t(opt.clients), CONNECTING), scratch(65536)
    {
    }
    ~fleet() { close(ep); }

    void watch(size_t i, uint32_t events, int op)
    {
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = i;
        epoll_ctl(ep, op, conns[i].fd, &ev);
    }

    void finish_setup(size_t i, state s)
    {
        in_setup--;
        st[i] = s;
        if (s == CONNECTED) {
            connected++;
            t_last_connack = now_ns();
        } else {
            failed++;
        }
    }

    // Starts connects until the window is full.
    void launch()
    {
        while (next < conns.size() && in_setup < o.window) {
            size_t i = next++;
            in_setup++;
            conns[i].fd = start_connect(sa);
            if (conns[i].fd < 0)
                finish_setup(i, FAILED);
            else
                watch(i, EPOLLOUT, EPOLL_CTL_ADD);
        }
    }

    // Ends the set-up phase: clients still waiting for their CONNACK are
    // dropped and no more are started, so the later phases see exactly the
    // connected ones.
    void stop_setup()
    {
        for (size_t i = 0; i < next; i++) {
            if (st[i] == CONNECTING || st[i] == CONNECT_SENT) {
                tls_close(conns[i].fd);
                close(conns[i].fd);  // also leaves the epoll set
                conns[i].fd = -1;
                finish_setup(i, FAILED);
            }
        }
        next = conns.size();
    }

    void on_event(size_t i)
    {
        conn& c = conns[i];
        if (st[i] == CONNECTING) {
            bytes p = connect_packet(client_id('c', int(i)), o.keepalive);
            // Over TLS the handshake runs here, one client at a time: the
            // set-up figure then holds the broker's and the tool's work.
            if (!connect_done(c.fd) || (tls_ctx && !tls_open(c.fd, now_ns() + sec_ns(10))) ||
                !send_all(c.fd, p, now_ns() + sec_ns(1))) {
                finish_setup(i, FAILED);
                epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
                return;
            }
            st[i] = CONNECT_SENT;
            watch(i, EPOLLIN, EPOLL_CTL_MOD);
            return;
        }
        bool open = read_packets(c, scratch, [&](uint8_t first, const uint8_t* b, size_t len) {
            unsigned type = first >> 4;
            if (type == PKT_CONNACK && st[i] == CONNECT_SENT)
                finish_setup(i, len == 2 && b[1] == 0 ? CONNECTED : FAILED);
            else if (type == PKT_PINGRESP) {
                pongs++;
                t_last_pong = now_ns();
            }
        });
        if (open)
            return;
        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
        if (st[i] == CONNECT_SENT)
            finish_setup(i, FAILED);
        else if (st[i] == CONNECTED) {
            st[i] = CLOSED;
            closed++;
        }
    }

    // Handles events until done() or the deadline.
    template <class F>
    void run_until(int64_t deadline, F&& done)
    {
        epoll_event evs[256];
        while (!done() && now_ns() < deadline) {
            int k = epoll_wait(ep, evs, 256, ms_until(deadline, 100));
            for (int e = 0; e < k; e++)
                on_event(size_t(evs[e].data.u64));
            launch();
        }
    }
};

int run_clients(const options& o, const sockaddr_in& sa)
{
    const char* l = o.label.c_str();
    fleet f(o, sa);
    long n = o.clients;
    put("clients", std::to_string(n));

    // Set-up: a window of clients in flight between connect() and CONNACK,
    // so the listen backlog never overflows (a dropped SYN would add a 1 s
    // retransmission to the figure).
    int64_t t0 = now_ns();
    f.launch();
    f.run_until(t0 + sec_ns(o.cap_sec), [&] { return f.connected + f.failed >= n; });
    if (n > 0) {
        put("connected", fraction(f.connected, n));
        if (f.connected == n)
            put("connect_s", "%.3f", double(f.t_last_connack - t0) / 1e9);
        else
            put("connect_s", (fraction(f.connected, n) + " in %.0f s").c_str(),
                double(now_ns() - t0) / 1e9);
        if (f.connected + f.failed < n)
            std::fprintf(stderr, "%s: %ld of %ld clients connected within the %.0f s cap\n", l,
                         f.connected, n, o.cap_sec);
        if (f.failed > 0)
            std::fprintf(stderr, "%s: %ld clients failed to connect\n", l, f.failed);
    }
    f.stop_setup();

    // Idle: let the broker settle for a second, then sample it while the
    // clients only stay connected.
    f.run_until(now_ns() + sec_ns(n > 0 ? 1 : 0), [] { return false; });
    if (o.pid > 0) {
        proc_sample a = proc_read(o.pid);
        f.run_until(now_ns() + sec_ns(o.idle_sec), [] { return false; });
        proc_sample b = proc_read(o.pid);
        if (a.ok && b.ok) {
            put("idle_cpu_pct", "%.1f", cpu_pct(a, b));
            put("rss_mib", "%.1f", double(b.rss_kib) / 1024);
        } else {
            std::fprintf(stderr, "%s: cannot read /proc/%d\n", l, o.pid);
        }
    }

    // Ping: every connected client at once, then count the answers.
    if (o.ping && n > 0) {
        long pinged = 0;
        for (size_t i = 0; i < f.conns.size(); i++) {
            if (f.st[i] == fleet::CONNECTED &&
                send_all(f.conns[i].fd, PINGREQ, sizeof PINGREQ, now_ns() + sec_ns(1)))
                pinged++;
        }
        int64_t tp = now_ns();
        f.run_until(tp + sec_ns(o.cap_sec), [&] { return f.pongs >= pinged; });
        put("pings_answered", fraction(f.pongs, pinged));
        if (f.pongs > 0)
            put("ping_s", "%.3f", double(f.t_last_pong - tp) / 1e9);
        if (f.pongs < pinged)
            std::fprintf(stderr, "%s: %ld of %ld PINGREQs unanswered after %.0f s\n", l,
                         pinged - f.pongs, pinged, double(now_ns() - tp) / 1e9);
    }
    if (f.closed > 0)
        std::fprintf(stderr, "%s: the broker closed %ld connections\n", l, f.closed);
    for (conn& c : f.conns)
        disconnect(c);
    return 0;
}

int free_port(int type)
{
    int fd = socket(AF_INET, type, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        std::perror("halyx_bench: free port");
        return 1;
    }
    std::printf("%d\n", ntohs(sa.sin_port));
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--free-port") == 0)
        return free_port(SOCK_STREAM);
    if (argc == 2 && std::strcmp(argv[1], "--free-udp-port") == 0)
        return free_port(SOCK_DGRAM);
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage();
        return 0;
    }
    options o;
    sockaddr_in sa;
    if (!parse_args(argc, argv, o) || !resolve(o, sa)) {
        usage();
        return 2;
    }
    numeric_payload = o.numeric;
    if (o.pid > 0 && !proc_read(o.pid).ok) {
        std::fprintf(stderr, "halyx_bench: cannot read /proc/%d\n", o.pid);
        return 1;
    }
    raise_fd_limit();
    if (!o.tls_ca.empty()) {
        tls_ctx = SSL_CTX_new(TLS_client_method());
        if (!tls_ctx || SSL_CTX_load_verify_locations(tls_ctx, o.tls_ca.c_str(), nullptr) != 1) {
            std::fprintf(stderr, "halyx_bench: cannot load %s\n", o.tls_ca.c_str());
            return 1;
        }
        SSL_CTX_set_verify(tls_ctx, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_min_proto_version(tls_ctx, TLS1_2_VERSION);
    }
    int rc = o.clients >= 0 ? run_clients(o, sa) : o.topics > 0 ? run_topics(o, sa) : run_pubsub(o, sa);
    std::fflush(stdout);
    return rc;
}
