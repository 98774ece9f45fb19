// Broker thread -> TCP thread: encoded MQTT packets to send to a
// connection, or an order to close it.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "channels/msgs.h"

struct mqtt_tcp_msg : msg_record {
    uint8_t* packet;     // one or more encoded packets, owned by the record; null in a close record
    uint32_t packet_len;
    sockaddr_in addr;    // the TCP peer to send to or to close
    uint8_t close;       // 1: close the connection at addr
};

void msg_mqtt_tcp_init();
mqtt_tcp_msg* msg_mqtt_tcp_new();
void msg_mqtt_tcp_add(mqtt_tcp_msg* record);
// Oldest record, left in the queue, or null.
mqtt_tcp_msg* msg_mqtt_tcp_get_first();
// Unlinks the record and frees it with its packet.
void msg_mqtt_tcp_remove(mqtt_tcp_msg* record);
void msg_mqtt_tcp_destroy();

// Takes over `buffer` (allocated with new[]); the consumer's remove frees it.
void msg_mqtt_tcp_add_packet(const sockaddr_in* addr, uint8_t* buffer, uint32_t length);
void msg_mqtt_tcp_add_close_conn(const sockaddr_in* addr);
