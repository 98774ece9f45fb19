// The intrusive list, the topic-named lists and wills, topic matching,
// session records, and what a programming error or a failed allocation does.
#include <gtest/gtest.h>

#include <new>
#include <string_view>
#include <tuple>
#include <vector>

#include "../test_bytes.h"
#include "list/lists.h"
#include "list/mqtt_conn.h"
#include "list/mqttsn_conn.h"
#include "memory.h"

namespace {

struct node {
    node* next;
    int value;
};

// Removal returns the successor, so a walk can remove as it goes; an item
// not in the list, or removed already, changes nothing.
TEST(List, RemoveReturnsTheSuccessor)
{
    node nodes[4] = {{nullptr, 0}, {nullptr, 1}, {nullptr, 2}, {nullptr, 3}};
    list<node> l{};
    for (node& item : nodes)
        list_add_item(&l, &item);
    node stray{&nodes[2], 9};
    EXPECT_EQ(list_remove(&l, &stray), nullptr);
    EXPECT_EQ(list_remove(&l, &nodes[0]), &nodes[1]);
    EXPECT_EQ(list_remove(&l, &nodes[2]), &nodes[3]);
    EXPECT_EQ(list_remove(&l, &nodes[3]), nullptr);
    EXPECT_EQ(list_remove(&l, &nodes[3]), nullptr);
    EXPECT_EQ(std::make_tuple(list_head(&l), list_next(&nodes[1]), list_get_length(&l)),
              std::make_tuple(&nodes[1], nullptr, 1u));
}

// A programming error ends the process with a message naming the checked
// expression, the module and the function.
TEST(ListAssertionDeathTest, AbortsNamingExpressionModuleAndFunction)
{
    list<pub_item> pubs{};
    EXPECT_DEATH(list_pub_add_replace(&pubs, b("a"), 0, nullptr, 0, 0),
                 R"(assertion "name_len != 0" failed: list/lists: list_pub_add_replace)");
}

// A failed allocation ends the process with one line. (AddressSanitizer's
// allocator would answer such a request itself.)
TEST(ListAssertionDeathTest, OutOfMemoryAbortsWithALogLine)
{
    // What operator new calls when it cannot allocate: called here directly,
    // since how large a request fails differs between boards and sanitizers.
    EXPECT_DEATH(memory_handler_install(); std::get_new_handler()(), "^out of memory\n");
}

TEST(SubList, SameFilterTwiceUpdatesTheQosInPlace)
{
    list<sub_item> subs{};
    sub_item* first = list_sub_add_replace(&subs, b("a/#"), 3, 0);
    list_sub_add_replace(&subs, b("b"), 1, 0);
    EXPECT_EQ(list_sub_add_replace(&subs, b("a/#"), 3, 1), first);
    EXPECT_EQ(std::make_tuple(list_get_length(&subs), list_head(&subs), first->qos), std::make_tuple(2u, first, 1));
    list_sub_remove_name(&subs, b("a/+"), 3);
    list_next(first)->topic_id = 7;
    list_sub_remove_topic_id(&subs, 8);
    EXPECT_EQ(list_get_length(&subs), 2u);
    list_sub_remove_topic_id(&subs, 7);
    list_sub_remove_name(&subs, b("a/#"), 3);
    EXPECT_EQ(list_head(&subs), nullptr);
}

// Names are exact bytes: case and a trailing slash make other topics.
TEST(PubList, AddIgnoreKeepsAnExistingTopicAddReplaceOverwritesIt)
{
    struct {
        bool existing;
        bool replace;
        const char* data;
        uint8_t retain;
    } const cases[] = {
        {true, false, "old", 0}, {true, true, "new", 1}, {false, false, "new", 1}, {false, true, "new", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.replace ? "replace" : "ignore") + (c.existing ? " on existing" : " on new"));
        list<pub_item> pubs{};
        for (std::string_view other : {"t/", "T", "x"})
            list_pub_add_replace(&pubs, b(other), n(other), b("0"), 1, 0);
        pub_item* old = c.existing ? list_pub_add_replace(&pubs, b("t"), 1, b("old"), 3, 0) : nullptr;
        pub_item* item = c.replace ? list_pub_add_replace(&pubs, b("t"), 1, b("new"), 3, 1)
                                   : list_pub_add_ignore(&pubs, b("t"), 1, b("new"), 3, 1);
        EXPECT_TRUE(!old || item == old);
        EXPECT_EQ(list_name_find_name(&pubs, b("t"), 1), item);
        EXPECT_EQ(list_get_length(&pubs), 4u);
        EXPECT_EQ(str(item->data, item->data_len), c.data);
        EXPECT_EQ(item->retain, c.retain);
        list_data_remove_all(&pubs);
    }
}

