// TCP thread -> broker thread: bytes of whole MQTT packets received on a
// connection, or the news that the connection is gone.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "channels/msgs.h"

struct tcp_mqtt_msg : msg_record {
    uint8_t* packet;     // heap copy of the received bytes; null in a close record
    uint32_t packet_len; // 0 in a close record
    uint32_t offset;     // first byte the broker has not consumed yet
    sockaddr_in addr;    // the TCP peer
    uint8_t close;       // 1: the connection at addr is gone
};

void msg_tcp_mqtt_init();
tcp_mqtt_msg* msg_tcp_mqtt_new();
void msg_tcp_mqtt_add(tcp_mqtt_msg* record);
// Oldest record, left in the queue, or null.
tcp_mqtt_msg* msg_tcp_mqtt_get_first();
// Unlinks the record and frees it with its packet.
void msg_tcp_mqtt_remove(tcp_mqtt_msg* record);
void msg_tcp_mqtt_destroy();

// Copies the bytes: the caller keeps its buffer.
void msg_tcp_mqtt_add_packet(const sockaddr_in* addr, const uint8_t* bytes, uint32_t length);
void msg_tcp_mqtt_add_close_conn(const sockaddr_in* addr);
