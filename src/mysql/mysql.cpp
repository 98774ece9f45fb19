#include "mysql/mysql.h"

#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "channels/mqtt_mysql.h"
#include "logging.h"
#include "thread_module.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr size_t QUERYBUF_SIZE = 512;
// Records handled per pass at most, so that a stop request is seen soon
// even when many records wait.
constexpr uint32_t RECORD_BATCH = 64;
// While the server is away it is asked again no more often than this.
constexpr auto RECONNECT_INTERVAL = std::chrono::milliseconds(1000);
// Seconds a connect, or one read or write of a statement, may take: an
// unreachable or hung server must not hold the thread (and so the
// daemon's stop) for the system's minutes-long TCP time-outs.
constexpr unsigned CONNECT_TIMEOUT_S = 5;
constexpr unsigned IO_TIMEOUT_S = 30;

// Each kind's statement, byte for byte as documented, and the number
// logged when it fails.
struct statement {
    const char* format;
    int line;
};
constexpr statement STATEMENTS[] = {
    {"INSERT INTO `data_long` ( `id` , `param` , `time` , `value` ) "
     "VALUES ( '%lu' , '%lu' , FROM_UNIXTIME( '%llu' ) , '%ld' );",
     108},
    {"INSERT INTO `data_float` ( `id` , `param` , `time` , `value` ) "
     "VALUES ( '%lu' , '%lu' , FROM_UNIXTIME( '%llu' ) , '%f' );",
     117},
    {"INSERT INTO `data_utf8str` ( `id` , `param` , `time` , `value` ) "
     "VALUES ( '%lu' , '%lu' , FROM_UNIXTIME( '%llu' ) , '%s' );",
     126},
    {"INSERT INTO `devices` ( `id`, `ip` ) VALUES ( '%lu', '%s' ) ON DUPLICATE KEY UPDATE ip='%s';", 176},
    {"INSERT INTO `parameters` ( `id`, `param`, `param_type`, `unit` ) "
     "VALUES ( '%lu', '%lu', 'sensor', '%s' ) ON DUPLICATE KEY UPDATE unit='%s';",
     136},
    {"INSERT INTO `parameters` ( `id`, `param`, `param_type`, `unit` ) "
     "VALUES ( '%lu', '%lu', 'actuator', '%s' ) ON DUPLICATE KEY UPDATE unit='%s';",
     146},
    {"INSERT INTO `parameters` ( `id`, `param`, `param_type`, `data_type` ) "
     "VALUES ( '%lu', '%lu', 'sensor', '%s' ) ON DUPLICATE KEY UPDATE data_type='%s';",
     156},
    {"INSERT INTO `parameters` ( `id`, `param`, `param_type`, `data_type` ) "
     "VALUES ( '%lu', '%lu', 'actuator', '%s' ) ON DUPLICATE KEY UPDATE data_type='%s';",
     166},
    {"UPDATE `devices` SET `timeout`='%lu' WHERE `id`='%lu';", 186},
};

MYSQL* mysql_conn = nullptr;
char querybuf[QUERYBUF_SIZE];
// One escaped text: each byte may become two.
char textbuf[2 * QUERYBUF_SIZE + 1];
mysql_conf* thread_options = nullptr;
bool thread_mysql_connect();
void thread_mysql_loop();
void thread_mysql_release();
// Its waker is signalled by the mqtt_mysql channel and by a stop request.
thread_module module{thread_mysql_connect, thread_mysql_loop, thread_mysql_release};
// False from a lost connection until the server answers again.
bool connected = false;
// The first record's data row may be stored already: its statement was
// sent, and the connection died before the reply came.
bool in_doubt = false;
bool reconnect_error_logged = false;
steady::time_point reconnect_last;

void options_free()
{
    delete thread_options;
    thread_options = nullptr;
}

void connection_close()
{
    if (mysql_conn)
        mysql_close(mysql_conn);
    mysql_conn = nullptr;
}

