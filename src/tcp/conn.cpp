// Connections of the TCP thread: accepting, receiving, queuing output,
// handing whole MQTT packets to the broker, and closing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "channels/tcp_mqtt.h"
#include "codec/mqtt.h"
#include "logging.h"
#include "net.h"
#include "tcp/tcp_internal.h"
#include "tls.h"

namespace tcp {

namespace {

// Pending output that is written at once instead of at the end of the
// pass, so a burst for a fast reader never counts against its bound.
constexpr uint32_t FLUSH_EARLY = 64 * 1024;
// Unread bytes a broker-ordered close discards first (net_discard_input):
// a reset could destroy a last answer, such as a refusing CONNACK.
constexpr size_t CLOSE_DRAIN_MAX = 64 * 1024;

// Ids given so far; 0 is never one.
uint64_t last_conn_id = 0;

// Closed this pass; freed by conn_reap.
std::vector<tcp_conn*> dead_list;

void conn_log(int priority, tcp_conn* conn, const char* what)
{
    log_conn(priority, "tcp", &conn->addr, ": %s\n", what);
}

// A connection accepted on listener `arg` (a tcp_serv) within the bounds.
void conn_open(int sock, const sockaddr_in* addr, void* arg)
{
    auto* serv = static_cast<tcp_serv*>(arg);
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    // Packets go out as the broker posts them, not held for coalescing.
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    tcp_conn* conn = list_tcp_conn_add_new(&conns, addr);
    ++conn_count;
    conn->sock = sock;
    conn->conn_id = ++last_conn_id;
    conn->state = serv->websocket ? CONN_STATE_HTTP_HEADER : CONN_STATE_MQTT;
    conn->accepted_sec = tcp_now_sec();
    conn->writable = 1;
    epoll_event ev{};
    // Edge-triggered: an event marks the connection readable or writable
    // and the loop keeps that state, so a socket left with unread bytes
    // (back-pressure, one receive per pass) does not wake it again and
    // again.
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.ptr = conn;
    id_index_add(&conn_index, conn);
    if (serv->tls && !(conn->ssl = tls_session_new(tls_ctx, sock))) {
        conn_log(LOG_WARNING, conn, "no memory for a TLS session, closing");
        conn_close(conn);
        return;
    }
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, sock, &ev) != 0) {
        log_socket_error(__LINE__, errno);
        conn_close(conn);
    }
}

// What a TLS step that moved nothing waits for. Returns 0 (nothing
// received).
uint32_t tls_wait(tcp_conn* conn, int outcome)
{
    if (outcome == TLS_WANT_READ) {
        conn->readable = 0;
    } else if (outcome == TLS_WANT_WRITE) {
        conn->readable = 0;
        conn->tls_read_wants_write = 1;
    } else {
        conn_log(LOG_DEBUG, conn, conn->tls_ready ? "TLS session ended" : "TLS handshake failed, closing");
        conn_close(conn);
    }
    return 0;
}

uint32_t conn_recv_tls(tcp_conn* conn)
{
    if (!conn->tls_ready) {
        int step = tls_handshake(conn->ssl);
        if (step != 1)
            return tls_wait(conn, step);
        conn->tls_ready = 1;
        // The CONNECT gets its own time from here.
        conn->accepted_sec = tcp_now_sec();
        log_conn(LOG_DEBUG, "tcp", &conn->addr, ": %s session\n", SSL_get_version(conn->ssl));
    }
    int received = tls_read(conn->ssl, sock_buf, sizeof sock_buf);
    // One record says nothing about the socket: the connection stays
    // readable until the session asks for more bytes.
    return received > 0 ? static_cast<uint32_t>(received) : tls_wait(conn, received);
}

int conn_output_done(tcp_conn* conn)
{
    if (conn->writable && out_buf_pending(&conn->out) >= FLUSH_EARLY && conn_write(conn) < 0)
        return -1;
    if (out_buf_pending(&conn->out) > limits.output_soft && !conn->congested) {
        conn->congested = 1;
        congested_list.push_back(conn);
    }
    if (!conn->flush_queued) {
        conn->flush_queued = 1;
        flush_list.push_back(conn);
    }
    return 0;
}

