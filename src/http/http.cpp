// The HTTP thread: the listener, the event loop and every connection from
// accept to the end of its one response. What a request asks for is
// decided in request.cpp; here the file system and the sockets act on it.
// Sockets never block, so a slow or idle client holds up nobody.
#include "http/http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "http/http_conn.h"
#include "http/request.h"
#include "logging.h"
#include "net.h"
#include "paths.h"
#include "store/store.h"
#include "thread_module.h"
#include "tls.h"

namespace {

// Open connections when the configuration sets no http_max_connections:
// the dashboard loads a handful of files at a time.
constexpr uint32_t HTTP_MAX_CONNECTIONS_DEFAULT = 64;
constexpr int MAX_EVENTS = 64;
// A client has this long from accept to deliver its request line...
constexpr int64_t REQUEST_TIMEOUT_MS = 10000;
// ...and a download may go this long without the client taking a byte.
constexpr int64_t SEND_TIMEOUT_MS = 30000;
// File chunks sent to one connection per pass, at most, so that a fast
// reader of a large file does not hold up the others.
constexpr int SEND_BATCH = 64;
constexpr uint32_t CHUNK_SIZE = 1024;
// Unread input discarded before a close, at most (net_discard_input).
constexpr size_t CLOSE_DRAIN_MAX = 64 * 1024;

static_assert(HTTP_PAGE_SIZE <= CHUNK_SIZE, "an error page goes out as one chunk");

// Values of http_conn.state.
constexpr uint32_t CONN_RECEIVING = 0; // collecting the request line
constexpr uint32_t CONN_SENDING = 1;   // sending the one response
constexpr uint32_t CONN_HANDSHAKE = 2; // HTTPS: before the request

static_assert(REQUEST_TIMEOUT_MS == TLS_HANDSHAKE_TIMEOUT_SEC * 1000, "the handshake's time in the log line");

struct http_serv {
    uint16_t port; // host order; 0: not opened
    int32_t sock;  // -1 while not open
    bool tls;      // connections start with a TLS handshake
};

// What a connection needs beside its http_conn record: the response on
// its way out. Events of a connection carry a pointer to this record.
struct http_client {
    http_client* next;
    http_conn* conn;
    int64_t deadline_ms; // closed once the monotonic clock reaches it
    int file;            // the file being sent, -1 when none
    uint64_t file_left;  // bytes of it not read yet
    uint8_t chunk[CHUNK_SIZE];
    uint32_t chunk_len;
    uint32_t chunk_pos; // bytes of the chunk already sent
    SSL* ssl;           // HTTPS: the session; null on the plain listener
    uint32_t events;    // what the readiness set waits for on the socket
};

http_conf* thread_options = nullptr;
// The listeners, on http_port and http_tls_port.
http_serv serv{0, -1, false};
http_serv serv_tls{0, -1, true};
// The HTTPS listener's context (a reference of this thread's); null: it
// stays closed.
SSL_CTX* tls_ctx = nullptr;
list<http_conn> conns;
list<http_client> clients;
bool thread_http_open();
void http_serv_loop();
void thread_http_release();
// Its waker is signalled by a stop request only.
thread_module module{thread_http_open, http_serv_loop, thread_http_release};
msg_waker& waker = module.waker;
int epoll_fd = -1;
// http_files_path, relative ones taken against the start directory.
char files_root[4096 + sizeof thread_options->http_files_path + 1];
// files_root with every link resolved, empty until it could be: a file is
// served only when its own resolved path lies below it.
char real_root[PATH_MAX];
// The request being handled: one at a time, so one set of work areas.
http_request request;
char real_file[PATH_MAX];
// The answer to HTTP_HUB_INFO_PATH when the directory has no such file.
char hub_info[256];
uint32_t hub_info_len = 0;
static_assert(sizeof hub_info <= CHUNK_SIZE, "the hub's settings go out as one chunk");
// The monotonic clock at the start of the pass.
int64_t now_ms = 0;
int64_t swept_ms = 0;
// Open connections.
uint32_t conn_total = 0;
void serv_watch(int op);
// At most http_max_connections, and never a descriptor from the last
// quarter of the process's limit, which stays for MQTT clients.
net_acceptor acceptor{"http", serv_watch, &conn_total, HTTP_MAX_CONNECTIONS_DEFAULT, 0,
                      "the last quarter of the descriptors kept for MQTT", false, false, false, 0};

int64_t clock_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The daemon works in "/" once detached, so a relative directory means one
// below the directory halyx was started in.
void files_root_resolve()
{
    const char* path = thread_options->http_files_path;
    const char* start = start_directory();
    if (path[0] == '/' || !start[0]) {
        std::snprintf(files_root, sizeof files_root, "%s", path);
        return;
    }
    const char* separator = start[std::strlen(start) - 1] == '/' ? "" : "/";
    std::snprintf(files_root, sizeof files_root, "%s%s%s", start, separator, path);
}

// A directory made after start is resolved on its first request.
void real_root_resolve()
{
    if (!realpath(files_root, real_root))
        real_root[0] = '\0';
}

// Resolves the requested file, which exists, into real_file. False, with the
// error page made, when it vanished meanwhile or lies outside the directory:
// a link in the directory may lead anywhere.
bool file_confined()
{
    if (!real_root[0])
        real_root_resolve();
    if (!realpath(request.filename, real_file)) {
        http_error_page(&request, HTTP_ERROR_NOT_FOUND, request.path);
        return false;
    }
    if (!real_root[0] || !http_path_inside(real_root, real_file)) {
        http_error_page(&request, HTTP_ERROR_FORBIDDEN, request.path);
        return false;
    }
    return true;
}

void serv_close()
{
    for (http_serv* s : {&serv, &serv_tls}) {
        if (s->sock != -1)
            close(s->sock);
        s->sock = -1;
    }
}

// Opens the listeners; port 0, or HTTPS without a certificate, opens
// nothing.
int serv_init(in_addr address)
{
    for (http_serv* s : {&serv, &serv_tls}) {
        if (s->port == 0 || (s->tls && !tls_ctx))
            continue;
        s->sock = net_socket_open(SOCK_STREAM, address, s->port, NET_LISTEN_BACKLOG);
        if (s->sock < 0)
            return -1;
    }
    return 0;
}

int watch(int op, int fd, uint32_t events, void* record)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = record;
    return epoll_ctl(epoll_fd, op, fd, &ev);
}

