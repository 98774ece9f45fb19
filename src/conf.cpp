#include "conf.h"

#include <algorithm>
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
constexpr int CONF_LINE_SIZE = 256;

void copy_value(char (&dest)[65], const char* value)
{
    std::snprintf(dest, sizeof dest, "%s", value);
}

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A bound keeps its default unless the value is a number of at least 1.
void parse_conf_bound(int32_t* dest, const char* value)
{
    int32_t bound = 0;
    parse_conf_long(&bound, value);
    if (bound >= 1)
        *dest = bound;
}

// How a key's value is read. The user kinds count only after
// "mqtt_auth_enable = 1".
enum class conf_kind {
    number,     // parse_conf_long
    port,       // read as a number; the servers use its low 16 bits
    bound,      // parse_conf_bound
    level,      // a syslog level 0-7, anything else ignored
    text,       // at most 64 characters
    user_text,  // the pending user entry's name
    path,       // a file path, at most CONF_PATH_MAX characters
    user_password, // its password: up to CONF_PASSWORD_MAX, room for a hash
    user_entry, // the publish flag, which adds the pending entry
    filter,     // a bridge filter: each line adds one
};

using conf_text = char[65];

// One key: its kind and where its value goes, `number` for the number
// kinds and `text` for the text kinds.
struct conf_key {
    const char* name;
    conf_kind kind;
    int32_t* (*number)(conf_parser*);
    conf_text* (*text)(conf_parser*);
};

// Captureless lambdas keep the table one line per key.
#define CONF_NUMBER(name, kind, field) {name, kind, []([[maybe_unused]] conf_parser* p) { return &(field); }, nullptr}
#define CONF_TEXT(name, kind, field) {name, kind, nullptr, []([[maybe_unused]] conf_parser* p) { return &(field); }}

const conf_key conf_keys[] = {
    CONF_NUMBER("rules_engine", conf_kind::number, rules_enable),
    CONF_TEXT("http_iface", conf_kind::text, p->out.http->http_iface),
    CONF_NUMBER("http_port", conf_kind::port, p->out.http->http_port),
    CONF_TEXT("http_files_path", conf_kind::text, p->out.http->http_files_path),
    CONF_NUMBER("http_max_connections", conf_kind::number, p->out.http->http_max_connections),
    CONF_NUMBER("http_tls_port", conf_kind::port, p->out.http->http_tls_port),
    CONF_TEXT("mqtt_iface", conf_kind::text, p->out.tcp->mqtt_iface),
    CONF_NUMBER("mqtt_port", conf_kind::port, p->out.tcp->mqtt_port),
    CONF_NUMBER("mqtt_tls_port", conf_kind::port, p->out.tcp->mqtt_tls_port),
    CONF_NUMBER("mqtt_ws_port", conf_kind::port, p->out.tcp->mqtt_ws_port),
    CONF_NUMBER("mqtt_ws_tls_port", conf_kind::port, p->out.tcp->mqtt_ws_tls_port),
    {"tls_cert_file", conf_kind::path, nullptr, nullptr},
    {"tls_key_file", conf_kind::path, nullptr, nullptr},
    {"tls_ca_file", conf_kind::path, nullptr, nullptr},
    CONF_NUMBER("tls_require_certificate", conf_kind::number, p->out.tls->tls_require_certificate),
    CONF_NUMBER("max_connections", conf_kind::number, p->out.tcp->max_connections),
    CONF_NUMBER("mqtt_output_soft_limit", conf_kind::number, p->out.tcp->mqtt_output_soft_limit),
    CONF_NUMBER("mqtt_output_hard_limit", conf_kind::number, p->out.tcp->mqtt_output_hard_limit),
    CONF_NUMBER("mqtt_output_total_limit", conf_kind::number, p->out.tcp->mqtt_output_total_limit),
    CONF_NUMBER("mqtt_output_stall_timeout", conf_kind::number, p->out.tcp->mqtt_output_stall_timeout),
    CONF_NUMBER("mqtt_max_packet_size", conf_kind::number, p->out.tcp->mqtt_max_packet_size),
    CONF_NUMBER("mqtt_standard", conf_kind::number, p->out.broker->mqtt_standard),
    CONF_NUMBER("mqtt_max_queued_messages", conf_kind::bound, p->out.broker->mqtt_max_queued_messages),
    CONF_TEXT("mqttsn_iface", conf_kind::text, p->out.udp->mqttsn_iface),
    CONF_NUMBER("mqttsn_port", conf_kind::port, p->out.udp->mqttsn_port),
    CONF_NUMBER("mysql_enable", conf_kind::number, mysql_enable),
    CONF_TEXT("mysql_server", conf_kind::text, p->out.mysql->mysql_server),
    CONF_TEXT("mysql_user", conf_kind::text, p->out.mysql->mysql_user),
    CONF_TEXT("mysql_password", conf_kind::text, p->out.mysql->mysql_password),
    CONF_TEXT("mysql_database", conf_kind::text, p->out.mysql->mysql_database),
    CONF_NUMBER("mysql_port", conf_kind::port, p->out.mysql->mysql_port),
    CONF_NUMBER("max_topics", conf_kind::bound, p->out.broker->max_topics),
    CONF_NUMBER("mqttsn_max_sessions", conf_kind::bound, p->out.broker->mqttsn_max_sessions),
    CONF_NUMBER("mqttsn_publish_enable", conf_kind::number, p->out.broker->mqttsn_publish_enable),
    CONF_TEXT("persistence_file", conf_kind::text, p->out.store->persistence_file),
    CONF_NUMBER("persistence_interval", conf_kind::bound, p->out.store->persistence_interval),
    CONF_NUMBER("history_days", conf_kind::bound, p->out.store->history_days),
    CONF_NUMBER("history_max_points", conf_kind::bound, p->out.store->history_max_points),
    CONF_NUMBER("history_max_points_total", conf_kind::bound, p->out.store->history_max_points_total),
    CONF_TEXT("history_topics", conf_kind::text, p->out.store->history_topics),
    CONF_TEXT("bridge_address", conf_kind::text, p->out.bridge->bridge_address),
    CONF_NUMBER("bridge_port", conf_kind::port, p->out.bridge->bridge_port),
    CONF_TEXT("bridge_client_id", conf_kind::text, p->out.bridge->bridge_client_id),
    CONF_TEXT("bridge_user", conf_kind::text, p->out.bridge->bridge_user),
    CONF_TEXT("bridge_password", conf_kind::text, p->out.bridge->bridge_password),
    {"bridge_out", conf_kind::filter, nullptr, nullptr},
    {"bridge_in", conf_kind::filter, nullptr, nullptr},
    CONF_TEXT("bridge_remote_prefix", conf_kind::text, p->out.bridge->bridge_remote_prefix),
    CONF_NUMBER("bridge_qos", conf_kind::number, p->out.bridge->bridge_qos),
    CONF_NUMBER("bridge_keepalive", conf_kind::bound, p->out.bridge->bridge_keepalive),
    CONF_NUMBER("bridge_queue_max", conf_kind::bound, p->out.bridge->bridge_queue_max),
    CONF_NUMBER("bridge_queue_max_bytes", conf_kind::bound, p->out.bridge->bridge_queue_max_bytes),
    {"bridge_tls_ca_file", conf_kind::path, nullptr, nullptr},
    {"bridge_tls_cert_file", conf_kind::path, nullptr, nullptr},
    {"bridge_tls_key_file", conf_kind::path, nullptr, nullptr},
    CONF_NUMBER("log_level", conf_kind::level, p->out.log_level),
    CONF_TEXT("bind_address", conf_kind::text, p->out.bind_address),
    CONF_NUMBER("mqtt_auth_enable", conf_kind::number, p->mqtt_auth_enable),
    CONF_TEXT("user_name", conf_kind::user_text, p->user_name),
    {"user_password", conf_kind::user_password, nullptr, nullptr},
    CONF_NUMBER("user_publish_enable", conf_kind::user_entry, p->publish_enable),
};

