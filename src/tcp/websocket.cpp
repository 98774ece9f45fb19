// MQTT over WebSocket (RFC 6455) inside the TCP thread: the HTTP upgrade
// request and its 101 answer, then frames in both directions. Binary
// payloads, fragmented messages included, are gathered per connection until
// they form whole MQTT packets, because a client may split one packet over
// several frames. With mqtt_standard = 1 the handshake and the control
// frames follow RFC 6455 where the default keeps its own narrower rules.
#include <strings.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "logging.h"
#include "codec/mqtt.h"
#include "tcp/tcp_internal.h"
#include "channels/tcp_mqtt.h"

namespace tcp {

namespace {

enum : uint32_t {
    WS_OPCODE_CONTINUATION = 0,
    WS_OPCODE_BINARY = 2,
    WS_OPCODE_CLOSE = 8,
    WS_OPCODE_PING = 9,
    WS_OPCODE_PONG = 10,
};

// Control frames (close, ping, pong) carry at most this much and are never
// fragmented.
constexpr uint32_t WS_CONTROL_MAX = 125;

constexpr char WS_RESPONSE[] = "HTTP/1.1 101 Switching Protocols\r\n"
                               "Upgrade: websocket\r\n"
                               "Connection: Upgrade\r\n"
                               "Sec-WebSocket-Protocol: %s\r\n"
                               "Sec-WebSocket-Accept: %s\r\n\r\n";

// The sub-protocols of MQTT: "mqttv3.1" of old, "mqtt" as MQTT 3.1.1 names
// it (MQTT.js and Paho JavaScript offer it).
constexpr const char* WS_PROTOCOLS[] = {"mqttv3.1", "mqtt"};

bool standard_mode()
{
    return thread_options && thread_options->mqtt_standard == 1;
}

// The first sub-protocol of the client's comma-separated list that is one
// of ours, or null.
const char* ws_protocol_choose(const char* list)
{
    for (const char* at = list; *at;) {
        at += std::strspn(at, " \t,");
        size_t len = std::strcspn(at, " \t,");
        for (const char* name : WS_PROTOCOLS)
            if (len && len == std::strlen(name) && std::memcmp(at, name, len) == 0)
                return name;
        at += len;
    }
    return nullptr;
}

// Whether the comma-separated list holds `token`, in any case.
bool ws_token_listed(const char* list, const char* token)
{
    size_t token_len = std::strlen(token);
    for (const char* at = list; *at;) {
        at += std::strspn(at, " \t,");
        size_t len = std::strcspn(at, " \t,");
        if (len == token_len && strncasecmp(at, token, len) == 0)
            return true;
        at += len;
    }
    return false;
}

// Frame done with: drop its payload and header so the next frame starts
// clean. recv_buf_free alone leaves the state of an empty frame behind.
void ws_frame_reset(tcp_conn* conn)
{
    recv_buf_free(conn);
    ws_frame_state_clear(conn);
}

// Binary payload: add it to the connection's pending MQTT bytes and deliver
// them once they are whole packets, as the plain path does.
int ws_mqtt_append(tcp_conn* conn)
{
    const uint8_t* payload = conn->recv_buf;
    uint32_t len = conn->recv_len;
    if (len == 0)
        return 0;
    if (!conn->ws_mqtt_buf && mqtt_packets_buffer_check(payload, len) == 0) {
        // Whole packets in one frame, the usual case: no copy needed.
        return conn_deliver(conn, payload, len);
    }
    const uint32_t cap = std::max(WS_PAYLOAD_MAX, limits.max_packet);
    return mqtt_bytes_collect(conn, &conn->ws_mqtt_buf, &conn->ws_mqtt_len, cap, payload, len);
}

void field_set(char* field, const char* value)
{
    std::memcpy(field, value, std::strlen(value) + 1);
}

} // namespace

void http_header_handle(tcp_conn* conn)
{
    uint32_t received = conn_recv(conn);
    if (received == 0)
        return;
    http_header_collect(conn, sock_buf, received);
}

int http_header_collect(tcp_conn* conn, const uint8_t* bytes, uint32_t count)
{
    if (conn->recv_len + count > TCP_BUF_SIZE) {
        conn_close(conn);
        return -1;
    }
    if (!conn->recv_buf)
        conn->recv_buf = new uint8_t[TCP_BUF_SIZE];
    // The blank line may straddle the previous segment's last bytes.
    uint32_t from = conn->recv_len > 3 ? conn->recv_len - 3 : 0;
    std::memmove(conn->recv_buf + conn->recv_len, bytes, count);
    conn->recv_len += count;

    uint32_t end = 0;
    if (!http_header_detect(conn, from, &end))
        return 0;
    conn->recv_buf[end - 4] = '\0';
    int answered = http_ws_response_send(conn);
    if (answered <= 0) {
        if (answered == 0)
            conn_close(conn);
        return -1;
    }

    // A client may send its first frame right behind the request.
    uint32_t rest = conn->recv_len - end;
    if (rest)
        std::memmove(sock_buf, conn->recv_buf + end, rest);
    recv_buf_free(conn);
    conn->state = CONN_STATE_WS_FRAME;
    if (rest)
        return ws_frame_parse_loop(conn, sock_buf, rest);
    return 0;
}

bool http_header_detect(tcp_conn* conn, uint32_t from, uint32_t* end)
{
    if (!conn->recv_buf)
        return false;
    for (uint32_t i = from; i + 4 <= conn->recv_len; ++i) {
        if (std::memcmp(conn->recv_buf + i, "\r\n\r\n", 4) == 0) {
            if (end)
                *end = i + 4;
            return true;
        }
    }
    return false;
}

void http_header_parse_token(const char* line, ws_header_fields* fields)
{
    char name[65];
    char value[65];
    if (std::sscanf(line, "%64[^:]: %64[^\r\n]", name, value) != 2)
        return;
    // Header names are case-insensitive in HTTP; proxies lower-case them.
    if (strcasecmp(name, "Upgrade") == 0)
        field_set(fields->upgrade, value);
    else if (strcasecmp(name, "Connection") == 0)
        field_set(fields->connection, value);
    else if (strcasecmp(name, "Sec-WebSocket-Version") == 0)
        field_set(fields->version, value);
    else if (strcasecmp(name, "Sec-WebSocket-Key") == 0)
        field_set(fields->key, value);
    else if (strcasecmp(name, "Sec-WebSocket-Protocol") == 0)
        field_set(fields->protocol, value);
}

bool http_header_parse(char* text, char* key, const char** protocol)
{
    ws_header_fields fields{};
    char* save = nullptr;
    for (char* line = strtok_r(text, "\r\n", &save); line; line = strtok_r(nullptr, "\r\n", &save))
        http_header_parse_token(line, &fields);

    const bool standard = standard_mode();
    const char* chosen = "mqttv3.1";
    if (standard) {
        // Values compared as RFC 6455 has them: tokens, in any case, and
        // the sub-protocol the one of ours the client lists first.
        if (!ws_token_listed(fields.connection, "upgrade") || strcasecmp(fields.upgrade, "websocket") != 0)
            return false;
    } else {
        if (!std::strstr(fields.connection, "Upgrade"))
            return false;
        if (std::strcmp(fields.upgrade, "websocket") != 0 && std::strcmp(fields.upgrade, "Websocket") != 0)
            return false;
    }
    if (std::strcmp(fields.version, "13") != 0)
        return false;
    if (standard ? !(chosen = ws_protocol_choose(fields.protocol)) : std::strcmp(fields.protocol, chosen) != 0)
        return false;
    if (fields.key[0] == '\0')
        return false;
    field_set(key, fields.key);
    if (protocol)
        *protocol = chosen;
    return true;
}

int http_ws_response_send(tcp_conn* conn)
{
    char key[65];
    const char* protocol = nullptr;
    if (!http_header_parse(reinterpret_cast<char*>(conn->recv_buf), key, &protocol))
        return 0;
    char accept[29];
    ws_handshake_encode(key, accept);
    char response[sizeof WS_RESPONSE + sizeof accept + 16];
    int len = std::snprintf(response, sizeof response, WS_RESPONSE, protocol, accept);
    return conn_output(conn, reinterpret_cast<const uint8_t*>(response), static_cast<uint32_t>(len)) == 0 ? 1 : -1;
}

void ws_handshake_encode(const char* key, char* accept_out)
{
    char text[64 + sizeof WS_GUID];
    size_t key_len = strnlen(key, 64);
    std::memcpy(text, key, key_len);
    std::memcpy(text + key_len, WS_GUID, sizeof WS_GUID - 1);

    // SHA-1 of the key and the magic string, in base64 (RFC 6455 section
    // 4.2.2): 20 bytes give 28 characters and the terminator.
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int digest_len = 0;
    if (EVP_Digest(text, key_len + sizeof WS_GUID - 1, digest, &digest_len, EVP_sha1(), nullptr) != 1 ||
        digest_len != 20) {
        accept_out[0] = '\0';
        return;
    }
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(accept_out), digest, static_cast<int>(digest_len));
}

