// The TCP thread: listeners, the readiness loop, accepting and closing
// connections, plain MQTT receive, and the broker's outgoing messages.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "daemon.h"
#include "logging.h"
#include "codec/mqtt.h"
#include "channels/mqtt_tcp.h"
#include "tcp/tcp.h"
#include "tcp/tcp_internal.h"
#include "channels/tcp_mqtt.h"

namespace tcp {

tcp_conf* thread_options = nullptr;
tcp_serv servs[2] = {{0, -1, 0}, {0, -1, 1}};
list<tcp_conn> conns;
uint8_t sock_buf[TCP_BUF_SIZE];
std::atomic<int> thread_state{2};
pthread_t thread_id;

namespace {

constexpr int POLL_TIMEOUT_MS = 10;
constexpr uint32_t SEND_TIMEOUT_MS = 10000;
constexpr int LISTEN_BACKLOG = 128;
// A hang-up or an error is handled like data: the receive then reports it
// and the connection is closed.
constexpr short POLL_READABLE = POLLIN | POLLHUP | POLLERR | POLLNVAL;

// Descriptor table of the loop, grown as connections are added and kept
// between passes.
pollfd* poll_fds = nullptr;
uint32_t poll_cap = 0;

void socket_error(int line, int err)
{
    log_write(LOG_DEBUG, "Socket Error on line %d: %s\n", line, std::strerror(err));
}

void sock_timeout(int sock, uint32_t ms)
{
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms * 1000) % 1000000;
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

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
        if (serv.port == 0)
            continue;
        serv.sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (serv.sock < 0) {
            socket_error(__LINE__, errno);
            return -1;
        }
        sockaddr_in bind_addr{};
        bind_addr.sin_family = AF_INET;
        bind_addr.sin_addr = address;
        bind_addr.sin_port = htons(serv.port);
        if (bind(serv.sock, reinterpret_cast<sockaddr*>(&bind_addr), sizeof bind_addr) < 0) {
            socket_error(__LINE__, errno);
            return -1;
        }
        if (listen(serv.sock, LISTEN_BACKLOG) < 0) {
            socket_error(__LINE__, errno);
            return -1;
        }
    }
    return 0;
}

// Makes room for `count` descriptors. When memory runs out the table keeps
// its size and the loop polls the connections that fit.
uint32_t poll_reserve(uint32_t count)
{
    if (count <= poll_cap)
        return count;
    uint32_t cap = poll_cap ? poll_cap : 16;
    while (cap < count)
        cap *= 2;
    auto* fds = new (std::nothrow) pollfd[cap];
    if (!fds)
        return poll_cap;
    delete[] poll_fds;
    poll_fds = fds;
    poll_cap = cap;
    return count;
}

void poll_release()
{
    delete[] poll_fds;
    poll_fds = nullptr;
    poll_cap = 0;
}

// One message of the broker per idle pass.
void mqtt_tcp_serve()
{
    mqtt_tcp_msg* msg = msg_mqtt_tcp_get_first();
    if (!msg)
        return;
    tcp_conn* conn = list_tcp_conn_find_addr(&conns, &msg->addr);
    if (!conn) {
        // The broker still knows a client that is gone here: tell it again.
        msg_tcp_mqtt_add_close_conn(&msg->addr);
    } else if (msg->close) {
        conn_close(conn);
    } else if (conn->state == CONN_STATE_MQTT) {
        conn_send(conn, msg->packet, msg->packet_len, 0);
    } else {
        ws_frame_send(conn, 2, msg->packet, msg->packet_len);
    }
    msg_mqtt_tcp_remove(msg);
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

void thread_end()
{
    serv_close();
    poll_release();
    thread_state.store(2);
}

void tcp_serv_loop()
{
    for (;;) {
        if (thread_state.load() == 1) {
            thread_end();
            return;
        }

        uint32_t wanted = 2;
        for (tcp_conn* conn = conns.head; conn; conn = conn->next)
            ++wanted;
        uint32_t room = poll_reserve(wanted);

        uint32_t count = 0;
        int listener_slot[2] = {-1, -1};
        for (int i = 0; i < 2 && count < room; ++i) {
            if (servs[i].sock == -1)
                continue;
            poll_fds[count] = {servs[i].sock, POLLIN, 0};
            listener_slot[i] = static_cast<int>(count++);
        }
        uint32_t first_conn = count;
        for (tcp_conn* conn = conns.head; conn && count < room; conn = conn->next)
            poll_fds[count++] = {conn->sock, POLLIN, 0};
        uint32_t conn_count = count - first_conn;

        int ready = poll(poll_fds, count, POLL_TIMEOUT_MS);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            socket_error(__LINE__, errno);
            thread_end();
            return;
        }
        if (ready == 0) {
            mqtt_tcp_serve();
            continue;
        }

        for (int i = 0; i < 2; ++i)
            if (listener_slot[i] >= 0 && (poll_fds[listener_slot[i]].revents & POLL_READABLE))
                conn_new(&servs[i]);

        // Connections accepted just now sit at the end of the list, past
        // conn_count: they are handled from the next pass on. A handler may
        // remove its own record, so the successor is fetched first.
        tcp_conn* conn = conns.head;
        for (uint32_t k = 0; k < conn_count && conn; ++k) {
            tcp_conn* next = conn->next;
            const pollfd& slot = poll_fds[first_conn + k];
            if (slot.fd == conn->sock && (slot.revents & POLL_READABLE))
                conn_dispatch(conn);
            conn = next;
        }
    }
}

