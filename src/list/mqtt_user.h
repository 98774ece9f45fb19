// Users allowed to connect, from the configuration file. Filled by the main
// thread before the broker thread starts; then read and finally emptied by
// the broker thread only. A password is kept as written: plain bytes or a
// crypt(3) hash.
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
// First user whose name equals the given bytes exactly and whose password
// the given one passes: a stored value beginning with "$y$", "$gy$", "$7$",
// "$2b$", "$2y$", "$6$" or "$5$" is a crypt(3) hash the password must hash
// to; any other is compared as bytes. Both comparisons take a time that
// does not depend on where the bytes differ.
[[nodiscard]] mqtt_user* list_mqtt_user_find_user(list<mqtt_user>* list, const uint8_t* user_name,
                                                  uint16_t user_name_length, const uint8_t* password,
                                                  uint16_t password_length);
void list_mqtt_user_remove_all(list<mqtt_user>* list);

// True when a stored password is taken as a crypt(3) hash.
[[nodiscard]] bool mqtt_password_is_hash(const uint8_t* stored, uint16_t stored_length);
// True when the stored password is a hash this system's libcrypt cannot
// check (an unknown method or a damaged text): its user can never log in.
[[nodiscard]] bool mqtt_password_hash_unusable(const char* stored);
// True when `password` passes the stored value as described above.
[[nodiscard]] bool mqtt_password_check(const uint8_t* stored, uint16_t stored_length, const uint8_t* password,
                         uint16_t password_length);