void ws_frame_handle(tcp_conn* conn)
{
    uint32_t received = conn_recv(conn);
    if (received == 0)
        return;
    ws_frame_collect(conn, sock_buf, received);
}

int ws_frame_collect(tcp_conn* conn, uint8_t* buf, uint32_t count)
{
    if (!conn->recv_buf)
        return ws_frame_parse_loop(conn, buf, count);

    // The payload of the current frame is still arriving.
    uint32_t missing = conn->ws_payload_len - conn->recv_len;
    uint32_t take = count < missing ? count : missing;
    std::memcpy(conn->recv_buf + conn->recv_len, buf, take);
    conn->recv_len += take;
    if (conn->recv_len < conn->ws_payload_len)
        return 0;

    ws_frame_decode(conn);
    if (ws_frame_process(conn) < 0) {
        log_write(LOG_DEBUG, "ws_frame_handle: connection has been closed\n");
        return -1;
    }
    if (count > take) {
        std::memmove(buf, buf + take, count - take);
        return ws_frame_parse_loop(conn, buf, count - take);
    }
    return 0;
}

int ws_frame_parse_loop(tcp_conn* conn, uint8_t* buf, uint32_t count)
{
    for (;;) {
        ws_frame_result result = ws_frame_parse(conn, buf, &count);
        if (result == ws_frame_result::refused) {
            conn_close(conn);
            log_write(LOG_DEBUG, "ws_frame_parse_loop: connection has been closed\n");
            return -1;
        }
        if (result == ws_frame_result::header_incomplete || result == ws_frame_result::payload_incomplete)
            return 0;
        ws_frame_decode(conn);
        if (ws_frame_process(conn) < 0) {
            log_write(LOG_DEBUG, "ws_frame_parse_loop: connection has been closed\n");
            return -1;
        }
        if (result == ws_frame_result::complete)
            return 0;
    }
}

