#include "list/mqtt_user.h"

#include <crypt.h>

#include <cstring>
#include <memory>
#include <string>

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

// Equal when the lengths and bytes are; the time taken depends on the
// stored length only, not on the given bytes or where they differ.
bool equal_constant_time(const uint8_t* stored, size_t stored_length, const uint8_t* given, size_t given_length)
{
    unsigned diff = stored_length != given_length;
    for (size_t i = 0; i < stored_length; ++i)
        diff |= static_cast<unsigned>(stored[i] ^ (given_length ? given[i % given_length] : 0));
    return diff == 0;
}

} // namespace

bool mqtt_password_is_hash(const uint8_t* stored, uint16_t stored_length)
{
    static const char* const prefixes[] = {"$y$", "$gy$", "$7$", "$2b$", "$2y$", "$6$", "$5$"};
    for (const char* prefix : prefixes) {
        size_t n = std::strlen(prefix);
        if (stored_length > n && std::memcmp(stored, prefix, n) == 0)
            return true;
    }
    return false;
}

bool mqtt_password_hash_unusable(const char* stored)
{
    size_t length = std::strlen(stored);
    if (length > UINT16_MAX ||
        !mqtt_password_is_hash(reinterpret_cast<const uint8_t*>(stored), static_cast<uint16_t>(length)))
        return false;
    // Hashing any password with the stored setting gives a text of the same
    // length and with the same setting when libcrypt knows the method and
    // the text is whole.
    auto data = std::make_unique<crypt_data>();
    const char* hashed = crypt_rn("x", stored, data.get(), sizeof *data);
    const char* setting_end = std::strrchr(stored, '$');
    size_t setting_length = static_cast<size_t>(setting_end - stored);
    return !hashed || hashed[0] == '*' || std::strlen(hashed) != length ||
           std::strncmp(hashed, stored, setting_length) != 0;
}

bool mqtt_password_check(const uint8_t* stored, uint16_t stored_length, const uint8_t* password,
                         uint16_t password_length)
{
    if (!mqtt_password_is_hash(stored, stored_length))
        return equal_constant_time(stored, stored_length, password, password_length);
    // crypt(3) takes NUL-terminated texts: a password with a NUL byte in it
    // is not the one that was hashed.
    if (std::memchr(password, 0, password_length))
        return false;
    std::string phrase(reinterpret_cast<const char*>(password), password_length);
    std::string setting(reinterpret_cast<const char*>(stored), stored_length);
    // About 32 KB: too big for a thread's stack.
    auto data = std::make_unique<crypt_data>();
    const char* hashed = crypt_rn(phrase.c_str(), setting.c_str(), data.get(), sizeof *data);
    bool ok = hashed &&
              equal_constant_time(stored, stored_length, reinterpret_cast<const uint8_t*>(hashed), std::strlen(hashed));
    // The work area holds material derived from the password.
    explicit_bzero(data.get(), sizeof *data);
    explicit_bzero(phrase.data(), phrase.size());
    return ok;
}

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
            mqtt_password_check(item->password, item->password_length, password, password_length))
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
