// The bridge thread. One connection at a time, non-blocking, driven by
// poll on the socket and the thread's waker; the host name is resolved
// here (getaddrinfo blocks, but only this thread).
#include "bridge/bridge.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "channels/bridge.h"
#include "codec/mqtt.h"
#include "logging.h"
#include "store/store.h"
#include "thread_module.h"
#include "tls.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Reconnect back-off: doubled per failed attempt, back to the first after
// a CONNACK.
constexpr auto BACKOFF_FIRST = std::chrono::seconds(1);
constexpr auto BACKOFF_MAX = std::chrono::seconds(60);
// Connect, TLS handshake and CONNACK together, at most.
constexpr auto CONNECT_TIMEOUT = std::chrono::seconds(10);
// QoS 1 publications sent and not yet acknowledged, at most: keeps the
// upstream's and our buffers small while order is kept.
constexpr size_t INFLIGHT_MAX = 100;
// Encoded bytes waiting for the socket past which no more are encoded.
constexpr size_t OUTPUT_HIGH = 256 * 1024;
// The largest packet taken from the upstream; a bigger one closes the link.
constexpr uint32_t INPUT_PACKET_MAX = 16u << 20;
// Records taken from the broker per pass.
constexpr uint32_t BATCH = 1024;

bool bridge_setup_thread();
void bridge_loop();
void bridge_release();
thread_module module{bridge_setup_thread, bridge_loop, bridge_release};

bridge_conf* conf = nullptr;
SSL_CTX* tls_ctx = nullptr;
std::string client_id;
std::vector<std::string> in_filters; // local names

struct held_pub {
    std::string topic; // upstream name, prefix included
    std::string payload;
    uint8_t retain;
    uint8_t qos;
    uint16_t msg_id;
    bool sent_before; // DUP when sent again
    uint64_t seq;
};
// Oldest first; the first `inflight` entries were sent and wait for PUBACK.
std::deque<held_pub> held;
size_t held_bytes = 0; // their topics and payloads
size_t inflight = 0;
uint16_t next_msg_id = 1;
uint64_t dropped = 0; // this episode's drops from a full queue
uint64_t next_seq = 1;

// With the store on, the held QoS 1 publications also go to the store, as
// changes, at most once a second: one taken and acknowledged within the
// second never reaches it.
bool keep_held = false;
std::vector<bridge_held> store_added;   // taken since the last record
std::unordered_set<uint64_t> store_done_new; // of those, the ones done
std::vector<uint64_t> store_done;       // done, taken before the last record
uint64_t store_window_first = 1;        // the first sequence of store_added
clock_type::time_point store_sent_at{};

enum class link { down, connecting, handshake, connack_wait, up };
link state = link::down;
int sock = -1;
SSL* ssl = nullptr;
std::string out;
size_t out_sent = 0;
std::vector<uint8_t> in;
clock_type::time_point attempt_at{};
clock_type::duration backoff = BACKOFF_FIRST;
clock_type::time_point link_started{};
clock_type::time_point last_sent{};
clock_type::time_point last_received{};
// The private bridge protocol level first (mosquitto's "try_private": the
// upstream then sends nothing back that it got from us); plain 3.1.1 after
// an upstream refused it.
bool try_private = true;
bool reported_up = false;
size_t address_turn = 0; // which of the upstream's addresses to try next
bool reported_down = false;
size_t queued_published = SIZE_MAX;
clock_type::time_point queued_published_at{};

void held_done(const held_pub& pub)
{
    if (!keep_held || pub.qos == 0)
        return;
    if (pub.seq >= store_window_first)
        store_done_new.insert(pub.seq);
    else
        store_done.push_back(pub.seq);
}

void store_send(bool force)
{
    auto now = clock_type::now();
    if (!keep_held || (!force && now - store_sent_at < std::chrono::seconds(1)))
        return;
    store_sent_at = now;
    store_window_first = next_seq;
    if (store_added.size() == store_done_new.size() && store_done.empty()) {
        store_added.clear();
        store_done_new.clear();
        return;
    }
    bridge_store_msg* record = msg_bridge_store_new();
    for (bridge_held& pub : store_added)
        if (!store_done_new.count(pub.seq))
            record->added.push_back(std::move(pub));
    record->done = std::move(store_done);
    store_added.clear();
    store_done_new.clear();
    store_done.clear();
    msg_bridge_store_add(record);
}

size_t held_pub_bytes(const held_pub& pub)
{
    return pub.topic.size() + pub.payload.size();
}

