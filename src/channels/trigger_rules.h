// Broker and cron threads -> rules thread: run the rule chain that starts
// at node `next_id`; and, from the broker, the node set of a rules file to
// run the following chains on. Operations: msg_trigger_rules_init, _new,
// _add, _get_first, _remove, _destroy, _length, _set_waker, _drain
// (channel.h), and the producer calls below.
#pragma once

#include <cstdint>

#include "channels/channel.h"
#include "list/lists.h"

// The rules thread's node record; the channel only carries the list.
struct rules_node;

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
    uint32_t value_len;
    // A node-set record runs no chain: the rules thread takes `nodes` as
    // its node set (dropping the old one) between the chains queued before
    // and after it.
    bool nodes_swap;
    list<rules_node> nodes;
};

// A record owns its copy of the firing publication; the consumer takes a
// node set out of its record.
void msg_record_release(trigger_rules_msg* record);

MSG_CHANNEL(trigger_rules, trigger_rules_msg)

// Queues the chain at `next_id` of a topic trigger that the publication
// `item` fired, with a copy of its topic and value.
void msg_mqtt_rules_add_packet(uint32_t next_id, const pub_item* item = nullptr, uint8_t depth = 0);
// Queues the chain at `next_id` of a cron trigger whose minute has come.
void msg_cron_rules_add_packet(uint32_t next_id);
// Queues a node set; the rules thread takes it over.
void msg_mqtt_rules_add_nodes(list<rules_node> nodes);
// Octets of topics and values carried by the records queued now.
uint64_t msg_trigger_rules_bytes();