void serv_watch(int op)
{
    for (http_serv* s : {&serv, &serv_tls})
        if (s->sock != -1)
            watch(op, s->sock, EPOLLIN, s);
}

// Waits on the socket for `events` (EPOLLIN or EPOLLOUT). False when the
// readiness set refused, and the connection was closed.
bool interest(http_client* client, uint32_t events);

// The readiness set: the waker, the listener and every connection.
int loop_open()
{
    epoll_fd = net_loop_open(waker.fd, &waker);
    if (epoll_fd < 0)
        return -1;
    serv_watch(EPOLL_CTL_ADD);
    return 0;
}

void conn_log(http_client* client, const char* what)
{
    log_conn(LOG_DEBUG, "http", &client->conn->addr, ": %s\n", what);
}

void sock_close(int sock)
{
    if (sock == -1)
        return;
    net_discard_input(sock, CLOSE_DRAIN_MAX);
    shutdown(sock, SHUT_RDWR);
    close(sock);
}

void recv_buf_free(http_conn* conn)
{
    delete[] conn->recv_buf;
    conn->recv_buf = nullptr;
    conn->recv_len = 0;
}

// Frees the records at once: an event batch names each connection once,
// and handling one connection never closes another, so no later event of
// the batch points at a freed record. Returns the next connection.
http_client* conn_close(http_client* client)
{
    http_client* successor = client->next;
    tls_session_free(client->ssl);
    sock_close(client->conn->sock);
    if (client->file != -1)
        close(client->file);
    recv_buf_free(client->conn);
    list_http_conn_remove(&conns, client->conn);
    list_remove(&clients, client);
    delete client;
    --conn_total;
    net_accept_conn_closed(&acceptor);
    return successor;
}

void conn_open(int sock, const sockaddr_in* addr, void* arg)
{
    auto* client = new http_client{};
    http_conn* conn = list_http_conn_add_new(&conns, addr);
    conn->sock = sock;
    conn->state = static_cast<http_serv*>(arg)->tls ? CONN_HANDSHAKE : CONN_RECEIVING;
    client->conn = conn;
    client->file = -1;
    client->deadline_ms = now_ms + REQUEST_TIMEOUT_MS;
    client->events = EPOLLIN;
    list_add_item(&clients, client);
    ++conn_total;
    if (conn->state == CONN_HANDSHAKE && !(client->ssl = tls_session_new(tls_ctx, sock))) {
        conn_log(client, "no memory for a TLS session, closing");
        conn_close(client);
        return;
    }
    if (watch(EPOLL_CTL_ADD, sock, EPOLLIN, client) != 0) {
        log_socket_error(__LINE__, errno);
        conn_close(client);
    }
}

