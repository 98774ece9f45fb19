// Rules files: any bytes, as an MQTT client may publish them to the rules
// topic, must be read without reading out of bounds, leaking or reaching an
// assertion; a refused file leaves no topic triggers and an empty rules
// topic, an accepted one is the rules topic's value.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "broker/broker.h"
#include "channels/rules_mqtt.h"
#include "cron/cron.h"
#include "json.h"
#include "rules/rules_thread.h"

namespace {

// Deliberate crash on a broken property, so libFuzzer keeps the input.
void check(bool property)
{
    if (!property)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    int result = parse_json_text(text.data(), static_cast<long>(size));

    pub_item* rules = list_name_find_name(&pub_list, reinterpret_cast<const uint8_t*>("$SYS/rulesengine/rules"), 22);
    check(rules != nullptr);
    if (result == 0)
        check(rules->data_len == size && (size == 0 || std::memcmp(rules->data, data, size) == 0));
    else
        check(rules->data_len == 0 && mqtt_triggers.head == nullptr);

    thread_rules_remove_all();
    thread_cron_remove_all();
    thread_mqtt_trigger_remove_all();
    while (rules_mqtt_msg* m = msg_rules_mqtt_get_first())
        msg_rules_mqtt_remove(m);
    list_data_remove_all(&pub_list);
    return 0;
}