void held_erase(size_t i)
{
    held_bytes -= held_pub_bytes(held[i]);
    held.erase(held.begin() + static_cast<long>(i));
    if (i < inflight)
        --inflight;
}

std::string upstream_name()
{
    std::string host = conf->bridge_address;
    if (host.find(':') != std::string::npos)
        host = "[" + host + "]";
    return host + ":" + std::to_string(conf->bridge_port);
}

void publish_state(const char* topic, const std::string& value)
{
    bridge_in_add(topic, value, 1);
}

void publish_queued(bool force)
{
    auto now = clock_type::now();
    // At most once a second, unless forced: a burst would flood the topic.
    if (held.size() == queued_published || (!force && now - queued_published_at < std::chrono::seconds(1)))
        return;
    queued_published = held.size();
    queued_published_at = now;
    publish_state("$SYS/bridge/queued", std::to_string(held.size()));
}

// ----- encoding

void put_u16(std::string& s, size_t v)
{
    s.push_back(static_cast<char>((v >> 8) & 0xff));
    s.push_back(static_cast<char>(v & 0xff));
}

void put_str(std::string& s, const std::string& v)
{
    put_u16(s, v.size());
    s += v;
}

void put_packet(uint8_t first, const std::string& body)
{
    out.push_back(static_cast<char>(first));
    size_t len = body.size();
    do {
        uint8_t byte = len % 128;
        len /= 128;
        if (len)
            byte |= 0x80;
        out.push_back(static_cast<char>(byte));
    } while (len);
    out += body;
    last_sent = clock_type::now();
}

void send_connect()
{
    std::string body;
    put_str(body, "MQTT");
    body.push_back(static_cast<char>(try_private ? 0x84 : 0x04));
    uint8_t flags = 0x02; // clean session
    if (conf->bridge_user[0])
        flags |= 0x80;
    if (conf->bridge_password[0])
        flags |= 0x40;
    body.push_back(static_cast<char>(flags));
    put_u16(body, static_cast<size_t>(conf->bridge_keepalive));
    put_str(body, client_id);
    if (conf->bridge_user[0])
        put_str(body, conf->bridge_user);
    if (conf->bridge_password[0])
        put_str(body, conf->bridge_password);
    put_packet(0x10, body);
}

void send_subscribe()
{
    if (in_filters.empty())
        return;
    std::string body;
    put_u16(body, 1);
    for (const std::string& filter : in_filters) {
        put_str(body, conf->bridge_remote_prefix + filter);
        body.push_back(static_cast<char>(conf->bridge_qos));
    }
    put_packet(0x82, body);
}

void send_publish(held_pub& pub)
{
    std::string body;
    put_str(body, pub.topic);
    if (pub.qos)
        put_u16(body, pub.msg_id);
    body += pub.payload;
    uint8_t first = static_cast<uint8_t>(0x30 | (pub.qos << 1) | (pub.retain ? 1 : 0));
    if (pub.qos && pub.sent_before)
        first |= 0x08;
    put_packet(first, body);
    pub.sent_before = true;
}

// Sends what is held, in order, as far as the in-flight window and the
// output buffer allow. QoS 0 publications are done once encoded.
void send_held()
{
    if (state != link::up)
        return;
    while (inflight < held.size() && inflight < INFLIGHT_MAX && out.size() - out_sent < OUTPUT_HIGH) {
        held_pub& pub = held[inflight];
        if (pub.qos == 0) {
            send_publish(pub);
            held_erase(inflight);
            continue;
        }
        pub.msg_id = next_msg_id;
        next_msg_id = next_msg_id == 65535 ? 1 : static_cast<uint16_t>(next_msg_id + 1);
        send_publish(pub);
        ++inflight;
    }
}

// ----- the link

// Frees the TLS session and closes the socket, if there are any.
void socket_release()
{
    if (ssl)
        tls_session_free(ssl);
    ssl = nullptr;
    if (sock >= 0)
        close(sock);
    sock = -1;
}

void link_close(const char* reason)
{
    socket_release();
    out.clear();
    out_sent = 0;
    in.clear();
    // Whatever was in flight goes again, first and in order, after the
    // next CONNACK.
    inflight = 0;
    bool was_up = state == link::up;
    if (!was_up)
        ++address_turn;
    state = link::down;
    if (was_up)
        backoff = BACKOFF_FIRST;
    attempt_at = clock_type::now() + backoff;
    backoff = std::min<clock_type::duration>(backoff * 2, BACKOFF_MAX);
    // One notice per change of state, not one per attempt.
    if (!reported_down) {
        log_write(LOG_NOTICE, "bridge: upstream %s %s (%s); retrying\n", upstream_name().c_str(),
                  was_up ? "lost" : "unreachable", reason);
        reported_down = true;
        reported_up = false;
        publish_state("$SYS/bridge/state", "disconnected");
    } else {
        log_write(LOG_DEBUG, "bridge: attempt failed (%s)\n", reason);
    }
}

