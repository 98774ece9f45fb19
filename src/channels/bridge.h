// The bridge's two channels. mqtt_bridge, broker thread -> bridge thread:
// local publications that match an out filter, to send upstream.
// bridge_mqtt, bridge thread -> broker thread: upstream publications that
// match an in filter, and the bridge's own state topics, to publish
// locally. Operations: msg_<name>_init, _new, _add, _get_first, _remove,
// _destroy, _length, _set_waker, _drain (channel.h), and the calls below.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "channels/channel.h"

struct bridge_msg : msg_record {
    std::string topic; // local name: no prefix
    std::string payload;
    uint8_t retain;
};

MSG_CHANNEL(mqtt_bridge, bridge_msg)
MSG_CHANNEL(bridge_mqtt, bridge_msg)

// Whether an MQTT topic filter matches a topic name (a wildcard in the
// first level matches no "$" topic).
[[nodiscard]] bool bridge_filter_matches(const std::string& filter, const char* topic, size_t topic_len);

// Main thread, before the broker starts: the out filters; none leaves the
// bridge without anything to send.
void bridge_out_filters_set(std::vector<std::string> filters);
// Broker thread: queues the publication for the bridge when it matches an
// out filter.
void bridge_out_offer(const uint8_t* topic, uint16_t topic_len, const uint8_t* payload, uint32_t payload_len,
                      uint8_t retain);
// Bridge thread: queues a publication for the broker.
void bridge_in_add(std::string topic, std::string payload, uint8_t retain);
