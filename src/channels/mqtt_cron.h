// Broker thread (main thread at start-up) -> cron thread: the cron entries
// of a rules file, which replace the thread's entries. Operations:
// msg_mqtt_cron_init, _new, _add, _get_first, _remove, _destroy, _length,
// _set_waker, _drain (channel.h), and the producer call below.
#pragma once

#include "channels/channel.h"
#include "list/list.h"

// The cron thread's entry record; the channel only carries the list.
struct cron_trigger;

struct mqtt_cron_msg : msg_record {
    list<cron_trigger> entries; // taken over by the consumer
};

MSG_CHANNEL(mqtt_cron, mqtt_cron_msg)

// Takes over the list.
void msg_mqtt_cron_add_packet(list<cron_trigger> entries);