#undef CONF_NUMBER
#undef CONF_TEXT

// The path keys' fields, which are longer than a conf_text.
char* conf_path_field(conf_parser* p, const char* name)
{
    tls_conf* tls = p->out.tls;
    bridge_conf* bridge = p->out.bridge;
    if (!std::strcmp(name, "bridge_tls_ca_file"))
        return bridge->bridge_tls_ca_file;
    if (!std::strcmp(name, "bridge_tls_cert_file"))
        return bridge->bridge_tls_cert_file;
    if (!std::strcmp(name, "bridge_tls_key_file"))
        return bridge->bridge_tls_key_file;
    if (!std::strcmp(name, "tls_cert_file"))
        return tls->tls_cert_file;
    if (!std::strcmp(name, "tls_key_file"))
        return tls->tls_key_file;
    return tls->tls_ca_file;
}

// Characters a key's value may have; the rest is cut.
size_t conf_value_max(const conf_key* key)
{
    if (key && key->kind == conf_kind::user_password)
        return CONF_PASSWORD_MAX;
    if (key && key->kind == conf_kind::path)
        return CONF_PATH_MAX;
    return 64;
}

const conf_key* conf_key_find(const char* name)
{
    for (const conf_key& key : conf_keys)
        if (!std::strcmp(key.name, name))
            return &key;
    return nullptr;
}

