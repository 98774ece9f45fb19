// Rules thread -> broker thread: values to publish; and the rendezvous
// through which the rules thread asks the broker for topic values.
// Operations: msg_rules_mqtt_init, _new, _add, _get_first, _remove,
// _destroy, _length, _set_waker, _drain (channel.h), the producer call and
// the rendezvous calls below.
//
// A publish list's first item names the target topic; its data is the
// payload, or, when a second item follows, the payload is the current value
// of the topic the second item names.
#pragma once

#include <cstdint>

#include "list/lists.h"
#include "channels/channel.h"

struct rules_mqtt_msg : msg_record {
    list<data_item> data_list; // owned by the record
    uint8_t retain;
    // Rule steps behind this publication (see trigger_rules_msg); the
    // triggers it fires carry it on.
    uint8_t depth;
};

// A record owns its whole data list.
void msg_record_release(rules_mqtt_msg* record);

MSG_CHANNEL(rules_mqtt, rules_mqtt_msg)

// Takes over the list.
void msg_rules_mqtt_add_packet(list<data_item> data_list, uint8_t retain, uint8_t depth = 0);

void msggap_rules_mqtt_init();
void msggap_rules_mqtt_destroy();
// Rules thread: hands the broker a list of items to fill with the topics'
// current values and waits. 0 when answered; -1 when the rendezvous is
// closed (shut-down), in which case the items stay as they were and the
// call never blocks.
int msggap_rules_mqtt_request(data_item* data_list);
// Broker thread, once per pass: the waiting request's list, or null.
data_item* msggap_rules_mqtt_get_request();
void msggap_rules_mqtt_reply_request();
// Releases a waiting request; requests stay refused from then on.
void msggap_rules_mqtt_close();
// The broker's waker, signalled on every request.
void msggap_rules_mqtt_set_waker(msg_waker* waker);
