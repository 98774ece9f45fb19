#include "net.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "logging.h"

namespace {

// Written by the main thread only, which opens every listener.
net_failure last_failure{0, 0};

// Connections accepted from one readable listener in one pass, at most.
constexpr int ACCEPT_BATCH = 64;
// How long a pause lasts when no connection closes meanwhile.
constexpr int64_t ACCEPT_RETRY_MS = 1000;

// Whether accept failed for lack of descriptors or memory: the connection
// then stays in the listen backlog until some are free.
bool descriptors_exhausted(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

void accept_pause(net_acceptor* acceptor, int64_t now_ms)
{
    if (acceptor->paused)
        return;
    acceptor->paused = true;
    acceptor->retry_ms = now_ms + ACCEPT_RETRY_MS;
    acceptor->listeners_watch(EPOLL_CTL_DEL);
}

// Whether the server may take one more connection on `sock`.
bool accept_admits(net_acceptor* acceptor, int sock)
{
    bool full = *acceptor->open_conns >= acceptor->max_conns;
    bool reserved = !full && acceptor->fd_reserve > 0 && static_cast<uint64_t>(sock) >= acceptor->fd_reserve;
    if (!full && !reserved)
        return true;
    if (!acceptor->bound_logged)
        log_write(LOG_WARNING, "%s: %u connections open%s%s, refusing new ones\n", acceptor->server,
                  *acceptor->open_conns, reserved ? " and " : "", reserved ? acceptor->reserve_note : "");
    acceptor->bound_logged = true;
    return false;
}

} // namespace

namespace {

// Set before the servers start, read by them as they open their listeners.
in_addr bind_address{htonl(INADDR_ANY)};

} // namespace

void bind_address_set(in_addr address)
{
    bind_address = address;
}

in_addr get_device_ipaddress(const char* /*iface*/)
{
    return bind_address;
}

int net_socket_open(int type, in_addr address, uint16_t port, int backlog)
{
    int sock = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        last_failure = {port, errno};
        log_socket_error(__LINE__, errno);
        return -1;
    }
    bool stream = type == SOCK_STREAM;
    int on = 1;
    if (stream)
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in bind_addr{};
    bind_addr.sin_family = AF_INET;
    bind_addr.sin_addr = address;
    bind_addr.sin_port = htons(port);
    int failed_line = 0;
    if (bind(sock, reinterpret_cast<sockaddr*>(&bind_addr), sizeof bind_addr) < 0)
        failed_line = __LINE__;
    else if (stream && listen(sock, backlog) < 0)
        failed_line = __LINE__;
    if (failed_line) {
        last_failure = {port, errno};
        log_socket_error(failed_line, errno);
        close(sock);
        return -1;
    }
    return sock;
}

void net_discard_input(int sock, size_t max_bytes)
{
    char buf[4096];
    for (size_t total = 0; total < max_bytes;) {
        ssize_t n = recv(sock, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            return;
        total += static_cast<size_t>(n);
    }
}

void net_log_listening(const char* label, const char* iface, in_addr address, uint16_t port)
{
    char text[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &address, text, sizeof text))
        text[0] = '\0';
    log_write(LOG_DEBUG, "%s %s: %s:%d\n", label, iface, text, port);
}

net_failure net_last_failure()
{
    return last_failure;
}

int net_loop_open(int waker_fd, void* tag)
{
    int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd < 0) {
        log_socket_error(__LINE__, errno);
        return -1;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = tag;
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, waker_fd, &ev) != 0) {
        log_socket_error(__LINE__, errno);
        close(epoll_fd);
        return -1;
    }
    return epoll_fd;
}

void net_loop_close(int* epoll_fd)
{
    if (*epoll_fd >= 0)
        close(*epoll_fd);
    *epoll_fd = -1;
}

void net_accept_resume(net_acceptor* acceptor)
{
    if (!acceptor->paused)
        return;
    acceptor->paused = false;
    acceptor->listeners_watch(EPOLL_CTL_ADD);
}

void net_accept_conn_closed(net_acceptor* acceptor)
{
    acceptor->bound_logged = false;
    net_accept_resume(acceptor);
}

void net_accept_tick(net_acceptor* acceptor, int64_t now_ms)
{
    if (acceptor->paused && now_ms >= acceptor->retry_ms)
        net_accept_resume(acceptor);
}

void net_accept(net_acceptor* acceptor, int listener, int64_t now_ms,
                void (*open)(int sock, const sockaddr_in* addr, void* arg), void* arg)
{
    for (int i = 0; i < ACCEPT_BATCH; ++i) {
        sockaddr_in addr{};
        socklen_t addr_len = sizeof addr;
        int sock = accept4(listener, reinterpret_cast<sockaddr*>(&addr), &addr_len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (sock >= 0) {
            acceptor->failure_logged = false;
            if (accept_admits(acceptor, sock))
                open(sock, &addr, arg);
            else
                close(sock);
            continue;
        }
        int err = errno;
        if (err == EINTR || err == ECONNABORTED)
            continue;
        if (descriptors_exhausted(err)) {
            if (!acceptor->failure_logged)
                log_write(LOG_WARNING, "%s: accept paused: %s\n", acceptor->server, std::strerror(err));
            acceptor->failure_logged = true;
            accept_pause(acceptor, now_ms);
        } else if (err != EAGAIN && err != EWOULDBLOCK) {
            log_socket_error(__LINE__, err);
        }
        return;
    }
}