void* tcp_thread(void*)
{
    tcp_serv_loop();
    return nullptr;
}

} // namespace

void conn_new(tcp_serv* serv)
{
    sockaddr_in addr{};
    socklen_t addr_len = sizeof addr;
    int sock = accept(serv->sock, reinterpret_cast<sockaddr*>(&addr), &addr_len);
    if (sock < 0) {
        socket_error(__LINE__, errno);
        return;
    }
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    sock_timeout(sock, SEND_TIMEOUT_MS);

    tcp_conn* conn = list_tcp_conn_add_new(&conns, &addr);
    if (!conn) {
        shutdown(sock, SHUT_RDWR);
        close(sock);
        return;
    }
    conn->sock = sock;
    conn->state = serv->websocket ? CONN_STATE_HTTP_HEADER : CONN_STATE_MQTT;
}

uint32_t conn_recv(tcp_conn* conn)
{
    ssize_t received = recv(conn->sock, sock_buf, sizeof sock_buf, 0);
    if (received > 0)
        return static_cast<uint32_t>(received);
    if (received < 0) {
        int err = errno;
        if (err == EINTR)
            return 0;
        socket_error(__LINE__, err);
    }
    conn_close(conn);
    return 0;
}

ssize_t conn_send(tcp_conn* conn, const void* data, size_t len, int flags)
{
    return send(conn->sock, data, len, flags | MSG_NOSIGNAL);
}

tcp_conn* conn_close(tcp_conn* conn)
{
    if (thread_state.load() == 0)
        msg_tcp_mqtt_add_close_conn(&conn->addr);
    if (conn->sock != -1) {
        shutdown(conn->sock, SHUT_RDWR);
        close(conn->sock);
        conn->sock = -1;
    }
    recv_buf_free(conn);
    ws_mqtt_buf_free(conn);
    return list_tcp_conn_remove(&conns, conn);
}

void serv_close()
{
    while (conns.head)
        conn_close(conns.head);
    listeners_close();
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
        if (!*pending) {
            *pending = new (std::nothrow) uint8_t[cap];
            if (!*pending) {
                conn_close(conn);
                return -1;
            }
        }
        uint32_t take = std::min(count, cap - *pending_len);
        std::memcpy(*pending + *pending_len, bytes, take);
        *pending_len += take;
        bytes += take;
        count -= take;

        int result = mqtt_packets_buffer_check(*pending, *pending_len);
        if (result == -2) {
            conn_close(conn);
            return -1;
        }
        if (result == 0) {
            msg_tcp_mqtt_add_packet(&conn->addr, *pending, *pending_len);
            delete[] *pending;
            *pending = nullptr;
            *pending_len = 0;
            continue;
        }
        if (count == 0)
            break;
        // Full, with more bytes waiting: a client streaming packets back to
        // back may never pause on a packet boundary. Hand over the whole
        // packets and keep the one that has only started.
        uint32_t whole = mqtt_packets_whole_length(*pending, *pending_len);
        if (whole == 0) {
            conn_close(conn);
            return -1;
        }
        msg_tcp_mqtt_add_packet(&conn->addr, *pending, whole);
        std::memmove(*pending, *pending + whole, *pending_len - whole);
        *pending_len -= whole;
    }
    return 0;
}

void mqtt_message_handle(tcp_conn* conn)
{
    uint32_t received = conn_recv(conn);
    if (received == 0)
        return;
    mqtt_bytes_collect(conn, &conn->recv_buf, &conn->recv_len, TCP_BUF_SIZE, sock_buf, received);
}

} // namespace tcp

using namespace tcp;

void thread_tcp_serv_setup(tcp_conf* conf)
{
    delete thread_options;
    thread_options = conf;
    servs[0] = {static_cast<uint16_t>(conf ? conf->mqtt_port : 0), -1, 0};
    servs[1] = {static_cast<uint16_t>(conf ? conf->mqtt_ws_port : 0), -1, 1};
}

int thread_tcp_start()
{
    if (!thread_options)
        return -1;
    in_addr address{};
    if (get_device_ipaddress(thread_options->mqtt_iface, &address) != 0) {
        socket_error(__LINE__, errno);
        delete thread_options;
        thread_options = nullptr;
        return -1;
    }
    if (listeners_open(address) < 0) {
        listeners_close();
        delete thread_options;
        thread_options = nullptr;
        return -1;
    }

    char text[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &address, text, sizeof text))
        text[0] = '\0';
    log_write(LOG_DEBUG, "MQTT: %s: %s:%d\n", thread_options->mqtt_iface, text, servs[0].port);
    log_write(LOG_DEBUG, "WS:   %s: %s:%d\n", thread_options->mqtt_iface, text, servs[1].port);

    thread_state.store(0);
    if (thread_begin(tcp_thread, nullptr, &thread_id) != 0) {
        // Without its thread the server would never answer, and a later
        // stop would wait for it forever.
        listeners_close();
        thread_state.store(2);
        delete thread_options;
        thread_options = nullptr;
        return -1;
    }
    return 0;
}

void thread_tcp_stop()
{
    int running = 0;
    thread_state.compare_exchange_strong(running, 1);
    while (thread_state.load() != 2)
        usleep(10000);
    delete thread_options;
    thread_options = nullptr;
}
