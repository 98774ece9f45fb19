// The rules file: a JSON document of triggers, rule nodes and initial
// variable values, read with cJSON and registered with the rules thread,
// the cron thread and the broker.
#pragma once

#include <cstdint>
#include <string>

// Engine version: the highest rules-file version accepted, and the value of
// "$SYS/rulesengine/version".
#define RULES_ENGINE_VERSION "1.00"

// Reads the rules file (HALYX_RULES or the built-in path) and registers
// everything in it; the rules and cron threads must be stopped. 0, or -1
// (logged): a file that cannot be read changes nothing; after a file that
// is not a valid rules file nothing stays registered (variable values
// already published stay), the rules topic is empty and the reason is on
// "$SYS/rulesengine/error" (emptied after a valid file).
int parse_json_file();
// Parses and registers the rules text of `len` octets (NUL-terminated at
// text[len]); what parse_json_file does after reading the file.
int parse_json_text(const char* text, long len);
// Whether the text (NUL-terminated at text[len]) is a rules file this
// engine accepts, without registering anything: 0, or -1 with the reason
// (for a JSON syntax error, the line and column where it is).
int rules_text_check(const char* text, long len, std::string* reason);
// Negative when `text` is not a version this engine accepts.
int check_version(const char* text);
// "$SYS/rulesengine/variables/" followed by the name, in a new[] buffer
// (NUL-terminated past *len_out). -1, with no buffer, when the topic would
// be longer than 65535 octets.
int get_variable_topic(const uint8_t* name, uint16_t name_len, uint8_t** topic_out, uint16_t* len_out);
// Publishes a variable's initial value through the rules channel (nothing
// when the name is too long for a topic).
void variable_init(const uint8_t* name, uint16_t name_len, const uint8_t* value, uint16_t value_len, int32_t retain);
void publish_rules_engine_version();