bool interest(http_client* client, uint32_t events)
{
    if (client->events == events)
        return true;
    client->events = events;
    if (watch(EPOLL_CTL_MOD, client->conn->sock, events, client) == 0)
        return true;
    log_socket_error(__LINE__, errno);
    conn_close(client);
    return false;
}

// A TLS step that moved nothing: waits for what the session asked for, or
// closes the connection.
void tls_wait(http_client* client, int outcome)
{
    if (outcome == TLS_WANT_READ || outcome == TLS_WANT_WRITE) {
        interest(client, outcome == TLS_WANT_READ ? EPOLLIN : EPOLLOUT);
        return;
    }
    conn_log(client, client->conn->state == CONN_HANDSHAKE ? "TLS handshake failed, closing" : "TLS session ended");
    conn_close(client);
}

// Reads the next chunk of the file. Its length, or 0 at the end of the file
// (a file that shrank ends early) and on a read error.
uint32_t chunk_read(http_client* client)
{
    if (client->file == -1 || client->file_left == 0)
        return 0;
    size_t want = client->file_left < CHUNK_SIZE ? client->file_left : CHUNK_SIZE;
    ssize_t n;
    do
        n = read(client->file, client->chunk, want);
    while (n < 0 && errno == EINTR);
    if (n <= 0)
        return 0;
    client->chunk_len = static_cast<uint32_t>(n);
    client->chunk_pos = 0;
    client->file_left -= static_cast<uint64_t>(n);
    return client->chunk_len;
}

// Sends what the socket takes, a chunk at a time, and closes the
// connection once the response is all sent.
void response_send(http_client* client)
{
    int sock = client->conn->sock;
    for (int chunks = 0; chunks < SEND_BATCH;) {
        if (client->chunk_pos == client->chunk_len) {
            if (chunk_read(client) == 0) {
                conn_close(client);
                return;
            }
            ++chunks;
        }
        if (client->ssl) {
            // The same bytes are offered again after a wait, as the session needs.
            int written =
                tls_write(client->ssl, client->chunk + client->chunk_pos, client->chunk_len - client->chunk_pos);
            if (written <= 0) {
                tls_wait(client, written);
                return;
            }
            client->chunk_pos += static_cast<uint32_t>(written);
            client->deadline_ms = now_ms + SEND_TIMEOUT_MS;
            continue;
        }
        ssize_t n = send(sock, client->chunk + client->chunk_pos, client->chunk_len - client->chunk_pos,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            client->chunk_pos += static_cast<uint32_t>(n);
            client->deadline_ms = now_ms + SEND_TIMEOUT_MS;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // The socket is full: its writability event brings the rest.
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n < 0)
            log_socket_error(__LINE__, errno);
        conn_close(client);
        return;
    }
    // Batch used up: the rest goes on when the socket is writable again
    // (a TLS write that waited to read may have changed what is waited for).
    interest(client, EPOLLOUT);
}

// The response goes out from here on; the request is no longer read.
void response_start(http_client* client, const void* head, uint32_t head_len)
{
    std::memcpy(client->chunk, head, head_len);
    client->chunk_len = head_len;
    client->chunk_pos = 0;
    client->conn->state = CONN_SENDING;
    client->deadline_ms = now_ms + SEND_TIMEOUT_MS;
    if (!interest(client, EPOLLOUT))
        return;
    response_send(client);
}

// QUERY_STRING's entry in the environment: putenv keeps the buffer itself.
char query_env[sizeof "QUERY_STRING=" + HTTP_BUF_SIZE] = "QUERY_STRING=";

void query_string_set(const char* args)
{
    std::snprintf(query_env + sizeof "QUERY_STRING=" - 1, sizeof query_env - (sizeof "QUERY_STRING=" - 1), "%s",
                  args);
}

// A CGI path gets the bare header when it names a regular file its owner
// may execute; nothing is run.
void cgi_answer(http_client* client)
{
    struct stat st = {};
    if (stat(request.filename, &st) != 0) {
        http_error_page(&request, HTTP_ERROR_NOT_FOUND, request.path);
    } else if (!file_confined()) {
        // file_confined made the page.
    } else if (!S_ISREG(st.st_mode) || !(st.st_mode & S_IXUSR)) {
        http_error_page(&request, HTTP_ERROR_FORBIDDEN, request.path);
    } else {
        query_string_set(request.cgiargs);
        response_start(client, HTTP_CGI_HEADER, sizeof HTTP_CGI_HEADER - 1);
        return;
    }
    response_start(client, request.page, request.page_len);
}

