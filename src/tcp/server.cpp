// The TCP thread: listeners, the event loop, the broker's outgoing messages,
// back-pressure and the CONNECT deadline. Connections are in conn.cpp,
// WebSocket in websocket.cpp.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "channels/mqtt_tcp.h"
#include "channels/tcp_mqtt.h"
#include "logging.h"
#include "net.h"
#include "tcp/tcp.h"
#include "tcp/tcp_internal.h"
#include "tls.h"

namespace tcp {

tcp_conf* thread_options = nullptr;
tcp_serv servs[4] = {{0, -1, 0, 0}, {0, -1, 1, 0}, {0, -1, 0, 1}, {0, -1, 1, 1}};
SSL_CTX* tls_ctx = nullptr;
list<tcp_conn> conns;
uint8_t sock_buf[TCP_BUF_SIZE];
namespace {
bool thread_tcp_open();
void tcp_serv_loop();
void thread_tcp_release();
void listeners_watch(int op);
} // namespace
thread_module module{thread_tcp_open, tcp_serv_loop, thread_tcp_release};
std::atomic<int>& thread_state = module.state;
msg_waker& waker = module.waker;
int epoll_fd = -1;
id_index<tcp_conn> conn_index;
std::vector<tcp_conn*> read_list;
std::vector<tcp_conn*> flush_list;
tcp_limits limits{OUTPUT_SOFT_DEFAULT, OUTPUT_HARD_DEFAULT, OUTPUT_TOTAL_DEFAULT, OUTPUT_STALL_DEFAULT_SEC * 1000,
                  MAX_CONNECTIONS_DEFAULT, CONF_MAX_PACKET_SIZE_DEFAULT};
uint64_t out_total = 0;
std::vector<tcp_conn*> congested_list;
uint32_t conn_count = 0;
net_acceptor acceptor{"tcp", listeners_watch, &conn_count, MAX_CONNECTIONS_DEFAULT, 0, nullptr, false, false, false, 0};
int64_t now_ms = 0;

namespace {

constexpr int MAX_EVENTS = 256;
// Broker messages handled per pass, at most, so that reading goes on.
constexpr uint32_t OUTPUT_BATCH = 1024;
// Back-pressure: above PAUSE records waiting for the broker (each at most
// one 32 KiB read), or waiting here to be sent, client sockets are no
// longer read, so their bytes stay in the kernel and TCP slows the
// senders; reading resumes at RESUME.
constexpr uint32_t TCP_MQTT_PAUSE = 256;
constexpr uint32_t TCP_MQTT_RESUME = 128;
constexpr uint32_t MQTT_TCP_PAUSE = 4096;
constexpr uint32_t MQTT_TCP_RESUME = 2048;

bool reading_paused = false;
bool channels_full = false;
// The read list of the pass being handled; kept to reuse its memory.
std::vector<tcp_conn*> read_batch;
int64_t supervised_sec = 0;

void listeners_close()
{
    for (tcp_serv& serv : servs) {
        if (serv.sock != -1)
            close(serv.sock);
        serv.sock = -1;
    }
}

int listeners_open(in_addr address)
{
    for (tcp_serv& serv : servs) {
        if (serv.port == 0 || (serv.tls && !tls_ctx))
            continue;
        serv.sock = net_socket_open(SOCK_STREAM, address, serv.port, NET_LISTEN_BACKLOG);
        if (serv.sock < 0)
            return -1;
    }
    return 0;
}

void listeners_watch(int op)
{
    for (tcp_serv& serv : servs) {
        if (serv.sock == -1)
            continue;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = &serv;
        epoll_ctl(epoll_fd, op, serv.sock, &ev);
    }
}

// The readiness set: the waker, the listeners and every connection.
int loop_open()
{
    epoll_fd = net_loop_open(waker.fd, &waker);
    if (epoll_fd < 0)
        return -1;
    listeners_watch(EPOLL_CTL_ADD);
    return 0;
}

// Records what an event says; nothing is closed here, so the other events
// of the same wait still point at live records.
void event_note(const epoll_event& ev)
{
    if (ev.data.ptr == &waker) {
        msg_waker_clear(&waker);
        return;
    }
    for (tcp_serv& serv : servs) {
        if (ev.data.ptr == &serv) {
            conn_new(&serv);
            return;
        }
    }
    auto* conn = static_cast<tcp_conn*>(ev.data.ptr);
    if (conn->sock == -1)
        return;
    bool in = ev.events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR);
    // A TLS session may need the other direction first: a handshake step
    // or read that waited to write resumes on writability, a write that
    // waited to read on readability.
    bool read_resumes = in || (conn->tls_read_wants_write && (ev.events & EPOLLOUT));
    bool write_resumes = (ev.events & EPOLLOUT) || (conn->tls_write_wants_read && in);
    if (read_resumes && !conn->readable) {
        conn->tls_read_wants_write = 0;
        conn->readable = 1;
        read_list.push_back(conn);
    }
    if (write_resumes) {
        conn->tls_write_wants_read = 0;
        conn->writable = 1;
        if (out_buf_pending(&conn->out) && !conn->flush_queued) {
            conn->flush_queued = 1;
            flush_list.push_back(conn);
        }
    }
}

void mqtt_tcp_serve(mqtt_tcp_msg* msg)
{
    tcp_conn* conn = id_index_find(&conn_index, msg->conn_id);
    if (!conn) {
        // The broker still knows a client that is gone here: tell it again.
        sockaddr_in unknown{};
        msg_tcp_mqtt_add_close_conn(msg->conn_id, &unknown);
    } else if (msg->close) {
        conn_close_ordered(conn);
    } else if (conn_output_admit(conn, msg->packet, msg->packet_len) == 1) {
        if (conn->state == CONN_STATE_MQTT)
            conn_output(conn, msg->packet, msg->packet_len);
        else
            ws_frame_send(conn, 2, msg->packet, msg->packet_len);
    }
}

void conn_dispatch(tcp_conn* conn)
{
    switch (conn->state) {
    case CONN_STATE_HTTP_HEADER:
        http_header_handle(conn);
        break;
    case CONN_STATE_WS_FRAME:
        ws_frame_handle(conn);
        break;
    case CONN_STATE_MQTT:
        mqtt_message_handle(conn);
        break;
    default:
        conn_close(conn);
        break;
    }
}

bool reading_allowed()
{
    uint32_t inbound = msg_tcp_mqtt_length();
    uint32_t outbound = msg_mqtt_tcp_length();
    if (channels_full)
        channels_full = inbound > TCP_MQTT_RESUME || outbound > MQTT_TCP_RESUME;
    else
        channels_full = inbound > TCP_MQTT_PAUSE || outbound > MQTT_TCP_PAUSE;
    // A consumer that keeps reading but lags behind holds the publishers
    // back, as their unread bytes stay in the kernel.
    reading_paused = channels_full || consumers_behind();
    return !reading_paused;
}

// One receive for each connection with bytes waiting; those that still
// have some stay in the list for the next pass.
void conns_read()
{
    if (read_list.empty() || !reading_allowed())
        return;
    read_batch.swap(read_list);
    for (tcp_conn* conn : read_batch) {
        if (conn->sock == -1)
            continue;
        conn_dispatch(conn);
        if (conn->sock != -1 && conn->readable)
            read_list.push_back(conn);
    }
    read_batch.clear();
}

void conns_flush()
{
    for (size_t i = 0; i < flush_list.size(); ++i) {
        tcp_conn* conn = flush_list[i];
        if (conn->sock == -1)
            continue;
        conn->flush_queued = 0;
        if (conn->writable && out_buf_pending(&conn->out))
            conn_write(conn);
    }
    flush_list.clear();
}

// Once a second: connections that have not sent their CONNECT in time,
// consumers that took no output for the stall time-out, and a listener
// pause that no closing connection has ended.
void supervise(int64_t now)
{
    if (now == supervised_sec)
        return;
    supervised_sec = now;
    for (tcp_conn* conn = conns.head; conn;) {
        tcp_conn* next = conn->next;
        if (conn->ssl && !conn->tls_ready && now - conn->accepted_sec >= TLS_HANDSHAKE_TIMEOUT_SEC) {
            log_conn(LOG_DEBUG, "tcp", &conn->addr, ": no TLS handshake within %d s, closing\n",
                     TLS_HANDSHAKE_TIMEOUT_SEC);
            conn_close(conn);
        } else if (!conn->mqtt_started && now - conn->accepted_sec >= TCP_CONNECT_TIMEOUT_SEC) {
            log_conn(LOG_DEBUG, "tcp", &conn->addr, ": no CONNECT within %d s, closing\n", TCP_CONNECT_TIMEOUT_SEC);
            conn_close(conn);
        } else if (out_buf_pending(&conn->out) && now_ms - conn->progress_ms >= limits.stall_ms) {
            log_conn(LOG_NOTICE, "tcp", &conn->addr, ": no output taken for %lld s, closing slow consumer\n",
                     static_cast<long long>(limits.stall_ms / 1000));
            conn_close(conn);
        }
        conn = next;
    }
    net_accept_tick(&acceptor, now_ms);
}

int wait_ms()
{
    if (msg_mqtt_tcp_length() > 0)
        return 0;
    // Paused by back-pressure: look again soon whether the broker caught up.
    if (!read_list.empty())
        return reading_paused ? 1 : 0;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    // Until the next once-a-second job.
    return THREAD_IDLE_WAIT_MS - static_cast<int>(ts.tv_nsec / 1000000);
}

void thread_end()
{
    serv_close();
    net_loop_close(&epoll_fd);
    id_index_clear(&conn_index);
    acceptor.paused = false;
}

void tcp_serv_loop()
{
    epoll_event events[MAX_EVENTS];
    while (!thread_module_stopping(&module)) {
        int ready = epoll_wait(epoll_fd, events, MAX_EVENTS, wait_ms());
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            log_socket_error(__LINE__, errno);
            break;
        }
        now_ms = tcp_now_ms();
        for (int i = 0; i < ready; ++i)
            event_note(events[i]);
        msg_mqtt_tcp_drain(OUTPUT_BATCH, mqtt_tcp_serve);
        conns_read();
        conns_flush();
        supervise(tcp_now_sec());
        conn_reap();
    }
    thread_end();
}

