#include "channels/tcp_mqtt.h"

#include <cstring>

namespace {
msg_queue queue;
}

void msg_tcp_mqtt_init()
{
    msg_init(&queue);
}

tcp_mqtt_msg* msg_tcp_mqtt_new()
{
    return new tcp_mqtt_msg{};
}

void msg_tcp_mqtt_add(tcp_mqtt_msg* record)
{
    msg_add(&queue, record);
}

tcp_mqtt_msg* msg_tcp_mqtt_get_first()
{
    return static_cast<tcp_mqtt_msg*>(msg_get_first(&queue));
}

void msg_tcp_mqtt_remove(tcp_mqtt_msg* record)
{
    msg_remove(&queue, record);
    delete[] record->packet;
    delete record;
}

void msg_tcp_mqtt_destroy()
{
    msg_destroy(&queue);
}

void msg_tcp_mqtt_add_packet(const sockaddr_in* addr, const uint8_t* bytes, uint32_t length)
{
    tcp_mqtt_msg* record = msg_tcp_mqtt_new();
    record->addr = *addr;
    record->packet = new uint8_t[length ? length : 1];
    if (length)
        std::memcpy(record->packet, bytes, length);
    record->packet_len = length;
    msg_tcp_mqtt_add(record);
}

void msg_tcp_mqtt_add_close_conn(const sockaddr_in* addr)
{
    tcp_mqtt_msg* record = msg_tcp_mqtt_new();
    record->addr = *addr;
    record->close = 1;
    msg_tcp_mqtt_add(record);
}