ws_frame_result ws_frame_parse(tcp_conn* conn, uint8_t* buf, uint32_t* count)
{
    uint32_t held = conn->ws_header_count;
    uint32_t avail = *count;
    if (avail == 0)
        return ws_frame_result::header_incomplete;

    uint32_t room = sizeof conn->ws_header - held;
    uint32_t take = avail < room ? avail : room;
    std::memcpy(conn->ws_header + held, buf, take);
    uint32_t have = held + take;
    if (have < 2) {
        conn->ws_header_count = have;
        return ws_frame_result::header_incomplete;
    }

    const uint8_t* header = conn->ws_header;
    conn->ws_fin = header[0] >> 7;
    conn->ws_opcode = header[0] & 0x0F;
    conn->ws_mask = header[1] >> 7;
    uint32_t code = header[1] & 0x7F;
    conn->ws_payload_len = code;
    uint32_t length_bytes = code == 126 ? 2 : code == 127 ? 8 : 0;
    conn->ws_header_len = 2 + length_bytes + (conn->ws_mask ? 4 : 0);
    if (have < conn->ws_header_len) {
        conn->ws_header_count = have;
        return ws_frame_result::header_incomplete;
    }

    // Header bytes beyond what this call needed were payload; it starts in
    // buf right after the header's last byte.
    uint32_t payload_start = conn->ws_header_len - held;
    conn->ws_header_count = conn->ws_header_len;
    uint32_t payload_len = code;
    bool too_long = false;
    if (code == 126) {
        payload_len = static_cast<uint32_t>(header[2]) << 8 | header[3];
    } else if (code == 127) {
        payload_len = static_cast<uint32_t>(header[6]) << 24 | static_cast<uint32_t>(header[7]) << 16 |
                      static_cast<uint32_t>(header[8]) << 8 | header[9];
        // A set bit in the high word announces more than the bound too;
        // reading only the low word would take the frame for a short one
        // and parse its payload as headers.
        too_long = (header[2] | header[3] | header[4] | header[5]) != 0;
    }
    conn->ws_payload_len = payload_len;
    if (conn->ws_mask)
        std::memcpy(conn->ws_mask_key, header + 2 + length_bytes, 4);
    // A frame may carry one whole packet of mqtt_max_packet_size.
    if (too_long || payload_len > std::max(WS_PAYLOAD_MAX, limits.max_packet))
        return ws_frame_result::refused;
    // No extension is negotiated, so a reserved bit is a fault; so is a
    // control frame that is fragmented or long.
    if ((header[0] & 0x70) != 0)
        return ws_frame_result::refused;
    if ((conn->ws_opcode & 0x08) != 0 && (!conn->ws_fin || payload_len > WS_CONTROL_MAX))
        return ws_frame_result::refused;
    // A client must mask every frame.
    if (!conn->ws_mask && standard_mode())
        return ws_frame_result::refused;

    uint32_t avail_payload = avail - payload_start;
    uint32_t filled = 0;
    if (payload_len > 0) {
        conn->recv_buf = new uint8_t[payload_len];
        filled = avail_payload < payload_len ? avail_payload : payload_len;
        std::memcpy(conn->recv_buf, buf + payload_start, filled);
        conn->recv_len = filled;
        if (filled < payload_len)
            return ws_frame_result::payload_incomplete;
    }

    uint32_t rest = avail_payload - filled;
    if (rest == 0)
        return ws_frame_result::complete;
    std::memmove(buf, buf + payload_start + filled, rest);
    *count = rest;
    return ws_frame_result::complete_and_more;
}

