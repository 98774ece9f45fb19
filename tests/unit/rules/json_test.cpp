// The rules-file reader and the broker's install of what it read: a text's
// set is read back as the broker's topic triggers, the variable values
// queued for the broker, the rules topic's value and the node set and cron
// entries queued for their threads.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "../test_bytes.h"
#include "broker/broker.h"
#include "channels/mqtt_cron.h"
#include "channels/rules_mqtt.h"
#include "channels/trigger_rules.h"
#include "rules/json.h"

namespace {

std::string file(const std::string& nodes, const std::string& version = R"("1.00")")
{
    return R"({"version":)" + version + R"(,"nodes":[)" + nodes + "]}";
}

// One valid node of every type: its type, then its members in the order
// they are read.
const std::string T = "nextid-true:2", F = "nextid-false:0";
const std::vector<std::vector<std::string>> ALL_TYPES = {
    {"trigger-cron", R"(value:"0 * * * *")", "nextid:1"},
    {"trigger-topic", R"(topic:"a/b")", "nextid:1"},
    {"variable-init", R"(variable:"t")", R"(value:"1")", "retain:0"},
    {"condition-topic-value", "id:1", R"(topic:"a")", R"(condition:">")", R"(value:"2")", T, F},
    {"condition-topic-topic", "id:1", R"(topic:"a")", R"(condition:"==")", R"(value-topic:"b")", T, F},
    {"condition-topic-variable", "id:1", R"(topic:"a")", R"(condition:"<")", R"(value-variable:"t")", T, F},
    {"condition-variable-value", "id:1", R"(variable:"t")", R"(condition:"!=")", R"(value:"")", T, F},
    {"condition-variable-variable", "id:1", R"(variable:"t")", R"(condition:"")", R"(value-variable:"u")", T, F},
    {"action-value", "id:2", R"(topic:"c")", R"(value:"")", "nextid:0", "retain:1"},
    {"action-topic", "id:2", R"(topic:"c")", R"(value-topic:"a")", "nextid:0", "retain:1"},
    {"action-variable", "id:2", R"(topic:"c")", R"(value-variable:"t")", "nextid:0", "retain:1"},
    {"variable-set", "id:2", R"(variable:"t")", R"(value:"5")", "nextid:0", "retain:1"},
    {"variable-increment", "id:2", R"(variable:"t")", "nextid:0", "retain:1"},
    {"variable-decrement", "id:2", R"(variable:"t")", "nextid:0", "retain:1"},
};

// {"type":"<type>","<name>":<value>,...}
std::string node(const std::vector<std::string>& parts)
{
    std::string out = R"({"type":")" + parts[0] + '"';
    for (size_t i = 1; i < parts.size(); ++i)
        out += ",\"" + parts[i].substr(0, parts[i].find(':')) + "\"" + parts[i].substr(parts[i].find(':'));
    return out + "}";
}

// Node and cron counts of the sets queued for the rules and cron threads,
// which are taken off their channels and freed.
std::string queued_sets()
{
    std::string out;
    while (trigger_rules_msg* m = msg_trigger_rules_get_first()) {
        int count = 0;
        for (rules_node* n = m->nodes.head; n; n = n->next)
            ++count;
        out += " nodes:" + std::to_string(count);
        rules_node_remove_all(&m->nodes);
        msg_trigger_rules_remove(m);
    }
    while (mqtt_cron_msg* m = msg_mqtt_cron_get_first()) {
        int count = 0;
        for (cron_trigger* c = m->entries.head; c; c = c->next)
            ++count;
        out += " cron:" + std::to_string(count);
        cron_trigger_remove_all(&m->entries);
        msg_mqtt_cron_remove(m);
    }
    return out;
}

