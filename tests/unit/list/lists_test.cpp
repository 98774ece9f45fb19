#include <gtest/gtest.h>

#include <string_view>

#include "../test_bytes.h"
#include "list/lists.h"

namespace {

TEST(SubList, SameFilterTwiceUpdatesTheQosInPlace)
{
    list<sub_item> subs{};
    sub_item* first = list_sub_add_replace(&subs, b("a/#"), 3, 0);
    list_sub_add_replace(&subs, b("b"), 1, 0);
    EXPECT_EQ(list_sub_add_replace(&subs, b("a/#"), 3, 1), first);
    EXPECT_EQ(list_get_length(&subs), 2u);
    EXPECT_EQ(list_head(&subs), first);
    EXPECT_EQ(first->qos, 1);
    list_sub_remove_name(&subs, b("a/+"), 3);
    list_next(first)->topic_id = 7;
    list_sub_remove_topic_id(&subs, 8);
    EXPECT_EQ(list_get_length(&subs), 2u);
    list_sub_remove_topic_id(&subs, 7);
    list_sub_remove_name(&subs, b("a/#"), 3);
    EXPECT_EQ(list_head(&subs), nullptr);
}

TEST(PubList, NamesDifferingInCaseOrTrailingSlashAreDistinct)
{
    list<pub_item> pubs{};
    const std::string_view names[] = {"a/b", "a/b/", "A/b", "a/B"};
    for (auto name : names)
        list_pub_add_ignore(&pubs, b(name), n(name), b(name), n(name), 0);
    for (auto name : names) {
        pub_item* item = list_name_find_name(&pubs, b(name), n(name));
        ASSERT_NE(item, nullptr) << name;
        EXPECT_EQ(str(item->data, item->data_len), name);
    }
    list_data_remove_all(&pubs);
}

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
        list_pub_add_replace(&pubs, b("x"), 1, b("0"), 1, 0);
        pub_item* old = c.existing ? list_pub_add_replace(&pubs, b("t"), 1, b("old"), 3, 0) : nullptr;
        pub_item* item = c.replace ? list_pub_add_replace(&pubs, b("t"), 1, b("new"), 3, 1)
                                   : list_pub_add_ignore(&pubs, b("t"), 1, b("new"), 3, 1);
        EXPECT_TRUE(!old || item == old);
        EXPECT_EQ(list_get_length(&pubs), 2u);
        EXPECT_EQ(str(item->data, item->data_len), c.data);
        EXPECT_EQ(item->retain, c.retain);
        list_data_remove_all(&pubs);
    }
}

TEST(DataList, EmptyPayloadDropsDataOnlyThroughAddReplace)
{
    list<data_item> data{};
    int created = -1;
    data_item* item = list_data_add_replace(&data, b("t"), 1, b("21.5"), 4, &created);
    EXPECT_EQ(created, 1);
    EXPECT_EQ(list_data_add_replace(&data, b("t"), 1, b("x"), 0, &created), item);
    EXPECT_EQ(created, 0);
    EXPECT_EQ(item->data, nullptr);
    list_data_remove_all(&data);

    list<pub_item> pubs{};
    pub_item* pub = list_pub_add_replace(&pubs, b("t"), 1, b("on"), 2, 1);
    list_pub_data_replace(pub, b("x"), 0, 0x100);
    EXPECT_EQ(str(pub->data, pub->data_len), "on");
    EXPECT_EQ(pub->retain, 0);
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
    EXPECT_EQ(str(w.name, w.name_len), "dev/2");
    EXPECT_EQ(str(w.data, w.data_len), "gone");
    EXPECT_EQ(w.retain, 0);
    will_name_replace(&w, w.name, w.name_len, 1);
    EXPECT_EQ(str(w.name, w.name_len), "dev/2");
    will_remove_all(&w);
    EXPECT_EQ(w.name, nullptr);
    EXPECT_EQ(w.data, nullptr);
}

TEST(RegList, OneItemPerTopicId)
{
    list<reg_item> regs{};
    reg_item* r = list_reg_add(&regs, 5);
    list_reg_add(&regs, 6);
    EXPECT_EQ(list_reg_add(&regs, 5), r);
    EXPECT_EQ(list_get_length(&regs), 2u);
    EXPECT_EQ(list_reg_find_topic_id(&regs, 6), list_next(r));
    EXPECT_EQ(list_reg_find_topic_id(&regs, 7), nullptr);
    list_reg_remove_all(&regs);
}

TEST(MsgList, PendingTopicIsResetNotQueuedTwice)
{
    list<msg_item> wait_ack{};
    msg_item* m = list_msg_add(&wait_ack, 5, 1);
    EXPECT_EQ(m->msg_id, 0);
    // Not sent yet: no message id can find it.
    EXPECT_EQ(list_msg_find_msg_id(&wait_ack, 1), nullptr);
    m->msg_id = 42;
    m->retry = 3;
    m->sent = 1;
    msg_item* other = list_msg_add(&wait_ack, 9, 0);
    EXPECT_EQ(list_msg_add(&wait_ack, 5, 2), m);
    EXPECT_EQ(list_get_length(&wait_ack), 2u);
    EXPECT_EQ(m->qos, 2);
    EXPECT_EQ(m->retry, 0);
    EXPECT_EQ(m->sent, 0);
    EXPECT_EQ(list_msg_find_msg_id(&wait_ack, 42), m);
    list_msg_remove_msg_id(&wait_ack, 43);
    EXPECT_EQ(list_get_length(&wait_ack), 2u);
    list_msg_remove_msg_id(&wait_ack, 42);
    EXPECT_EQ(list_head(&wait_ack), other);
    list_reg_remove_all(&wait_ack);
}

} // namespace
