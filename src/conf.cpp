#include "conf.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logging.h"
#include "paths.h"

int32_t mysql_enable = 0;
int32_t rules_enable = 0;

namespace {

// Lines are read through a buffer of this size; a longer line is split and
// its remainder read as a line of its own.
constexpr int CONF_LINE_SIZE = 106;

void copy_value(char (&dest)[65], const char* value)
{
    std::snprintf(dest, sizeof dest, "%s", value);
}

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool user_key(const char* key)
{
    return !std::strcmp(key, "user_name") || !std::strcmp(key, "user_password") ||
           !std::strcmp(key, "user_publish_enable");
}

// A bound keeps its default unless the value is a number of at least 1.
void parse_conf_bound(int32_t* dest, const char* value)
{
    int32_t bound = 0;
    parse_conf_long(&bound, value);
    if (bound >= 1)
        *dest = bound;
}

} // namespace

void parse_conf_long(int32_t* dest, const char* value)
{
    if (!value || !*value)
        return;
    errno = 0;
    char* end = nullptr;
    long long number = std::strtoll(value, &end, 10);
    if (errno == ERANGE || *end != '\0' || end == value)
        return;
    if (number < INT32_MIN || number > INT32_MAX)
        return;
    *dest = static_cast<int32_t>(number);
}