struct JsonTest : ::testing::Test {
    static void SetUpTestSuite()
    {
        for (auto init : {msg_rules_mqtt_init, msg_trigger_rules_init, msg_mqtt_cron_init})
            init();
    }
    void TearDown() override
    {
        thread_mqtt_trigger_remove_all();
        list_data_remove_all(&pub_list);
        queued_sets();
    }
    // "ok" or "corrupted", then the topic triggers and the queued values;
    // the rules topic must hold the text, or nothing after a refusal.
    // Reading alone changes nothing; the check alone gives the same verdict;
    // the error topic holds its reason after a refusal, nothing after a
    // file accepted.
    std::string run(const std::string& text, std::string* sets = nullptr)
    {
        std::string reason;
        int checked = rules_text_check(text.c_str(), static_cast<long>(text.size()), &reason);
        EXPECT_EQ(checked == 0, reason.empty()) << text;
        rules_set set;
        int result = parse_json_text(text.c_str(), static_cast<long>(text.size()), &set);
        EXPECT_EQ(checked, result) << text;
        EXPECT_EQ(set.error, reason) << text;
        EXPECT_TRUE(!mqtt_triggers.head && !msg_rules_mqtt_length() && !pub_list.head) << text;
        EXPECT_TRUE(result == 0 || (set.triggers.empty() && set.variables.empty() && !set.nodes.head &&
                                    !set.cron.head && set.text.empty()))
            << text;
        thread_mqtt_rules_install(&set);
        if (sets)
            *sets = queued_sets();
        pub_item* error = list_name_find_name(&pub_list, b("$SYS/rulesengine/error"), 22);
        EXPECT_EQ(error ? str(error->data, error->data_len) : "-", result == 0 ? "<none>" : reason) << text;
        std::string out = result == 0 ? "ok" : "corrupted";
        for (mqtt_trigger* t = mqtt_triggers.head; t; t = t->next)
            out += " " + str(t->name, t->name_len) + ":" + std::to_string(t->next_id);
        pub_item* rules = list_name_find_name(&pub_list, b("$SYS/rulesengine/rules"), 22);
        EXPECT_EQ(rules ? str(rules->data, rules->data_len) : "-", result == 0 ? text : "<none>") << text;
        TearDown();
        return out + published();
    }
    static std::string published()
    {
        std::string out;
        while (rules_mqtt_msg* m = msg_rules_mqtt_get_first()) {
            for (data_item* i = m->data_list.head; i; i = list_next(i))
                out += " " + str(i->name, i->name_len) + "=" + str(i->data, i->data_len);
            out += ":" + std::to_string(m->retain);
            msg_rules_mqtt_remove(m);
        }
        return out;
    }
};

const std::string TRIGGER = R"({"type":"trigger-topic","topic":"t","nextid":9})";

TEST_F(JsonTest, Versions)
{
    const std::pair<const char*, bool> cases[] = {
        {R"("1.00")", true},  {R"("0.9")", true},  {R"("1.00-beta")", true},      {R"(" 1. 0")", true},
        {R"("1.01")", false}, {R"("2.0")", false}, {R"("1.05")", false},          {R"("1")", false},
        {R"("x1.0")", false}, {R"("1,0")", false}, {R"("99999999999.0")", false}, {"1.0", false}, // a JSON number
    };
    for (const auto& [version, accepted] : cases)
        EXPECT_EQ(run(file(TRIGGER, version)), accepted ? "ok t:9" : "corrupted") << version;
}

