#include "channels/mqtt_tcp.h"

#include <cstring>

namespace {
msg_queue queue;
}

void msg_mqtt_tcp_init()
{
    msg_init(&queue);
}

mqtt_tcp_msg* msg_mqtt_tcp_new()
{
    return new mqtt_tcp_msg{};
}

void msg_mqtt_tcp_add(mqtt_tcp_msg* record)
{
    msg_add(&queue, record);
}

mqtt_tcp_msg* msg_mqtt_tcp_get_first()
{
    return static_cast<mqtt_tcp_msg*>(msg_get_first(&queue));
}

void msg_mqtt_tcp_remove(mqtt_tcp_msg* record)
{
    msg_remove(&queue, record);
    delete[] record->packet;
    delete record;
}

void msg_mqtt_tcp_destroy()
{
    msg_destroy(&queue);
}

void msg_mqtt_tcp_add_packet(const sockaddr_in* addr, uint8_t* buffer, uint32_t length)
{
    mqtt_tcp_msg* record = msg_mqtt_tcp_new();
    record->addr = *addr;
    record->packet = buffer;
    record->packet_len = length;
    msg_mqtt_tcp_add(record);
}

void msg_mqtt_tcp_add_close_conn(const sockaddr_in* addr)
{
    mqtt_tcp_msg* record = msg_mqtt_tcp_new();
    record->addr = *addr;
    record->close = 1;
    msg_mqtt_tcp_add(record);
}
