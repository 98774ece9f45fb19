// UDP thread -> broker thread: one received MQTT-SN datagram.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "channels/msgs.h"

struct udp_mqtt_msg : msg_record {
    uint8_t* packet; // heap copy of the datagram
    uint32_t packet_len;
    sockaddr_in addr; // sender
};

void msg_udp_mqtt_init();
udp_mqtt_msg* msg_udp_mqtt_new();
void msg_udp_mqtt_add(udp_mqtt_msg* record);
// Oldest record, left in the queue, or null.
udp_mqtt_msg* msg_udp_mqtt_get_first();
// Unlinks the record and frees it with its packet.
void msg_udp_mqtt_remove(udp_mqtt_msg* record);
void msg_udp_mqtt_destroy();

// Copies the bytes: the caller keeps its receive buffer.
void msg_udp_mqtt_add_packet(const sockaddr_in* addr, const uint8_t* bytes, uint32_t length);
