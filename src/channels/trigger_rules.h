// Broker and cron threads -> rules thread: run the rule chain that starts
// at node `next_id`. Operations: msg_trigger_rules_init, _new, _add,
// _get_first, _remove, _destroy, _length, _set_waker, _drain (channel.h),
// and the producer calls below.
#pragma once

#include <cstdint>

#include "channels/channel.h"
#include "cron/cron_trigger.h"
#include "list/lists.h"
#include "triggers/mqtt.h"

struct trigger_rules_msg : msg_record {
    uint32_t next_id;
    // Rule steps behind the publication that fired the trigger: 0 for a
    // client's publication or the clock, n + 1 for a publication a rule made
    // in a chain of depth n.
    uint8_t depth;
    // The firing publication's topic and value (one new[] buffer, topic
    // first), so that the chain sees the value that fired it; null for cron.
    uint8_t* fired;
    uint16_t topic_len;
    uint16_t value_len;
};

// A record owns its copy of the firing publication.
void msg_record_release(trigger_rules_msg* record);

MSG_CHANNEL(trigger_rules, trigger_rules_msg)

// Queues the chain of a topic trigger that the publication `item` fired,
// with a copy of its topic and value.
void msg_mqtt_rules_add_packet(const mqtt_trigger* trigger, const pub_item* item = nullptr, uint8_t depth = 0);
// Queues the chain of a cron trigger whose minute has come.
void msg_cron_rules_add_packet(const cron_trigger* trigger);
// Octets of topics and values carried by the records queued now.
uint64_t msg_trigger_rules_bytes();