TEST_F(JsonTest, Members)
{
    const std::pair<std::string, std::string> cases[] = {
        {file(""), "ok"},
        {file(R"({"TYPE":"trigger-topic","Topic":"a/b","NEXTID":3.9})"), "ok a/b:3"},
        {file(R"({"type":"trigger-topic-x","topic":"a","nextid":1e12})"), "ok a:4294967295"},
        {file(R"({"type":"trigger-topic","topic":"a","nextid":-1})"), "corrupted"},
        {file(R"({"type":"trigger-topic","topic":"","nextid":1})"), "corrupted"},
        {file(R"({"type":"trigger-cron-daily","value":"0 0 * * *","nextid":0.5})"), "corrupted"},
        {file(R"({"type":"Trigger-topic","topic":"a","nextid":1})"), "ok"}, // types are case-sensitive
        {file(node(ALL_TYPES[3]) + R"(,{"type":"comment","text":"x"},)" + TRIGGER), "ok t:9"},
        {file(R"({"type":"action-value","id":3.9,"topic":"c","value":"v","nextid":-1,"retain":true})"), "corrupted"},
        {file(R"({"type":"action-value","id":-1,"topic":"c","value":"v","nextid":0,"retain":false})"), "corrupted"},
        {file(TRIGGER + "," + node(ALL_TYPES[3]) + R"(,{"type":"trigger-topic","topic":"u"})"), "corrupted"},
        {file(R"({"type":"variable-init","variable":"temp","value":"20","retain":1},{"type":7})"),
         "corrupted"}, // a refused file publishes nothing
        {file(R"({"type":"variable-init","variable":"e","value":"","retain":-256})"),
         "ok $SYS/rulesengine/variables/e=<none>:0"},
        {R"({"version":"1.00","nodes":{"x":)" + TRIGGER + "}} trailing", "ok t:9"},
        {R"({"version":"1.00","nodes":"none"})", "ok"},
        {R"({"version":"1.00"})", "corrupted"},
        {R"({"version":"1.00","nodes":[)", "corrupted"},
        {file("") + std::string(65535 - file("").size(), ' '), "ok"},
        {file("") + std::string(65536 - file("").size(), ' '), "corrupted"}, // longer than a topic value
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(run(text), expected) << text.substr(0, 200);
}

// Every node type is read; without any one of its members, or with one of
// the wrong JSON type, the file is refused.
TEST_F(JsonTest, EveryTypeNeedsEveryMember)
{
    std::string all;
    for (const auto& type : ALL_TYPES)
        all += (all.empty() ? "" : ",") + node(type);
    std::string sets;
    EXPECT_EQ(run(file(all), &sets), "ok a/b:1 $SYS/rulesengine/variables/t=1:0");
    EXPECT_EQ(sets, " nodes:11 cron:1");
    EXPECT_EQ(run(file(node(ALL_TYPES[2]) + ",{}"), &sets), "corrupted");
    EXPECT_EQ(sets, " nodes:0 cron:0");
    for (const auto& type : ALL_TYPES) {
        for (size_t i = 1; i < type.size(); ++i) {
            std::vector<std::string> missing = type, wrong = type;
            missing.erase(missing.begin() + static_cast<long>(i));
            wrong[i] = type[i].substr(0, type[i].find(':')) + ":true";
            EXPECT_EQ(run(file(node(missing))), "corrupted") << node(missing);
            EXPECT_EQ(run(file(node(wrong))), "corrupted") << node(wrong);
        }
    }
}

// Where a refused file is broken, as the log and the error topic say it.
TEST(JsonCheck, Reasons)
{
    const std::pair<std::string, std::string> cases[] = {
        {"", "the file is empty"},
        {"{\n  \"version\": \"1.00\",\n  \"nodes\": [1,]\n}", "not valid JSON at line 3, column 15"},
        {"{\"version\":\"1.00\"", "not valid JSON at line 1, column 18"},
        {file("", "1"), "no \"version\" string"},
        {file("", R"("1.5")"), "version \"1.5\" is not at most 1.00"},
        {R"({"version":"1.00"})", "no \"nodes\""},
        {file(TRIGGER + ",{}"), "node 2: no \"type\" string"},
        {file(R"({"type":"trigger-cron","value":"* * * * *","nextid":0})"),
         "node 1: trigger-cron needs a \"nextid\" other than 0"},
        {file(R"({"type":"variable-set","id":1,"variable":"","value":"1","nextid":0,"retain":0})"),
         "node 1: variable-set needs \"variable\", a non-empty string"},
    };
    for (const auto& [text, expected] : cases) {
        std::string reason;
        EXPECT_EQ(rules_text_check(text.c_str(), static_cast<long>(text.size()), &reason), -1) << text;
        EXPECT_EQ(reason, expected) << text;
    }
}

TEST_F(JsonTest, PublishedTopics)
{
    variable_init(b("temp"), 4, b("20"), 2, 257);
    std::vector<uint8_t> name(65509, 'n'); // its topic would be 65536 octets
    variable_init(name.data(), 65509, b("20"), 2, 1);
    uint8_t* topic = nullptr;
    uint16_t len = 0;
    EXPECT_EQ(get_variable_topic(name.data(), 65509, &topic, &len), -1);
    publish_rules_engine_version();
    EXPECT_EQ(published(), " $SYS/rulesengine/variables/temp=20:1 $SYS/rulesengine/version=1.00:1");
}

// A file that cannot be read changes nothing.
TEST_F(JsonTest, ReadsTheRulesFile)
{
    const std::string path = ::testing::TempDir() + "json_test.rules";
    std::ofstream(path) << file(node(ALL_TYPES[1]));
    for (const std::string& p : {path, path + ".missing", ::testing::TempDir()}) {
        setenv("HALYX_RULES", p.c_str(), 1);
        rules_set set;
        EXPECT_EQ(parse_json_file(&set), p == path ? 0 : -1) << p;
        EXPECT_EQ(set.read, p == path) << p;
        thread_mqtt_rules_install(&set);
        EXPECT_EQ(mqtt_triggers.head ? str(mqtt_triggers.head->name, mqtt_triggers.head->name_len) : "", "a/b");
    }
    unsetenv("HALYX_RULES");
    std::remove(path.c_str());
}

} // namespace
