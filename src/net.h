// Socket routines the transport threads (TCP, UDP, HTTP) share.
#pragma once

#include <netinet/in.h>

#include <cstddef>

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

// Whether accept failed for lack of descriptors or memory: the connection
// then stays in the listen backlog until some are free.
[[nodiscard]] bool net_descriptors_exhausted(int err);

// The warning that a server stopped accepting for lack of descriptors or
// memory; logged once per episode by the caller.
void net_log_accept_exhausted(const char* server, int err);
