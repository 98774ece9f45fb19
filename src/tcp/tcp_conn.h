// Connections of the TCP thread, one per accepted socket, keyed by the
// connection id given at accept (the peer address alone does not tell two
// listeners' connections apart). Used by the TCP thread only.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <type_traits>

#include "list/list.h"
#include "tcp/out_buf.h"

struct ssl_st;

enum : uint32_t {
    CONN_STATE_HTTP_HEADER = 1, // WebSocket connection waiting for its upgrade request
    CONN_STATE_WS_FRAME = 2,    // WebSocket connection exchanging frames
    CONN_STATE_MQTT = 3,        // plain MQTT byte stream
};

struct tcp_conn {
    tcp_conn* next;
    int32_t sock;
    uint64_t conn_id; // unique for the life of the process; channel records carry it
    sockaddr_in addr; // the peer, for log lines
    uint32_t state;
    // Plain MQTT and upgrade request: accumulation buffer. WebSocket
    // frames: the payload of the frame being assembled.
    uint8_t* recv_buf;
    uint32_t recv_len;
    // Frame being parsed; all zero outside frame assembly.
    uint32_t ws_opcode;
    uint8_t ws_mask;
    uint8_t ws_fin;
    uint8_t ws_mask_key[4];
    uint32_t ws_header_len;
    uint32_t ws_payload_len;
    uint8_t ws_header[14];
    uint32_t ws_header_count;
    // WebSocket only: MQTT bytes from earlier frames that do not yet form
    // whole packets (a client may split a packet over frames).
    uint8_t* ws_mqtt_buf;
    uint32_t ws_mqtt_len;
    uint8_t ws_fragmented; // a binary message awaits its continuation frames
    // Bytes posted for the peer and not yet written.
    out_buf out;
    // Monotonic millisecond when a write last took bytes, or when output
    // began to wait: a consumer that takes nothing for long is closed.
    int64_t progress_ms;
    // QoS 0 deliveries dropped in the current drop episode; 0 outside one.
    uint64_t dropped;
    // Monotonic second of the accept: the CONNECT must come within a bound.
    int64_t accepted_sec;
    // Client id of its CONNECT, printable and cut to 64 characters, for
    // log lines; empty before.
    char client_id[65];
    uint8_t mqtt_started;  // 1 once its first packet, a CONNECT, went to the broker
    uint8_t readable;      // bytes may wait in the socket (the conn is in the read list)
    uint8_t writable;      // the socket took the last write whole
    uint8_t flush_queued;  // in this pass's list of connections to write
    uint8_t congested;     // in congested_list
    // TLS listeners: the session (null on the plain ones), and what it
    // waits for besides the obvious: a handshake step or a read that must
    // first write (the next writability event resumes reading), or a
    // write that must first read (the next readability event resumes
    // writing).
    ssl_st* ssl;
    uint8_t tls_ready; // the handshake is done
    uint8_t tls_read_wants_write;
    uint8_t tls_write_wants_read;
};

static_assert(std::is_standard_layout_v<tcp_conn>);
static_assert(offsetof(tcp_conn, next) == 0);

// Allocates a zeroed record with `addr` copied in and appends it.
tcp_conn* list_tcp_conn_add_new(list<tcp_conn>* list, const sockaddr_in* addr);
[[nodiscard]] tcp_conn* list_tcp_conn_find_addr(list<tcp_conn>* list, const sockaddr_in* addr);
// Unlinks and frees the record (the caller frees its buffers first);
// returns the record that followed it.
tcp_conn* list_tcp_conn_remove(list<tcp_conn>* list, tcp_conn* item);
