// halyx_bench: load generator for the halyx MQTT broker.
//
// Connects one publisher and N subscribers over plain TCP, speaking raw
// MQTT 3.1.1, subscribes the N clients to one topic, publishes M messages
// whose payload carries a sequence number and the send time, and reports
// publish-to-delivery latency, delivered messages per second and losses.
// With --pid it also samples the broker's resident memory and CPU time from
// /proc, first while nothing is connected, then under the load.
//
// Threads: the main thread sets up the clients and drives the phases, one
// publisher thread sends, one receiver thread reads every socket (and
// answers QoS 1 deliveries with PUBACK), one sampler thread reads /proc.
// All clients run in this process, so send and receive times come from the
// same monotonic clock.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Options

struct options {
    std::string host = "127.0.0.1";
    int port = 1883;
    int subs = 1;
    int count = 200;
    double rate = 10.0;       // messages per second; 0 = open loop
    int qos = 0;              // publish QoS and subscription QoS
    int size = 32;            // payload bytes (at least the 16-byte stamp)
    int pid = 0;              // broker process to sample; 0 = none
    double idle_sec = 3.0;    // idle sampling before the load
    double drain_sec = 60.0;  // longest wait for deliveries after the last publish
    double quiet_sec = 5.0;   // stop draining after this long without a delivery
    int keepalive = 0;
    std::string label = "run";
    std::string topic;        // default: bench/<pid of this tool>/<label>
    bool header = true;
    bool timeline = false;    // per-second publish and delivery counts
};

void usage()
{
    std::fprintf(stderr,
        "usage: halyx_bench [options]\n"
        "       halyx_bench --free-port   print a free TCP port of this host and exit\n"
        "  --host ADDR      broker IPv4 address (127.0.0.1)\n"
        "  --port N         broker MQTT port (1883)\n"
        "  --subs N         subscribers (1)\n"
        "  --count M        messages to publish (200)\n"
        "  --rate R         messages per second, 0 = open loop (10)\n"
        "  --qos Q          0 or 1: publish and subscription QoS (0)\n"
        "  --size B         payload bytes, at least 16 (32)\n"
        "  --pid P          broker process id: sample its RSS and CPU\n"
        "  --idle S         seconds of idle sampling before the load (3)\n"
        "  --drain S        longest wait for deliveries after the last publish (60)\n"
        "  --quiet S        stop waiting after S seconds without a delivery (5)\n"
        "  --keepalive S    keep-alive sent in CONNECT (0 = none)\n"
        "  --label TEXT     scenario name shown in the table\n"
        "  --topic TEXT     topic to use (default bench/<pid>/<label>)\n"
        "  --no-header      print the result row without the table header\n"
        "  --timeline       also print publications and deliveries per second\n"
        "                   (to standard error)\n");
}

bool parse_args(int argc, char** argv, options& o)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--no-header") {
            o.header = false;
            continue;
        }
        if (a == "--timeline") {
            o.timeline = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "halyx_bench: %s needs a value\n", a.c_str());
            return false;
        }
        const char* v = argv[++i];
        if (a == "--host") o.host = v;
        else if (a == "--port") o.port = std::atoi(v);
        else if (a == "--subs") o.subs = std::atoi(v);
        else if (a == "--count") o.count = std::atoi(v);
        else if (a == "--rate") o.rate = std::atof(v);
        else if (a == "--qos") o.qos = std::atoi(v);
        else if (a == "--size") o.size = std::atoi(v);
        else if (a == "--pid") o.pid = std::atoi(v);
        else if (a == "--idle") o.idle_sec = std::atof(v);
        else if (a == "--drain") o.drain_sec = std::atof(v);
        else if (a == "--quiet") o.quiet_sec = std::atof(v);
        else if (a == "--keepalive") o.keepalive = std::atoi(v);
        else if (a == "--label") o.label = v;
        else if (a == "--topic") o.topic = v;
        else {
            std::fprintf(stderr, "halyx_bench: unknown option %s\n", a.c_str());
            return false;
        }
    }
    if (o.subs < 1 || o.count < 1 || o.rate < 0 || (o.qos != 0 && o.qos != 1) ||
        o.size < 16 || o.size > 16384 || o.port < 1 || o.port > 65535) {
        std::fprintf(stderr, "halyx_bench: option out of range\n");
        return false;
    }
    if (o.topic.empty())
        o.topic = "bench/" + std::to_string(getpid()) + "/" + o.label;
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

