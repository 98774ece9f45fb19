#include "channels/trigger_rules.h"

namespace {
msg_queue queue;
}

void msg_trigger_rules_init()
{
    msg_init(&queue);
}

trigger_rules_msg* msg_trigger_rules_new()
{
    return new trigger_rules_msg{};
}

void msg_trigger_rules_add(trigger_rules_msg* record)
{
    msg_add(&queue, record);
}

trigger_rules_msg* msg_trigger_rules_get_first()
{
    return static_cast<trigger_rules_msg*>(msg_get_first(&queue));
}

void msg_trigger_rules_remove(trigger_rules_msg* record)
{
    msg_remove(&queue, record);
    delete record;
}

void msg_trigger_rules_destroy()
{
    msg_destroy(&queue);
}

void msg_mqtt_rules_add_packet(const mqtt_trigger* trigger)
{
    trigger_rules_msg* record = msg_trigger_rules_new();
    record->next_id = trigger->next_id;
    msg_trigger_rules_add(record);
}