// Errors that mean the connection is gone, or going with a server that
// shuts down: the record is kept and tried again once it is back.
bool connection_lost(unsigned err)
{
    switch (err) {
    case CR_CONNECTION_ERROR:
    case CR_CONN_HOST_ERROR:
    case CR_SERVER_GONE_ERROR:
    case CR_SERVER_LOST:
    case CR_SERVER_LOST_EXTENDED:
    case CR_ERR_NET_READ:
    case CR_ERR_NET_WRITE:
    case ER_SERVER_SHUTDOWN:
    case ER_CONNECTION_KILLED:
        return true;
    default:
        return false;
    }
}

// Errors after which a statement may have run: it was sent, and the
// connection died before the reply. (On the others it never ran: it could
// not be sent, or the server refused it.)
bool reply_lost(unsigned err)
{
    return err == CR_SERVER_LOST || err == CR_SERVER_LOST_EXTENDED || err == CR_ERR_NET_READ;
}

// The text escaped for a single-quoted literal, in textbuf; null when it
// could not fit in any statement.
const char* text_escape(const char* text)
{
    if (!text)
        text = "";
    size_t length = strnlen(text, QUERYBUF_SIZE);
    if (length >= QUERYBUF_SIZE)
        return nullptr;
    unsigned long escaped = mysql_real_escape_string(mysql_conn, textbuf, text, length);
    return escaped == static_cast<unsigned long>(-1) ? nullptr : textbuf;
}

// The time sign-extended to 64 bits, as FROM_UNIXTIME is given it.
unsigned long long time_arg(int32_t time)
{
    return static_cast<unsigned long long>(static_cast<int64_t>(time));
}

// The record's statement in querybuf; false when it does not fit.
bool statement_build(const mqtt_mysql_msg* record)
{
    const auto* data = static_cast<const mysql_data*>(record->payload);
    const auto* param = static_cast<const mysql_param_text*>(record->payload);
    const auto* device_ip = static_cast<const mysql_device_ip*>(record->payload);
    const auto* device_timeout = static_cast<const mysql_device_timeout*>(record->payload);
    const char* format = STATEMENTS[record->kind].format;
    // The formats take unsigned long, which holds any 32-bit number.
    auto u = [](uint32_t value) { return static_cast<unsigned long>(value); };
    const char* text = nullptr;
    int n = -1;
    switch (record->kind) {
    case MYSQL_DATA_LONG:
        n = std::snprintf(querybuf, sizeof querybuf, format, u(data->id), u(data->param), time_arg(data->time),
                          static_cast<long>(data->value.integer));
        break;
    case MYSQL_DATA_FLOAT:
        n = std::snprintf(querybuf, sizeof querybuf, format, u(data->id), u(data->param), time_arg(data->time),
                          static_cast<double>(data->value.real));
        break;
    case MYSQL_DATA_UTF8STR:
        if ((text = text_escape(data->value.text)))
            n = std::snprintf(querybuf, sizeof querybuf, format, u(data->id), u(data->param), time_arg(data->time),
                              text);
        break;
    case MYSQL_DEVICE_IP:
        if ((text = text_escape(device_ip->ip)))
            n = std::snprintf(querybuf, sizeof querybuf, format, u(device_ip->id), text, text);
        break;
    case MYSQL_DEVICE_TIMEOUT:
        n = std::snprintf(querybuf, sizeof querybuf, format, u(device_timeout->timeout), u(device_timeout->id));
        break;
    default: // units and data types
        if ((text = text_escape(param->text)))
            n = std::snprintf(querybuf, sizeof querybuf, format, u(param->id), u(param->param), text, text);
        break;
    }
    return n >= 0 && static_cast<size_t>(n) < sizeof querybuf;
}

