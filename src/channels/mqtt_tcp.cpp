#include "channels/mqtt_tcp.h"

void msg_mqtt_tcp_add_packet(uint64_t conn_id, uint8_t* buffer, uint32_t length)
{
    auto* record = new mqtt_tcp_msg{};
    record->conn_id = conn_id;
    record->packet = buffer;
    record->packet_len = length;
    msg_mqtt_tcp_add(record);
}

void msg_mqtt_tcp_add_close_conn(uint64_t conn_id)
{
    auto* record = new mqtt_tcp_msg{};
    record->conn_id = conn_id;
    record->close = 1;
    msg_mqtt_tcp_add(record);
}
