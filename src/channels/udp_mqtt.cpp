#include "channels/udp_mqtt.h"

void msg_udp_mqtt_add_packet(const sockaddr_in* addr, const uint8_t* bytes, uint32_t length)
{
    msg_udp_mqtt_add(msg_packet_record_copy<udp_mqtt_msg>(addr, bytes, length));
}