// Size of the pending buffer for the bytes it holds: one receive, or the
// first packet whole once its fixed header says how large it is (the
// caller has checked that size against the bound).
uint32_t pending_room(const uint8_t* bytes, uint32_t count)
{
    uint32_t rem_len = 0;
    const uint8_t* body = nullptr;
    if (mqtt_packet_check_length(bytes, count, &rem_len, &body, nullptr) != 0)
        return TCP_BUF_SIZE;
    return std::max(TCP_BUF_SIZE, static_cast<uint32_t>(body - bytes) + rem_len);
}

// Whether every packet whose fixed header is among the bytes fits the
// bound; when one does not, or its Remaining Length would need a fifth
// byte, the connection is closed (the first with a notice).
bool packets_within(tcp_conn* conn, const uint8_t* bytes, uint32_t count, uint32_t cap)
{
    uint64_t offset = 0;
    int result = mqtt_packets_walk(bytes, count, &offset, [&](uint64_t size) {
        if (size <= cap)
            return true;
        log_conn(LOG_NOTICE, "tcp", &conn->addr,
                 ": client \"%s\" sent a packet of %llu bytes, more than mqtt_max_packet_size (%u); closing\n",
                 conn->client_id, static_cast<unsigned long long>(size), cap);
        return false;
    });
    if (result == 0 || result == -1)
        return true;
    conn_close(conn);
    return false;
}

// Keeps a printable copy of the client id of the connection's CONNECT, for
// log lines.
void client_id_note(tcp_conn* conn, const uint8_t* bytes, uint32_t len)
{
    mqtt_fixed_header fixhdr{};
    uint32_t consumed = 0;
    mqtt_connect connect{};
    if (mqtt_fixed_header_decode(&fixhdr, bytes, len, &consumed) != 0 ||
        mqtt_connect_decode(&fixhdr, &connect) == MQTT_MALFORMED || !connect.client_id)
        return;
    uint32_t n = std::min<uint32_t>(connect.client_id_length, sizeof conn->client_id - 1);
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t c = connect.client_id[i];
        conn->client_id[i] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    conn->client_id[n] = '\0';
}

void drops_log_end(tcp_conn* conn)
{
    if (!conn->dropped)
        return;
    log_conn(LOG_NOTICE, "tcp", &conn->addr, ": %llu QoS 0 deliveries dropped\n",
             static_cast<unsigned long long>(conn->dropped));
    conn->dropped = 0;
}

} // namespace

void conn_new(tcp_serv* serv)
{
    net_accept(&acceptor, serv->sock, now_ms, conn_open, serv);
}

uint32_t conn_recv(tcp_conn* conn)
{
    if (conn->ssl)
        return conn_recv_tls(conn);
    ssize_t received = recv(conn->sock, sock_buf, sizeof sock_buf, 0);
    if (received > 0) {
        // A short read emptied the socket; new bytes bring a new event.
        if (static_cast<size_t>(received) < sizeof sock_buf)
            conn->readable = 0;
        return static_cast<uint32_t>(received);
    }
    if (received < 0) {
        int err = errno;
        if (err == EINTR)
            return 0;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            conn->readable = 0;
            return 0;
        }
        log_socket_error(__LINE__, err);
    }
    conn_close(conn);
    return 0;
}

int conn_output(tcp_conn* conn, const uint8_t* bytes, uint32_t len)
{
    return conn_output2(conn, bytes, len, nullptr, 0);
}

int conn_output2(tcp_conn* conn, const uint8_t* head, uint32_t head_len, const uint8_t* body, uint32_t body_len)
{
    uint32_t before = out_buf_pending(&conn->out);
    if (out_buf_append(&conn->out, head, head_len) != 0 || out_buf_append(&conn->out, body, body_len) != 0) {
        conn_log(LOG_WARNING, conn, "output past 4 GiB, closing");
        conn_close(conn);
        return -1;
    }
    out_total += out_buf_pending(&conn->out) - before;
    // The stall clock runs from the moment output waits, not from the
    // last write of a connection that was idle.
    if (before == 0)
        conn->progress_ms = now_ms;
    return conn_output_done(conn);
}

