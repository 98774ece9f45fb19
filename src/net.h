// Socket routines the transport threads (TCP, UDP, HTTP) share.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

// Address a server binds to: the one bind_address_set gave, all interfaces
// (INADDR_ANY) before that. The interface name is only used in log lines.
[[nodiscard]] in_addr get_device_ipaddress(const char* iface);
// Main thread, before any server starts: the address every listener binds
// (bind_address).
void bind_address_set(in_addr address);

// Connections a listener keeps waiting for accept.
constexpr int NET_LISTEN_BACKLOG = 128;

// A non-blocking IPv4 socket of `type` (SOCK_STREAM or SOCK_DGRAM) bound to
// address:port. A stream socket gets SO_REUSEADDR, so a restart binds while
// the last run's connections linger in TIME_WAIT, and listens with
// `backlog`. The descriptor, or -1 with the failure logged.
[[nodiscard]] int net_socket_open(int type, in_addr address, uint16_t port, int backlog);

// The last socket net_socket_open could not open: its port and errno
// (both 0 when none failed). Start-up names the listener that failed.
struct net_failure {
    uint16_t port;
    int err;
};
[[nodiscard]] net_failure net_last_failure();

// Reads and drops up to `max_bytes` of input nobody will read. Closing a
// socket with unread input resets the connection, and the reset can
// destroy the end of a reply the peer has not read yet.
void net_discard_input(int sock, size_t max_bytes);

// The start-up line of a server: "<label> <iface>: <address>:<port>".
void net_log_listening(const char* label, const char* iface, in_addr address, uint16_t port);

// The readiness set (epoll) of a server thread's event loop, holding the
// thread's wake-up descriptor, whose events carry `tag`. The descriptor,
// or -1 with the failure logged.
[[nodiscard]] int net_loop_open(int waker_fd, void* tag);
// Closes a readiness set that is open and marks it closed (-1).
void net_loop_close(int* epoll_fd);

// Accepting for one server whose thread watches its listeners in an event
// loop: connection bounds, the descriptor reserve, and a pause while the
// process is out of descriptors. One per server, owned by its thread.
struct net_acceptor {
    const char* server;              // names the log lines: "tcp", "http"
    void (*listeners_watch)(int op); // EPOLL_CTL_ADD or EPOLL_CTL_DEL: every listener in or out of the loop
    const uint32_t* open_conns;      // connections the server holds now
    uint32_t max_conns;              // a connection beyond these is refused
    // Descriptors from this one up are refused, so they stay for another
    // server; 0: no reserve. The note says whom for in the refusal line.
    uint64_t fd_reserve;
    const char* reserve_note;
    bool paused;                     // the listeners are out of the loop
    bool failure_logged;             // this exhaustion episode was logged
    bool bound_logged;               // this refusal episode was logged
    int64_t retry_ms;                // a pause ends by then at the latest
};

// Accepts the connections waiting on `listener`, a batch at most, as
// non-blocking, close-on-exec sockets, and hands each one the bounds admit
// to open(sock, addr, arg). One beyond a bound is closed at once, so its
// client learns now rather than wait in the backlog; a refusal episode is
// logged once and ends when a connection closes. Out of descriptors or
// memory, the connection stays in the backlog and the listeners leave the
// loop until a connection closes or a second has passed, rather than wake
// the thread again and again; that episode is logged once too. `now_ms`
// is the thread's monotonic clock.
void net_accept(net_acceptor* acceptor, int listener, int64_t now_ms,
                void (*open)(int sock, const sockaddr_in* addr, void* arg), void* arg);
// A connection of the server closed: accepting resumes and the refusal
// episode ends.
void net_accept_conn_closed(net_acceptor* acceptor);
// Once a second: ends a pause that no closing connection has ended.
void net_accept_tick(net_acceptor* acceptor, int64_t now_ms);
// Puts the listeners back into the loop after a pause.
void net_accept_resume(net_acceptor* acceptor);
