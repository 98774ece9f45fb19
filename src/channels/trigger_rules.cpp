#include "channels/trigger_rules.h"

void msg_mqtt_rules_add_packet(const mqtt_trigger* trigger)
{
    trigger_rules_msg* record = msg_trigger_rules_new();
    record->next_id = trigger->next_id;
    msg_trigger_rules_add(record);
}