// A file is refused before any header is sent when it cannot be read as a
// regular file: a directory, a file without read permission, a FIFO (which
// O_NONBLOCK keeps from stalling the thread in open) or a device.
void static_answer(http_client* client)
{
    struct stat st = {};
    if (stat(request.filename, &st) != 0) {
        if (request.hub_info && errno == ENOENT && hub_info_len > 0) {
            response_start(client, hub_info, hub_info_len);
            return;
        }
        http_error_page(&request, HTTP_ERROR_NOT_FOUND, request.path);
        response_start(client, request.page, request.page_len);
        return;
    }
    if (!file_confined()) {
        response_start(client, request.page, request.page_len);
        return;
    }
    // The resolved path, and no link in its last part: a link put there
    // since it was resolved is not followed.
    int fd = open(real_file, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            close(fd);
        http_error_page(&request, HTTP_ERROR_FORBIDDEN, request.path);
        response_start(client, request.page, request.page_len);
        return;
    }
    client->file = fd;
    client->file_left = static_cast<uint64_t>(st.st_size);
    char header[256];
    uint32_t len = http_header_format(header, sizeof header, static_cast<long long>(st.st_size), request.filetype);
    response_start(client, header, len);
}

// The history answer is made whole, then sent from an anonymous file like
// any static file.
void history_answer(http_client* client)
{
    std::string body;
    int fd = -1;
    if (store_history_json(request.topic, request.topic_len, request.since_s * 1000, &body) == 0)
        fd = memfd_create("history", MFD_CLOEXEC);
    if (fd < 0 || write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size()) ||
        lseek(fd, 0, SEEK_SET) != 0) {
        if (fd >= 0)
            close(fd);
        http_error_page(&request, HTTP_ERROR_UNAVAILABLE, request.path);
        response_start(client, request.page, request.page_len);
        return;
    }
    client->file = fd;
    client->file_left = body.size();
    char header[256];
    uint32_t len = http_json_header_format(header, sizeof header, static_cast<long long>(body.size()));
    response_start(client, header, len);
}

