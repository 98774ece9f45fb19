#include "channels/mqtt_udp.h"

void msg_mqtt_udp_add_packet(const sockaddr_in* addr, uint8_t* buffer, uint32_t length)
{
    msg_mqtt_udp_add(msg_packet_record_take<mqtt_udp_msg>(addr, buffer, length));
}
