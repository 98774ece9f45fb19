#include "channels/mqtt_tcp.h"

void msg_mqtt_tcp_add_packet(const sockaddr_in* addr, uint8_t* buffer, uint32_t length)
{
    msg_mqtt_tcp_add(msg_packet_record_take<mqtt_tcp_msg>(addr, buffer, length));
}

void msg_mqtt_tcp_add_close_conn(const sockaddr_in* addr)
{
    msg_mqtt_tcp_add(msg_close_record<mqtt_tcp_msg>(addr));
}
