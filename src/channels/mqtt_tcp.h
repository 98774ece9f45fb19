// Broker thread -> TCP thread: encoded MQTT packets to send to a
// connection, or an order to close it. Operations: msg_mqtt_tcp_init, _new,
// _add, _get_first, _remove, _destroy, _length, _set_waker, _drain
// (channel.h), and the two producer calls below.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "channels/channel.h"

struct mqtt_tcp_msg : msg_record {
    uint8_t* packet;     // one or more encoded packets, owned by the record; null in a close record
    uint32_t packet_len;
    sockaddr_in addr;    // the TCP peer to send to or to close
    uint8_t close;       // 1: close the connection at addr
};

MSG_CHANNEL(mqtt_tcp, mqtt_tcp_msg)

// Takes over `buffer` (allocated with new[]); the consumer's remove frees it.
void msg_mqtt_tcp_add_packet(const sockaddr_in* addr, uint8_t* buffer, uint32_t length);
void msg_mqtt_tcp_add_close_conn(const sockaddr_in* addr);
