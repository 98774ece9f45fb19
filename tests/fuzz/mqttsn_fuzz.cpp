// MQTT-SN datagrams from a few senders, through the broker's datagram
// handler with its real session state: no input may read out of bounds,
// trip an assertion or leak. Input: repeated [sender, length, bytes...];
// sender bit 7 also runs a timer tick first, so re-sends and keep-alive
// expiry take part.
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>

#include "broker/broker_internal.h"
#include "channels/mqtt_tcp.h"
#include "channels/mqtt_udp.h"
#include "channels/trigger_rules.h"

namespace {

void discard_output()
{
    while (mqtt_udp_msg* msg = msg_mqtt_udp_get_first())
        msg_mqtt_udp_remove(msg);
    while (mqtt_tcp_msg* msg = msg_mqtt_tcp_get_first())
        msg_mqtt_tcp_remove(msg);
    while (trigger_rules_msg* msg = msg_trigger_rules_get_first())
        msg_trigger_rules_remove(msg);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    [[maybe_unused]] static bool ready = (msg_mqtt_udp_init(), msg_mqtt_tcp_init(), msg_trigger_rules_init(), true);
    // Retained topics that new subscriptions match, with and without an id.
    const uint8_t name[] = {'a', '/', 'b'};
    broker_publish(PUBLICATION_WILL, name, sizeof name, name, sizeof name, 1);
    list_pub_add_replace(&pub_list, name, 1, name, 1, 1);

    for (size_t pos = 0; pos + 2 <= size;) {
        uint8_t sender = data[pos];
        size_t length = std::min<size_t>(data[pos + 1], size - pos - 2);
        pos += 2;
        if (sender & 0x80)
            timer_handle();
        udp_mqtt_msg record{};
        record.addr = sockaddr_in{AF_INET, htons(static_cast<uint16_t>(1000 + (sender & 3))), {htonl(0x7f000001)}, {}};
        record.packet = const_cast<uint8_t*>(data + pos);
        record.packet_len = static_cast<uint32_t>(length);
        mqttsn_packet_handle(&record);
        pos += length;
        discard_output();
    }
    broker_sn_remove_all();
    broker_conn_remove_all();
    list_data_remove_all(&pub_list);
    mqttsn_topic_id = mqttsn_msg_id = 1;
    return 0;
}
