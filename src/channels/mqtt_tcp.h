// Broker thread -> TCP thread: encoded MQTT packets to send to a
// connection, or an order to close it. Operations: msg_mqtt_tcp_init, _new,
// _add, _get_first, _remove, _destroy, _length, _set_waker, _drain
// (channel.h), and the two producer calls below.
#pragma once

#include <cstdint>

#include "channels/channel.h"

struct mqtt_tcp_msg : msg_record {
    uint8_t* packet;     // one or more encoded packets, owned by the record; null in a close record
    uint32_t packet_len;
    uint64_t conn_id;    // the connection to send to or to close (tcp_mqtt_msg.conn_id)
    uint8_t close;       // 1: close the connection
};

MSG_CHANNEL(mqtt_tcp, mqtt_tcp_msg)

// Takes over `buffer` (allocated with new[]); the consumer's remove frees it.
void msg_mqtt_tcp_add_packet(uint64_t conn_id, uint8_t* buffer, uint32_t length);
void msg_mqtt_tcp_add_close_conn(uint64_t conn_id);
