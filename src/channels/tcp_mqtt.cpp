#include "channels/tcp_mqtt.h"

void msg_tcp_mqtt_add_packet(const sockaddr_in* addr, const uint8_t* bytes, uint32_t length)
{
    msg_tcp_mqtt_add(msg_packet_record_copy<tcp_mqtt_msg>(addr, bytes, length));
}

void msg_tcp_mqtt_add_close_conn(const sockaddr_in* addr)
{
    msg_tcp_mqtt_add(msg_close_record<tcp_mqtt_msg>(addr));
}
