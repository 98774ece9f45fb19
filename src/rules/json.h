// The rules file: a JSON document of triggers, rule nodes and initial
// variable values, read with cJSON into a rule set. Reading changes no
// state: each part of the set is installed by its owner (the broker thread
// takes the topic triggers, the variable values and the file's text and
// hands the nodes to the rules thread and the cron entries to the cron
// thread, see thread_mqtt_rules_install).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cron/cron_trigger.h"
#include "rules/rules.h"

// Engine version: the highest rules-file version accepted, and the value of
// "$SYS/rulesengine/version".
#define RULES_ENGINE_VERSION "1.00"

struct rules_topic_trigger {
    std::string topic;
    uint32_t next_id; // never 0
};

// A "variable-init" node: the variable's topic and initial value.
struct rules_variable {
    std::string topic;
    std::string value;
    uint8_t retain; // the low octet of the node's "retain"
};

// What one rules file gives, in file order. Owns its lists.
struct rules_set {
    bool read = false; // the file (or text) was there to be read
    std::string error;  // why it is not a rules file; empty when accepted
    std::string text;   // the whole file, when accepted
    std::vector<rules_topic_trigger> triggers;
    std::vector<rules_variable> variables;
    list<rules_node> nodes{};
    list<cron_trigger> cron{};

    rules_set() = default;
    rules_set(const rules_set&) = delete;
    rules_set& operator=(const rules_set&) = delete;
    ~rules_set();
};

// Frees and empties the parts (the error and `read` stay).
void rules_set_clear(rules_set* set);

// Reads the rules file (HALYX_RULES or the built-in path) into `set`: 0, or
// -1 (logged). A file that cannot be read leaves `read` false; a file that
// is not a valid rules file leaves the set empty with the reason in `error`.
int parse_json_file(rules_set* set);
// parse_json_file for the rules text of `len` octets (NUL-terminated at
// text[len]).
int parse_json_text(const char* text, long len, rules_set* set);
// Whether the text (NUL-terminated at text[len]) is a rules file this
// engine accepts, without logging or building anything: 0, or -1 with the
// reason (for a JSON syntax error, the line and column where it is).
int rules_text_check(const char* text, long len, std::string* reason);
// Negative when `text` is not a version this engine accepts.
int check_version(const char* text);
// "$SYS/rulesengine/variables/" followed by the name, in a new[] buffer
// (NUL-terminated past *len_out). -1, with no buffer, when the topic would
// be longer than 65535 octets.
int get_variable_topic(const uint8_t* name, uint16_t name_len, uint8_t** topic_out, uint16_t* len_out);
// Publishes a variable's value through the rules channel (nothing when the
// name is too long for a topic).
void variable_init(const uint8_t* name, uint16_t name_len, const uint8_t* value, uint16_t value_len, int32_t retain);
// Publishes a value through the rules channel on the variable's own topic.
void variable_topic_publish(const rules_variable& variable);
void publish_rules_engine_version();