void link_open()
{
    link_started = clock_type::now();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string port = std::to_string(conf->bridge_port);
    int rc = getaddrinfo(conf->bridge_address, port.c_str(), &hints, &found);
    if (rc != 0 || !found) {
        link_close(gai_strerror(rc));
        return;
    }
    // A name with several addresses (IPv6 and IPv4, a cluster's nodes):
    // each failed attempt takes the next one.
    size_t count = 0;
    for (addrinfo* a = found; a; a = a->ai_next)
        ++count;
    addrinfo* chosen = found;
    for (size_t i = address_turn % count; i; --i)
        chosen = chosen->ai_next;
    sockaddr_storage addr{};
    socklen_t addr_len = chosen->ai_addrlen;
    std::memcpy(&addr, chosen->ai_addr, std::min<size_t>(addr_len, sizeof addr));
    freeaddrinfo(found);
    sock = socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        link_close(std::strerror(errno));
        return;
    }
    if (connect(sock, reinterpret_cast<sockaddr*>(&addr), addr_len) < 0 && errno != EINPROGRESS) {
        link_close(std::strerror(errno));
        return;
    }
    state = link::connecting;
}

// The events the handshake waits for.
short handshake_events = POLLOUT;

void handshake_step()
{
    int r = tls_handshake(ssl);
    if (r == 1) {
        state = link::connack_wait;
        send_connect();
    } else if (r == TLS_FAILED) {
        long verify = SSL_get_verify_result(ssl);
        std::string reason = verify != X509_V_OK
                                 ? std::string("certificate not trusted: ") + X509_verify_cert_error_string(verify)
                                 : "TLS handshake failed";
        link_close(reason.c_str());
    } else {
        handshake_events = r == TLS_WANT_READ ? POLLIN : POLLOUT;
    }
}

bool tls_begin()
{
    ssl = SSL_new(tls_ctx);
    if (!ssl || SSL_set_fd(ssl, sock) != 1)
        return false;
    SSL_set_connect_state(ssl);
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // The upstream's certificate must name the address we were given.
    in6_addr ip{};
    if (inet_pton(AF_INET, conf->bridge_address, &ip) == 1 || inet_pton(AF_INET6, conf->bridge_address, &ip) == 1)
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), conf->bridge_address) == 1;
    SSL_set_tlsext_host_name(ssl, conf->bridge_address);
    return SSL_set1_host(ssl, conf->bridge_address) == 1;
}

void link_established()
{
    if (tls_ctx) {
        if (!tls_begin()) {
            link_close("TLS set-up failed");
            return;
        }
        state = link::handshake;
        handshake_step();
        return;
    }
    state = link::connack_wait;
    send_connect();
}

