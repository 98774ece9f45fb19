#include <gtest/gtest.h>

#include <functional>

#include "../test_bytes.h"
#include "list/lists.h"
#include "list/mqtt_conn.h"
#include "list/mqtt_user.h"
#include "list/mqttsn_conn.h"
#include "triggers/mqtt.h"

namespace {

// A programming error ends the process with a message naming the checked
// expression, the module and the function.
TEST(ListAssertionDeathTest, AbortsNamingExpressionModuleAndFunction)
{
    list<pub_item> pubs{};
    list<reg_item> regs{};
    list<mqtt_user> users{};
    list<mqtt_trigger> triggers{};
    mqttsn_conn conn{};
    sockaddr_in addr{};
    struct {
        const char* message;
        std::function<void()> call;
    } const cases[] = {
        {R"(assertion "name_len != 0" failed: list/lists: list_pub_add_replace)",
         [&] { list_pub_add_replace(&pubs, b("a"), 0, nullptr, 0, 0); }},
        {R"(assertion "item != NULL" failed: list/list: list_add_item)",
         [&] { list_add_item<reg_item>(&regs, nullptr); }},
        {R"(assertion "list != NULL" failed: list/mqtt_conn: list_mqtt_conn_find_addr)",
         [&] { list_mqtt_conn_find_addr(nullptr, &addr); }},
        {R"(assertion "item->keepalivesec != 0" failed: list/mqttsn_conn: list_mqttsn_conn_reset_remainsec)",
         [&] { list_mqttsn_conn_reset_remainsec(&conn); }},
        {R"(assertion "password_length != 0" failed: list/mqtt_user: list_mqtt_user_find_user)",
         [&] { list_mqtt_user_find_user(&users, b("u"), 1, b(""), 0); }},
        {R"(assertion "next_id != 0" failed: triggers/mqtt: mqtt_trigger_add_new)",
         [&] { mqtt_trigger_add_new(&triggers, "t", 0); }},
    };
    for (const auto& c : cases)
        EXPECT_DEATH(c.call(), c.message);
}

} // namespace
