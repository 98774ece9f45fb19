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

TEST_F(ConfTest, BlanksAroundKeyAndEqualsAreOptional)
{
    lines({"mqtt_port=1883\n", "   mqtt_ws_port   =    8080\n", "\tmqttsn_port = 1884\r\n"});
    EXPECT_EQ(tcp.mqtt_port, 1883);
    EXPECT_EQ(tcp.mqtt_ws_port, 8080);
    EXPECT_EQ(udp.mqttsn_port, 1884);
}

TEST_F(ConfTest, TrailingCommentAfterBlankIsIgnored)
{
    lines({"http_files_path = /var/www # web root\n"});
    EXPECT_STREQ(http.http_files_path, "/var/www");
}

TEST_F(ConfTest, NumbersMustBeWholeBaseTenValues)
{
    tcp.mqtt_port = 1;
    lines({"mqtt_port = 0x10\n"});
    EXPECT_EQ(tcp.mqtt_port, 1);
    lines({"mqtt_port = 1883abc\n"});
    EXPECT_EQ(tcp.mqtt_port, 1);
    lines({"mqtt_port = 99999999999\n"});
    EXPECT_EQ(tcp.mqtt_port, 1);
    lines({"mqtt_port = +42\n"});
    EXPECT_EQ(tcp.mqtt_port, 42);
    lines({"mqtt_port = -7\n"});
    EXPECT_EQ(tcp.mqtt_port, -7);
}

TEST_F(ConfTest, CommentsEmptyLinesAndLeadingEqualsAreSkipped)
{
    lines({"# mqtt_port = 1\n", "   # mqtt_port = 2\n", "\n", "   \n", "= mqtt_port\n", "=5\n"});
    EXPECT_EQ(tcp.mqtt_port, 0);
}

TEST_F(ConfTest, TabsBelongToKeysAndValues)
{
    lines({"mqtt_port\t= 1883\n"});
    EXPECT_EQ(tcp.mqtt_port, 0);
    lines({"mqtt_ws_port = 8080\t\n"});
    EXPECT_EQ(tcp.mqtt_ws_port, 0);
    lines({"mqtt_iface = eth0\t# x\n"});
    EXPECT_STREQ(tcp.mqtt_iface, "eth0\t#");
}

TEST_F(ConfTest, LongKeysAreIgnoredAndLongValuesCut)
{
    std::string long_key = std::string(33, 'k') + " = 1\n";
    lines({long_key.c_str()});
    std::string value(70, 'v');
    std::string line = "http_iface = " + value + "\n";
    lines({line.c_str()});
    EXPECT_EQ(std::string(http.http_iface), std::string(64, 'v'));
}

TEST_F(ConfTest, KeysAreCaseSensitiveAndLastOccurrenceWins)
{
    lines({"MQTT_PORT = 5\n", "mqtt_port = 6\n", "mqtt_port = 7\n"});
    EXPECT_EQ(tcp.mqtt_port, 7);
}

TEST_F(ConfTest, EveryKeyReachesItsField)
{
    lines({"rules_engine = 1\n", "http_iface = wlan0\n", "http_port = 80\n", "http_files_path = /www\n",
           "mqtt_iface = eth0\n", "mqtt_port = 1\n", "mqtt_tls_port = 2\n", "mqtt_ws_port = 3\n",
           "mqtt_ws_tls_port = 4\n", "mqttsn_iface = lo\n", "mqttsn_port = 5\n", "mysql_enable = 2\n",
           "mysql_server = db\n", "mysql_user = u\n", "mysql_password = p\n", "mysql_database = d\n",
           "mysql_port = 3306\n"});
    EXPECT_EQ(rules_enable, 1);
    EXPECT_STREQ(http.http_iface, "wlan0");
    EXPECT_EQ(http.http_port, 80);
    EXPECT_STREQ(http.http_files_path, "/www");
    EXPECT_STREQ(tcp.mqtt_iface, "eth0");
    EXPECT_EQ(tcp.mqtt_port, 1);
    EXPECT_EQ(tcp.mqtt_tls_port, 2);
    EXPECT_EQ(tcp.mqtt_ws_port, 3);
    EXPECT_EQ(tcp.mqtt_ws_tls_port, 4);
    EXPECT_STREQ(udp.mqttsn_iface, "lo");
    EXPECT_EQ(udp.mqttsn_port, 5);
    EXPECT_EQ(mysql_enable, 2);
    EXPECT_STREQ(mysql.mysql_server, "db");
    EXPECT_STREQ(mysql.mysql_user, "u");
    EXPECT_STREQ(mysql.mysql_password, "p");
    EXPECT_STREQ(mysql.mysql_database, "d");
    EXPECT_EQ(mysql.mysql_port, 3306);
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
