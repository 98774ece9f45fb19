#include "channels/mqtt_tcp.h"

void msg_mqtt_tcp_add_packet(const sockaddr_in* addr, uint8_t* buffer, uint32_t length)
{
    msg_mqtt_tcp_add(msg_packet_record_take<mqtt_tcp_msg>(addr, buffer, length));
}

void msg_mqtt_tcp_add_close_conn(const sockaddr_in* addr)
{
    mqtt_tcp_msg* record = msg_mqtt_tcp_new();
    record->addr = *addr;
    record->close = 1;
    msg_mqtt_tcp_add(record);
}