// Whether the row of a data record (kinds 0-2) is in its table: 1 yes, 0
// no or unknown (the statement is then run again), -1 when the connection
// is lost again. Upserts and updates need no such look: running them twice
// changes nothing.
int data_row_stored(const mqtt_mysql_msg* record)
{
    static const char* const table[] = {"data_long", "data_float", "data_utf8str"};
    const auto* data = static_cast<const mysql_data*>(record->payload);
    char number[64];
    const char* value = number;
    if (record->kind == MYSQL_DATA_LONG)
        std::snprintf(number, sizeof number, "%ld", static_cast<long>(data->value.integer));
    else if (record->kind == MYSQL_DATA_FLOAT)
        std::snprintf(number, sizeof number, "%f", static_cast<double>(data->value.real));
    else
        value = text_escape(data->value.text);
    // The value had fit in the statement, so it fits here with room to spare.
    char query[QUERYBUF_SIZE + 128];
    int n = std::snprintf(query, sizeof query,
                          "SELECT COUNT(*) FROM `%s` WHERE `id`='%lu' AND `param`='%lu' AND "
                          "`time`=FROM_UNIXTIME('%llu') AND `value`=BINARY '%s';",
                          table[record->kind], static_cast<unsigned long>(data->id),
                          static_cast<unsigned long>(data->param), time_arg(data->time), value ? value : "");
    if (!value || n < 0 || static_cast<size_t>(n) >= sizeof query)
        return 0;
    if (mysql_query(mysql_conn, query) != 0)
        return connection_lost(mysql_errno(mysql_conn)) ? -1 : 0;
    MYSQL_RES* result = mysql_store_result(mysql_conn);
    MYSQL_ROW row = result ? mysql_fetch_row(result) : nullptr;
    int stored = row && row[0] && std::strcmp(row[0], "0") != 0;
    mysql_free_result(result);
    return stored;
}

// The server answers again (the library reconnects inside mysql_ping);
// asked at most once per RECONNECT_INTERVAL.
bool connection_restore()
{
    steady::time_point now = steady::now();
    if (now - reconnect_last < RECONNECT_INTERVAL)
        return false;
    reconnect_last = now;
    if (mysql_ping(mysql_conn) != 0) {
        // Once per outage: the reason rarely changes from second to second.
        if (!reconnect_error_logged)
            log_write(LOG_DEBUG, "MySQL Error on line %d: %s\n", 280, mysql_error(mysql_conn));
        reconnect_error_logged = true;
        return false;
    }
    log_write(LOG_DEBUG, "MySQL: connection to %s is back, %u records waiting\n", thread_options->mysql_server,
              msg_mqtt_mysql_length());
    return true;
}

// Handles up to RECORD_BATCH records; whether records still wait that the
// thread can handle now.
bool records_handle()
{
    for (uint32_t i = 0; i < RECORD_BATCH; ++i) {
        mqtt_mysql_msg* record = msg_mqtt_mysql_get_first();
        if (!record)
            return false;
        if (mysql_packet_handle(record) < 0) {
            // The record stays first in the channel for the next attempt.
            connected = false;
            reconnect_error_logged = false;
            reconnect_last = steady::now();
            log_write(LOG_DEBUG, "MySQL: connection to %s lost, records wait until it is back\n",
                      thread_options->mysql_server);
            return false;
        }
        msg_mqtt_mysql_remove(record);
    }
    return true;
}

int wait_ms()
{
    if (connected)
        return THREAD_IDLE_WAIT_MS;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(reconnect_last + RECONNECT_INTERVAL - steady::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 1, THREAD_IDLE_WAIT_MS));
}

void thread_mysql_loop()
{
    while (!thread_module_stopping(&module)) {
        if (!connected)
            connected = connection_restore();
        if (!connected || !records_handle())
            msg_waker_wait(&module.waker, wait_ms());
    }
    // No producer runs any more at shut-down: what waits is stored while
    // the connection holds; the rest is given up, and said so.
    while (connected && records_handle()) {
    }
    uint32_t left = msg_mqtt_mysql_length();
    if (left)
        log_write(LOG_DEBUG, "MySQL: %u records not stored at shut-down\n", left);
    while (mqtt_mysql_msg* record = msg_mqtt_mysql_get_first())
        msg_mqtt_mysql_remove(record);
}