// The index finds what a walk would find, the bound refuses only new
// names, and ids move with list_pub_set_topic_id.
TEST(PubList, IndexFindsByNameAndTopicIdAndBoundRefusesNewNames)
{
    list<pub_item> pubs{};
    EXPECT_EQ(std::make_tuple(list_name_find_name(&pubs, b("t/0"), 3), list_pub_count(&pubs)),
              std::make_tuple(nullptr, 0u));
    std::vector<pub_item*> items;
    for (int i = 0; i < 1000; ++i) {
        std::string name = "t/" + std::to_string(i);
        items.push_back(list_pub_add_ignore(&pubs, b(name), n(name), nullptr, 0, 0));
        list_pub_set_topic_id(&pubs, items.back(), static_cast<uint16_t>(i + 1));
    }
    list_pub_set_max(&pubs, 1001);
    EXPECT_NE(list_pub_add_replace(&pubs, b("last"), 4, b("v"), 1, 1), nullptr);
    EXPECT_EQ(list_pub_add_replace(&pubs, b("over"), 4, b("v"), 1, 1), nullptr);
    EXPECT_EQ(list_pub_add_ignore(&pubs, b("over"), 4, nullptr, 0, 0), nullptr);
    EXPECT_EQ(list_pub_add_replace(&pubs, b("t/5"), 3, b("v"), 1, 1), items[5]);
    EXPECT_EQ(std::make_tuple(list_pub_count(&pubs), list_get_length(&pubs), list_pub_topic_id_count(&pubs)),
              std::make_tuple(1001u, 1001u, 1000u));
    uint32_t i = 0;
    for (pub_item* item = list_head(&pubs); i < items.size(); item = list_next(item), ++i) {
        ASSERT_EQ(item, items[i]) << "first-appearance order";
        ASSERT_EQ(list_name_find_name(&pubs, item->name, item->name_len), item);
        ASSERT_EQ(list_pub_find_topic_id(&pubs, static_cast<uint16_t>(i + 1)), item);
    }
    list_pub_set_topic_id(&pubs, items[0], 2000);
    list_pub_set_topic_id(&pubs, items[1], 0);
    EXPECT_EQ(std::make_tuple(list_pub_find_topic_id(&pubs, 1), list_pub_find_topic_id(&pubs, 2),
                              list_pub_find_topic_id(&pubs, 2000), list_pub_topic_id_count(&pubs)),
              std::make_tuple(nullptr, nullptr, items[0], 999u));
    list_data_remove_all(&pubs);
    EXPECT_EQ(std::make_tuple(list_head(&pubs), list_pub_count(&pubs)), std::make_tuple(nullptr, 0u));
}

TEST(DataList, EmptyPayloadDropsDataOnlyThroughAddReplace)
{
    list<data_item> data{};
    int created = -1;
    data_item* item = list_data_add_replace(&data, b("t"), 1, b("21.5"), 4, &created);
    EXPECT_EQ(created, 1);
    EXPECT_EQ(list_data_add_replace(&data, b("t"), 1, b("x"), 0, &created), item);
    EXPECT_EQ(std::make_tuple(created, item->data), std::make_tuple(0, nullptr));
    list_data_remove_all(&data);

    list<pub_item> pubs{};
    pub_item* pub = list_pub_add_replace(&pubs, b("t"), 1, b("on"), 2, 1);
    list_pub_data_replace(pub, b("x"), 0, 0x100);
    EXPECT_EQ(std::make_tuple(str(pub->data, pub->data_len), pub->retain), std::make_tuple("on", 0));
    // A topic republished with its own current value.
    list_pub_data_replace(pub, pub->data, pub->data_len, 1);
    EXPECT_EQ(str(pub->data, pub->data_len), "on");
    list_data_remove_all(&pubs);
}

