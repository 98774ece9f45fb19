// Broker and cron threads -> rules thread: run the rule chain that starts
// at node `next_id`. Operations: msg_trigger_rules_init, _new, _add,
// _get_first, _remove, _destroy, _length, _set_waker, _drain (channel.h),
// and the producer call below.
#pragma once

#include <cstdint>

#include "channels/channel.h"
#include "cron/cron_trigger.h"
#include "triggers/mqtt.h"

struct trigger_rules_msg : msg_record {
    uint32_t next_id;
};

MSG_CHANNEL(trigger_rules, trigger_rules_msg)

// Queues the chain of a topic trigger that fired.
void msg_mqtt_rules_add_packet(const mqtt_trigger* trigger);
// Queues the chain of a cron trigger whose minute has come.
void msg_cron_rules_add_packet(const cron_trigger* trigger);
