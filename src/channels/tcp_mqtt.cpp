#include "channels/tcp_mqtt.h"

void msg_tcp_mqtt_add_packet(uint64_t conn_id, const sockaddr_in* addr, const uint8_t* bytes, uint32_t length)
{
    auto* record = msg_packet_record_copy<tcp_mqtt_msg>(addr, bytes, length);
    record->conn_id = conn_id;
    msg_tcp_mqtt_add(record);
}

void msg_tcp_mqtt_add_close_conn(uint64_t conn_id, const sockaddr_in* addr)
{
    auto* record = msg_close_record<tcp_mqtt_msg>(addr);
    record->conn_id = conn_id;
    msg_tcp_mqtt_add(record);
}