TEST(Will, ReplaceKeepsOnlyTheLatestAndRemoveAllEmptiesIt)
{
    will w{};
    will_remove_all(&w);
    will_replace(&w, b("dev/1/state"), 11, b("lost"), 4, 1);
    will_replace(&w, b("dev/2"), 5, b("gone"), 4, 0);
    EXPECT_EQ(std::make_tuple(str(w.name, w.name_len), str(w.data, w.data_len), w.retain),
              std::make_tuple("dev/2", "gone", 0));
    // Set again from its own bytes.
    will_name_replace(&w, w.name, w.name_len, 1);
    EXPECT_EQ(str(w.name, w.name_len), "dev/2");
    will_remove_all(&w);
    EXPECT_EQ(std::make_tuple(w.name, w.data), std::make_tuple(nullptr, nullptr));
}

// MQTT-SN deliveries: one per topic id; queuing a pending topic again
// resets it instead.
TEST(MsgList, PendingTopicIsResetNotQueuedTwice)
{
    list<msg_item> wait_ack{};
    msg_item* m = list_msg_add(&wait_ack, 5, 1);
    // Not sent yet: no message id can find it.
    EXPECT_EQ(list_msg_find_msg_id(&wait_ack, 1), nullptr);
    m->msg_id = 42;
    m->retry = 3;
    m->sent = 1;
    msg_item* other = list_msg_add(&wait_ack, 9, 0);
    EXPECT_EQ(list_msg_add(&wait_ack, 5, 2), m);
    EXPECT_EQ(std::make_tuple(list_get_length(&wait_ack), m->qos, m->retry, m->sent), std::make_tuple(2u, 2, 0, 0));
    EXPECT_EQ(list_msg_find_msg_id(&wait_ack, 42), m);
    EXPECT_EQ(list_reg_find_topic_id(&wait_ack, 9), other);
    list_msg_remove_msg_id(&wait_ack, 43);
    list_msg_remove_msg_id(&wait_ack, 42);
    EXPECT_EQ(std::make_tuple(list_head(&wait_ack), list_get_length(&wait_ack)), std::make_tuple(other, 1u));
    list_reg_remove_all(&wait_ack);
}

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
    for (auto [name, wildcard] : {std::pair{"a/+/c", 1}, {"#", 1}, {"a/b", 0}})
        EXPECT_EQ(name_has_wildcard(b(name), n(name)), wildcard) << name;
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
    auto linked = [&](const char* filter) {
        list_sub_pub_matches(list_sub_add_replace(&subs, b(filter), n(filter), 0), &pubs, &result);
        std::vector<std::string> names;
        for (link_item* l = list_head(&result); l; l = list_next(l))
            names.push_back(str(l->pub_item->name, l->pub_item->name_len));
        list_reg_remove_all(&result);
        return names;
    };
    EXPECT_EQ(linked("a/+"), (std::vector<std::string>{"a/z", "a/x"}));
    // A filter without wildcard: its one topic, when retained.
    EXPECT_EQ(linked("a/x"), std::vector<std::string>{"a/x"});
    EXPECT_EQ(linked("a/y"), std::vector<std::string>{});
    EXPECT_EQ(linked("a/q"), std::vector<std::string>{});
    list_name_remove_all(&subs);
    list_data_remove_all(&pubs);
}

// Gives a session everything a record can own, so that a leak of any part
// shows under AddressSanitizer.
template <typename Conn> void fill_topics(Conn* conn)
{
    list_sub_add_replace(&conn->subs, b("a/#"), 3, 1);
    list_sub_add_replace(&conn->subs, b("b"), 1, 0);
    will_replace(&conn->will, b("w"), 1, b("bye"), 3, 1);
}

