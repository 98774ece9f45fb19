// What counts as a number for the history, and how the history query is
// read.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/request.h"
#include "store/store.h"

namespace {

TEST(Store, NumbersAreWholeFinitePayloads)
{
    const std::pair<const char*, bool> cases[] = {
        {"21.5", true}, {"-3e1", true}, {"0", true},    {" 7", true},      {"7 ", false}, {"", false},
        {"abc", false}, {"1e999", false}, {"nan", false}, {"inf", false}, {"12abc", false},
        {"123456789012345678901234567890123456789012345678901234567890123456789", false},
    };
    for (const auto& [text, number] : cases) {
        double value = 0;
        EXPECT_EQ(store_number_parse(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)),
                                     &value),
                  number)
            << text;
    }
}

TEST(Store, HistoryQuery)
{
    struct {
        const char* query;
        bool ok;
        std::string topic;
        int64_t since;
    } cases[] = {
        {"topic=a%2Fb&since=1700000000", true, "a/b", 1700000000},
        {"since=5&x=1&topic=living+room", true, "living room", 5},
        {"topic=t", true, "t", 0},
        {"topic=%24SYS%2f", true, "$SYS/", 0},
        {"since=5", false, "", 0},
        {"topic=", false, "", 0},
        {"topic=a%2", false, "", 0},
        {"topic=a%00b", false, "", 0},
        {"topic=a%2B", false, "", 0},
        {"topic=a#", false, "", 0},
        {"topic=a&since=-1", false, "", 0},
        {"topic=a&since=99999999999999999999", false, "", 0},
    };
    for (const auto& c : cases) {
        http_request req{};
        EXPECT_EQ(http_history_query_parse(c.query, &req), c.ok) << c.query;
        if (c.ok) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(req.topic), req.topic_len) + " " + std::to_string(req.since_s),
                      c.topic + " " + std::to_string(c.since))
                << c.query;
        }
    }
}

} // namespace
