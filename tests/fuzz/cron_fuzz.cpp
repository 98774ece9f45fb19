// Cron expressions: any text must parse without reading or writing out of
// bounds or looping, and the result must match any time safely.
#include <cstdint>
#include <ctime>
#include <string>

#include "cron/cron_trigger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    cron_trigger trigger{};
    parse_cronstring(&trigger, text.c_str());
    // The whole text as one field too: longer than any field of an expression.
    cron_trigger whole{};
    parse_field(whole.minutes, 60, 0, nullptr, text.c_str());
    parse_field(whole.months, 12, -1, "janfebmaraprmayjunjulaugsepoctnovdec", text.c_str());

    // Midnight on New Year, a Monday morning, the last minute of a leap
    // day, and values no real time holds.
    const int times[][5] = {
        {0, 1, 3, 0, 0},     {5, 2, 1, 8, 0},    {1, 29, 4, 23, 59},
        {11, 31, 6, 23, 59}, {12, 0, 7, 24, 60}, {-1, -1, -1, -1, -1},
    };
    for (const auto& t : times) {
        std::tm when{};
        when.tm_mon = t[0], when.tm_mday = t[1], when.tm_wday = t[2], when.tm_hour = t[3], when.tm_min = t[4];
        cron_trigger_matches(&trigger, &when);
    }
    return 0;
}