int conn_output_admit(tcp_conn* conn, const uint8_t* packet, uint32_t len)
{
    uint64_t pending = out_buf_pending(&conn->out);
    bool over;
    if (conn->dropped)
        over = pending > limits.output_soft || out_total + len > limits.output_total - limits.output_total / 4;
    else
        over = pending + len > limits.output_hard || out_total + len > limits.output_total;
    if (!over) {
        drops_log_end(conn);
        return 1;
    }
    // The broker posts each delivery as a record of its own, so a PUBLISH
    // at the start is the whole record.
    bool qos0_publish = len > 0 && (packet[0] >> 4) == MQTT_PUBLISH && (packet[0] & 0x06) == 0;
    if (!qos0_publish) {
        if (out_total + len <= limits.output_total || pending <= limits.output_soft)
            return 1;
        conn_log(LOG_WARNING, conn, "output of all connections at its bound, closing slow consumer");
        conn_close(conn);
        return -1;
    }
    if (conn->dropped++ == 0)
        log_conn(LOG_WARNING, "tcp", &conn->addr, ": %llu bytes unsent (%llu in all), dropping its QoS 0 deliveries\n",
                 static_cast<unsigned long long>(pending), static_cast<unsigned long long>(out_total));
    return 0;
}

int conn_write(tcp_conn* conn)
{
    uint32_t before = out_buf_pending(&conn->out);
    ssize_t left;
    if (conn->ssl) {
        // Nothing is posted before the handshake ends (no CONNECT yet).
        if (!conn->tls_ready)
            return 0;
        bool wants_read = false;
        left = out_buf_write_tls(&conn->out, conn->ssl, &wants_read);
        if (left < 0) {
            conn_log(LOG_DEBUG, conn, "TLS write failed, closing");
            conn_close(conn);
            return -1;
        }
        conn->tls_write_wants_read = wants_read;
        // Bytes the session read while writing are announced by no event.
        if (SSL_pending(conn->ssl) > 0 && !conn->readable) {
            conn->readable = 1;
            read_list.push_back(conn);
        }
    } else {
        left = out_buf_write(&conn->out, conn->sock);
        if (left < 0) {
            log_socket_error(__LINE__, errno);
            conn_close(conn);
            return -1;
        }
    }
    if (static_cast<uint32_t>(left) < before) {
        out_total -= before - static_cast<uint32_t>(left);
        conn->progress_ms = now_ms;
    }
    // A full socket reports writability again by an edge event.
    conn->writable = left == 0;
    return 0;
}

bool consumers_behind()
{
    bool behind = false;
    for (size_t i = 0; i < congested_list.size();) {
        tcp_conn* conn = congested_list[i];
        if (conn->sock == -1 || out_buf_pending(&conn->out) <= limits.output_soft / 2) {
            conn->congested = 0;
            congested_list[i] = congested_list.back();
            congested_list.pop_back();
            continue;
        }
        if (now_ms - conn->progress_ms < OUTPUT_GRACE_MS)
            behind = true;
        ++i;
    }
    return behind;
}

int conn_deliver(tcp_conn* conn, const uint8_t* bytes, uint32_t len)
{
    if (!conn->mqtt_started) {
        if (len == 0 || (bytes[0] >> 4) != MQTT_CONNECT) {
            conn_log(LOG_DEBUG, conn, "first packet is not CONNECT, closing");
            conn_close(conn);
            return -1;
        }
        conn->mqtt_started = 1;
        client_id_note(conn, bytes, len);
    }
    msg_tcp_mqtt_add_packet(conn->conn_id, &conn->addr, bytes, len);
    return 0;
}

tcp_conn* conn_close(tcp_conn* conn)
{
    if (thread_state.load() == THREAD_RUNNING)
        msg_tcp_mqtt_add_close_conn(conn->conn_id, &conn->addr);
    tls_session_free(conn->ssl);
    conn->ssl = nullptr;
    if (conn->sock != -1) {
        // Closing the descriptor also takes it out of the readiness set.
        shutdown(conn->sock, SHUT_RDWR);
        close(conn->sock);
        conn->sock = -1;
    }
    recv_buf_free(conn);
    ws_mqtt_buf_free(conn);
    drops_log_end(conn);
    out_total -= out_buf_pending(&conn->out);
    out_buf_free(&conn->out);
    id_index_remove(&conn_index, conn->conn_id);
    // Only records of accepted sockets are numbered, and counted.
    if (conn->conn_id)
        --conn_count;
    net_accept_conn_closed(&acceptor);
    tcp_conn* successor = list_remove(&conns, conn);
    dead_list.push_back(conn);
    return successor;
}

