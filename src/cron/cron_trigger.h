// Cron triggers: a five-field cron expression (minute, hour, day of month,
// month, day of week) parsed into flag arrays, and the match against a
// broken-down local time.
#pragma once

#include <cstdint>
#include <ctime>

#include "list/list.h"

struct cron_trigger {
    cron_trigger* next;
    uint8_t dow[7];     // 0 = Sunday
    uint8_t months[12]; // 0 = January
    uint8_t hours[24];
    uint8_t days[32];   // 1-31; entry 0 never matches a date
    uint8_t minutes[60];
    uint32_t next_id;
};

// Registered whatever the parse result; an expression with a bad or missing
// field selects nothing (it never fires) and is logged as a warning.
cron_trigger* cron_trigger_add_new(list<cron_trigger>* list, const char* str, uint32_t next_id);
void cron_trigger_remove_all(list<cron_trigger>* list);
// 0, or -1 at the first field that fails (the fields before it stay parsed).
// Day of week takes 0-7, 7 being Sunday again.
int parse_cronstring(cron_trigger* trigger, const char* str);
int parse_field(uint8_t* array, int count, int offset, const char* names, const char* text);
void fix_day_dow(cron_trigger* trigger);
// 1 when the trigger selects the minute of `now` (local time), else 0.
int cron_trigger_matches(const cron_trigger* trigger, const std::tm* now);
// cron_trigger_matches for the current local time.
int flag_starting_jobs(const cron_trigger* trigger);