bool thread_mysql_connect()
{
    if (!thread_options)
        return false;
    // The library's first mysql_init ignores SIGPIPE for the whole process;
    // its sends do not need that (MSG_NOSIGNAL), and the daemon keeps the
    // dispositions it documents.
    struct sigaction sigpipe_action {};
    sigaction(SIGPIPE, nullptr, &sigpipe_action);
    mysql_conn = mysql_init(nullptr);
    sigaction(SIGPIPE, &sigpipe_action, nullptr);
    if (!mysql_conn) {
        log_write(LOG_DEBUG, "MySQL Error on line %d: %s\n", 260, "out of memory");
        return false;
    }
    my_bool reconnect = 1;
    if (mysql_options(mysql_conn, MYSQL_OPT_RECONNECT, &reconnect) != 0)
        log_write(LOG_DEBUG, "MySQL Error on line %d: %s\n", 240, mysql_error(mysql_conn));
    mysql_options(mysql_conn, MYSQL_SET_CHARSET_NAME, "utf8");
    mysql_options(mysql_conn, MYSQL_OPT_CONNECT_TIMEOUT, &CONNECT_TIMEOUT_S);
    mysql_options(mysql_conn, MYSQL_OPT_READ_TIMEOUT, &IO_TIMEOUT_S);
    mysql_options(mysql_conn, MYSQL_OPT_WRITE_TIMEOUT, &IO_TIMEOUT_S);
    const mysql_conf* c = thread_options;
    if (!mysql_real_connect(mysql_conn, c->mysql_server, c->mysql_user, c->mysql_password, c->mysql_database,
                            static_cast<uint16_t>(c->mysql_port), nullptr, 0)) {
        log_write(LOG_DEBUG, "MySQL Error on line %d: %s\n", 260, mysql_error(mysql_conn));
        return false;
    }
    log_write(LOG_DEBUG, "Connected to MySQL server at %s\r\n", c->mysql_server);
    connected = true;
    in_doubt = false;
    msg_mqtt_mysql_set_waker(&module.waker);
    return true;
}

// Also frees the configuration record: a start needs a new setup.
void thread_mysql_release()
{
    msg_mqtt_mysql_set_waker(nullptr);
    connection_close();
    options_free();
}

} // namespace

void thread_mysql_setup(mysql_conf* conf)
{
    delete thread_options;
    thread_options = conf;
}

int mysql_packet_handle(const mqtt_mysql_msg* record)
{
    if (!mysql_conn)
        return -1;
    if (record->kind > MYSQL_DEVICE_TIMEOUT || !record->payload)
        return 0;
    if (in_doubt) {
        int stored = data_row_stored(record);
        if (stored < 0)
            return -1;
        in_doubt = false;
        if (stored) {
            log_write(LOG_DEBUG, "MySQL: record of kind %" PRIu32 " was stored before the connection was lost\n",
                      record->kind);
            return 0;
        }
    }
    if (!statement_build(record)) {
        log_write(LOG_DEBUG, "MySQL: statement for kind %" PRIu32 " too long, record dropped\n", record->kind);
        return 0;
    }
    if (mysql_query(mysql_conn, querybuf) == 0)
        return 0;
    log_write(LOG_DEBUG, "MySQL Error on line %d: %s\n", STATEMENTS[record->kind].line, mysql_error(mysql_conn));
    unsigned err = mysql_errno(mysql_conn);
    if (!connection_lost(err))
        return 0;
    in_doubt = reply_lost(err) && record->kind <= MYSQL_DATA_UTF8STR;
    return -1;
}

int thread_mysql_start()
{
    return thread_module_start(&module);
}

void thread_mysql_stop()
{
    thread_module_stop(&module);
}
