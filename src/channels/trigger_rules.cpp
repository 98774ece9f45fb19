#include "channels/trigger_rules.h"

#include <atomic>
#include <cstring>

namespace {

// Added by the producers, taken off when the rules thread frees a record.
std::atomic<uint64_t> carried_bytes{0};

trigger_rules_msg* record_new(uint32_t next_id)
{
    trigger_rules_msg* record = msg_trigger_rules_new();
    record->next_id = next_id;
    return record;
}

} // namespace

void msg_record_release(trigger_rules_msg* record)
{
    if (!record->fired)
        return;
    carried_bytes.fetch_sub(uint64_t{record->topic_len} + record->value_len);
    delete[] record->fired;
}

void msg_mqtt_rules_add_packet(uint32_t next_id, const pub_item* item, uint8_t depth)
{
    trigger_rules_msg* record = record_new(next_id);
    record->depth = depth;
    if (item && item->name_len) {
        record->topic_len = item->name_len;
        record->value_len = item->data ? item->data_len : 0;
        size_t size = size_t{record->topic_len} + record->value_len;
        record->fired = new uint8_t[size];
        std::memcpy(record->fired, item->name, record->topic_len);
        if (record->value_len)
            std::memcpy(record->fired + record->topic_len, item->data, record->value_len);
        carried_bytes.fetch_add(size);
    }
    msg_trigger_rules_add(record);
}

void msg_cron_rules_add_packet(uint32_t next_id)
{
    msg_trigger_rules_add(record_new(next_id));
}

void msg_mqtt_rules_add_nodes(list<rules_node> nodes)
{
    trigger_rules_msg* record = record_new(0);
    record->nodes_swap = true;
    record->nodes = nodes;
    msg_trigger_rules_add(record);
}

uint64_t msg_trigger_rules_bytes()
{
    return carried_bytes.load();
}
