// The storage thread against a real MariaDB server that each test process
// starts in a directory of its own (tests/mariadb-throwaway): records become
// rows exactly once, whatever the server refuses, even across its restart.
#include <gtest/gtest.h>
#include <mysql.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "channels/mqtt_mysql.h"
#include "logging.h"
#include "mysql/mysql.h"

namespace {

const std::string script =
    (std::filesystem::path(__FILE__).parent_path() / "../../mariadb-throwaway").lexically_normal().string();
constexpr int32_t TIME = 1700000000;

std::string dir;
unsigned port = 0;

std::string run(const std::string& args)
{
    std::string out;
    if (FILE* pipe = popen((script + " " + args).c_str(), "r")) {
        char buf[256];
        while (size_t n = fread(buf, 1, sizeof buf, pipe))
            out.append(buf, n);
        if (pclose(pipe) != 0)
            out = "failed: " + out;
    }
    return out;
}

// The rows of a query, fields separated by "|", one line each.
std::string rows(const std::string& query)
{
    MYSQL* c = mysql_init(nullptr);
    mysql_options(c, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    std::string out;
    if (mysql_real_connect(c, "127.0.0.1", "halyx", "halyx-pw", "halyx", port, nullptr, 0) &&
        mysql_query(c, query.c_str()) == 0) {
        if (MYSQL_RES* result = mysql_store_result(c)) {
            while (MYSQL_ROW row = mysql_fetch_row(result)) {
                for (unsigned i = 0; i < mysql_num_fields(result); ++i)
                    out += (i ? "|" : "") + std::string(row[i] ? row[i] : "NULL");
                out += "\n";
            }
            mysql_free_result(result);
        }
    }
    mysql_close(c);
    return out;
}

// Generous bound: the server may be slow on a loaded machine.
std::string rows_when(const std::string& query, const std::string& expected)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string got;
    while ((got = rows(query)) != expected && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return got;
}

std::string file_text(const std::string& name)
{
    std::ifstream file(dir + "/" + name);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

int post(uint32_t kind, void* payload)
{
    mqtt_mysql_msg* record = msg_mqtt_mysql_new();
    record->kind = kind;
    record->payload = payload;
    return msg_mqtt_mysql_add(record);
}

int post_long(uint32_t id, int32_t value)
{
    return post(MYSQL_DATA_LONG, new mysql_data{id, 1, TIME, {.integer = value}});
}

struct MysqlTest : ::testing::Test {
    static void SetUpTestSuite()
    {
        char dir_template[] = "/tmp/halyx-db-XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir = dir_template;
        std::string started = run("start " + dir);
        port = static_cast<unsigned>(std::atoi(started.c_str()));
        ASSERT_NE(port, 0u) << started;
    }
    static void TearDownTestSuite()
    {
        run("stop " + dir);
        std::filesystem::remove_all(dir);
    }
    void SetUp() override
    {
        ASSERT_NE(port, 0u) << "no database server";
        log_set_file((dir + "/halyx.log").c_str());
        msg_mqtt_mysql_init();
        auto* conf = new mysql_conf{"127.0.0.1", "halyx", "halyx-pw", "halyx", static_cast<int32_t>(port)};
        thread_mysql_setup(conf);
        ASSERT_EQ(thread_mysql_start(), 0);
    }
    void TearDown() override
    {
        thread_mysql_stop();
        msg_mqtt_mysql_destroy();
        log_set_file(nullptr);
    }
};

TEST_F(MysqlTest, EachKindBecomesItsRowAndRefusedRecordsDoNotStopTheThread)
{
    const char* tricky = "it's \\'; DROP TABLE `devices`; -- \"x\" \\";
    post_long(1, -5);
    post(MYSQL_DATA_FLOAT, new mysql_data{2, 3, TIME, {.real = 21.5f}});
    post(MYSQL_DATA_UTF8STR, new mysql_data{4, 5, TIME, {.text = msg_mqtt_mysql_text(tricky)}});
    post(MYSQL_DEVICE_IP, new mysql_device_ip{7, msg_mqtt_mysql_text("10.0.0.7")});
    post(MYSQL_SENSOR_UNIT, new mysql_param_text{7, 1, msg_mqtt_mysql_text("°C")});
    post(MYSQL_ACTUATOR_UNIT, new mysql_param_text{7, 2, msg_mqtt_mysql_text("%")});
    post(MYSQL_SENSOR_TYPE, new mysql_param_text{7, 1, msg_mqtt_mysql_text("float")});
    post(MYSQL_ACTUATOR_TYPE, new mysql_param_text{7, 2, msg_mqtt_mysql_text("long")});
    post(MYSQL_DEVICE_TIMEOUT, new mysql_device_timeout{7, 300});
    post(9, nullptr);
    // Longer than the column: the server refuses it.
    post(MYSQL_DEVICE_IP, new mysql_device_ip{8, msg_mqtt_mysql_text(std::string(60, '1').c_str())});
    // Longer than any statement: refused before it is sent.
    post(MYSQL_DATA_UTF8STR, new mysql_data{4, 6, TIME, {.text = msg_mqtt_mysql_text(std::string(600, 'x').c_str())}});
    post_long(99, 1);

    EXPECT_EQ(rows_when("SELECT `value` FROM `data_long` WHERE `id` = 99", "1\n"), "1\n");
    EXPECT_EQ(rows("SELECT `id`, `param`, UNIX_TIMESTAMP(`time`), `value` FROM `data_long` WHERE `id` < 1000"),
              "1|1|1700000000|-5\n99|1|1700000000|1\n");
    EXPECT_EQ(rows("SELECT `id`, `param`, `value` FROM `data_float`"), "2|3|21.5\n");
    EXPECT_EQ(rows("SELECT `id`, `param`, `value` FROM `data_utf8str`"), std::string("4|5|") + tricky + "\n");
    EXPECT_EQ(rows("SELECT * FROM `devices`"), "7|10.0.0.7|300\n");
    EXPECT_EQ(rows("SELECT * FROM `parameters` ORDER BY `param`"), "7|1|sensor|°C|float\n7|2|actuator|%|long\n");
    // The server logs each statement without its final semicolon.
    std::string statements = file_text("queries.log");
    for (const char* statement :
         {"INSERT INTO `data_float` ( `id` , `param` , `time` , `value` ) VALUES ( '2' , '3' , "
          "FROM_UNIXTIME( '1700000000' ) , '21.500000' )",
          "UPDATE `devices` SET `timeout`='300' WHERE `id`='7'"})
        EXPECT_NE(statements.find(statement), std::string::npos) << statement;
    const std::string text = file_text("halyx.log");
    EXPECT_NE(text.find("MySQL Error on line 176: Data too long for column 'ip' at row 1"), std::string::npos) << text;
    EXPECT_NE(text.find("MySQL: statement for kind 2 too long, record dropped"), std::string::npos) << text;
}

TEST_F(MysqlTest, ServerRestartInTheMiddleOfAStreamLosesAndRepeatsNoRecord)
{
    for (int32_t i = 0; i < 100; ++i)
        post_long(1000, i);
    std::thread restart([] { EXPECT_EQ(run("restart " + dir), ""); });
    for (int32_t i = 100; i < 300; ++i) {
        post_long(1000, i);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    restart.join();
    for (int32_t i = 300; i < 400; ++i)
        post_long(1000, i);

    const std::string query = "SELECT COUNT(*), COUNT(DISTINCT `value`), MIN(`value`), MAX(`value`) FROM `data_long` "
                              "WHERE `id` = 1000";
    EXPECT_EQ(rows_when(query, "400|400|0|399\n"), "400|400|0|399\n");
    const std::string text = file_text("halyx.log");
    EXPECT_NE(text.find("MySQL: connection to 127.0.0.1 lost"), std::string::npos) << text;
    EXPECT_NE(text.find("MySQL: connection to 127.0.0.1 is back"), std::string::npos) << text;
}

// While the database is away records wait, up to a bound; then the
// channel drops new ones until half of them are done with.
TEST(MqttMysqlChannel, BeyondItsBoundNewRecordsAreDropped)
{
    msg_mqtt_mysql_init();
    for (uint32_t i = 0; i < MQTT_MYSQL_MAX; ++i)
        ASSERT_EQ(post_long(1, 0), 0);
    EXPECT_EQ(post_long(1, 0), -1);
    msg_mqtt_mysql_remove(msg_mqtt_mysql_get_first());
    EXPECT_EQ(post_long(1, 0), -1);
    while (msg_mqtt_mysql_length() >= MQTT_MYSQL_RESUME)
        msg_mqtt_mysql_remove(msg_mqtt_mysql_get_first());
    EXPECT_EQ(post_long(1, 0), 0);
    while (mqtt_mysql_msg* record = msg_mqtt_mysql_get_first())
        msg_mqtt_mysql_remove(record);
    msg_mqtt_mysql_destroy();
}

} // namespace
