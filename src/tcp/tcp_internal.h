// State and routines shared by the TCP server's files: server.cpp (thread,
// listeners, connections, plain MQTT) and websocket.cpp (upgrade request and
// frames). Everything here runs in the TCP thread, except `thread_state`,
// which the main thread writes to ask for a stop.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include <openssl/ssl.h>

#include "conf_records.h"
#include "list/id_index.h"
#include "net.h"
#include "tcp/tcp_conn.h"
#include "thread_module.h"

namespace tcp {

// Size of the shared receive area, and of a connection's pending buffer
// until a larger packet's fixed header asks for more (up to
// mqtt_max_packet_size).
constexpr uint32_t TCP_BUF_SIZE = 32768;
// Bounds on unsent bytes and connections when the configuration sets none
// (tcp_conf). A consumer above the soft bound that still takes output
// pauses reading from every client, so TCP slows the publishers; past the
// hard bound, or with the total spent, its QoS 0 deliveries are dropped.
// The total keeps a 512 MB board safe whatever the clients do.
constexpr uint32_t OUTPUT_SOFT_DEFAULT = 512u << 10;
constexpr uint32_t OUTPUT_HARD_DEFAULT = 16u << 20;
constexpr uint32_t OUTPUT_TOTAL_DEFAULT = 64u << 20;
constexpr int32_t OUTPUT_STALL_DEFAULT_SEC = 60;
constexpr uint32_t MAX_CONNECTIONS_DEFAULT = 1000;
// A consumer that took no output for this long no longer pauses anyone, so
// one that stopped reading holds the others up for about a second.
constexpr int64_t OUTPUT_GRACE_MS = 1000;
// Seconds a connection may take to deliver its CONNECT (after the
// WebSocket upgrade, on that listener) before it is closed.
constexpr int TCP_CONNECT_TIMEOUT_SEC = 10;
// Largest WebSocket payload accepted, or mqtt_max_packet_size when that is
// larger. A frame announcing more closes the connection as soon as its
// header is read, before anything is allocated.
constexpr uint32_t WS_PAYLOAD_MAX = 65536;

// Magic string of the opening handshake (RFC 6455 section 1.3).
constexpr char WS_GUID[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

struct tcp_serv {
    uint16_t port;      // host order; 0: this listener is not opened
    int32_t sock;       // -1 while not open
    uint32_t websocket; // 1: connections start with the upgrade request
    uint32_t tls;       // 1: connections start with a TLS handshake
};

// Upgrade-request headers of one parse: 64 characters and a terminator each.
struct ws_header_fields {
    char upgrade[65];
    char connection[65];
    char version[65];
    char key[65];
    char protocol[65];
};

extern tcp_conf* thread_options;

// The bounds in force: the configuration's, or the defaults.
struct tcp_limits {
    uint32_t output_soft;
    uint32_t output_hard;  // at least output_soft
    uint64_t output_total;
    int64_t stall_ms;
    uint32_t max_conns;
    // Largest MQTT packet a client may send (mqtt_max_packet_size); over
    // WebSocket, WS_PAYLOAD_MAX when that is larger.
    uint32_t max_packet;
};
extern tcp_limits limits;
// Fills `limits` from a configuration record (null: all defaults).
void limits_set(const tcp_conf* conf);
// Unsent bytes of all connections together.
extern uint64_t out_total;
// Connections whose unsent bytes passed the soft bound, each once
// (tcp_conn.congested), until they are down to half of it.
extern std::vector<tcp_conn*> congested_list;
// Open connections (the length of `conns`).
extern uint32_t conn_count;
// Monotonic milliseconds at the start of the pass.
extern int64_t now_ms;
// Plain MQTT, WebSocket, MQTT over TLS, WebSocket over TLS.
extern tcp_serv servs[4];
// The TLS listeners' context (a reference of this thread's); null: they
// stay closed.
extern SSL_CTX* tls_ctx;
// Open client connections, in the order they were accepted.
extern list<tcp_conn> conns;
// Every receive of the thread lands here; bytes are copied out before the
// next receive.
extern uint8_t sock_buf[TCP_BUF_SIZE];
// The thread's lifecycle; its waker is signalled by the mqtt_tcp channel
// and by a stop request.
extern thread_module module;
// module.state: THREAD_RUNNING, THREAD_STOP_REQUESTED or THREAD_STOPPED.
extern std::atomic<int>& thread_state;
extern msg_waker& waker;
// The thread's readiness set: listeners, the waker and every connection.
extern int epoll_fd;
// Connections by id, beside `conns`.
extern id_index<tcp_conn> conn_index;
// Connections with bytes that may wait in their socket, read one receive
// per pass each so that no client holds the others up.
extern std::vector<tcp_conn*> read_list;
// Connections with output appended in this pass.
extern std::vector<tcp_conn*> flush_list;
// Monotonic seconds, for the CONNECT and handshake deadlines.
[[nodiscard]] int64_t tcp_now_sec();
[[nodiscard]] int64_t tcp_now_ms();
// Accepting on both listeners: the max_connections bound and the pause
// while descriptors run out.
extern net_acceptor acceptor;

// --- server.cpp ---

// Accepts the connections waiting on a readable listener.
void conn_new(tcp_serv* serv);
// One receive into sock_buf. Returns the byte count, or 0 when there is
// nothing to handle: the socket is drained, the peer closed or a receive
// error closed the connection.
[[nodiscard]] uint32_t conn_recv(tcp_conn* conn);
// A -1 that only says the call closed the connection is left unmarked:
// a handler that makes the call as its last step may drop it, while one
// that goes on must check it, as the record is gone.
// Appends bytes for the peer. The bytes are written once the pass ends
// (or at once when a lot is pending). 0, or -1 when it was closed.
int conn_output(tcp_conn* conn, const uint8_t* bytes, uint32_t len);
// The same for a header and a payload that must go out together.
int conn_output2(tcp_conn* conn, const uint8_t* head, uint32_t head_len, const uint8_t* body, uint32_t body_len);
// Whether a packet the broker posted may join the connection's output: 1
// yes; 0 no, it is a QoS 0 PUBLISH for a consumer past its hard bound (or
// with the total spent), dropped and counted; -1 no, the connection was
// closed, since the total is spent and the packet may not be dropped. A
// drop episode lasts until the consumer is back under its soft bound; it is
// logged when it starts and when it ends.
[[nodiscard]] int conn_output_admit(tcp_conn* conn, const uint8_t* packet, uint32_t len);
// Writes what the socket takes now. 0, or -1 when a write error closed the
// connection.
int conn_write(tcp_conn* conn);
// Whether a consumer above its soft bound took output within the grace
// period: reading then waits. Drops the consumers that are back under half
// the soft bound from congested_list.
[[nodiscard]] bool consumers_behind();
// Hands whole MQTT packets to the broker. The first packet of a connection
// must be a CONNECT; anything else closes it. 0, or -1 when closed.
int conn_deliver(tcp_conn* conn, const uint8_t* bytes, uint32_t len);
// Posts a close notice while the thread runs, closes the socket, frees the
// buffers and unlinks the record, which is freed when the pass ends
// (conn_reap), so pointers held during the pass stay valid. Returns the
// record that followed it.
tcp_conn* conn_close(tcp_conn* conn);
// The broker's close order: writes what it posted before, as far as the
// socket takes it now, then closes.
void conn_close_ordered(tcp_conn* conn);
// Frees the records closed since the last call.
void conn_reap();
// Closes every connection, then every listener.
void serv_close();
// Handler of CONN_STATE_MQTT.
void mqtt_message_handle(tcp_conn* conn);
// Adds received MQTT bytes to a connection's pending buffer (*pending,
// allocated on first use) and posts them to the broker once they form
// whole packets. The buffer holds at most the one packet that has only
// started, sized for it once its fixed header is in. A packet larger than
// `cap` closes the connection with a notice; so does a Remaining Length of
// more than four bytes, which no further byte can repair. 0, or -1 when
// the connection was closed.
int mqtt_bytes_collect(tcp_conn* conn, uint8_t** pending, uint32_t* pending_len, uint32_t cap,
                       const uint8_t* bytes, uint32_t count);
// Frees recv_buf and clears the frame state; changes nothing when recv_buf
// is null.
void recv_buf_free(tcp_conn* conn);
// Frees the MQTT bytes a WebSocket connection has pending (on close).
void ws_mqtt_buf_free(tcp_conn* conn);

// --- websocket.cpp ---

// Handler of CONN_STATE_HTTP_HEADER.
void http_header_handle(tcp_conn* conn);
// Collects received bytes of the upgrade request; answers it once the blank
// line is in, and parses the bytes after it as frames. `bytes` may be
// sock_buf. 0, or -1 when the connection was closed.
int http_header_collect(tcp_conn* conn, const uint8_t* bytes, uint32_t count);
// Whether recv_buf holds "\r\n\r\n" within recv_len bytes (the search starts
// at `from`). `end`, when given, receives the offset just after the blank
// line.
[[nodiscard]] bool http_header_detect(tcp_conn* conn, uint32_t from = 0, uint32_t* end = nullptr);
// Parses the request text (NUL-terminated, without the blank line; it is
// cut into lines in place). True and the client's key copied to `key` (65
// bytes) when acceptable; `protocol`, when given, then points at the
// sub-protocol to answer with.
[[nodiscard]] bool http_header_parse(char* text, char* key, const char** protocol = nullptr);
// Stores one header line into the fields.
void http_header_parse_token(const char* line, ws_header_fields* fields);
// Parses the collected request (recv_buf, terminated where its blank line
// began) and queues the 101 response when it is acceptable. 1 when
// answered, 0 when the request is rejected, -1 when the connection closed.
[[nodiscard]] int http_ws_response_send(tcp_conn* conn);
// Sec-WebSocket-Accept for `key`: 28 characters and a terminator.
void ws_handshake_encode(const char* key, char* accept_out);

// Handler of CONN_STATE_WS_FRAME.
void ws_frame_handle(tcp_conn* conn);
// Feeds received bytes to the frame state of the connection. `buf` is
// worked on in place (sock_buf in the thread). 0, or -1 when the connection
// was closed.
int ws_frame_collect(tcp_conn* conn, uint8_t* buf, uint32_t count);
enum class ws_frame_result {
    header_incomplete,  // the header bytes are held for the next segment
    payload_incomplete, // recv_buf holds the payload received so far
    complete,           // a whole frame, nothing after it
    complete_and_more,  // a whole frame; the bytes after it are moved to
                        // the start of `buf`, *count their number
    refused,            // payload above WS_PAYLOAD_MAX, a reserved bit, a
                        // fragmented or long control frame, or (mqtt_standard)
                        // no mask: the caller closes
};
// Parses one frame from `buf`.
[[nodiscard]] ws_frame_result ws_frame_parse(tcp_conn* conn, uint8_t* buf, uint32_t* count);
// Parses and processes frames until the bytes are used up or incomplete.
// 0, or -1 when the connection was closed.
[[nodiscard]] int ws_frame_parse_loop(tcp_conn* conn, uint8_t* buf, uint32_t count);
// Zeroes the frame state (header bytes, lengths, mask, opcode).
void ws_frame_state_clear(tcp_conn* conn);
// Unmasks the payload in place when the mask bit was set.
void ws_frame_decode(tcp_conn* conn);
// Acts on a complete frame. 0, or -1 when it closed the connection.
[[nodiscard]] int ws_frame_process(tcp_conn* conn);
// Queues one unfragmented, unmasked frame for the peer. 0, or -1 when the
// connection was closed (conn_output).
int ws_frame_send(tcp_conn* conn, uint32_t opcode, const uint8_t* data, uint32_t len);

} // namespace tcp
