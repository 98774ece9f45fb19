#include <gtest/gtest.h>

#include <string_view>

#include "../test_bytes.h"
#include "list/mqtt_conn.h"
#include "list/mqtt_user.h"
#include "list/mqttsn_conn.h"
#include "list/tcp_conn.h"

namespace {

// Gives a session everything a record can own, so that a leak of any part
// shows up under AddressSanitizer.
template <typename Conn> void fill_topics(Conn* conn)
{
    list_sub_add_replace(&conn->subs, b("a/#"), 3, 1);
    list_sub_add_replace(&conn->subs, b("b"), 1, 0);
    will_replace(&conn->will, b("w"), 1, b("bye"), 3, 1);
}

TEST(TcpConn, SameHostDifferentPortsAreDifferentRecords)
{
    list<tcp_conn> conns{};
    sockaddr_in a = peer("192.168.1.20", 50000), a2 = peer("192.168.1.20", 50001), other = peer("192.168.1.21", 50000);
    tcp_conn* first = list_tcp_conn_add_new(&conns, &a);
    tcp_conn* second = list_tcp_conn_add_new(&conns, &a2);
    EXPECT_EQ(list_tcp_conn_find_addr(&conns, &a), first);
    EXPECT_EQ(list_tcp_conn_find_addr(&conns, &a2), second);
    EXPECT_EQ(list_tcp_conn_find_addr(&conns, &other), nullptr);
    EXPECT_EQ(list_tcp_conn_remove(&conns, first), second);
    EXPECT_EQ(list_tcp_conn_remove(&conns, second), nullptr);
}

TEST(MqttConn, RemovingInAWalkContinuesWithTheNextRecord)
{
    list<mqtt_conn> conns{};
    for (uint16_t port = 1; port <= 4; ++port) {
        sockaddr_in addr = peer("10.0.0.1", port);
        mqtt_conn* c = list_mqtt_conn_add_new(&conns, &addr);
        c->keepalivesec = port % 2 ? 60 : 0;
        fill_topics(c);
    }
    int visited = 0;
    for (mqtt_conn* c = list_head(&conns); c; ++visited)
        c = c->keepalivesec ? list_mqtt_conn_remove(&conns, c) : list_next(c);
    EXPECT_EQ(visited, 4);
    ASSERT_EQ(list_get_length(&conns), 2u);
    EXPECT_EQ(ntohs(list_head(&conns)->addr.sin_port), 2);
    list_mqtt_conn_remove_all(&conns);
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
    list_mqttsn_conn_remove_all(&conns);
}

TEST(MqttsnConn, RemoveFreesEverythingTheSessionOwns)
{
    list<mqttsn_conn> conns{};
    sockaddr_in a = peer("10.0.0.2", 1884), a2 = peer("10.0.0.2", 1885);
    mqttsn_conn* s = list_mqttsn_conn_add_new(&conns, &a);
    mqttsn_conn* next = list_mqttsn_conn_add_new(&conns, &a2);
    list_mqttsn_conn_set_client_id(s, b("node"), 4);
    fill_topics(s);
    list_reg_add(&s->regs, 1);
    list_msg_add(&s->wait_reg, 2, 1);
    list_msg_add(&s->wait_ack, 1, 0);
    EXPECT_EQ(list_mqttsn_conn_remove(&conns, s), next);
    EXPECT_EQ(list_mqttsn_conn_remove(&conns, next), nullptr);
}

TEST(MqttUser, LookupIsExactOnNameAndPassword)
{
    list<mqtt_user> users{};
    mqtt_user* admin = list_mqtt_user_add_new(&users, "admin", "secret", 1);
    mqtt_user* viewer = list_mqtt_user_add_new(&users, "viewer", "look", 0);
    mqtt_user* admin2 = list_mqtt_user_add_new(&users, "admin", "other", 0);
    list_mqtt_user_add_new(&users, "admin", "secret", 0);
    struct {
        std::string_view name;
        std::string_view password;
        mqtt_user* expected;
    } const cases[] = {
        {"admin", "secret", admin},   {"viewer", "look", viewer},    {"admin", "other", admin2},
        {"admin", "secre", nullptr},  {"admin", "secrets", nullptr}, {"admi", "secret", nullptr},
        {"Admin", "secret", nullptr}, {"admin", "Secret", nullptr},  {"viewer", "secret", nullptr},
    };
    for (const auto& c : cases)
        EXPECT_EQ(list_mqtt_user_find_user(&users, b(c.name), n(c.name), b(c.password), n(c.password)), c.expected)
            << c.name << ":" << c.password;
    list_mqtt_user_remove_all(&users);
}

} // namespace
