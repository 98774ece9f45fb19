// Users allowed to connect, from the configuration file. Filled by the main
// thread before the broker thread starts; then read and finally emptied by
// the broker thread only. Passwords are plain bytes.
#pragma once

#include <cstdint>
#include <type_traits>

#include "list/list.h"

struct mqtt_user {
    mqtt_user* next;
    uint16_t user_name_length;
    uint8_t* user_name;
    uint16_t password_length;
    uint8_t* password;
    uint8_t publish_enable; // 1: may publish
};

static_assert(std::is_standard_layout_v<mqtt_user>);
static_assert(offsetof(mqtt_user, next) == 0);

// Appends a user; the texts are NUL-terminated, their bytes are copied.
mqtt_user* list_mqtt_user_add_new(list<mqtt_user>* list, const char* user_name, const char* password,
                                  uint8_t publish_enable);
// First user whose name and password both equal the given bytes exactly.
[[nodiscard]] mqtt_user* list_mqtt_user_find_user(list<mqtt_user>* list, const uint8_t* user_name,
                                                  uint16_t user_name_length, const uint8_t* password,
                                                  uint16_t password_length);
void list_mqtt_user_remove_all(list<mqtt_user>* list);
