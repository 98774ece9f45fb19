// The configuration file: one "key = value" per line, read once by the
// main thread at start-up, before any channel or thread exists.
#pragma once

#include <cstdint>
#include <type_traits>

// Set from the file; only the value 1 enables the database channel and thread.
extern int32_t mysql_enable;
// Set from "rules_engine"; kept for the record, the rules engine always runs.
extern int32_t rules_enable;

// Strings hold at most 64 characters and are NUL-terminated. Ports are
// 32-bit as read; servers use the low 16 bits. Omitted keys stay zero.
struct http_conf {
    int32_t http_port;
    char http_files_path[65];
    char http_iface[65];
};

struct tcp_conf {
    int32_t mqtt_port;
    int32_t mqtt_tls_port;
    int32_t mqtt_ws_port;
    int32_t mqtt_ws_tls_port;
    char mqtt_iface[65];
};

struct udp_conf {
    int32_t mqttsn_port;
    char mqttsn_iface[65];
};

struct mysql_conf {
    char mysql_server[65];
    char mysql_user[65];
    char mysql_password[65];
    char mysql_database[65];
    int32_t mysql_port;
};

static_assert(std::is_standard_layout_v<tcp_conf> && std::is_trivial_v<tcp_conf>);
static_assert(std::is_standard_layout_v<mysql_conf> && std::is_trivial_v<mysql_conf>);

// Parser state that lives while one file is read: the four records being
// filled and the current user entry.
struct conf_parser {
    http_conf* http;
    tcp_conf* tcp;
    udp_conf* udp;
    mysql_conf* mysql;
    int32_t mqtt_auth_enable;
    char user_name[65];
    char user_password[65];
    int32_t publish_enable;
};

// Reads the configuration file (HALYX_CONF or the built-in path) and hands
// the records to their modules. 0 when read, -1 when it cannot be opened.
int parse_conf_file();

// Stores the base-10 number in `value` into *dest only when the whole text
// is a number within the signed 32-bit range.
void parse_conf_long(int32_t* dest, const char* value);

// Applies one line of the file (at most 105 characters, as read) to the
// parser. Used by parse_conf_file and by the fuzz target.
void conf_parse_line(conf_parser* parser, const char* line);