void sleep_until_ns(int64_t t)
{
    timespec ts;
    ts.tv_sec = t / 1000000000;
    ts.tv_nsec = t % 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void sleep_ms(int ms)
{
    sleep_until_ns(now_ns() + int64_t(ms) * 1000000);
}

// ---------------------------------------------------------------------------
// MQTT 3.1.1 packets

constexpr uint8_t PKT_CONNECT = 1, PKT_CONNACK = 2, PKT_PUBLISH = 3, PKT_PUBACK = 4,
                  PKT_SUBACK = 9, PKT_DISCONNECT = 14;

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
    bytes p;
    p.push_back(first);
    size_t len = body.size();
    do {
        uint8_t d = len % 128;
        len /= 128;
        if (len > 0)
            d |= 0x80;
        p.push_back(d);
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

bytes puback_packet(unsigned packet_id)
{
    bytes b;
    put_u16(b, packet_id);
    return frame(PKT_PUBACK << 4, b);
}

// Payload layout: "HXB1", sequence number (u32), send time in ns (u64), then
// filler up to the requested size. Host byte order: sender and receiver are
// this one process.
constexpr char STAMP_MAGIC[4] = {'H', 'X', 'B', '1'};
constexpr size_t STAMP_LEN = 16;

bytes publish_packet(const std::string& topic, int qos, unsigned packet_id, uint32_t seq,
                     int64_t sent_ns, int size)
{
    bytes b;
    put_str(b, topic);
    if (qos > 0)
        put_u16(b, packet_id);
    size_t at = b.size();
    b.resize(at + size_t(size), uint8_t('.'));
    std::memcpy(&b[at], STAMP_MAGIC, 4);
    std::memcpy(&b[at + 4], &seq, 4);
    std::memcpy(&b[at + 8], &sent_ns, 8);
    return frame(uint8_t((PKT_PUBLISH << 4) | (qos << 1)), b);
}

// Looks for one whole packet at the start of buf. Returns 1 and the header
// and body lengths when one is there, 0 when more bytes are needed, -1 when
// the remaining-length field is malformed.
int packet_split(const uint8_t* buf, size_t n, size_t& header_len, size_t& body_len)
{
    if (n < 2)
        return 0;
    size_t len = 0;
    unsigned shift = 0;
    for (size_t i = 1; i < 5; i++) {
        if (i >= n)
            return 0;
        len |= size_t(buf[i] & 0x7f) << shift;
        shift += 7;
        if ((buf[i] & 0x80) == 0) {
            header_len = i + 1;
            body_len = len;
            return n >= header_len + body_len ? 1 : 0;
        }
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Client connections

struct client {
    int fd = -1;
    bytes rx;            // bytes received and not yet parsed
    std::atomic<bool> closed{false};  // the broker closed the connection
};

bool send_all(int fd, const bytes& p)
{
    size_t off = 0;
    while (off < p.size()) {
        ssize_t r = send(fd, p.data() + off, p.size() - off, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        off += size_t(r);
    }
    return true;
}

int tcp_connect(const std::string& host, int port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) {
        std::fprintf(stderr, "halyx_bench: bad IPv4 address %s\n", host.c_str());
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        std::fprintf(stderr, "halyx_bench: connect %s:%d: %s\n", host.c_str(), port,
                     std::strerror(errno));
        close(fd);
        return -1;
    }
    // Every client message leaves as its own segment, as a sensor's would.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Reads until one whole packet is buffered, or timeout_ms passes. Returns the
// packet (fixed header included) or an empty vector.
bytes read_packet(client& c, int timeout_ms)
{
    int64_t deadline = now_ns() + int64_t(timeout_ms) * 1000000;
    for (;;) {
        size_t hl = 0, bl = 0;
        int r = packet_split(c.rx.data(), c.rx.size(), hl, bl);
        if (r < 0)
            return {};
        if (r == 1) {
            bytes p(c.rx.begin(), c.rx.begin() + long(hl + bl));
            c.rx.erase(c.rx.begin(), c.rx.begin() + long(hl + bl));
            return p;
        }
        int left = int((deadline - now_ns()) / 1000000);
        if (left <= 0)
            return {};
        pollfd pfd{c.fd, POLLIN, 0};
        if (poll(&pfd, 1, left) <= 0)
            continue;
        uint8_t buf[4096];
        ssize_t n = recv(c.fd, buf, sizeof buf, 0);
        if (n <= 0) {
            c.closed = true;
            return {};
        }
        c.rx.insert(c.rx.end(), buf, buf + n);
    }
}

bool mqtt_connect(client& c, const options& o, const std::string& client_id)
{
    c.fd = tcp_connect(o.host, o.port);
    if (c.fd < 0)
        return false;
    if (!send_all(c.fd, connect_packet(client_id, o.keepalive)))
        return false;
    bytes p = read_packet(c, 10000);
    if (p.size() != 4 || (p[0] >> 4) != PKT_CONNACK || p[3] != 0) {
        std::fprintf(stderr, "halyx_bench: %s: no CONNACK 0 within 10 s\n", client_id.c_str());
        return false;
    }
    return true;
}

bool mqtt_subscribe(client& c, const options& o, const std::string& client_id)
{
    if (!send_all(c.fd, subscribe_packet(1, o.topic, o.qos)))
        return false;
    bytes p = read_packet(c, 10000);
    if (p.size() != 5 || (p[0] >> 4) != PKT_SUBACK || p[4] != uint8_t(o.qos)) {
        std::fprintf(stderr, "halyx_bench: %s: no SUBACK %d within 10 s\n", client_id.c_str(),
                     o.qos);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Broker process sampling from /proc

struct proc_sample {
    bool ok = false;
    long rss_kib = 0;
    unsigned long long cpu_ticks = 0;  // utime + stime, all threads
};

proc_sample proc_read(int pid)
{
    proc_sample s;
    if (pid <= 0)
        return s;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE* f = std::fopen(path, "r");
    if (!f)
        return s;
    char line[1024];
    bool got = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    if (!got)
        return s;
    // The command name may hold blanks and parentheses: fields are counted
    // from the last ')'. After it come state (field 3) ... utime (14), stime (15).
    const char* p = std::strrchr(line, ')');
    if (!p)
        return s;
    unsigned long long utime = 0, stime = 0;
    if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                    &stime) != 2)
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

// CPU use and memory of the broker over one phase. The sampler thread reads
// /proc every 100 ms until stop is set.
struct phase_usage {
    bool ok = false;
    double cpu_pct = 0;   // percent of one core
    long rss_start = 0, rss_max = 0, rss_end = 0;
};

class sampler {
public:
    explicit sampler(int pid) : pid_(pid) {}

    void start()
    {
        stop_ = false;
        first_ = proc_read(pid_);
        t0_ = now_ns();
        rss_max_ = first_.rss_kib;
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                sleep_ms(100);
                proc_sample s = proc_read(pid_);
                if (s.ok)
                    rss_max_ = std::max(rss_max_.load(), s.rss_kib);
            }
        });
    }

    phase_usage finish()
    {
        stop_ = true;
        thread_.join();
        proc_sample last = proc_read(pid_);
        double wall = double(now_ns() - t0_) / 1e9;
        phase_usage u;
        if (!first_.ok || !last.ok || wall <= 0)
            return u;
        u.ok = true;
        u.cpu_pct = 100.0 * double(last.cpu_ticks - first_.cpu_ticks) /
                    double(sysconf(_SC_CLK_TCK)) / wall;
        u.rss_start = first_.rss_kib;
        u.rss_end = last.rss_kib;
        u.rss_max = std::max(rss_max_.load(), last.rss_kib);
        return u;
    }

private:
    int pid_;
    std::atomic<bool> stop_{false};
    std::atomic<long> rss_max_{0};
    proc_sample first_;
    int64_t t0_ = 0;
    std::thread thread_;
};

// ---------------------------------------------------------------------------
// The run

struct run_state {
    const options* o = nullptr;
    client pub;
    std::vector<std::unique_ptr<client>> subs;

    // Publisher thread.
    std::atomic<int> sent{0};
    std::atomic<bool> pub_failed{false};
    int64_t t_first_tx = 0, t_last_tx = 0;
    std::vector<int64_t> tx_ns;  // send time of each publication

    // Receiver thread.
    std::atomic<bool> stop_rx{false};
    std::atomic<long> received{0};      // distinct (subscriber, sequence) pairs
    std::atomic<int64_t> t_last_rx{0};
    int64_t t_first_rx = 0;
    long duplicates = 0, reordered = 0, foreign = 0;
    std::atomic<long> pubacks{0};
    std::vector<std::vector<uint8_t>> seen;  // [subscriber][sequence]
    std::vector<int64_t> last_seq;
    std::vector<int64_t> latency_ns;
    std::vector<int64_t> rx_ns;  // arrival time of each counted delivery
};

void publisher_main(run_state& st)
{
    const options& o = *st.o;
    int64_t t0 = now_ns();
    st.t_first_tx = t0;
    for (int i = 0; i < o.count; i++) {
        if (o.rate > 0)
            sleep_until_ns(t0 + int64_t(double(i) * 1e9 / o.rate));
        int64_t t = now_ns();
        unsigned packet_id = unsigned(i % 65535) + 1;
        if (!send_all(st.pub.fd, publish_packet(o.topic, o.qos, packet_id, uint32_t(i), t, o.size))) {
            st.pub_failed = true;
            break;
        }
        st.t_last_tx = t;
        st.tx_ns.push_back(t);
        st.sent = i + 1;
    }
}

// Handles one packet that arrived on subscriber index si (-1: the publisher).
void on_packet(run_state& st, int si, const uint8_t* p, size_t header_len, size_t body_len,
               int64_t t_rx)
{
    unsigned type = p[0] >> 4;
    const uint8_t* b = p + header_len;
    if (si < 0) {
        if (type == PKT_PUBACK)
            st.pubacks++;
        return;
    }
    if (type != PKT_PUBLISH || body_len < 2)
        return;
    unsigned qos = (p[0] >> 1) & 3;
    size_t topic_len = (size_t(b[0]) << 8) | b[1];
    size_t at = 2 + topic_len;
    if (qos > 0) {
        if (at + 2 > body_len)
            return;
        unsigned packet_id = (unsigned(b[at]) << 8) | b[at + 1];
        at += 2;
        send_all(st.subs[size_t(si)]->fd, puback_packet(packet_id));
    }
    if (at + STAMP_LEN > body_len || std::memcmp(b + at, STAMP_MAGIC, 4) != 0 ||
        topic_len != st.o->topic.size() ||
        std::memcmp(b + 2, st.o->topic.data(), topic_len) != 0) {
        st.foreign++;
        return;
    }
    uint32_t seq;
    int64_t sent_ns;
    std::memcpy(&seq, b + at + 4, 4);
    std::memcpy(&sent_ns, b + at + 8, 8);
    if (seq >= uint32_t(st.o->count)) {
        st.foreign++;
        return;
    }
    auto& seen = st.seen[size_t(si)];
    if (seen[seq]) {
        st.duplicates++;
        return;
    }
    seen[seq] = 1;
    if (int64_t(seq) < st.last_seq[size_t(si)])
        st.reordered++;
    st.last_seq[size_t(si)] = std::max<int64_t>(st.last_seq[size_t(si)], seq);
    st.latency_ns.push_back(t_rx - sent_ns);
    st.rx_ns.push_back(t_rx);
    if (st.t_first_rx == 0)
        st.t_first_rx = t_rx;
    st.t_last_rx = t_rx;
    st.received++;
}

void receiver_main(run_state& st)
{
    size_t n = st.subs.size();
    std::vector<pollfd> pfds(n + 1);
    std::vector<client*> who(n + 1);
    for (size_t i = 0; i < n; i++)
        who[i] = st.subs[i].get();
    who[n] = &st.pub;
    std::vector<uint8_t> buf(65536);

    while (!st.stop_rx.load()) {
        for (size_t i = 0; i <= n; i++) {
            pfds[i].fd = who[i]->closed ? -1 : who[i]->fd;
            pfds[i].events = POLLIN;
            pfds[i].revents = 0;
        }
        if (poll(pfds.data(), pfds.size(), 50) <= 0)
            continue;
        for (size_t i = 0; i <= n; i++) {
            if (pfds[i].revents == 0)
                continue;
            client& c = *who[i];
            ssize_t r = recv(c.fd, buf.data(), buf.size(), 0);
            if (r <= 0) {
                c.closed = true;
                continue;
            }
            int64_t t_rx = now_ns();
            c.rx.insert(c.rx.end(), buf.begin(), buf.begin() + r);
            size_t off = 0, hl = 0, bl = 0;
            int s;
            while ((s = packet_split(c.rx.data() + off, c.rx.size() - off, hl, bl)) == 1) {
                on_packet(st, i == n ? -1 : int(i), c.rx.data() + off, hl, bl, t_rx);
                off += hl + bl;
            }
            if (s < 0) {
                std::fprintf(stderr, "halyx_bench: malformed packet from the broker\n");
                c.rx.clear();
            } else {
                c.rx.erase(c.rx.begin(), c.rx.begin() + long(off));
            }
        }
    }
}

double percentile_ms(const std::vector<int64_t>& sorted, double q)
{
    if (sorted.empty())
        return 0;
    size_t k = size_t(q * double(sorted.size() - 1) + 0.5);
    return double(sorted[std::min(k, sorted.size() - 1)]) / 1e6;
}

std::string fmt(const char* f, double v)
{
    char b[32];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

void print_table(const options& o, run_state& st, const phase_usage& idle,
                 const phase_usage& load, double pub_window, double delivery_window)
{
    std::vector<int64_t>& lat = st.latency_ns;
    std::sort(lat.begin(), lat.end());
    long expected = long(st.sent.load()) * long(o.subs);
    long received = st.received.load();
    double pub_rate = pub_window > 0 ? double(st.sent.load() - 1) / pub_window : 0;
    double deliv_rate = delivery_window > 0 ? double(received) / delivery_window : 0;

    if (o.header) {
        std::printf("%-12s %4s %3s %7s %7s %6s %6s %6s %8s %8s %8s %7s %6s %6s %7s %7s\n",
                    "scenario", "subs", "qos", "rate", "pub/s", "expect", "recv", "lost",
                    "p50 ms", "p99 ms", "max ms", "deliv/s", "cpu0 %", "cpu %", "rss0 KiB",
                    "rss KiB");
    }
    std::string rate = o.rate > 0 ? fmt("%.0f", o.rate) : "open";
    std::string cpu0 = idle.ok ? fmt("%.1f", idle.cpu_pct) : "-";
    std::string cpu1 = load.ok ? fmt("%.1f", load.cpu_pct) : "-";
    std::string rss0 = idle.ok ? std::to_string(idle.rss_max) : "-";
    std::string rss1 = load.ok ? std::to_string(load.rss_max) : "-";
    std::printf("%-12s %4d %3d %7s %7.0f %6ld %6ld %6ld %8.1f %8.1f %8.1f %7.1f %6s %6s %7s %7s\n",
                o.label.c_str(), o.subs, o.qos, rate.c_str(), pub_rate, expected, received,
                expected - received, percentile_ms(lat, 0.50), percentile_ms(lat, 0.99),
                lat.empty() ? 0.0 : double(lat.back()) / 1e6, deliv_rate, cpu0.c_str(),
                cpu1.c_str(), rss0.c_str(), rss1.c_str());
    std::fflush(stdout);

    // Anything unusual goes to standard error, one note per line.
    const char* l = o.label.c_str();
    if (st.sent.load() < o.count)
        std::fprintf(stderr, "%s: publisher stopped after %d of %d messages (%s)\n", l,
                     st.sent.load(), o.count,
                     st.pub.closed ? "broker closed the connection" : "send failed");
    else if (st.pub.closed)
        std::fprintf(stderr, "%s: broker closed the publisher's connection\n", l);
    int closed = 0;
    for (const auto& c : st.subs)
        closed += c->closed ? 1 : 0;
    if (closed > 0)
        std::fprintf(stderr, "%s: broker closed %d of %d subscriber connections\n", l, closed,
                     o.subs);
    if (st.duplicates > 0)
        std::fprintf(stderr, "%s: %ld duplicate deliveries\n", l, st.duplicates);
    if (st.reordered > 0)
        std::fprintf(stderr, "%s: %ld deliveries out of order\n", l, st.reordered);
    if (st.foreign > 0)
        std::fprintf(stderr, "%s: %ld deliveries not from this run\n", l, st.foreign);
    if (o.qos > 0 && st.pubacks != st.sent.load())
        std::fprintf(stderr, "%s: %ld PUBACKs for %d QoS 1 publications\n", l, st.pubacks.load(),
                     st.sent.load());
    if (load.ok && load.rss_end > idle.rss_max + 512)
        std::fprintf(stderr, "%s: broker RSS %ld KiB after the load (idle %ld KiB)\n", l,
                     load.rss_end, idle.rss_max);
}

// Publications sent and deliveries received in each second of the run,
// counted from the first publication.
void print_timeline(const options& o, const run_state& st)
{
    auto second = [&st](int64_t t) { return size_t((t - st.t_first_tx) / 1000000000); };
    size_t n = 1;
    if (!st.tx_ns.empty())
        n = std::max(n, second(st.tx_ns.back()) + 1);
    if (!st.rx_ns.empty())
        n = std::max(n, second(st.rx_ns.back()) + 1);
    std::vector<long> tx(n, 0), rx(n, 0);
    for (int64_t t : st.tx_ns)
        tx[second(t)]++;
    for (int64_t t : st.rx_ns)
        rx[second(t)]++;
    std::fprintf(stderr, "%s: second  published  delivered\n", o.label.c_str());
    for (size_t i = 0; i < n; i++)
        std::fprintf(stderr, "%s: %6zu %10ld %10ld\n", o.label.c_str(), i, tx[i], rx[i]);
}

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
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
        return free_port();
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage();
        return 0;
    }
    options o;
    if (!parse_args(argc, argv, o)) {
        usage();
        return 2;
    }

    // Idle: the broker as it runs with no client of ours connected.
    phase_usage idle;
    if (o.pid > 0) {
        if (!proc_read(o.pid).ok) {
            std::fprintf(stderr, "halyx_bench: cannot read /proc/%d\n", o.pid);
            return 1;
        }
        sampler s(o.pid);
        s.start();
        sleep_until_ns(now_ns() + int64_t(o.idle_sec * 1e9));
        idle = s.finish();
    }

    run_state st;
    st.o = &o;
    for (int i = 0; i < o.subs; i++)
        st.subs.push_back(std::make_unique<client>());
    st.seen.assign(size_t(o.subs), std::vector<uint8_t>(size_t(o.count), 0));
    st.last_seq.assign(size_t(o.subs), -1);
    st.latency_ns.reserve(size_t(o.subs) * size_t(o.count));
    st.rx_ns.reserve(size_t(o.subs) * size_t(o.count));
    st.tx_ns.reserve(size_t(o.count));

    std::string tag = std::to_string(getpid());
    for (int i = 0; i < o.subs; i++) {
        std::string id = "hxb" + tag + "s" + std::to_string(i);
        if (!mqtt_connect(*st.subs[size_t(i)], o, id) || !mqtt_subscribe(*st.subs[size_t(i)], o, id))
            return 1;
    }
    if (!mqtt_connect(st.pub, o, "hxb" + tag + "p"))
        return 1;

    sampler load_sampler(o.pid);
    if (o.pid > 0)
        load_sampler.start();
    std::thread rx([&st] { receiver_main(st); });
    std::thread tx([&st] { publisher_main(st); });
    tx.join();

    // Drain: wait until every delivery is in, the broker has been silent for
    // quiet_sec, or drain_sec have passed since the last publish.
    long expected = long(st.sent.load()) * long(o.subs);
    int64_t t_end_tx = now_ns();
    int64_t last_progress = t_end_tx;
    long last_received = -1;
    for (;;) {
        long r = st.received.load();
        int64_t t = now_ns();
        if (r >= expected)
            break;
        if (r != last_received) {
            last_received = r;
            last_progress = t;
        }
        if (t - last_progress > int64_t(o.quiet_sec * 1e9) ||
            t - t_end_tx > int64_t(o.drain_sec * 1e9))
            break;
        bool all_closed = true;
        for (const auto& c : st.subs)
            all_closed = all_closed && c->closed;
        if (all_closed)
            break;
        sleep_ms(20);
    }
    // Let the publisher's last PUBACK arrive before the receiver stops.
    if (o.qos > 0) {
        int64_t until = now_ns() + 2000000000LL;
        while (st.pubacks < st.sent.load() && now_ns() < until && !st.pub.closed)
            sleep_ms(20);
    }
    st.stop_rx = true;
    rx.join();
    phase_usage load;
    if (o.pid > 0)
        load = load_sampler.finish();

    bytes disconnect = frame(PKT_DISCONNECT << 4, {});
    send_all(st.pub.fd, disconnect);
    close(st.pub.fd);
    for (const auto& c : st.subs) {
        send_all(c->fd, disconnect);
        close(c->fd);
    }

    double pub_window = double(st.t_last_tx - st.t_first_tx) / 1e9;
    double delivery_window = double(st.t_last_rx.load() - st.t_first_tx) / 1e9;
    print_table(o, st, idle, load, pub_window, delivery_window);
    if (o.timeline)
        print_timeline(o, st);
    return 0;
}
