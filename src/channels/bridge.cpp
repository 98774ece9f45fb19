#include "channels/bridge.h"

#include <string_view>

namespace {
// Written by the main thread before the broker thread starts, read only by
// the broker thread afterwards.
std::vector<std::string> out_filters;
} // namespace

bool bridge_filter_matches(const std::string& filter, const char* topic, size_t topic_len)
{
    if (topic_len && topic[0] == '$' && !filter.empty() && (filter[0] == '+' || filter[0] == '#'))
        return false;
    size_t f = 0;
    size_t t = 0;
    for (;;) {
        size_t f_end = filter.find('/', f);
        if (f_end == std::string::npos)
            f_end = filter.size();
        std::string_view level(filter.data() + f, f_end - f);
        if (level == "#")
            return true;
        if (t > topic_len)
            return false; // the topic has no more levels
        size_t t_end = t;
        while (t_end < topic_len && topic[t_end] != '/')
            ++t_end;
        if (level != "+" && level != std::string_view(topic + t, t_end - t))
            return false;
        bool filter_done = f_end == filter.size();
        bool topic_done = t_end == topic_len;
        if (filter_done || topic_done) {
            // "a/#" also matches "a".
            if (topic_done && !filter_done)
                return filter.compare(f_end, std::string::npos, "/#") == 0;
            return filter_done && topic_done;
        }
        f = f_end + 1;
        t = t_end + 1;
    }
}

void bridge_out_filters_set(std::vector<std::string> filters)
{
    out_filters = std::move(filters);
}

void bridge_out_offer(const uint8_t* topic, uint16_t topic_len, const uint8_t* payload, uint32_t payload_len,
                      uint8_t retain)
{
    const char* name = reinterpret_cast<const char*>(topic);
    for (const std::string& filter : out_filters) {
        if (!bridge_filter_matches(filter, name, topic_len))
            continue;
        bridge_msg* record = msg_mqtt_bridge_new();
        record->topic.assign(name, topic_len);
        if (payload_len)
            record->payload.assign(reinterpret_cast<const char*>(payload), payload_len);
        record->retain = retain;
        msg_mqtt_bridge_add(record);
        return;
    }
}

void bridge_in_add(std::string topic, std::string payload, uint8_t retain)
{
    bridge_msg* record = msg_bridge_mqtt_new();
    record->topic = std::move(topic);
    record->payload = std::move(payload);
    record->retain = retain;
    msg_bridge_mqtt_add(record);
}