void ws_frame_decode(tcp_conn* conn)
{
    if (!conn->ws_mask || !conn->recv_buf)
        return;
    for (uint32_t i = 0; i < conn->recv_len; ++i)
        conn->recv_buf[i] ^= conn->ws_mask_key[i & 3];
}

void ws_frame_state_clear(tcp_conn* conn)
{
    conn->ws_opcode = 0;
    conn->ws_mask = 0;
    conn->ws_fin = 0;
    std::memset(conn->ws_mask_key, 0, sizeof conn->ws_mask_key);
    conn->ws_header_len = 0;
    conn->ws_payload_len = 0;
    std::memset(conn->ws_header, 0, sizeof conn->ws_header);
    conn->ws_header_count = 0;
}

int ws_frame_process(tcp_conn* conn)
{
    switch (conn->ws_opcode) {
    case WS_OPCODE_BINARY:
    case WS_OPCODE_CONTINUATION:
        // A message's fragments: a binary frame starts one, continuation
        // frames go on with it; control frames may come in between.
        if ((conn->ws_opcode == WS_OPCODE_BINARY) == (conn->ws_fragmented != 0)) {
            conn_close(conn);
            return -1;
        }
        conn->ws_fragmented = !conn->ws_fin;
        if (ws_mqtt_append(conn) < 0)
            return -1;
        ws_frame_reset(conn);
        return 0;
    case WS_OPCODE_PING: {
        // The default answers with an empty pong; RFC 6455 echoes the data.
        uint8_t data[WS_CONTROL_MAX];
        uint32_t len = standard_mode() ? conn->recv_len : 0;
        if (len)
            std::memcpy(data, conn->recv_buf, len);
        ws_frame_reset(conn);
        return ws_frame_send(conn, WS_OPCODE_PONG, len ? data : nullptr, len);
    }
    case WS_OPCODE_PONG:
        ws_frame_reset(conn);
        return 0;
    case WS_OPCODE_CLOSE:
        // RFC 6455 answers with a close frame echoing the status code; the
        // default just ends the connection.
        if (standard_mode()) {
            uint8_t status[2];
            uint32_t len = conn->recv_len >= 2 ? 2 : 0;
            if (len)
                std::memcpy(status, conn->recv_buf, len);
            ws_frame_reset(conn);
            if (ws_frame_send(conn, WS_OPCODE_CLOSE, len ? status : nullptr, len) < 0)
                return -1;
            conn_close_ordered(conn);
            return -1;
        }
        conn_close(conn);
        return -1;
    default:
        // Text and reserved opcodes: no close frame is sent back, the
        // connection just ends.
        conn_close(conn);
        return -1;
    }
}

int ws_frame_send(tcp_conn* conn, uint32_t opcode, const uint8_t* data, uint32_t len)
{
    uint8_t header[10] = {};
    uint32_t header_len;
    header[0] = static_cast<uint8_t>(0x80 | (opcode & 0x0F));
    if (len <= 125) {
        header[1] = static_cast<uint8_t>(len);
        header_len = 2;
    } else if (len < 65536) {
        header[1] = 126;
        header[2] = static_cast<uint8_t>(len >> 8);
        header[3] = static_cast<uint8_t>(len);
        header_len = 4;
    } else {
        header[1] = 127;
        header[6] = static_cast<uint8_t>(len >> 24);
        header[7] = static_cast<uint8_t>(len >> 16);
        header[8] = static_cast<uint8_t>(len >> 8);
        header[9] = static_cast<uint8_t>(len);
        header_len = 10;
    }
    return conn_output2(conn, header, header_len, data, len);
}

} // namespace tcp
