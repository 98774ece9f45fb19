// Topic triggers of the rules engine: a publication whose topic equals a
// trigger's topic starts the rule chain at `next_id`. The list is broker
// state: the broker thread installs it from a rules file's parsed set.
#pragma once

#include <cstdint>

#include "list/list.h"

struct mqtt_trigger {
    mqtt_trigger* next;
    uint8_t* name;     // topic bytes, not terminated
    uint16_t name_len;
    uint32_t next_id;  // never 0
};

// Appends a trigger holding a copy of the NUL-terminated topic.
mqtt_trigger* mqtt_trigger_add_new(list<mqtt_trigger>* list, const char* name, uint32_t next_id);
void mqtt_trigger_remove_all(list<mqtt_trigger>* list);
