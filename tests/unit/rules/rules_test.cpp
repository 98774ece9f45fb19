// Rule nodes: conversions, comparisons, the node functions against a broker
// played on a helper thread, the chain walk, and the rules thread.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "../test_bytes.h"
#include "channels/rules_mqtt.h"
#include "rules/rules_thread.h"

namespace {

using namespace std::literals;
using Strings = std::vector<std::string>;

char* strdup_new(std::string_view s)
{
    return static_cast<char*>(std::memcpy(new char[s.size() + 1](), s.data(), s.size()));
}

uint8_t* copy(std::string_view s)
{
    return s.empty() ? nullptr : static_cast<uint8_t*>(std::memcpy(new uint8_t[s.size()], s.data(), s.size()));
}

rf_action_param* action(std::string_view topic, std::string_view value, uint32_t next, uint8_t retain = 0)
{
    return new rf_action_param{next, copy(topic), n(topic), copy(value), n(value), retain};
}

// Exact-size buffers without a terminator, so that a read past them shows.
TEST(RulesConversion, WholeTextOnly)
{
    const struct { std::string_view text; int double_ok, long_ok; double d; int32_t l; } cases[] = {
        {"", 1, 1, 0, 0}, {" -7", 1, 1, -7, -7}, {"41.5", 1, 0, 41.5, 0}, {"4x", 0, 0, 0, 0}, {"7 ", 0, 0, 0, 0},
        {"1\0"sv, 0, 0, 0, 0}, {"0x1p4", 1, 0, 16, 0}, {"1e999", 0, 0, 0, 0}, {"2147483648", 1, 0, 0x1p31, 0},
        {"2147483647", 1, 1, 0x1p31 - 1, INT32_MAX}, {"-2147483648", 1, 1, -0x1p31, INT32_MIN},
        {"-9223372036854775809", 1, 0, -0x1p63, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        Bytes text(c.text.begin(), c.text.end());
        double d = -1;
        int32_t l = -1;
        EXPECT_EQ(std::make_pair(string_to_double(&d, text.data(), n(c.text)), d),
                  std::make_pair(c.double_ok, c.double_ok ? c.d : -1));
        EXPECT_EQ(std::make_pair(string_to_long(&l, text.data(), n(c.text)), l),
                  std::make_pair(c.long_ok, c.long_ok ? c.l : -1));
    }
    int32_t l = 0;
    EXPECT_EQ(std::make_pair(string_to_long(&l, b("123456"), 3), l), std::make_pair(1, 123));
}

// The test answers topic-value requests from `topics`, as the broker does.
struct RulesTest : ::testing::Test {
    std::map<std::string, std::string> topics;
    list<rules_function> functions{};
    list<rules_node> nodes{}; // owns the parameter records a test makes
    msg_waker waker{};
    std::atomic<bool> done{false};
    std::thread broker;

    void SetUp() override
    {
        for (auto init : {msg_trigger_rules_init, msg_rules_mqtt_init, msggap_rules_mqtt_init})
            init();
        ASSERT_EQ(msg_waker_init(&waker), 0);
        msggap_rules_mqtt_set_waker(&waker);
        rules_functions_init(&functions);
        broker = std::thread([this] {
            for (msg_waker_wait(&waker, -1); !done; msg_waker_wait(&waker, -1)) {
                data_item* items = msggap_rules_mqtt_get_request();
                for (data_item* i = items; i; i = static_cast<data_item*>(i->next))
                    if (auto t = topics.find(str(i->name, i->name_len)); t != topics.end())
                        list_data_replace_data(i, b(t->second), n(t->second));
                if (items)
                    msggap_rules_mqtt_reply_request();
            }
        });
    }
    void TearDown() override
    {
        done = true;
        msg_waker_signal(&waker);
        broker.join();
        published();
        rules_node_remove_all(&nodes);
        rules_function_remove_all(&functions);
        msggap_rules_mqtt_set_waker(nullptr);
        msg_waker_destroy(&waker);
        for (auto destroy : {msg_trigger_rules_destroy, msggap_rules_mqtt_destroy, msg_rules_mqtt_destroy})
            destroy();
    }
    // What was queued for the broker: "topic=data" or "target=@source".
    Strings published()
    {
        Strings out;
        for (rules_mqtt_msg* m; (m = msg_rules_mqtt_get_first()); msg_rules_mqtt_remove(m)) {
            data_item *item = m->data_list.head, *source = static_cast<data_item*>(item->next);
            out.push_back(str(item->name, item->name_len) + "=" + (m->retain ? "r:" : "") +
                          (source ? "@" + str(source->name, source->name_len) : str(item->data, item->data_len)));
        }
        return out;
    }
    void* own(uint32_t type, void* param, uint32_t id = 0) { return rules_node_add(&nodes, id, type, param)->param; }
    // Left operand: topic "t"; the true branch is 1, the false one 2.
    void* condition(uint32_t type, std::string_view op, std::string_view value)
    {
        return own(type, new rf_condition_param{1, 2, copy("t"), 1, strdup_new(op), copy(value), n(value)});
    }
};

// Results: 1 or 2 the branch taken, 0 the walk ends. Types 2, 3 and 5 read
// the right operand from topic "r"; a null left operand was never published.
TEST_F(RulesTest, ConditionsCompareNumbersAsNumbersElseAsTexts)
{
    const struct { const char *left, *op, *right; uint32_t result; } cases[] = {
        {"21.5", ">", "20", 1}, {"abc", ">", "20", 0}, {"10", "==", "10.0", 1}, {"on", "==", "on ", 2},
        {"on", "!=", "on ", 1}, {"on", "==", "on", 1}, {"of", "!=", "on", 1},   {"nan", "==", "nan", 2},
        {"nan", "!=", "1", 1},  {"nan", ">=", "1", 2}, {"1e999", "==", "1e999", 1}, {"5", "=>", "5", 0},
        {nullptr, "==", "x", 0}};
    for (const auto& c : cases) {
        for (uint32_t type = RULES_CONDITION_TOPIC_VALUE; type <= RULES_CONDITION_VARIABLE_VARIABLE; ++type) {
            SCOPED_TRACE(std::string(c.left ? c.left : "-") + c.op + c.right + " type " + std::to_string(type));
            topics = {{"r", c.right}};
            if (c.left)
                topics["t"] = c.left;
            bool literal = type == RULES_CONDITION_TOPIC_VALUE || type == RULES_CONDITION_VARIABLE_VALUE;
            EXPECT_EQ(func_execute(&functions, type, condition(type, c.op, literal ? c.right : "r")), c.result);
        }
    }
    topics = {{"t", "1"}};
    EXPECT_EQ(rf_condition_topic(condition(RULES_CONDITION_TOPIC_TOPIC, "==", "r")), 0u);
    EXPECT_EQ(rf_condition_topic(condition(RULES_CONDITION_TOPIC_TOPIC, "==", "")), 0u);
}

// Every node works on "v" and goes on at 5, or ends the walk with nothing
// queued (published null). A null `stored`: "v" has no data.
TEST_F(RulesTest, ActionsAndVariablesQueueTheirPublication)
{
    const struct { uint32_t type; const char *stored, *value; uint8_t retain; const char* published; } cases[] = {
        {RULES_VARIABLE_INCREMENT, "41", "", 1, "v=r:42"}, {RULES_VARIABLE_DECREMENT, " 41", "", 0, "v=40"},
        {RULES_VARIABLE_INCREMENT, "41.5", "", 0, nullptr}, {RULES_VARIABLE_INCREMENT, nullptr, "", 0, nullptr},
        {RULES_VARIABLE_INCREMENT, "2147483647", "", 0, "v=2147483647"},
        {RULES_VARIABLE_DECREMENT, "-2147483648", "", 0, "v=-2147483648"},
        {RULES_VARIABLE_DECREMENT, "-2147483647", "", 0, "v=-2147483648"},
        {RULES_ACTION_VALUE, nullptr, "", 0, "v=<none>"}, {RULES_ACTION_VALUE, nullptr, "on", 1, "v=r:on"},
        {RULES_VARIABLE_SET, nullptr, "3", 0, "v=3"}, {RULES_ACTION_TOPIC, nullptr, "s", 1, "v=r:@s"},
        {RULES_ACTION_VARIABLE, nullptr, "", 0, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " on " + (c.stored ? c.stored : "-"));
        topics.clear();
        if (c.stored)
            topics["v"] = c.stored;
        void* param = own(c.type, action("v", c.value, 5, c.retain));
        EXPECT_EQ(func_execute(&functions, c.type, param), c.published ? 5u : 0u);
        EXPECT_EQ(published(), c.published ? Strings{c.published} : Strings{});
    }
    EXPECT_EQ(rf_action_value(own(RULES_ACTION_VALUE, action("", "x", 5))), 0u);
    EXPECT_EQ(func_execute(&functions, 99, nullptr), 0u);
    // After a close (shut-down) a fetch returns at once, without data.
    topics = {{"v", "5"}};
    msggap_rules_mqtt_close();
    EXPECT_EQ(rf_variable_decrement(own(RULES_VARIABLE_DECREMENT, action("v", "", 5))), 0u);
    EXPECT_EQ(published(), Strings{});
}

// Each node publishes its own letter, in list order from 'a'; {id, next id}.
TEST_F(RulesTest, WalkFollowsNextIdsUntilZeroAnUnknownIdOrTheCap)
{
    std::string loop;
    while (loop.size() < RULES_WALK_MAX)
        loop += "ab";
    const struct { std::vector<std::pair<uint32_t, uint32_t>> nodes; uint32_t start; std::string letters; } cases[] = {
        {{{1, 2}, {2, 0}, {3, 1}}, 1, "ab"}, {{{1, 2}, {2, 0}}, 5, ""}, {{{1, 0}, {1, 0}}, 1, "a"},
        {{{0, 0}, {1, 0}}, 0, "a"}, {{{1, 0}, {0, 0}}, 1, "a"}, {{{1, 2}, {2, 1}}, 1, loop}};
    for (const auto& c : cases) {
        rules_node_remove_all(&nodes);
        char letter = 'a';
        for (auto [id, next] : c.nodes)
            own(RULES_ACTION_VALUE, action(std::string(1, letter++), "", next), id);
        node_execute(&functions, &nodes, c.start);
        std::string letters;
        for (const std::string& p : published())
            letters += p[0];
        EXPECT_EQ(letters, c.letters);
    }
}

// A condition on the firing topic compares the value that fired the chain
// (the broker holds "10" by now), until the chain itself publishes to that
// topic; publications are one step deeper than the firing.
TEST_F(RulesTest, ChainsSeeTheFiringValueAndCarryTheDepth)
{
    own(RULES_CONDITION_TOPIC_VALUE, new rf_condition_param{2, 3, copy("t"), 1, strdup_new(">"), copy("20"), 2}, 1);
    own(RULES_ACTION_VALUE, action("out", "hi", 0), 2);
    own(RULES_ACTION_VALUE, action("out", "lo", 0), 3);
    own(RULES_ACTION_VALUE, action("t", "5", 1), 4);
    topics = {{"t", "10"}};
    const struct { uint32_t start; const char* topic; uint8_t depth; const char* published; } cases[] = {
        {1, "t", 3, "out=hi:4"}, {1, nullptr, 0, "out=lo:1"}, {1, "u", 16, "out=lo:17"}, {4, "t", 0, "t=5:1 out=lo:1"}};
    for (const auto& c : cases) {
        rules_firing firing{b(c.topic ? c.topic : ""), static_cast<uint16_t>(c.topic ? 1 : 0), b("25"), 2, c.depth};
        if (!c.topic)
            firing.topic = nullptr;
        node_execute(&functions, &nodes, c.start, &firing);
        std::string out;
        for (rules_mqtt_msg* m; (m = msg_rules_mqtt_get_first()); msg_rules_mqtt_remove(m))
            out += (out.empty() ? "" : " ") + str(m->data_list.head->name, m->data_list.head->name_len) + "=" +
                   str(m->data_list.head->data, m->data_list.head->data_len) + ":" + std::to_string(m->depth);
        EXPECT_EQ(out, c.published) << c.start << " " << (c.topic ? c.topic : "cron");
    }
}

// Triggers run in queue order, each chain to its end, on the node set
// queued before them: a new set replaces the old between two chains.
TEST_F(RulesTest, ThreadRunsQueuedChainsInOrder)
{
    msg_waker sent{};
    ASSERT_EQ(msg_waker_init(&sent), 0);
    msg_rules_mqtt_set_waker(&sent);
    list<rules_node> first{}, second{};
    rules_node_add(&first, 1, RULES_ACTION_VALUE, action("a", "1", 2));
    rules_node_add(&first, 2, RULES_ACTION_VALUE, action("b", "2", 0));
    rules_node_add(&second, 2, RULES_ACTION_VALUE, action("c", "3", 0));
    thread_rules_nodes_swap(first);
    for (uint32_t id : {2, 9, 1})
        msg_mqtt_rules_add_packet(id);
    thread_rules_nodes_swap(second);
    for (uint32_t id : {1, 2})
        msg_mqtt_rules_add_packet(id);
    EXPECT_EQ(thread_rules_start(), 0);
    for (int i = 0; i < 30 && msg_rules_mqtt_length() < 4; ++i)
        msg_waker_wait(&sent, 1000);
    thread_rules_stop();
    EXPECT_EQ(published(), (Strings{"b=2", "a=1", "b=2", "c=3"}));
    msg_rules_mqtt_set_waker(nullptr);
    msg_waker_destroy(&sent);
}

} // namespace
