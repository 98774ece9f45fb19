#include "list/mqtt_user.h"

#include <cstring>

#define MQTT_USER_ASSERT(expression) HALYX_ASSERT_TEXT("list/mqtt_user", expression, #expression)

namespace {

uint8_t* text_copy(const char* text, uint16_t* length)
{
    size_t len = std::strlen(text);
    *length = static_cast<uint16_t>(len);
    auto* copy = new uint8_t[len ? len : 1];
    std::memcpy(copy, text, len);
    return copy;
}

} // namespace

mqtt_user* list_mqtt_user_add_new(list<mqtt_user>* list, const char* user_name, const char* password,
                                  uint8_t publish_enable)
{
    MQTT_USER_ASSERT(list != NULL);
    MQTT_USER_ASSERT(user_name != NULL);
    MQTT_USER_ASSERT(password != NULL);
    auto* item = new mqtt_user{};
    item->user_name = text_copy(user_name, &item->user_name_length);
    item->password = text_copy(password, &item->password_length);
    item->publish_enable = publish_enable;
    return list_add_item(list, item);
}

mqtt_user* list_mqtt_user_find_user(list<mqtt_user>* list, const uint8_t* user_name, uint16_t user_name_length,
                                    const uint8_t* password, uint16_t password_length)
{
    MQTT_USER_ASSERT(list != NULL);
    MQTT_USER_ASSERT(user_name != NULL);
    MQTT_USER_ASSERT(password != NULL);
    MQTT_USER_ASSERT(user_name_length != 0);
    MQTT_USER_ASSERT(password_length != 0);
    for (mqtt_user* item = list->head; item; item = item->next) {
        if (item->user_name_length == user_name_length &&
            std::memcmp(item->user_name, user_name, user_name_length) == 0 &&
            item->password_length == password_length &&
            std::memcmp(item->password, password, password_length) == 0)
            return item;
    }
    return nullptr;
}

void list_mqtt_user_remove_all(list<mqtt_user>* list)
{
    MQTT_USER_ASSERT(list != NULL);
    list_free_all(list, [](mqtt_user* item) {
        delete[] item->user_name;
        delete[] item->password;
        delete item;
    });
}
