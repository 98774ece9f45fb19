// UDP thread -> broker thread: one received MQTT-SN datagram. Operations:
// msg_udp_mqtt_init, _new, _add, _get_first, _remove, _destroy, _length,
// _set_waker, _drain (channel.h), and the producer call below.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "channels/channel.h"

struct udp_mqtt_msg : msg_record {
    uint8_t* packet; // heap copy of the datagram
    uint32_t packet_len;
    sockaddr_in addr; // sender
};

MSG_CHANNEL(udp_mqtt, udp_mqtt_msg)

// Copies the bytes: the caller keeps its receive buffer.
void msg_udp_mqtt_add_packet(const sockaddr_in* addr, const uint8_t* bytes, uint32_t length);