void handle_packet(const mqtt_fixed_header& packet)
{
    last_received = clock_type::now();
    const uint8_t* body = packet.body;
    if (mqtt_remaining_length_check(&packet) != 0)
        return link_close("bad packet");
    switch (packet.msg_type) {
    case MQTT_CONNACK:
        if (state != link::connack_wait) {
            link_close("unexpected CONNACK");
            return;
        }
        if (body[1] != 0) {
            if (body[1] == 1 && try_private) {
                try_private = false;
                link_close("bridge protocol level refused; plain MQTT 3.1.1 next");
                attempt_at = clock_type::now();
                return;
            }
            link_close(("refused, CONNACK code " + std::to_string(body[1])).c_str());
            return;
        }
        state = link::up;
        backoff = BACKOFF_FIRST;
        if (!reported_up) {
            log_write(LOG_NOTICE, "bridge: connected to %s as %s\n", upstream_name().c_str(), client_id.c_str());
            reported_up = true;
            reported_down = false;
            publish_state("$SYS/bridge/state", "connected");
        }
        send_subscribe();
        send_held();
        return;
    case MQTT_PUBLISH: {
        if (state != link::up)
            return;
        mqtt_publish pub{};
        if (mqtt_publish_decode(&packet, &pub) != 0)
            return link_close("bad PUBLISH");
        if (pub.qos) {
            std::string ack;
            put_u16(ack, pub.msg_id);
            put_packet(pub.qos == 1 ? 0x40 : 0x50, ack);
        }
        const std::string prefix = conf->bridge_remote_prefix;
        std::string_view topic(reinterpret_cast<const char*>(pub.topic), pub.topic_len);
        // The prefix alone names no local topic.
        if (topic.size() <= prefix.size() || topic.compare(0, prefix.size(), prefix) != 0)
            return;
        topic.remove_prefix(prefix.size());
        for (const std::string& filter : in_filters) {
            if (bridge_filter_matches(filter, topic.data(), topic.size())) {
                bridge_in_add(std::string(topic), std::string(reinterpret_cast<const char*>(pub.payload), pub.payload_len),
                              pub.retain);
                return;
            }
        }
        return;
    }
    case MQTT_PUBACK: {
        int id = mqtt_pubxxx_decode(&packet);
        for (size_t i = 0; i < inflight; ++i) {
            if (held[i].msg_id == id) {
                held_done(held[i]);
                held_erase(i);
                break;
            }
        }
        send_held();
        return;
    }
    case MQTT_PUBREL: // of a QoS 2 delivery the upstream chose: completes it
        put_packet(0x70, std::string(reinterpret_cast<const char*>(body), 2));
        return;
    case MQTT_SUBACK:
        for (uint32_t i = 2; i < packet.rem_len; ++i)
            if (body[i] == 0x80)
                log_write(LOG_WARNING, "bridge: upstream %s refused the subscription to %s%s\n",
                          upstream_name().c_str(), conf->bridge_remote_prefix,
                          i - 2 < in_filters.size() ? in_filters[i - 2].c_str() : "?");
        return;
    default: // PINGRESP and anything else
        return;
    }
}

// Handles the whole packets in `in`, with the broker's decoders.
void input_parse()
{
    uint32_t pos = 0;
    while (sock >= 0) {
        const uint8_t* at = in.data() + pos;
        auto avail = static_cast<uint32_t>(in.size() - pos);
        uint32_t rem_len = 0;
        const uint8_t* body = nullptr;
        int framed = mqtt_packet_check_length(at, avail, &rem_len, &body, nullptr);
        if (framed == -2)
            return link_close("bad packet length");
        if (framed == 0 && rem_len > INPUT_PACKET_MAX)
            return link_close("packet too large");
        mqtt_fixed_header packet{};
        if (framed != 0 || mqtt_fixed_header_decode(&packet, at, avail, &pos) != 0)
            break; // not whole yet
        handle_packet(packet);
    }
    if (sock >= 0)
        in.erase(in.begin(), in.begin() + pos);
}

