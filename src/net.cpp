#include "net.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "logging.h"

namespace {

// Written by the main thread only, which opens every listener.
net_failure last_failure{0, 0};

} // namespace

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

bool net_descriptors_exhausted(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

net_failure net_last_failure()
{
    return last_failure;
}

void net_log_accept_exhausted(const char* server, int err)
{
    log_write(LOG_WARNING, "%s: accept paused: %s\n", server, std::strerror(err));
}