// The broker's close order: what it posted before the order still goes
// out, as far as the socket takes it now.
void conn_close_ordered(tcp_conn* conn)
{
    if (out_buf_pending(&conn->out) && conn->writable && conn_write(conn) < 0)
        return;
    net_discard_input(conn->sock, CLOSE_DRAIN_MAX);
    conn_close(conn);
}

void conn_reap()
{
    if (dead_list.empty())
        return;
    // Lists that outlive the pass must not keep a freed record.
    auto closed = [](tcp_conn* c) { return c->sock == -1; };
    std::erase_if(read_list, closed);
    std::erase_if(flush_list, closed);
    std::erase_if(congested_list, closed);
    for (tcp_conn* conn : dead_list)
        delete conn;
    dead_list.clear();
}

void serv_close()
{
    while (conns.head)
        conn_close(conns.head);
    conn_reap();
    flush_list.clear();
    read_list.clear();
    for (tcp_serv& serv : servs) {
        if (serv.sock != -1)
            close(serv.sock);
        serv.sock = -1;
    }
}

void recv_buf_free(tcp_conn* conn)
{
    if (!conn->recv_buf)
        return;
    delete[] conn->recv_buf;
    conn->recv_buf = nullptr;
    conn->recv_len = 0;
    ws_frame_state_clear(conn);
}

void ws_mqtt_buf_free(tcp_conn* conn)
{
    delete[] conn->ws_mqtt_buf;
    conn->ws_mqtt_buf = nullptr;
    conn->ws_mqtt_len = 0;
}

int mqtt_bytes_collect(tcp_conn* conn, uint8_t** pending, uint32_t* pending_len, uint32_t cap,
                       const uint8_t* bytes, uint32_t count)
{
    while (count > 0) {
        if (!*pending)
            *pending = new uint8_t[TCP_BUF_SIZE];
        // The buffer is always as large as pending_room says for what it
        // holds: one receive, or the whole packet once its header is in.
        uint32_t room = pending_room(*pending, *pending_len);
        uint32_t take = std::min(count, room - *pending_len);
        std::memcpy(*pending + *pending_len, bytes, take);
        *pending_len += take;
        bytes += take;
        count -= take;

        if (!packets_within(conn, *pending, *pending_len, cap))
            return -1;
        uint32_t grown = pending_room(*pending, *pending_len);
        if (grown > room) {
            auto* larger = new uint8_t[grown];
            std::memcpy(larger, *pending, *pending_len);
            delete[] *pending;
            *pending = larger;
        }
        if (mqtt_packets_buffer_check(*pending, *pending_len) == 0) {
            if (conn_deliver(conn, *pending, *pending_len) < 0)
                return -1;
            delete[] *pending;
            *pending = nullptr;
            *pending_len = 0;
            continue;
        }
        if (count == 0 || *pending_len < pending_room(*pending, *pending_len))
            continue;
        // Full, with more bytes waiting: a client streaming packets back to
        // back may never pause on a packet boundary. Hand over the whole
        // packets (the buffer holds the first whole) and keep the one that
        // has only started.
        uint32_t whole = mqtt_packets_whole_length(*pending, *pending_len);
        if (whole == 0) {
            conn_close(conn);
            return -1;
        }
        if (conn_deliver(conn, *pending, whole) < 0)
            return -1;
        uint32_t rest = *pending_len - whole;
        uint8_t* kept = nullptr;
        if (rest) {
            // A fresh buffer sized for the packet that has only started
            // (its size was checked with the packets before it).
            kept = new uint8_t[pending_room(*pending + whole, rest)];
            std::memcpy(kept, *pending + whole, rest);
        }
        delete[] *pending;
        *pending = kept;
        *pending_len = rest;
    }
    return 0;
}

void mqtt_message_handle(tcp_conn* conn)
{
    uint32_t received = conn_recv(conn);
    if (received == 0)
        return;
    // Most reads end on a packet boundary: hand them over without a copy
    // (no packet in them can be larger than the bound then).
    if (!conn->recv_buf && limits.max_packet >= sizeof sock_buf &&
        mqtt_packets_buffer_check(sock_buf, received) == 0) {
        conn_deliver(conn, sock_buf, received);
        return;
    }
    mqtt_bytes_collect(conn, &conn->recv_buf, &conn->recv_len, limits.max_packet, sock_buf, received);
}

} // namespace tcp
