#include "broker/mqtt_trigger.h"

#include <cstring>

// Assertion texts keep the module name the logs have always shown.
mqtt_trigger* mqtt_trigger_add_new(list<mqtt_trigger>* list, const char* name, uint32_t next_id)
{
    HALYX_ASSERT("triggers/mqtt", list != NULL);
    HALYX_ASSERT("triggers/mqtt", name != NULL);
    HALYX_ASSERT("triggers/mqtt", next_id != 0);
    auto* trigger = new mqtt_trigger{};
    size_t len = std::strlen(name);
    trigger->name_len = static_cast<uint16_t>(len);
    trigger->name = new uint8_t[len ? len : 1];
    std::memcpy(trigger->name, name, len);
    trigger->next_id = next_id;
    return list_add_item(list, trigger);
}

void mqtt_trigger_remove_all(list<mqtt_trigger>* list)
{
    HALYX_ASSERT("triggers/mqtt", list != NULL);
    list_free_all(list, [](mqtt_trigger* trigger) {
        delete[] trigger->name;
        delete trigger;
    });
}
