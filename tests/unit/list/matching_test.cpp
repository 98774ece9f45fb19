#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "../test_bytes.h"
#include "list/lists.h"

namespace {

TEST(TopicMatching, FilterAgainstName)
{
    struct {
        std::string_view filter;
        std::string_view name;
        int expected;
    } const cases[] = {
        // clang-format off
        {"a/b", "a/b", 1}, {"a/b", "a/b/c", 0}, {"a/b", "a/bc", 0}, {"a/b", "a", 0},
        {"a/+", "a/b", 1}, {"a/+", "a/bc", 1}, {"a/+", "a/b/c", 0}, {"a/+", "a/", 0},
        {"a/+/c", "a/b/c", 1}, {"a/+/c", "a//c", 1}, {"+/b", "x/b", 1}, {"+/b", "/b", 1},
        {"a/#", "a/b", 1}, {"a/#", "a/b/c", 1}, {"a/#", "a", 1}, {"a/#", "a/", 0}, {"a/#", "ab", 0},
        {"sport/#", "sport", 1}, {"sport/#", "sporx", 0}, {"+/#", "a", 1},
        {"#", "$SYS/rulesengine/rules", 1}, {"#", "$SYS/rulesengine/version", 1},
        {"a#", "ab/c", 1}, {"a/#/c", "a/b/c", 0}, {"a+", "ab", 1}, {"a+", "ab/c", 0},
        // Wildcard bytes in a name only match themselves.
        {"a/b", "a/+", 0}, {"a/+", "a/+", 1}, {"a/#", "a/#", 1},
        // clang-format on
    };
    for (const auto& c : cases)
        EXPECT_EQ(pname_matches_sname(b(c.filter), n(c.filter), b(c.name), n(c.name)), c.expected)
            << "filter " << c.filter << " name " << c.name;
}

TEST(TopicMatching, NameHasWildcard)
{
    EXPECT_EQ(name_has_wildcard(b("a/+/c"), 5), 1);
    EXPECT_EQ(name_has_wildcard(b("#"), 1), 1);
    EXPECT_EQ(name_has_wildcard(b("a/b"), 3), 0);
}

TEST(TopicMatching, OldestMatchingSubscriptionDecidesTheQos)
{
    list<sub_item> subs{};
    list<pub_item> pubs{};
    list_sub_add_replace(&subs, b("a/#"), 3, 0);
    list_sub_add_replace(&subs, b("a/b"), 3, 1);
    EXPECT_EQ(list_sub_has_wildcard(list_head(&subs)), 1);
    EXPECT_EQ(list_pub_sub_matches(list_pub_add_replace(&pubs, b("a/b"), 3, nullptr, 0, 0), &subs), 0);
    EXPECT_EQ(list_pub_sub_matches(list_pub_add_replace(&pubs, b("b"), 1, nullptr, 0, 0), &subs), -1);
    list_name_remove_all(&subs);
    list_data_remove_all(&pubs);
}

TEST(TopicMatching, NewSubscriptionGetsOnlyRetainedTopicsInPublishOrder)
{
    list<pub_item> pubs{};
    for (auto [name, retain] : {std::pair{"a/z", 1}, {"a/x", 1}, {"a/y", 0}, {"b/x", 1}, {"a/w", 2}, {"a/v/1", 1}})
        list_pub_add_replace(&pubs, b(name), n(name), b("1"), 1, static_cast<uint8_t>(retain));
    list<sub_item> subs{};
    list<link_item> result{};
    // The result list starts empty whatever it held before.
    result.head = reinterpret_cast<link_item*>(&pubs);
    list_sub_pub_matches(list_sub_add_replace(&subs, b("a/+"), 3, 0), &pubs, &result);
    std::vector<std::string> linked;
    for (link_item* l = list_head(&result); l; l = list_next(l))
        linked.push_back(str(l->pub_item->name, l->pub_item->name_len));
    EXPECT_EQ(linked, (std::vector<std::string>{"a/z", "a/x"}));
    list_reg_remove_all(&result);
    list_name_remove_all(&subs);
    list_data_remove_all(&pubs);
}

} // namespace
