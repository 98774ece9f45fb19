#include "cron/cron_trigger.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "logging.h"

namespace {

// Consecutive three-letter names; the name at position i stands for i.
constexpr char DowAry[] = "sunmontuewedthufrisat";
constexpr char MonAry[] = "janfebmaraprmayjunjulaugsepoctnovdec";

// A walk that has not reached its end after this many moves fails: that is
// how an end at or above the field's count is refused.
constexpr int MAX_MOVES = 1024;
// Numbers are clamped here before the offset is added, so that no digit
// string can overflow; anything this large is refused by the walk anyway.
constexpr long VALUE_LIMIT = 1L << 20;

long clamp(long value, long low, long high)
{
    return value < low ? low : value > high ? high : value;
}

struct element {
    int start;
    int end;
    bool has_start;
    bool has_end;
};

void element_set(element* e, int value)
{
    if (e->has_start) {
        e->end = value;
        e->has_end = true;
    } else {
        e->start = value;
        e->has_start = true;
    }
}

// One value at `*text`: "*", a number plus the offset, or a name's
// position. -1 when the text holds none of them.
int read_value(const char** text, int count, int offset, const char* names, element* e)
{
    const char* p = *text;
    if (*p == '*') {
        *e = {0, count - 1, true, true};
        *text = p + 1;
        return 0;
    }
    if (std::isdigit(static_cast<unsigned char>(*p))) {
        char* after = nullptr;
        bool first = !e->has_start;
        element_set(e, static_cast<int>(clamp(std::strtol(p, &after, 10), 0, VALUE_LIMIT)) + offset);
        // "5/20" runs from 5 to the top of the field; a range's own end
        // stays its end ("1-5/2" is 1, 3 and 5, as in every cron).
        if (first && *after == '/') {
            e->end = count - 1;
            e->has_end = true;
        }
        *text = after;
        return 0;
    }
    if (!names)
        return -1;
    int pos = 0;
    // strncasecmp stops at the text's NUL, so a short rest never matches.
    while (names[3 * pos] != '\0' && strncasecmp(p, names + 3 * pos, 3) != 0)
        ++pos;
    if (names[3 * pos] == '\0')
        return -1;
    element_set(e, pos);
    *text = p + 3;
    return 0;
}

// Marks start, then every step-th value on the way to end, wrapping at
// count. A step of 0 marks the start only.
int walk(uint8_t* array, int count, int start, int end, long step)
{
    int pos = start;
    for (int moves = 0;; ++moves) {
        if (step > 0 ? moves % step == 0 : moves == 0)
            array[pos] = 1;
        if (pos == end)
            return 0;
        if (moves == MAX_MOVES)
            return -1;
        pos = (pos + 1) % count;
    }
}

// One element: value, optional "-" end, optional "/" step, then marks.
int parse_element(uint8_t* array, int count, int offset, const char* names, const char** text)
{
    element e{0, 0, false, false};
    if (read_value(text, count, offset, names, &e) != 0)
        return -1;
    if (**text == '-' && !e.has_end) {
        ++*text;
        if (read_value(text, count, offset, names, &e) != 0)
            return -1;
    }
    if (!e.has_end)
        e.end = e.start;
    long step = 1;
    if (**text == '/') {
        char* after = nullptr;
        // A negative step counts as 0; a huge one marks only the start.
        step = clamp(std::strtol(*text + 1, &after, 10), 0, MAX_MOVES + 1);
        *text = after;
    }
    // Below the lowest value, or a start outside the field: nothing marked.
    if (e.start < 0 || e.end < 0 || e.start >= count)
        return -1;
    return walk(array, count, e.start, e.end, step);
}

} // namespace

int parse_field(uint8_t* array, int count, int offset, const char* names, const char* text)
{
    if (!array || count <= 0 || !text)
        return -1;
    for (;;) {
        if (parse_element(array, count, offset, names, &text) != 0)
            return -1;
        if (*text != ',')
            return *text == '\0' ? 0 : -1;
        ++text;
    }
}

void fix_day_dow(cron_trigger* trigger)
{
    // Restricted: at least one entry unselected ("1-31" leaves day 0 out).
    bool dow_restricted = std::memchr(trigger->dow, 0, sizeof trigger->dow) != nullptr;
    bool days_restricted = std::memchr(trigger->days, 0, sizeof trigger->days) != nullptr;
    if (dow_restricted && !days_restricted)
        std::memset(trigger->days, 0, sizeof trigger->days);
    else if (days_restricted && !dow_restricted)
        std::memset(trigger->dow, 0, sizeof trigger->dow);
}

