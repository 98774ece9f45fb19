// The configuration file: one "key = value" per line, read once by the
// main thread at start-up, before any channel or thread exists.
#pragma once

#include <cstdint>

#include "conf_records.h"
#include "list/mqtt_user.h"

// Set from the file; only the value 1 enables the database channel and thread.
extern int32_t mysql_enable;
// Set from "rules_engine"; kept for the record, the rules engine always runs.
extern int32_t rules_enable;

// What one reading of the file yields. The caller owns all of it: main
// hands the records to their thread modules and the users to the
// broker.
struct conf_records {
    http_conf* http;
    tcp_conf* tcp;
    udp_conf* udp;
    mysql_conf* mysql;
    list<mqtt_user> users;
    // Syslog level 0-7: lines above it are dropped before being formatted.
    int32_t log_level;
    broker_conf* broker;
    tls_conf* tls;
    // bind_address as written: the IPv4 address every listener binds, all
    // interfaces when empty. main checks it.
    char bind_address[65];
    store_conf* store;
    bridge_conf* bridge;
};

// Log level when the file sets none: every line is kept.
constexpr int32_t CONF_LOG_LEVEL_DEFAULT = 7;

// Longest user_password value: room for a crypt(3) hash ("$6$rounds=..."
// takes up to 123 characters). Every other value is cut at 64.
constexpr int CONF_PASSWORD_MAX = 160;

// Parser state that lives while one file is read: the records being filled
// and the current user entry.
struct conf_parser {
    conf_records out;
    int32_t mqtt_auth_enable;
    char user_name[65];
    char user_password[CONF_PASSWORD_MAX + 1];
    int32_t publish_enable;
    // Line number in the file, for warnings; 0 when lines come from elsewhere.
    int line;
};

// Reads the configuration file (HALYX_CONF or the built-in path) into
// `records`. 0 when read, -1 with errno set when it cannot be opened
// (nothing allocated).
[[nodiscard]] int parse_conf_file(conf_records* records);

// Stores the base-10 number in `value` into *dest only when the whole text
// is a number within the signed 32-bit range.
void parse_conf_long(int32_t* dest, const char* value);

// Gives mqtt_max_packet_size its default when the file set none (or a
// value below 1) and caps it at CONF_MAX_PACKET_SIZE_LIMIT.
void conf_packet_size_resolve(tcp_conf* tcp, const broker_conf* broker);

// Applies one line of the file (at most 255 characters, as read) to the
// parser; an unknown key, or a value cut short, is warned about with the
// parser's line number. Used by parse_conf_file and by the fuzz target.
void conf_parse_line(conf_parser* parser, const char* line);
