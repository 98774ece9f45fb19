// Broker and cron threads -> rules thread: run the rule chain that starts
// at node `next_id`.
#pragma once

#include <cstdint>

#include "channels/msgs.h"
#include "triggers/mqtt.h"

struct trigger_rules_msg : msg_record {
    uint32_t next_id;
};

void msg_trigger_rules_init();
trigger_rules_msg* msg_trigger_rules_new();
void msg_trigger_rules_add(trigger_rules_msg* record);
trigger_rules_msg* msg_trigger_rules_get_first();
void msg_trigger_rules_remove(trigger_rules_msg* record);
void msg_trigger_rules_destroy();

// Queues the chain of a topic trigger that fired.
void msg_mqtt_rules_add_packet(const mqtt_trigger* trigger);
