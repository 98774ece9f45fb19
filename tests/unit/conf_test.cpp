// The configuration reader: line syntax, every key's field, user entries,
// and whole files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <tuple>

#include "conf.h"
#include "test_bytes.h"

namespace {

struct ConfTest : ::testing::Test {
    http_conf http{};
    tcp_conf tcp{};
    udp_conf udp{};
    mysql_conf mysql{};
    broker_conf broker{};
    tls_conf tls{};
    store_conf store{};
    bridge_conf bridge{};
    conf_parser parser{{&http, &tcp, &udp, &mysql, {}, CONF_LOG_LEVEL_DEFAULT, &broker, &tls, {}, &store, &bridge},
                       0, {}, {}, 0, 0};

    void SetUp() override
    {
        mysql_enable = 0;
        rules_enable = 0;
    }
    void TearDown() override { list_mqtt_user_remove_all(&parser.out.users); }
    void lines(std::initializer_list<const char*> text)
    {
        for (const char* line : text)
            conf_parse_line(&parser, line);
    }
    // The user entries as "name:password:flag ".
    std::string users() const
    {
        std::string out;
        for (mqtt_user* u = parser.out.users.head; u; u = u->next)
            out += str(u->user_name, u->user_name_length) + ":" + str(u->password, u->password_length) + ":" +
                   std::to_string(u->publish_enable) + " ";
        return out;
    }
};

// One line applied to fresh records; `port` is mqtt_port afterwards (it
// starts at 1 so that "left unchanged" is visible).
TEST_F(ConfTest, LineSyntax)
{
    struct {
        const char* line;
        int32_t port;
    } cases[] = {
        // clang-format off
        {"mqtt_port=1883\n", 1883}, {"   mqtt_port   =    1883\n", 1883}, {"\tmqtt_port = 1883\r\n", 1883},
        {"mqtt_port = 0x10\n", 1}, {"mqtt_port = 1883abc\n", 1}, // not whole base-10 numbers
        {"mqtt_port = 99999999999\n", 1}, // out of range
        {"mqtt_port = +42\n", 42}, {"mqtt_port = -7\n", -7},
        {"# mqtt_port = 2\n", 1}, {"   # mqtt_port = 2\n", 1}, {"\n", 1}, {"= mqtt_port\n", 1},
        {"mqtt_port\t= 1883\n", 1}, {"mqtt_port = 1883\t\n", 1}, // a tab belongs to the key or value
        {"MQTT_PORT = 5\n", 1},         // keys are case-sensitive
        {"mqtt_port = 7 # seven\n", 7}, // the value ends at a blank
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        tcp = tcp_conf{};
        tcp.mqtt_port = 1;
        lines({c.line});
        EXPECT_EQ(tcp.mqtt_port, c.port);
    }
}

// Each key gets a value of its own, so a key wired to another's field shows.
TEST_F(ConfTest, EveryKeyReachesItsField)
{
    const std::pair<const char*, char*> texts[] = {
        {"http_iface", http.http_iface},          {"http_files_path", http.http_files_path},
        {"mqtt_iface", tcp.mqtt_iface},           {"mqttsn_iface", udp.mqttsn_iface},
        {"mysql_server", mysql.mysql_server},     {"mysql_user", mysql.mysql_user},
        {"mysql_password", mysql.mysql_password}, {"mysql_database", mysql.mysql_database},
        {"bind_address", parser.out.bind_address},
        {"tls_cert_file", tls.tls_cert_file},     {"tls_key_file", tls.tls_key_file},
        {"tls_ca_file", tls.tls_ca_file},
        {"bridge_address", bridge.bridge_address}, {"bridge_client_id", bridge.bridge_client_id},
        {"bridge_user", bridge.bridge_user},       {"bridge_password", bridge.bridge_password},
        {"bridge_remote_prefix", bridge.bridge_remote_prefix},
        {"bridge_tls_ca_file", bridge.bridge_tls_ca_file},
        {"bridge_tls_cert_file", bridge.bridge_tls_cert_file},
        {"bridge_tls_key_file", bridge.bridge_tls_key_file},
        {"bridge_out", bridge.bridge_out[0]},      {"bridge_in", bridge.bridge_in[0]},
    };
    const std::pair<const char*, int32_t*> numbers[] = {
        {"rules_engine", &rules_enable},     {"http_port", &http.http_port},
        {"mqtt_port", &tcp.mqtt_port},       {"mqtt_tls_port", &tcp.mqtt_tls_port},
        {"mqtt_ws_port", &tcp.mqtt_ws_port}, {"mqtt_ws_tls_port", &tcp.mqtt_ws_tls_port},
        {"mqttsn_port", &udp.mqttsn_port},   {"mysql_enable", &mysql_enable},
        {"mysql_port", &mysql.mysql_port},   {"max_topics", &broker.max_topics},
        {"mqttsn_max_sessions", &broker.mqttsn_max_sessions},
        {"mqttsn_publish_enable", &broker.mqttsn_publish_enable},
        {"max_connections", &tcp.max_connections},
        {"http_max_connections", &http.http_max_connections},
        {"http_tls_port", &http.http_tls_port},
        {"tls_require_certificate", &tls.tls_require_certificate},
        {"mqtt_output_soft_limit", &tcp.mqtt_output_soft_limit},
        {"mqtt_output_hard_limit", &tcp.mqtt_output_hard_limit},
        {"mqtt_output_total_limit", &tcp.mqtt_output_total_limit},
        {"mqtt_output_stall_timeout", &tcp.mqtt_output_stall_timeout},
        {"mqtt_max_packet_size", &tcp.mqtt_max_packet_size},
        {"mqtt_standard", &broker.mqtt_standard},
        {"mqtt_max_queued_messages", &broker.mqtt_max_queued_messages},
        {"bridge_port", &bridge.bridge_port}, {"bridge_qos", &bridge.bridge_qos},
        {"bridge_keepalive", &bridge.bridge_keepalive}, {"bridge_queue_max", &bridge.bridge_queue_max},
    };
    for (auto [key, field] : texts)
        lines({(std::string(key) + " = " + key + "\n").c_str()});
    for (size_t i = 0; i < std::size(numbers); ++i)
        lines({(std::string(numbers[i].first) + " = " + std::to_string(i + 2) + "\n").c_str()});
    for (auto [key, field] : texts)
        EXPECT_STREQ(field, key);
    for (size_t i = 0; i < std::size(numbers); ++i)
        EXPECT_EQ(*numbers[i].second, static_cast<int32_t>(i + 2)) << numbers[i].first;
}

// A value ends at a blank and keeps 64 characters, a password 160 (a
// crypt(3) hash is longer than other values), a file path 255; the last
// occurrence wins.
TEST_F(ConfTest, StringValuesPasswordsAndLastOccurrence)
{
    lines({"http_files_path = /var/www # web root\n", "mqtt_iface = eth0\t# x\n"});
    EXPECT_STREQ(http.http_files_path, "/var/www");
    EXPECT_STREQ(tcp.mqtt_iface, "eth0\t#");
    const std::string hash = "$6$rounds=5000$" + std::string(16, 's') + "$" + std::string(86, 'h');
    const std::string too_long(170, 'p');
    lines({(std::string(33, 'k') + " = 1\n").c_str(), ("http_iface = " + too_long + "\n").c_str(), "mqtt_port = 6\n",
           "mqtt_port = 7\n", "mqtt_auth_enable = 1\n", "user_name = a\n", ("user_password = " + hash + "\n").c_str(),
           "user_publish_enable = 1\n", ("user_password = " + too_long + "\n").c_str(), "user_publish_enable = 0\n",
           ("tls_key_file = " + too_long + "\n").c_str()});
    EXPECT_EQ(std::string(http.http_iface), too_long.substr(0, 64));
    EXPECT_EQ(std::string(tls.tls_key_file), too_long);
    EXPECT_EQ(tcp.mqtt_port, 7);
    EXPECT_EQ(users(), "a:" + hash + ":1 a:" + too_long.substr(0, 160) + ":0 ");
}

// User lines before "mqtt_auth_enable = 1" are ignored; an entry then
// inherits the name and password of the one before, and the publish flag
// keeps its low 8 bits.
TEST_F(ConfTest, UserEntriesInheritNameAndPassword)
{
    lines({"user_name = early\n", "user_password = pw\n", "user_publish_enable = 1\n", "mqtt_auth_enable = 1\n",
           "user_publish_enable = 257\n", "user_name = alice\n", "user_password = secret\n",
           "user_publish_enable = 1\n", "user_name = bob\n", "user_publish_enable = 0\n"});
    EXPECT_EQ(users(), "::1 alice:secret:1 bob:secret:0 ");
}

// Whole files, named by HALYX_CONF, through the reader. 255 characters
// fill one read; the rest of the line is a line too (mysql_enable 2 leaves
// the database off). The log level defaults to 7 (everything) and takes
// only 0-7; the bounds have defaults and take only values from 1.
TEST(ConfPacketSize, DefaultFollowsTheStandardModeAndTheBoundCaps)
{
    const struct {
        int32_t standard, size, resolved;
    } cases[] = {
        {0, 0, CONF_MAX_PACKET_SIZE_DEFAULT},
        {1, 0, CONF_MAX_PACKET_SIZE_STANDARD_DEFAULT},
        {1, -5, CONF_MAX_PACKET_SIZE_STANDARD_DEFAULT},
        {0, 500, 500},
        {1, INT32_MAX, CONF_MAX_PACKET_SIZE_LIMIT},
    };
    for (const auto& c : cases) {
        tcp_conf tcp{};
        broker_conf broker{};
        tcp.mqtt_max_packet_size = c.size;
        broker.mqtt_standard = c.standard;
        conf_packet_size_resolve(&tcp, &broker);
        EXPECT_EQ(tcp.mqtt_max_packet_size, c.resolved) << c.standard << " " << c.size;
    }
}

TEST_F(ConfTest, FilesWithLongLinesAndLogLevels)
{
    char path[] = "/tmp/halyx-conf-XXXXXX";
    close(mkstemp(path));
    setenv("HALYX_CONF", path, 1);
    const std::tuple<std::string, int32_t, int32_t> files[] = {
        {"http_files_path = " + std::string(237, 'x') + "mysql_enable=2\n", 7, CONF_MAX_TOPICS_DEFAULT},
        {"log_level = 6\nlog_level = 8\nlog_level = -1\nmax_topics = 50\nmax_topics = 0\n", 6, 50}};
    for (const auto& [text, log_level, max_topics] : files) {
        std::ofstream(path) << text;
        conf_records records{};
        EXPECT_EQ(parse_conf_file(&records), 0);
        EXPECT_EQ(std::make_tuple(records.log_level, records.broker->max_topics, records.broker->mqttsn_max_sessions,
                                  records.broker->mqttsn_publish_enable),
                  std::make_tuple(log_level, max_topics, CONF_MQTTSN_MAX_SESSIONS_DEFAULT, 1));
        delete records.http, delete records.tcp, delete records.udp, delete records.mysql;
        delete records.broker, delete records.tls, delete records.store, delete records.bridge;
        list_mqtt_user_remove_all(&records.users);
    }
    EXPECT_EQ(mysql_enable, 2);
    unlink(path);
    unsetenv("HALYX_CONF");
}

} // namespace
