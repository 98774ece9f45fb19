// Broker thread -> UDP thread: one encoded MQTT-SN datagram to send.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "channels/msgs.h"

struct mqtt_udp_msg : msg_record {
    uint8_t* packet; // owned by the record
    uint32_t packet_len;
    sockaddr_in addr; // destination
};

void msg_mqtt_udp_init();
mqtt_udp_msg* msg_mqtt_udp_new();
void msg_mqtt_udp_add(mqtt_udp_msg* record);
// Oldest record, left in the queue, or null.
mqtt_udp_msg* msg_mqtt_udp_get_first();
// Unlinks the record and frees it with its packet.
void msg_mqtt_udp_remove(mqtt_udp_msg* record);
void msg_mqtt_udp_destroy();

// Takes over `buffer` (allocated with new[]); the consumer's remove frees it.
void msg_mqtt_udp_add_packet(const sockaddr_in* addr, uint8_t* buffer, uint32_t length);
