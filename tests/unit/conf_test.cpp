#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "broker/broker.h"
#include "conf.h"

namespace {

struct ConfTest : ::testing::Test {
    http_conf http{};
    tcp_conf tcp{};
    udp_conf udp{};
    mysql_conf mysql{};
    conf_parser parser{};

    void SetUp() override
    {
        parser.http = &http;
        parser.tcp = &tcp;
        parser.udp = &udp;
        parser.mysql = &mysql;
        mysql_enable = 0;
        rules_enable = 0;
    }
    void TearDown() override { list_mqtt_user_remove_all(&mqtt_users); }

    void lines(std::initializer_list<const char*> text)
    {
        for (const char* line : text)
            conf_parse_line(&parser, line);
    }
};

std::string user_text(const uint8_t* bytes, uint16_t len)
{
    return std::string(reinterpret_cast<const char*>(bytes), len);
}

// One line applied to fresh records; `port` is mqtt_port afterwards (it
// starts at 1 so that "left unchanged" is visible).
TEST_F(ConfTest, LineSyntax)
{
    struct {
        const char* line;
        int32_t port;
    } cases[] = {
        {"mqtt_port=1883\n", 1883},
        {"   mqtt_port   =    1883\n", 1883},
        {"\tmqtt_port = 1883\r\n", 1883},
        {"mqtt_port = 0x10\n", 1},         // not a whole base-10 number
        {"mqtt_port = 1883abc\n", 1},
        {"mqtt_port = 99999999999\n", 1},  // out of range
        {"mqtt_port = +42\n", 42},
        {"mqtt_port = -7\n", -7},
        {"# mqtt_port = 2\n", 1},
        {"   # mqtt_port = 2\n", 1},
        {"\n", 1},
        {"= mqtt_port\n", 1},
        {"mqtt_port\t= 1883\n", 1},       // a tab belongs to the key
        {"mqtt_port = 1883\t\n", 1},      // ... and to the value
        {"MQTT_PORT = 5\n", 1},            // keys are case-sensitive
        {"mqtt_port = 7 # seven\n", 7},    // the value ends at a blank
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        tcp = tcp_conf{};
        tcp.mqtt_port = 1;
        lines({c.line});
        EXPECT_EQ(tcp.mqtt_port, c.port);
    }
}

TEST_F(ConfTest, StringValues)
{
    lines({"http_files_path = /var/www # web root\n", "mqtt_iface = eth0\t# x\n"});
    EXPECT_STREQ(http.http_files_path, "/var/www");
    EXPECT_STREQ(tcp.mqtt_iface, "eth0\t#");
    std::string long_key = std::string(33, 'k') + " = 1\n";
    std::string long_value = "http_iface = " + std::string(70, 'v') + "\n";
    lines({long_key.c_str(), long_value.c_str()});
    EXPECT_EQ(std::string(http.http_iface), std::string(64, 'v'));
}

TEST_F(ConfTest, LastOccurrenceWins)
{
    lines({"mqtt_port = 6\n", "mqtt_port = 7\n"});
    EXPECT_EQ(tcp.mqtt_port, 7);
}

TEST_F(ConfTest, UserLinesCountOnlyAfterAuthIsEnabled)
{
    lines({"user_name = early\n", "user_password = pw\n", "user_publish_enable = 1\n"});
    EXPECT_EQ(mqtt_users.head, nullptr);
}

TEST_F(ConfTest, UserEntriesInheritNameAndPassword)
{
    lines({"mqtt_auth_enable = 1\n", "user_name = alice\n", "user_password = secret\n",
           "user_publish_enable = 1\n", "user_name = bob\n", "user_publish_enable = 0\n"});
    mqtt_user* first = mqtt_users.head;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(user_text(first->user_name, first->user_name_length), "alice");
    EXPECT_EQ(user_text(first->password, first->password_length), "secret");
    EXPECT_EQ(first->publish_enable, 1);
    mqtt_user* second = first->next;
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(user_text(second->user_name, second->user_name_length), "bob");
    EXPECT_EQ(user_text(second->password, second->password_length), "secret");
    EXPECT_EQ(second->publish_enable, 0);
    EXPECT_EQ(second->next, nullptr);
}

TEST_F(ConfTest, PublishFlagIsCutToEightBits)
{
    lines({"mqtt_auth_enable = 1\n", "user_name = a\n", "user_password = b\n", "user_publish_enable = 257\n"});
    ASSERT_NE(mqtt_users.head, nullptr);
    EXPECT_EQ(mqtt_users.head->publish_enable, 1);
}

TEST_F(ConfTest, UserBeforeAnyNameIsAddedWithEmptyTexts)
{
    lines({"mqtt_auth_enable = 1\n", "user_publish_enable = 1\n"});
    ASSERT_NE(mqtt_users.head, nullptr);
    EXPECT_EQ(mqtt_users.head->user_name_length, 0);
    EXPECT_EQ(mqtt_users.head->password_length, 0);
}

struct ConfFileTest : ::testing::Test {
    std::string path;
    void SetUp() override
    {
        char name[] = "/tmp/halyx-conf-XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path = name;
        setenv("HALYX_CONF", path.c_str(), 1);
        mysql_enable = 0;
    }
    void TearDown() override
    {
        unlink(path.c_str());
        unsetenv("HALYX_CONF");
        list_mqtt_user_remove_all(&mqtt_users);
    }
    void write(const std::string& text)
    {
        FILE* f = std::fopen(path.c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
};

TEST_F(ConfFileTest, MissingFileFails)
{
    setenv("HALYX_CONF", "/nonexistent/halyx.conf", 1);
    EXPECT_EQ(parse_conf_file(), -1);
}

TEST_F(ConfFileTest, LongLineRemainderIsReadAsALineOfItsOwn)
{
    // 105 characters fill one read; the rest of the line is a line too.
    std::string head = "http_files_path = " + std::string(87, 'x');
    ASSERT_EQ(head.size(), 105u);
    write(head + "mysql_enable=3\n");
    EXPECT_EQ(parse_conf_file(), 0);
    EXPECT_EQ(mysql_enable, 3);
}

TEST_F(ConfFileTest, MysqlEnableTwoDisablesTheDatabase)
{
    write("mysql_enable = 2\nmysql_server = db\n");
    EXPECT_EQ(parse_conf_file(), 0);
    EXPECT_EQ(mysql_enable, 2);
}

} // namespace