TEST(SessionConns, RemoveFreesEverythingTheSessionOwnsAndReturnsTheNext)
{
    list<mqtt_conn> mqtt{};
    list<mqttsn_conn> mqttsn{};
    for (uint16_t port = 1; port <= 3; ++port) {
        sockaddr_in addr = peer("10.0.0.1", port);
        fill_topics(list_mqtt_conn_add_new(&mqtt, &addr));
        mqttsn_conn* s = list_mqttsn_conn_add_new(&mqttsn, &addr);
        fill_topics(s);
        list_mqttsn_conn_set_client_id(s, b("node"), 4);
        list_reg_add(&s->regs, 1);
        list_msg_add(&s->wait_reg, 2, 1);
        list_msg_add(&s->wait_ack, 1, 0);
    }
    // Records are keyed by the whole address, port included.
    sockaddr_in addr = peer("10.0.0.1", 3);
    mqtt_conn* third = list_mqtt_conn_find_addr(&mqtt, &addr);
    EXPECT_EQ(list_mqtt_conn_remove(&mqtt, list_next(list_head(&mqtt))), third);
    EXPECT_EQ(ntohs(third->addr.sin_port), 3);
    mqttsn_conn* next = list_next(list_head(&mqttsn));
    EXPECT_EQ(list_mqttsn_conn_remove(&mqttsn, list_head(&mqttsn)), next);
    list_mqtt_conn_remove_all(&mqtt);
    list_mqttsn_conn_remove_all(&mqttsn);
}

TEST(MqttsnConn, ClientIdNeedsTheExactLength)
{
    list<mqttsn_conn> conns{};
    sockaddr_in a = peer("10.0.0.2", 1884), a2 = peer("10.0.0.3", 1884);
    mqttsn_conn* sensor = list_mqttsn_conn_add_new(&conns, &a);
    mqttsn_conn* fresh = list_mqttsn_conn_add_new(&conns, &a2);
    list_mqttsn_conn_set_client_id(sensor, b("old-id"), 6);
    list_mqttsn_conn_set_client_id(sensor, b("sensor-12"), 9);
    // Set again from its own bytes: the id must survive.
    list_mqttsn_conn_set_client_id(sensor, sensor->client_id, sensor->client_id_length);
    EXPECT_EQ(list_mqttsn_conn_find_client_id(&conns, b("sensor-12"), 9), sensor);
    EXPECT_EQ(list_mqttsn_conn_find_client_id(&conns, b("sensor-1"), 8), nullptr);
    EXPECT_EQ(list_mqttsn_conn_find_client_id(&conns, b("sensor-123"), 10), nullptr);
    EXPECT_EQ(list_mqttsn_conn_find_client_id(&conns, b("old-id"), 6), nullptr);
    EXPECT_EQ(list_mqttsn_conn_find_addr(&conns, &a2), fresh);

    // The index: exact ids, a record without id is not indexed, and only
    // the record an id leads to can take it out.
    client_id_index index;
    for (mqttsn_conn* conn : {sensor, fresh})
        client_id_index_add(&index, conn);
    EXPECT_EQ(std::make_tuple(client_id_index_find(&index, b("sensor-12"), 9),
                              client_id_index_find(&index, b("sensor-1"), 8), index.map.size()),
              std::make_tuple(sensor, nullptr, 1u));
    list_mqttsn_conn_set_client_id(fresh, b("sensor-12"), 9);
    client_id_index_add(&index, fresh);
    client_id_index_remove(&index, sensor);
    EXPECT_EQ(client_id_index_find(&index, b("sensor-12"), 9), fresh);
    list_mqttsn_conn_remove(&conns, sensor);
    EXPECT_EQ(client_id_index_find(&index, b("sensor-12"), 9), fresh) << "the key is the indexed record's own";
    client_id_index_remove(&index, fresh);
    EXPECT_TRUE(index.map.empty());
    list_mqttsn_conn_remove_all(&conns);
}

} // namespace
