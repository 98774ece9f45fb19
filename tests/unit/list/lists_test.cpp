#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "list/lists.h"

namespace {

const uint8_t* b(std::string_view s)
{
    return reinterpret_cast<const uint8_t*>(s.data());
}

uint16_t n(std::string_view s)
{
    return static_cast<uint16_t>(s.size());
}

std::string str(const uint8_t* bytes, uint16_t len)
{
    return bytes ? std::string(reinterpret_cast<const char*>(bytes), len) : "<none>";
}

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
    EXPECT_EQ(list_get_length(&subs), 2u);
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
    EXPECT_EQ(list_get_length(&pubs), 4u);
    for (auto name : names) {
        pub_item* item = list_name_find_name(&pubs, b(name), n(name));
        ASSERT_NE(item, nullptr) << name;
        EXPECT_EQ(str(item->data, item->data_len), name);
    }
    list_data_remove_all(&pubs);
    EXPECT_EQ(list_head(&pubs), nullptr);
}

TEST(PubList, AddIgnoreKeepsAnExistingTopicAddReplaceOverwritesIt)
{
    struct {
        const char* what;
        bool existing;
        bool replace;
        const char* data;
        uint8_t retain;
    } const cases[] = {
        {"ignore on existing", true, false, "old", 0},
        {"replace on existing", true, true, "new", 1},
        {"ignore on new", false, false, "new", 1},
        {"replace on new", false, true, "new", 1},
    };
    for (const auto& c : cases) {
        list<pub_item> pubs{};
        list_pub_add_replace(&pubs, b("x"), 1, b("0"), 1, 0);
        pub_item* old = c.existing ? list_pub_add_replace(&pubs, b("t"), 1, b("old"), 3, 0) : nullptr;
        pub_item* item = c.replace ? list_pub_add_replace(&pubs, b("t"), 1, b("new"), 3, 1)
                                   : list_pub_add_ignore(&pubs, b("t"), 1, b("new"), 3, 1);
        if (old) {
            EXPECT_EQ(item, old) << c.what;
        }
        EXPECT_EQ(list_get_length(&pubs), 2u) << c.what;
        EXPECT_EQ(str(item->data, item->data_len), c.data) << c.what;
        EXPECT_EQ(item->retain, c.retain) << c.what;
        EXPECT_EQ(item->topic_id, 0) << c.what;
        list_data_remove_all(&pubs);
    }
}

TEST(DataList, EmptyPayloadDropsDataOnlyThroughAddReplace)
{
    list<data_item> data{};
    int created = -1;
    data_item* item = list_data_add_replace(&data, b("t"), 1, b("21.5"), 4, &created);
    EXPECT_EQ(created, 1);
    EXPECT_EQ(list_data_add_ignore(&data, b("t"), 1, b("x"), 1, &created), item);
    EXPECT_EQ(created, 0);
    EXPECT_EQ(str(item->data, item->data_len), "21.5");
    EXPECT_EQ(list_data_add_replace(&data, b("t"), 1, b("x"), 0, &created), item);
    EXPECT_EQ(created, 0);
    EXPECT_EQ(item->data, nullptr);
    EXPECT_EQ(item->data_len, 0);
    list_data_remove_all(&data);

    list<pub_item> pubs{};
    pub_item* pub = list_pub_add_replace(&pubs, b("t"), 1, b("on"), 2, 1);
    list_pub_data_replace(pub, b("x"), 0, 0x100);
    EXPECT_EQ(str(pub->data, pub->data_len), "on");
    EXPECT_EQ(pub->retain, 0);
    list_pub_data_replace(pub, nullptr, 5, 1);
    EXPECT_EQ(str(pub->data, pub->data_len), "on");
    EXPECT_EQ(pub->retain, 1);
    // A topic republished with its own current value.
    list_pub_data_replace(pub, pub->data, pub->data_len, 1);
    EXPECT_EQ(str(pub->data, pub->data_len), "on");
    list_data_remove_all(&pubs);

    data_item* standalone = list_data_new<data_item>(b("s"), 1, b("v"), 0);
    EXPECT_EQ(standalone->data, nullptr);
    list_data_replace_data(standalone, b("abc"), 3);
    EXPECT_EQ(str(standalone->data, standalone->data_len), "abc");
    list_data_remove(standalone);
}

TEST(Will, ReplaceKeepsOnlyTheLatestAndRemoveAllEmptiesIt)
{
    will w{};
    will_remove_all(&w);
    EXPECT_EQ(w.name, nullptr);
    EXPECT_EQ(w.data, nullptr);

    will_replace(&w, b("dev/1/state"), 11, b("lost"), 4, 1);
    will_replace(&w, b("dev/2"), 5, b("gone"), 4, 0);
    EXPECT_EQ(str(w.name, w.name_len), "dev/2");
    EXPECT_EQ(str(w.data, w.data_len), "gone");
    EXPECT_EQ(w.retain, 0);

    will_name_replace(&w, w.name, w.name_len, 1);
    will_data_replace(&w, nullptr, 4);
    EXPECT_EQ(str(w.name, w.name_len), "dev/2");
    EXPECT_EQ(w.data, nullptr);
    EXPECT_EQ(w.data_len, 0);

    will_remove_all(&w);
    EXPECT_EQ(w.name, nullptr);
    EXPECT_EQ(w.name_len, 0);
    EXPECT_EQ(w.retain, 1);
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
    EXPECT_EQ(list_head(&regs), nullptr);
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
    EXPECT_EQ(m->msg_id, 42);
    EXPECT_EQ(list_msg_find_msg_id(&wait_ack, 42), m);

    list_msg_remove_msg_id(&wait_ack, 43);
    EXPECT_EQ(list_get_length(&wait_ack), 2u);
    list_msg_remove_msg_id(&wait_ack, 42);
    EXPECT_EQ(list_head(&wait_ack), other);

    msg_item* last = list_msg_add(&wait_ack, 10, 0);
    EXPECT_EQ(list_msg_remove(&wait_ack, other), last);
    EXPECT_EQ(list_head(&wait_ack), last);
    list_reg_remove_all(&wait_ack);
}

} // namespace
