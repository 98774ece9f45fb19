// Cron expressions: fields, the day rule, failures, and matches against
// fixed local times.
#include <gtest/gtest.h>

#include <string>

#include "cron/cron.h"
#include "cron/cron_trigger.h"

namespace {

// The marked entries as ascending runs: "0-10,50-59".
std::string marked(const uint8_t* array, int count)
{
    std::string out;
    for (int i = 0; i < count; ++i) {
        int last = i;
        while (array[i] && last + 1 < count && array[last + 1])
            ++last;
        if (array[i])
            out += (out.empty() ? "" : ",") + std::to_string(i) + (last > i ? "-" + std::to_string(last) : "");
        i = last;
    }
    return out;
}

TEST(CronField, MarksElementsRangesAndSteps)
{
    struct {
        char field; // m minute, h hour, d day of month, M month, w day of week
        const char* text;
        int result;
        const char* marks;
    } cases[] = {
        // clang-format off
        {'m', "*/15", 0, "0,15,30,45"}, {'m', "5/20", 0, "5,25,45"}, {'m', "50-10", 0, "0-10,50-59"},
        {'h', "22-2", 0, "0-2,22-23"}, {'m', "1/20,9-11", 0, "1,9-11,21,41"}, {'m', "*/0", 0, "0"}, {'m', "*/", 0, "0"},
        {'m', "40-45/5", 0, "40,45"}, {'m', "1-5/2", 0, "1,3,5"}, // a range keeps its end
        {'m', "*/-3", 0, "0"}, {'m', "*/99999999999", 0, "0"}, {'m', "60", -1, ""}, {'m', "99999999999", -1, ""},
        {'m', "58-60", -1, "0-59"}, {'m', "*-5", -1, "0-59"}, {'m', "1,2-3,x", -1, "1-3"}, {'m', "1-2-3", -1, "1-2"},
        {'m', "5-", -1, ""}, {'m', "", -1, ""}, {'m', "mon", -1, ""}, {'d', "0", 0, "0"}, {'M', "12,1", 0, "0,11"},
        {'M', "NoV-fEb", 0, "0-1,10-11"}, {'M', "0", -1, ""}, {'M', "3-0", -1, ""}, {'w', "FRI-mon", 0, "0-1,5-6"},
        {'w', "7", -1, ""}, {'w', "monday", -1, "1"}, {'w', "mo", -1, ""}, {'w', "sun/2", 0, "0"},
        // clang-format on
    };
    for (const auto& c : cases) {
        uint8_t array[60]{};
        int count = c.field == 'm' ? 60 : c.field == 'h' ? 24 : c.field == 'd' ? 32 : c.field == 'M' ? 12 : 7;
        const char* names = c.field == 'M'   ? "janfebmaraprmayjunjulaugsepoctnovdec"
                            : c.field == 'w' ? "sunmontuewedthufrisat"
                                             : nullptr;
        EXPECT_EQ(parse_field(array, count, c.field == 'M' ? -1 : 0, names, c.text), c.result) << c.text;
        EXPECT_EQ(marked(array, count), c.marks) << c.text;
    }
}

// A failing field keeps what it marked, later fields stay empty and the day
// rule is skipped. Marks: minutes, hours, days, months, days of week.
TEST(CronExpression, FieldsAfterParsingAndTheDayRule)
{
    struct {
        const char* text;
        int result;
        const char* marks;
    } cases[] = {
        // clang-format off
        {"  0 8 * * *\r\n", 0, "0 8 0-31 0-11 0-6"}, {"0 8 * * mon", 0, "0 8  0-11 1"}, {"0 8 1 * *", 0, "0 8 1 0-11 "},
        {"0 8 1-31 * mon", 0, "0 8 1-31 0-11 1"}, {"0 8 1 * mon", 0, "0 8 1 0-11 1"}, {"0 0 * 0 *", -1, "0 0 0-31  "},
        {"0 0 * * 7", 0, "0 0  0-11 0"}, {"0 0 * * fri-7", 0, "0 0  0-11 0,5-6"}, {"0 0 * * */4", 0, "0 0  0-11 0,4"},
        {"0 0 * * 8", -1, "0 0 0-31 0-11 "}, {"0 8 * * monday", -1, "0 8 0-31 0-11 "}, {"60 * * * *", -1, "    "},
        {"0 8 * *", -1, "    "},
        // clang-format on
    };
    for (const auto& c : cases) {
        cron_trigger t{};
        EXPECT_EQ(parse_cronstring(&t, c.text), c.result) << c.text;
        EXPECT_EQ(marked(t.minutes, 60) + " " + marked(t.hours, 24) + " " + marked(t.days, 32) + " " +
                      marked(t.months, 12) + " " + marked(t.dow, 7),
                  c.marks)
            << c.text;
    }
}

TEST(CronExpression, MatchesFixedTimes)
{
    // June 2025: the 1st is a Sunday, the 2nd a Monday, the 7th a Saturday.
    struct {
        const char* text;
        int mon, mday, wday, hour, min, fires;
    } cases[] = {
        // clang-format off
        {"* * * * *", 5, 7, 6, 13, 37, 1}, {"*/15 * * * *", 5, 7, 6, 10, 45, 1}, {"*/15 * * * *", 5, 7, 6, 10, 14, 0},
        {"5/20 * * * *", 5, 7, 6, 10, 25, 1}, {"5/20 * * * *", 5, 7, 6, 10, 15, 0}, {"0 8 * * MON", 5, 3, 2, 8, 0, 0},
        {"0 8 * * mon-fri", 5, 2, 1, 8, 0, 1}, {"0 8 * * mon-fri", 5, 7, 6, 8, 0, 0}, {"0 8 1 * mon", 5, 1, 0, 8, 0, 1},
        {"0 8 * * mon-fri", 5, 2, 1, 8, 1, 0}, {"0 8 1 * mon", 5, 2, 1, 8, 0, 1}, {"0 8 1 * mon", 5, 7, 6, 8, 0, 0},
        {"0 8 1-31 * mon", 5, 7, 6, 8, 0, 1}, {"0 8 * * MON", 5, 2, 1, 8, 0, 1}, {"0 22-2 * * *", 5, 7, 6, 1, 0, 1},
        {"30 23 * dec,jan *", 11, 31, 3, 23, 30, 1}, {"30 23 * dec,jan *", 0, 1, 3, 23, 30, 1},
        {"30 23 * dec,jan *", 5, 7, 6, 23, 30, 0}, {"30 23 * 12,1 *", 0, 1, 3, 23, 30, 1},
        {"0 22-2 * * *", 5, 7, 6, 12, 0, 0}, {"0 8 * * FrI-mOn", 5, 1, 0, 8, 0, 1}, {"0 0 * 0 *", 0, 1, 3, 0, 0, 0},
        {"60 * * * *", 5, 7, 6, 0, 0, 0}, {"0 8 * *", 5, 2, 1, 8, 0, 0},
        // clang-format on
    };
    for (const auto& c : cases) {
        cron_trigger t{};
        parse_cronstring(&t, c.text);
        std::tm when{};
        when.tm_mon = c.mon, when.tm_mday = c.mday, when.tm_wday = c.wday, when.tm_hour = c.hour, when.tm_min = c.min;
        EXPECT_EQ(cron_trigger_matches(&t, &when), c.fires) << c.text << " at " << c.mon << "/" << c.mday;
    }
}

// A trigger with a bad field is registered but selects nothing, whatever
// the fields before it marked.
TEST(CronTriggerList, RegistersEveryExpressionInOrder)
{
    list<cron_trigger> triggers{};
    cron_trigger* good = cron_trigger_add_new(&triggers, "* * * * *", 7);
    cron_trigger* bad = cron_trigger_add_new(&triggers, "0 8 * *", 9);
    EXPECT_TRUE(triggers.head == good && good->next == bad && good->next_id == 7 && bad->next_id == 9);
    for (const char* text : {"* * * * xyz", "* * * * monday", "0 8 * * *x", "* * * 0 *"}) {
        cron_trigger* t = cron_trigger_add_new(&triggers, text, 1);
        EXPECT_EQ(marked(t->minutes, 60) + marked(t->hours, 24) + marked(t->days, 32) + marked(t->months, 12) +
                      marked(t->dow, 7),
                  "")
            << text;
    }
    cron_trigger_remove_all(&triggers);
    EXPECT_EQ(triggers.head, nullptr);
}

// One cron thread at a time: a second one would fire every trigger twice.
TEST(CronThread, RefusesASecondStart)
{
    EXPECT_EQ(thread_cron_start(), 0);
    EXPECT_EQ(thread_cron_start(), -1);
    thread_cron_stop();
    EXPECT_EQ(thread_cron_start(), 0);
    thread_cron_stop();
}

} // namespace