void link_read()
{
    uint8_t buf[16384];
    // The end of the stream, or an error: what came before it (a refusing
    // CONNACK, say) is handled first.
    const char* ended = nullptr;
    for (;;) {
        ssize_t n;
        if (ssl) {
            int r = tls_read(ssl, buf, sizeof buf);
            if (r == TLS_WANT_READ || r == TLS_WANT_WRITE)
                break;
            if (r <= 0) {
                ended = r == TLS_CLOSED ? "closed by the upstream" : "TLS error";
                break;
            }
            n = r;
        } else {
            n = recv(sock, buf, sizeof buf, 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                break;
            if (n <= 0) {
                ended = n == 0 ? "closed by the upstream" : std::strerror(errno);
                break;
            }
        }
        in.insert(in.end(), buf, buf + n);
        if (in.size() > 2 * INPUT_PACKET_MAX)
            break;
    }
    input_parse();
    if (ended && sock >= 0)
        link_close(ended);
}

void link_write()
{
    while (sock >= 0 && out_sent < out.size()) {
        const char* data = out.data() + out_sent;
        size_t len = out.size() - out_sent;
        ssize_t n;
        if (ssl) {
            int r = tls_write(ssl, data, len);
            if (r == TLS_WANT_READ || r == TLS_WANT_WRITE)
                return;
            if (r <= 0)
                return link_close("TLS error");
            n = r;
        } else {
            n = send(sock, data, len, MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                return;
            if (n < 0)
                return link_close(std::strerror(errno));
        }
        out_sent += static_cast<size_t>(n);
    }
    if (out_sent == out.size()) {
        out.clear();
        out_sent = 0;
    }
}

// ----- the broker's side

// Makes room for one more publication of `bytes` under bridge_queue_max
// and bridge_queue_max_bytes, dropping the oldest not yet sent: one in
// flight has probably arrived already.
void held_make_room(size_t bytes)
{
    while (!held.empty() && (held.size() >= static_cast<size_t>(conf->bridge_queue_max) ||
                             held_bytes + bytes > static_cast<size_t>(conf->bridge_queue_max_bytes))) {
        if (dropped++ == 0)
            log_write(LOG_WARNING, "bridge: %zu publications (%zu bytes) held for %s, the bridge_queue_max or "
                                   "bridge_queue_max_bytes bound; the oldest are dropped\n", held.size(),
                      held_bytes, upstream_name().c_str());
        size_t oldest = inflight < held.size() ? inflight : 0;
        held_done(held[oldest]);
        held_erase(oldest);
    }
}

void held_push(held_pub&& pub)
{
    held_make_room(held_pub_bytes(pub));
    held_bytes += held_pub_bytes(pub);
    held.push_back(std::move(pub));
}

void hold(bridge_msg* record)
{
    held_push({conf->bridge_remote_prefix + record->topic, std::move(record->payload), record->retain,
               static_cast<uint8_t>(conf->bridge_qos), 0, false, next_seq++});
    const held_pub& pub = held.back();
    if (keep_held && pub.qos)
        store_added.push_back({pub.seq, pub.topic, pub.payload, pub.retain});
}

void drops_episode_end()
{
    // The episode ends once the queue is back under half its bound.
    if (dropped && held.size() < static_cast<size_t>(conf->bridge_queue_max) / 2 &&
        held_bytes < static_cast<size_t>(conf->bridge_queue_max_bytes) / 2) {
        log_write(LOG_WARNING, "bridge: %llu publications were dropped while the upstream was behind\n",
                  static_cast<unsigned long long>(dropped));
        dropped = 0;
    }
}

void step(clock_type::time_point now)
{
    if (state == link::down) {
        if (now >= attempt_at)
            link_open();
        return;
    }
    if (state != link::up && now - link_started >= CONNECT_TIMEOUT)
        return link_close("timed out");
    if (state == link::up) {
        auto keepalive = std::chrono::seconds(conf->bridge_keepalive);
        if (now - last_received >= keepalive + keepalive / 2)
            return link_close("no answer within the keep-alive");
        if (now - last_sent >= keepalive)
            put_packet(0xc0, "");
    }
}

void bridge_loop()
{
    publish_state("$SYS/bridge/state", "disconnected");
    publish_queued(true);
    reported_down = false;
    uint32_t backlog = 0;
    while (!thread_module_stopping(&module)) {
        auto now = clock_type::now();
        step(now);
        if (state == link::up)
            send_held();
        pollfd fds[2] = {{module.waker.fd, POLLIN, 0}, {sock, 0, 0}};
        if (state == link::connecting)
            fds[1].events = POLLOUT;
        else if (state == link::handshake)
            fds[1].events = handshake_events;
        else if (state != link::down)
            fds[1].events = static_cast<short>(POLLIN | (out_sent < out.size() ? POLLOUT : 0));
        int timeout = 1000;
        // Records left from the last pass: nothing may wake us for them.
        if (backlog)
            timeout = 0;
        else if (state == link::down)
            timeout = static_cast<int>(std::clamp<long long>(
                std::chrono::ceil<std::chrono::milliseconds>(attempt_at - now).count(), 0, 1000));
        poll(fds, sock >= 0 ? 2 : 1, timeout);
        if (fds[0].revents & POLLIN)
            msg_waker_clear(&module.waker);
        backlog = msg_mqtt_bridge_drain(BATCH, hold);
        if (sock >= 0 && fds[1].revents) {
            if (state == link::connecting) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err)
                    link_close(std::strerror(err));
                else
                    link_established();
            } else if (state == link::handshake) {
                handshake_step();
            } else {
                if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
                    link_read();
            }
        }
        if (state == link::up)
            send_held();
        if (sock >= 0 && state != link::connecting && state != link::handshake)
            link_write();
        drops_episode_end();
        publish_queued(false);
        store_send(false);
    }
    // The broker has stopped: what it sent is held, and the store gets the
    // last changes before it writes its final snapshot.
    msg_mqtt_bridge_drain(UINT32_MAX, hold);
    store_send(true);
    // A clean goodbye, as far as the socket takes it at once: the upstream
    // then knows the hub left on purpose.
    if (state == link::up) {
        put_packet(0xe0, "");
        link_write();
    }
    socket_release();
}

bool bridge_setup_thread()
{
    msg_mqtt_bridge_set_waker(&module.waker);
    return true;
}