namespace {

constexpr const char* FIELD_NAMES[] = {"minute", "hour", "day-of-month", "month", "day-of-week"};

// Day of week with 7 as a second Sunday, as most crons read it: parsed
// over eight values, then folded onto the seven.
int parse_dow(uint8_t* dow, const char* text)
{
    uint8_t days[8] = {};
    if (parse_field(days, 8, 0, DowAry, text) != 0)
        return -1;
    std::memcpy(dow, days, 7);
    dow[0] |= days[7];
    return 0;
}

// 0, or the number (1-5) of the first field that fails, whose text is then
// copied to `bad` (bad_size octets with the NUL); a missing field counts as
// failing and leaves `bad` empty.
int parse_fields(cron_trigger* trigger, const char* str, char* bad = nullptr, size_t bad_size = 0)
{
    // Each buffer holds its field's longest text and the NUL.
    char minute[171], hour[63], day[85], month[49], dow[29];
    if (bad && bad_size)
        bad[0] = '\0';
    int found = std::sscanf(str, " %170[^ ] %62[^ ] %84[^ ] %48[^ ] %28[^ \r\n]", minute, hour, day, month, dow);
    if (found < 5)
        return found < 0 ? 1 : found + 1;
    int failed = 0;
    if (parse_field(trigger->minutes, 60, 0, nullptr, minute) != 0)
        failed = 1;
    else if (parse_field(trigger->hours, 24, 0, nullptr, hour) != 0)
        failed = 2;
    else if (parse_field(trigger->days, 32, 0, nullptr, day) != 0)
        failed = 3;
    else if (parse_field(trigger->months, 12, -1, MonAry, month) != 0)
        failed = 4;
    else if (parse_dow(trigger->dow, dow) != 0)
        failed = 5;
    if (failed) {
        const char* texts[] = {minute, hour, day, month, dow};
        if (bad && bad_size)
            std::snprintf(bad, bad_size, "%s", texts[failed - 1]);
        return failed;
    }
    fix_day_dow(trigger);
    return 0;
}

bool flag(const uint8_t* array, int count, int index)
{
    return index >= 0 && index < count && array[index] != 0;
}

} // namespace

int parse_cronstring(cron_trigger* trigger, const char* str)
{
    if (!trigger || !str)
        return -1;
    return parse_fields(trigger, str) == 0 ? 0 : -1;
}

int cron_trigger_matches(const cron_trigger* trigger, const std::tm* now)
{
    if (!trigger || !now)
        return 0;
    bool day = flag(trigger->days, 32, now->tm_mday) || flag(trigger->dow, 7, now->tm_wday);
    return flag(trigger->minutes, 60, now->tm_min) && flag(trigger->hours, 24, now->tm_hour) &&
           flag(trigger->months, 12, now->tm_mon) && day;
}

int flag_starting_jobs(const cron_trigger* trigger)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local))
        return 0;
    return cron_trigger_matches(trigger, &local);
}

cron_trigger* cron_trigger_add_new(list<cron_trigger>* list, const char* str, uint32_t next_id)
{
    HALYX_ASSERT("cron/cron_trigger", list != NULL);
    HALYX_ASSERT("cron/cron_trigger", str != NULL);
    auto* trigger = new cron_trigger{};
    // A typo must not fire at times nobody asked for: a trigger with a bad
    // field is registered with nothing selected, so it never fires.
    char bad[171];
    int field = parse_fields(trigger, str, bad, sizeof bad);
    if (field != 0) {
        *trigger = cron_trigger{};
        if (bad[0])
            log_write(LOG_WARNING, "cron: expression \"%.200s\" has a bad %s field \"%s\"; it never fires\n", str,
                      FIELD_NAMES[field - 1], bad);
        else
            log_write(LOG_WARNING, "cron: expression \"%.200s\" has no %s field; it never fires\n", str,
                      FIELD_NAMES[field - 1]);
    }
    trigger->next_id = next_id;
    return list_add_item(list, trigger);
}

void cron_trigger_remove_all(list<cron_trigger>* list)
{
    HALYX_ASSERT("cron/cron_trigger", list != NULL);
    list_free_all(list, [](cron_trigger* trigger) { delete trigger; });
}
