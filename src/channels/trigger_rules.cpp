#include "channels/trigger_rules.h"

namespace {

void add_next_id(uint32_t next_id)
{
    trigger_rules_msg* record = msg_trigger_rules_new();
    record->next_id = next_id;
    msg_trigger_rules_add(record);
}

} // namespace

void msg_mqtt_rules_add_packet(const mqtt_trigger* trigger)
{
    add_next_id(trigger->next_id);
}

void msg_cron_rules_add_packet(const cron_trigger* trigger)
{
    add_next_id(trigger->next_id);
}