void conf_parse_line(conf_parser* p, const char* line)
{
    const char* s = line;
    while (blank(*s))
        ++s;
    if (*s == '#' || *s == '\0' || *s == '=')
        return;

    char key[33] = {0};
    char value[65] = {0};
    int used = 0;
    if (std::sscanf(s, " %32[^ =] = %64[^ \n\r]%n", key, value, &used) != 2) {
        log_write(LOG_WARNING, "%s line %d: not a \"key = value\" line; ignored\n", conf_file_path(), p->line);
        return;
    }
    // The value ends at the first blank and after 64 characters: a password
    // with a space in it, or a trailing comment, would otherwise go unnoticed.
    const char* rest = s + used;
    while (blank(*rest))
        ++rest;
    if (*rest)
        log_write(LOG_WARNING, "%s line %d: the value of %s is cut at \"%s\"; the rest of the line is ignored\n",
                  conf_file_path(), p->line, key, value);

    if (!std::strcmp(key, "rules_engine")) {
        parse_conf_long(&rules_enable, value);
    } else if (!std::strcmp(key, "http_iface")) {
        copy_value(p->out.http->http_iface, value);
    } else if (!std::strcmp(key, "http_port")) {
        parse_conf_long(&p->out.http->http_port, value);
    } else if (!std::strcmp(key, "http_files_path")) {
        copy_value(p->out.http->http_files_path, value);
    } else if (!std::strcmp(key, "http_max_connections")) {
        parse_conf_long(&p->out.http->http_max_connections, value);
    } else if (!std::strcmp(key, "mqtt_iface")) {
        copy_value(p->out.tcp->mqtt_iface, value);
    } else if (!std::strcmp(key, "mqtt_port")) {
        parse_conf_long(&p->out.tcp->mqtt_port, value);
    } else if (!std::strcmp(key, "mqtt_tls_port")) {
        parse_conf_long(&p->out.tcp->mqtt_tls_port, value);
    } else if (!std::strcmp(key, "mqtt_ws_port")) {
        parse_conf_long(&p->out.tcp->mqtt_ws_port, value);
    } else if (!std::strcmp(key, "mqtt_ws_tls_port")) {
        parse_conf_long(&p->out.tcp->mqtt_ws_tls_port, value);
    } else if (!std::strcmp(key, "max_connections")) {
        parse_conf_long(&p->out.tcp->max_connections, value);
    } else if (!std::strcmp(key, "mqtt_output_soft_limit")) {
        parse_conf_long(&p->out.tcp->mqtt_output_soft_limit, value);
    } else if (!std::strcmp(key, "mqtt_output_hard_limit")) {
        parse_conf_long(&p->out.tcp->mqtt_output_hard_limit, value);
    } else if (!std::strcmp(key, "mqtt_output_total_limit")) {
        parse_conf_long(&p->out.tcp->mqtt_output_total_limit, value);
    } else if (!std::strcmp(key, "mqtt_output_stall_timeout")) {
        parse_conf_long(&p->out.tcp->mqtt_output_stall_timeout, value);
    } else if (!std::strcmp(key, "mqttsn_iface")) {
        copy_value(p->out.udp->mqttsn_iface, value);
    } else if (!std::strcmp(key, "mqttsn_port")) {
        parse_conf_long(&p->out.udp->mqttsn_port, value);
    } else if (!std::strcmp(key, "mysql_enable")) {
        parse_conf_long(&mysql_enable, value);
    } else if (!std::strcmp(key, "mysql_server")) {
        copy_value(p->out.mysql->mysql_server, value);
    } else if (!std::strcmp(key, "mysql_user")) {
        copy_value(p->out.mysql->mysql_user, value);
    } else if (!std::strcmp(key, "mysql_password")) {
        copy_value(p->out.mysql->mysql_password, value);
    } else if (!std::strcmp(key, "mysql_database")) {
        copy_value(p->out.mysql->mysql_database, value);
    } else if (!std::strcmp(key, "mysql_port")) {
        parse_conf_long(&p->out.mysql->mysql_port, value);
    } else if (!std::strcmp(key, "max_topics")) {
        parse_conf_bound(&p->out.broker->max_topics, value);
    } else if (!std::strcmp(key, "mqttsn_max_sessions")) {
        parse_conf_bound(&p->out.broker->mqttsn_max_sessions, value);
    } else if (!std::strcmp(key, "log_level")) {
        int32_t level = -1;
        parse_conf_long(&level, value);
        if (level >= 0 && level <= 7)
            p->out.log_level = level;
    } else if (!std::strcmp(key, "bind_address")) {
        copy_value(p->out.bind_address, value);
    } else if (!std::strcmp(key, "mqtt_auth_enable")) {
        parse_conf_long(&p->mqtt_auth_enable, value);
    } else if (!user_key(key)) {
        log_write(LOG_WARNING, "%s line %d: unknown key %s is ignored\n", conf_file_path(), p->line, key);
    } else if (p->mqtt_auth_enable != 1) {
        // User lines count only after "mqtt_auth_enable = 1".
    } else if (!std::strcmp(key, "user_name")) {
        copy_value(p->user_name, value);
    } else if (!std::strcmp(key, "user_password")) {
        copy_value(p->user_password, value);
    } else if (!std::strcmp(key, "user_publish_enable")) {
        parse_conf_long(&p->publish_enable, value);
        // The name and password carry over to the next entry. An entry
        // made before any name or password is added with empty texts: it
        // can never match a login, and authentication stays in force.
        list_mqtt_user_add_new(&p->out.users, p->user_name, p->user_password,
                               static_cast<uint8_t>(p->publish_enable & 0xff));
    }
}

int parse_conf_file(conf_records* records)
{
    const char* path = conf_file_path();
    FILE* file = std::fopen(path, "re");
    if (!file) {
        int err = errno;
        log_write(LOG_DEBUG, "can't open %s file: %s\n", path, std::strerror(err));
        errno = err;
        return -1;
    }

    conf_parser parser{};
    parser.out.http = new http_conf{};
    parser.out.tcp = new tcp_conf{};
    parser.out.udp = new udp_conf{};
    parser.out.mysql = new mysql_conf{};
    parser.out.broker = new broker_conf{CONF_MAX_TOPICS_DEFAULT, CONF_MQTTSN_MAX_SESSIONS_DEFAULT};
    parser.out.log_level = CONF_LOG_LEVEL_DEFAULT;

    char line[CONF_LINE_SIZE];
    // The remainder of a split line keeps its line's number.
    bool line_start = true;
    while (std::fgets(line, sizeof line, file)) {
        if (line_start)
            ++parser.line;
        line_start = std::strchr(line, '\n') != nullptr;
        conf_parse_line(&parser, line);
    }
    std::fclose(file);
    *records = parser.out;
    return 0;
}