bool thread_tcp_open()
{
    if (!thread_options)
        return false;
    in_addr address = get_device_ipaddress(thread_options->mqtt_iface);
    if (listeners_open(address) != 0 || loop_open() != 0)
        return false;
    net_log_listening("MQTT:", thread_options->mqtt_iface, address, servs[0].port);
    net_log_listening("WS:  ", thread_options->mqtt_iface, address, servs[1].port);
    for (const tcp_serv& serv : servs)
        if (serv.tls && serv.sock != -1)
            net_log_listening(serv.websocket ? "WS TLS:" : "MQTT TLS:", thread_options->mqtt_iface, address, serv.port);
    acceptor.max_conns = limits.max_conns;
    msg_mqtt_tcp_set_waker(&waker);
    return true;
}

// Also frees the configuration record: a start needs a new setup.
void thread_tcp_release()
{
    msg_mqtt_tcp_set_waker(nullptr);
    listeners_close();
    net_loop_close(&epoll_fd);
    delete thread_options;
    thread_options = nullptr;
    SSL_CTX_free(tls_ctx);
    tls_ctx = nullptr;
}

} // namespace

int64_t tcp_now_sec()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

int64_t tcp_now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void limits_set(const tcp_conf* conf)
{
    auto bound = [](int32_t value, uint32_t fallback) { return value > 0 ? static_cast<uint32_t>(value) : fallback; };
    limits = {OUTPUT_SOFT_DEFAULT, OUTPUT_HARD_DEFAULT, OUTPUT_TOTAL_DEFAULT, OUTPUT_STALL_DEFAULT_SEC * 1000,
              MAX_CONNECTIONS_DEFAULT, CONF_MAX_PACKET_SIZE_DEFAULT};
    if (!conf)
        return;
    limits.output_soft = bound(conf->mqtt_output_soft_limit, OUTPUT_SOFT_DEFAULT);
    limits.output_hard = std::max(bound(conf->mqtt_output_hard_limit, OUTPUT_HARD_DEFAULT), limits.output_soft);
    limits.output_total = bound(conf->mqtt_output_total_limit, OUTPUT_TOTAL_DEFAULT);
    limits.stall_ms = static_cast<int64_t>(bound(conf->mqtt_output_stall_timeout, OUTPUT_STALL_DEFAULT_SEC)) * 1000;
    limits.max_conns = bound(conf->max_connections, MAX_CONNECTIONS_DEFAULT);
    limits.max_packet = bound(conf->mqtt_max_packet_size, CONF_MAX_PACKET_SIZE_DEFAULT);
}

} // namespace tcp

using namespace tcp;

void thread_tcp_serv_setup(tcp_conf* conf)
{
    delete thread_options;
    thread_options = conf;
    servs[0] = {static_cast<uint16_t>(conf ? conf->mqtt_port : 0), -1, 0, 0};
    servs[1] = {static_cast<uint16_t>(conf ? conf->mqtt_ws_port : 0), -1, 1, 0};
    servs[2] = {static_cast<uint16_t>(conf ? conf->mqtt_tls_port : 0), -1, 0, 1};
    servs[3] = {static_cast<uint16_t>(conf ? conf->mqtt_ws_tls_port : 0), -1, 1, 1};
    limits_set(conf);
}

void thread_tcp_tls_setup(SSL_CTX* ctx)
{
    if (ctx)
        SSL_CTX_up_ref(ctx);
    SSL_CTX_free(tls_ctx);
    tls_ctx = ctx;
}

int thread_tcp_start()
{
    return thread_module_start(&module);
}

void thread_tcp_stop()
{
    thread_module_stop(&module);
}