void conf_key_apply(conf_parser* p, const conf_key& key, const char* value)
{
    bool user_kind = key.kind == conf_kind::user_text || key.kind == conf_kind::user_password ||
                     key.kind == conf_kind::user_entry;
    if (user_kind && p->mqtt_auth_enable != 1)
        return;
    switch (key.kind) {
    case conf_kind::number:
    case conf_kind::port:
        parse_conf_long(key.number(p), value);
        break;
    case conf_kind::bound:
        parse_conf_bound(key.number(p), value);
        break;
    case conf_kind::level: {
        int32_t level = -1;
        parse_conf_long(&level, value);
        if (level >= 0 && level <= 7)
            *key.number(p) = level;
        break;
    }
    case conf_kind::text:
    case conf_kind::user_text:
        copy_value(*key.text(p), value);
        break;
    case conf_kind::path:
        std::snprintf(conf_path_field(p, key.name), CONF_PATH_MAX + 1, "%s", value);
        break;
    case conf_kind::filter: {
        bridge_conf* bridge = p->out.bridge;
        bool out = !std::strcmp(key.name, "bridge_out");
        int32_t& count = out ? bridge->bridge_out_count : bridge->bridge_in_count;
        if (!*value || count >= CONF_BRIDGE_FILTERS_MAX) {
            log_write(LOG_WARNING, "%s line %d: %s %s ignored (empty, or more than %d)\n", conf_file_path(), p->line,
                      key.name, value, CONF_BRIDGE_FILTERS_MAX);
            break;
        }
        copy_value(out ? bridge->bridge_out[count] : bridge->bridge_in[count], value);
        ++count;
        break;
    }
    case conf_kind::user_password:
        std::snprintf(p->user_password, sizeof p->user_password, "%s", value);
        break;
    case conf_kind::user_entry:
        parse_conf_long(key.number(p), value);
        // The name and password carry over to the next entry. An entry
        // made before any name or password is added with empty texts: it
        // can never match a login, and authentication stays in force.
        list_mqtt_user_add_new(&p->out.users, p->user_name, p->user_password,
                               static_cast<uint8_t>(p->publish_enable & 0xff));
        break;
    }
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

void conf_packet_size_resolve(tcp_conf* tcp, const broker_conf* broker)
{
    int32_t& size = tcp->mqtt_max_packet_size;
    if (size <= 0)
        size = broker->mqtt_standard == 1 ? CONF_MAX_PACKET_SIZE_STANDARD_DEFAULT : CONF_MAX_PACKET_SIZE_DEFAULT;
    size = std::min(size, CONF_MAX_PACKET_SIZE_LIMIT);
}

void conf_parse_line(conf_parser* p, const char* line)
{
    const char* s = line;
    while (blank(*s))
        ++s;
    if (*s == '#' || *s == '\0' || *s == '=')
        return;

    char key[33] = {0};
    char value[CONF_PATH_MAX + 1] = {0};
    int used = 0;
    static_assert(CONF_PATH_MAX == 255 && CONF_PASSWORD_MAX <= CONF_PATH_MAX, "the sscanf width below");
    if (std::sscanf(s, " %32[^ =] = %255[^ \n\r]%n", key, value, &used) != 2) {
        log_write(LOG_WARNING, "%s line %d: not a \"key = value\" line; ignored\n", conf_file_path(), p->line);
        return;
    }
    // The value ends at the first blank and after 64 characters: a password
    // with a space in it, or a trailing comment, would otherwise go unnoticed.
    const char* rest = s + used;
    while (blank(*rest))
        ++rest;
    // Only a password (it may be a hash) and a path may be longer than 64
    // characters.
    const conf_key* known = conf_key_find(key);
    size_t max = conf_value_max(known);
    if (std::strlen(value) > max) {
        value[max] = '\0';
        rest = "cut";
    }
    if (*rest)
        log_write(LOG_WARNING, "%s line %d: the value of %s is cut at \"%s\"; the rest of the line is ignored\n",
                  conf_file_path(), p->line, key, value);

    if (known)
        conf_key_apply(p, *known, value);
    else
        log_write(LOG_WARNING, "%s line %d: unknown key %s is ignored\n", conf_file_path(), p->line, key);
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
    parser.out.broker = new broker_conf{CONF_MAX_TOPICS_DEFAULT, CONF_MQTTSN_MAX_SESSIONS_DEFAULT, 1, 0,
                                        CONF_MAX_QUEUED_MESSAGES_DEFAULT};
    parser.out.tls = new tls_conf{};
    parser.out.store = new store_conf{"", CONF_PERSISTENCE_INTERVAL_DEFAULT, CONF_HISTORY_DAYS_DEFAULT,
                                      CONF_HISTORY_MAX_POINTS_DEFAULT, CONF_HISTORY_MAX_POINTS_TOTAL_DEFAULT, "#"};
    parser.out.bridge = new bridge_conf{};
    parser.out.bridge->bridge_qos = CONF_BRIDGE_QOS_DEFAULT;
    parser.out.bridge->bridge_keepalive = CONF_BRIDGE_KEEPALIVE_DEFAULT;
    parser.out.bridge->bridge_queue_max = CONF_BRIDGE_QUEUE_MAX_DEFAULT;
    parser.out.bridge->bridge_queue_max_bytes = CONF_BRIDGE_QUEUE_MAX_BYTES_DEFAULT;
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
    conf_packet_size_resolve(parser.out.tcp, parser.out.broker);
    // The TCP thread's WebSocket rules follow the broker's mode.
    parser.out.tcp->mqtt_standard = parser.out.broker->mqtt_standard;
    *records = parser.out;
    return 0;
}