void bridge_release()
{
    msg_mqtt_bridge_set_waker(nullptr);
}

} // namespace

bool thread_bridge_setup(bridge_conf* record)
{
    if (!record->bridge_address[0]) {
        delete record;
        return false;
    }
    conf = record;
    if (conf->bridge_qos != 0)
        conf->bridge_qos = 1;
    if (conf->bridge_port <= 0)
        conf->bridge_port = conf->bridge_tls_ca_file[0] ? CONF_BRIDGE_TLS_PORT_DEFAULT : CONF_BRIDGE_PORT_DEFAULT;
    conf->bridge_keepalive = std::min(conf->bridge_keepalive, 65535);
    keep_held = store_enabled() && conf->bridge_qos == 1;
    client_id = conf->bridge_client_id;
    if (client_id.empty()) {
        char host[256] = {0};
        gethostname(host, sizeof host - 1);
        client_id = std::string("halyx-") + host;
    }
    std::vector<std::string> out_filters;
    for (int i = 0; i < conf->bridge_out_count; ++i)
        out_filters.emplace_back(conf->bridge_out[i]);
    for (int i = 0; i < conf->bridge_in_count; ++i)
        in_filters.emplace_back(conf->bridge_in[i]);
    bridge_out_filters_set(std::move(out_filters));
    return true;
}

void thread_bridge_held_restore(std::vector<bridge_held>* loaded)
{
    if (loaded->empty())
        return;
    if (!conf) {
        log_write(LOG_NOTICE, "store: %zu publications held for an upstream stay in the store until the bridge is "
                              "configured again\n", loaded->size());
        return;
    }
    if (!keep_held) {
        // bridge_qos is 0 now: they go once more, from memory only, and the
        // store lets them go.
        bridge_store_msg* record = msg_bridge_store_new();
        for (const bridge_held& pub : *loaded)
            record->done.push_back(pub.seq);
        msg_bridge_store_add(record);
    }
    // Those dropped here are in the file already.
    store_window_first = UINT64_MAX;
    for (bridge_held& pub : *loaded) {
        next_seq = pub.seq + 1;
        held_push({std::move(pub.topic), std::move(pub.payload), pub.retain, 1, 0, false, pub.seq});
    }
    store_window_first = next_seq;
    log_write(LOG_INFO, "bridge: %zu publications held for %s from before the restart\n", held.size(),
              upstream_name().c_str());
    loaded->clear();
}

bool thread_bridge_tls_setup(std::string* failure)
{
    if (!conf || !conf->bridge_tls_ca_file[0])
        return true;
    tls_ctx = SSL_CTX_new(TLS_client_method());
    if (!tls_ctx) {
        *failure = "bridge: no TLS context";
        return false;
    }
    SSL_CTX_set_min_proto_version(tls_ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(tls_ctx, SSL_VERIFY_PEER, nullptr);
    auto fail = [&](const char* key, const char* path) {
        unsigned long e = ERR_peek_last_error();
        *failure = std::string(key) + " " + path + ": " + (e ? ERR_reason_error_string(e) : "unusable");
        SSL_CTX_free(tls_ctx);
        tls_ctx = nullptr;
        return false;
    };
    if (SSL_CTX_load_verify_locations(tls_ctx, conf->bridge_tls_ca_file, nullptr) != 1)
        return fail("bridge_tls_ca_file", conf->bridge_tls_ca_file);
    if (conf->bridge_tls_cert_file[0]) {
        if (SSL_CTX_use_certificate_chain_file(tls_ctx, conf->bridge_tls_cert_file) != 1)
            return fail("bridge_tls_cert_file", conf->bridge_tls_cert_file);
        const char* key = conf->bridge_tls_key_file[0] ? conf->bridge_tls_key_file : conf->bridge_tls_cert_file;
        if (SSL_CTX_use_PrivateKey_file(tls_ctx, key, SSL_FILETYPE_PEM) != 1)
            return fail("bridge_tls_key_file", key);
    }
    return true;
}

int thread_bridge_start()
{
    if (!conf)
        return 0;
    return thread_module_start(&module);
}

void thread_bridge_stop()
{
    if (!conf)
        return;
    thread_module_stop(&module);
    held.clear();
    held_bytes = 0;
    inflight = 0;
    store_added.clear();
    store_done_new.clear();
    store_done.clear();
    in_filters.clear();
    if (tls_ctx)
        SSL_CTX_free(tls_ctx);
    tls_ctx = nullptr;
    delete conf;
    conf = nullptr;
}
