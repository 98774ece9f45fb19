// The bridge's channels. mqtt_bridge, broker thread -> bridge thread:
// local publications that match an out filter, to send upstream.
// bridge_mqtt, bridge thread -> broker thread: upstream publications that
// match an in filter, and the bridge's own state topics, to publish
// locally. bridge_store, bridge thread -> store thread (with the store on):
// changes to the QoS 1 publications held for the upstream. Operations: msg_<name>_init, _new, _add, _get_first, _remove,
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

// A QoS 1 publication held for the upstream, as the store keeps it.
struct bridge_held {
    uint64_t seq;      // order of arrival, continued across restarts
    std::string topic; // upstream name: prefix included
    std::string payload;
    uint8_t retain;
};

// The held publications taken since the last record (in order) and those
// done since (acknowledged, or dropped from a full queue). A publication
// both taken and done between two records is in neither.
struct bridge_store_msg : msg_record {
    std::vector<bridge_held> added;
    std::vector<uint64_t> done;
};

MSG_CHANNEL(bridge_store, bridge_store_msg)

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
