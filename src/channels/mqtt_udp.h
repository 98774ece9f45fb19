// Broker thread -> UDP thread: one encoded MQTT-SN datagram to send.
// Operations: msg_mqtt_udp_init, _new, _add, _get_first, _remove, _destroy,
// _length, _set_waker, _drain (channel.h), and the producer call below.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "channels/channel.h"

struct mqtt_udp_msg : msg_record {
    uint8_t* packet; // owned by the record
    uint32_t packet_len;
    sockaddr_in addr; // destination
};

MSG_CHANNEL(mqtt_udp, mqtt_udp_msg)

// Takes over `buffer` (allocated with new[]); the consumer's remove frees it.
void msg_mqtt_udp_add_packet(const sockaddr_in* addr, uint8_t* buffer, uint32_t length);
