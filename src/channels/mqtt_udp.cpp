#include "channels/mqtt_udp.h"

#include <cstring>

namespace {
msg_queue queue;
}

void msg_mqtt_udp_init()
{
    msg_init(&queue);
}

mqtt_udp_msg* msg_mqtt_udp_new()
{
    return new mqtt_udp_msg{};
}

void msg_mqtt_udp_add(mqtt_udp_msg* record)
{
    msg_add(&queue, record);
}

mqtt_udp_msg* msg_mqtt_udp_get_first()
{
    return static_cast<mqtt_udp_msg*>(msg_get_first(&queue));
}

void msg_mqtt_udp_remove(mqtt_udp_msg* record)
{
    msg_remove(&queue, record);
    delete[] record->packet;
    delete record;
}

void msg_mqtt_udp_destroy()
{
    msg_destroy(&queue);
}

void msg_mqtt_udp_add_packet(const sockaddr_in* addr, uint8_t* buffer, uint32_t length)
{
    mqtt_udp_msg* record = msg_mqtt_udp_new();
    record->addr = *addr;
    record->packet = buffer;
    record->packet_len = length;
    msg_mqtt_udp_add(record);
}
