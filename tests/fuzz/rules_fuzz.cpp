// Rules files: any bytes, as an MQTT client may publish them to the rules
// topic, must be read without reading out of bounds, leaking or reaching an
// assertion; the reader agrees with the check, a refused file leaves an
// empty set with its reason, an accepted one keeps the text whole.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rules/json.h"

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
    std::string reason;
    int checked = rules_text_check(text.data(), static_cast<long>(size), &reason);
    rules_set set;
    int result = parse_json_text(text.data(), static_cast<long>(size), &set);
    check(result == checked && set.error == reason && set.read);
    if (result == 0)
        check(set.text.size() == size && (size == 0 || std::memcmp(set.text.data(), data, size) == 0));
    else
        check(!reason.empty() && set.text.empty() && set.triggers.empty() && set.variables.empty() &&
              !set.nodes.head && !set.cron.head);
    return 0;
}
