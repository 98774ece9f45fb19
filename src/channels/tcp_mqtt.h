// TCP thread -> broker thread: bytes of whole MQTT packets received on a
// connection, or the news that the connection is gone. Operations:
// msg_tcp_mqtt_init, _new, _add, _get_first, _remove, _destroy, _length,
// _set_waker, _drain (channel.h), and the two producer calls below.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "channels/channel.h"

struct tcp_mqtt_msg : msg_record {
    uint8_t* packet;     // heap copy of the received bytes; null in a close record
    uint32_t packet_len; // 0 in a close record
    uint32_t offset;     // first byte the broker has not consumed yet
    uint64_t conn_id;    // the connection, as numbered by the TCP thread at accept
    sockaddr_in addr;    // its peer, for log lines
    uint8_t close;       // 1: the connection is gone
};

MSG_CHANNEL(tcp_mqtt, tcp_mqtt_msg)

// Copies the bytes: the caller keeps its buffer.
void msg_tcp_mqtt_add_packet(uint64_t conn_id, const sockaddr_in* addr, const uint8_t* bytes, uint32_t length);
void msg_tcp_mqtt_add_close_conn(uint64_t conn_id, const sockaddr_in* addr);