// One receive into the connection's request buffer; once the request line
// is in, the response starts.
void request_receive(http_client* client)
{
    http_conn* conn = client->conn;
    if (!conn->recv_buf)
        conn->recv_buf = new uint8_t[HTTP_BUF_SIZE];
    // The request never holds more than HTTP_BUF_SIZE bytes: a full buffer
    // without a line end has been refused by the parser already.
    for (;;) {
        ssize_t n;
        if (client->ssl) {
            int got = tls_read(client->ssl, conn->recv_buf + conn->recv_len, HTTP_BUF_SIZE - conn->recv_len);
            if (got <= 0) {
                tls_wait(client, got);
                return;
            }
            n = got;
            // A read that waited to write may have changed what is waited for.
            if (!interest(client, EPOLLIN))
                return;
        } else {
            n = recv(conn->sock, conn->recv_buf + conn->recv_len, HTTP_BUF_SIZE - conn->recv_len, 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                return;
            if (n <= 0) {
                if (n < 0)
                    log_socket_error(__LINE__, errno);
                conn_close(client);
                return;
            }
        }
        conn->recv_len += static_cast<uint32_t>(n);
        http_request_parse(conn->recv_buf, conn->recv_len, files_root, &request);
        if (request.action != HTTP_ACTION_WAIT)
            break;
        // Bytes the session holds bring no readiness event: read them now.
        if (!client->ssl || SSL_pending(client->ssl) == 0)
            return;
    }
    recv_buf_free(conn);
    switch (request.action) {
    case HTTP_ACTION_STATIC:
        static_answer(client);
        break;
    case HTTP_ACTION_CGI:
        cgi_answer(client);
        break;
    case HTTP_ACTION_HISTORY:
        history_answer(client);
        break;
    case HTTP_ACTION_PAGE:
        response_start(client, request.page, request.page_len);
        break;
    default:
        conn_close(client);
        break;
    }
}

// HTTPS: a handshake step; once done, the request has its own time.
void handshake_step(http_client* client)
{
    int step = tls_handshake(client->ssl);
    if (step != 1) {
        tls_wait(client, step);
        return;
    }
    client->conn->state = CONN_RECEIVING;
    client->deadline_ms = now_ms + REQUEST_TIMEOUT_MS;
    if (interest(client, EPOLLIN))
        request_receive(client);
}

void event_handle(const epoll_event& ev)
{
    if (ev.data.ptr == &waker) {
        msg_waker_clear(&waker);
        return;
    }
    for (http_serv* s : {&serv, &serv_tls}) {
        if (ev.data.ptr == s) {
            net_accept(&acceptor, s->sock, now_ms, conn_open, s);
            return;
        }
    }
    auto* client = static_cast<http_client*>(ev.data.ptr);
    if (client->conn->state == CONN_HANDSHAKE)
        handshake_step(client);
    else if (client->conn->state == CONN_RECEIVING)
        request_receive(client);
    else
        response_send(client);
}

// Once a second: connections past their deadline, and a listener pause
// that no closing connection has ended.
void sweep()
{
    if (now_ms - swept_ms < 1000)
        return;
    swept_ms = now_ms;
    for (http_client* client = clients.head; client;) {
        if (now_ms < client->deadline_ms) {
            client = client->next;
            continue;
        }
        uint32_t state = client->conn->state;
        conn_log(client, state == CONN_HANDSHAKE   ? "no TLS handshake within 10 s, closing"
                         : state == CONN_RECEIVING ? "no request line within 10 s, closing"
                                                   : "download stalled for 30 s, closing");
        client = conn_close(client);
    }
    net_accept_tick(&acceptor, now_ms);
}

void thread_end()
{
    acceptor.paused = false;
    while (clients.head)
        conn_close(clients.head);
    serv_close();
    net_loop_close(&epoll_fd);
    store_history_close();
}

void http_serv_loop()
{
    epoll_event events[MAX_EVENTS];
    while (!thread_module_stopping(&module)) {
        int ready = epoll_wait(epoll_fd, events, MAX_EVENTS, THREAD_IDLE_WAIT_MS);
        if (ready < 0 && errno != EINTR) {
            log_socket_error(__LINE__, errno);
            break;
        }
        now_ms = clock_ms();
        for (int i = 0; i < ready; ++i)
            event_handle(events[i]);
        sweep();
    }
    thread_end();
}

bool thread_http_open()
{
    if (!thread_options)
        return false;
    // Adding a name grows the environment array, and another thread reading
    // the environment meanwhile (the cron thread's localtime reads TZ) may
    // read freed memory: QUERY_STRING is added now, before any other thread
    // runs, as a buffer of this module that later requests rewrite in place.
    // (setenv would also keep every value it replaces, so a stream of CGI
    // requests would grow memory without end.)
    putenv(query_env);
    files_root_resolve();
    real_root_resolve();
    now_ms = clock_ms();
    acceptor.max_conns = thread_options->http_max_connections > 0
                             ? static_cast<uint32_t>(thread_options->http_max_connections)
                             : HTTP_MAX_CONNECTIONS_DEFAULT;
    // The process's descriptor limit at start; none when unknown.
    rlimit limit{};
    uint64_t fd_limit =
        getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY ? limit.rlim_cur : 0;
    acceptor.fd_reserve = fd_limit > 0 ? fd_limit - fd_limit / 4 : 0;

    in_addr address = get_device_ipaddress(thread_options->http_iface);
    if (serv_init(address) != 0 || loop_open() != 0)
        return false;
    net_log_listening("HTTP:", thread_options->http_iface, address, serv.port);
    if (tls_ctx && serv_tls.port)
        net_log_listening("HTTPS:", thread_options->http_iface, address, serv_tls.port);
    return true;
}

// Also frees the configuration record: a start needs a new setup.
void thread_http_release()
{
    serv_close();
    net_loop_close(&epoll_fd);
    delete thread_options;
    thread_options = nullptr;
    SSL_CTX_free(tls_ctx);
    tls_ctx = nullptr;
}

} // namespace

void thread_http_serv_setup(http_conf* conf)
{
    delete thread_options;
    thread_options = conf;
    serv = {static_cast<uint16_t>(conf ? conf->http_port : 0), -1, false};
    serv_tls = {static_cast<uint16_t>(conf ? conf->http_tls_port : 0), -1, true};
}

void thread_http_tls_setup(SSL_CTX* ctx)
{
    if (ctx)
        SSL_CTX_up_ref(ctx);
    SSL_CTX_free(tls_ctx);
    tls_ctx = ctx;
}

void thread_http_hub_setup(int32_t mqtt_ws_port, int32_t mqtt_ws_tls_port)
{
    hub_info_len = http_hub_info_format(hub_info, sizeof hub_info, mqtt_ws_port, mqtt_ws_tls_port);
}

int thread_http_start()
{
    return thread_module_start(&module);
}

void thread_http_stop()
{
    thread_module_stop(&module);
}
