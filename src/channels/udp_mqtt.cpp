#include "channels/udp_mqtt.h"

#include <cstring>

namespace {
msg_queue queue;
}

void msg_udp_mqtt_init()
{
    msg_init(&queue);
}

udp_mqtt_msg* msg_udp_mqtt_new()
{
    return new udp_mqtt_msg{};
}

void msg_udp_mqtt_add(udp_mqtt_msg* record)
{
    msg_add(&queue, record);
}

udp_mqtt_msg* msg_udp_mqtt_get_first()
{
    return static_cast<udp_mqtt_msg*>(msg_get_first(&queue));
}

void msg_udp_mqtt_remove(udp_mqtt_msg* record)
{
    msg_remove(&queue, record);
    delete[] record->packet;
    delete record;
}

void msg_udp_mqtt_destroy()
{
    msg_destroy(&queue);
}

void msg_udp_mqtt_add_packet(const sockaddr_in* addr, const uint8_t* bytes, uint32_t length)
{
    udp_mqtt_msg* record = msg_udp_mqtt_new();
    record->addr = *addr;
    record->packet = new uint8_t[length ? length : 1];
    if (length)
        std::memcpy(record->packet, bytes, length);
    record->packet_len = length;
    msg_udp_mqtt_add(record);
}
