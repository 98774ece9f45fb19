// The bridge's topic filters: which publications go up and come down.
#include <gtest/gtest.h>

#include <cstring>

#include "channels/bridge.h"

TEST(BridgeFilter, MatchesAsMqttFiltersDo)
{
    const struct {
        const char* filter;
        const char* topic;
        bool matches;
    } cases[] = {
        {"a/b", "a/b", true},       {"a/b", "a/bc", false},    {"a/b", "a", false},      {"a", "a/b", false},
        {"a/+", "a/b", true},       {"a/+", "a/", true},       {"a/+", "a/b/c", false},  {"+/b", "a/b", true},
        {"a/#", "a", true},         {"a/#", "a/b/c", true},    {"a/#", "ab", false},     {"#", "a/b", true},
        {"+", "", true},            {"#", "$SYS/x", false},    {"+/x", "$SYS/x", false}, {"$SYS/#", "$SYS/x", true},
        {"a/+/c", "a/b/c", true},   {"a/+/c", "a/b/d", false}, {"/a", "/a", true},       {"+/+", "/a", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(bridge_filter_matches(c.filter, c.topic, std::strlen(c.topic)), c.matches)
            << c.filter << " " << c.topic;
}
