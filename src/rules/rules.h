// Rule nodes and the node functions. A rule is a chain of nodes: a trigger
// names the first node's id, each node runs its function, which returns the
// next node's id, or 0 to end the chain. Runs on the rules thread.
#pragma once

#include <cstdint>

#include "list/list.h"

// Node type codes, as the rules-file reader stores them.
enum : uint32_t {
    RULES_CONDITION_TOPIC_VALUE = 1,
    RULES_CONDITION_TOPIC_TOPIC = 2,
    RULES_CONDITION_TOPIC_VARIABLE = 3,
    RULES_CONDITION_VARIABLE_VALUE = 4,
    RULES_CONDITION_VARIABLE_VARIABLE = 5,
    RULES_ACTION_VALUE = 6,
    RULES_ACTION_TOPIC = 7,
    RULES_ACTION_VARIABLE = 8,
    RULES_VARIABLE_SET = 9,
    RULES_VARIABLE_INCREMENT = 10,
    RULES_VARIABLE_DECREMENT = 11,
};

// Steps one walk may take at most: a chain that loops ends here, logged,
// so that it cannot hold the rules thread (or its stop) for ever.
constexpr uint32_t RULES_WALK_MAX = 1000;

using rules_handler = uint32_t (*)(void* param);

struct rules_function {
    rules_function* next;
    uint32_t type;
    rules_handler handler;
};

struct rules_node {
    rules_node* next;
    uint32_t id;
    uint32_t type;
    void* param; // rf_condition_param or rf_action_param, owned by the node
};

// Condition nodes (types 1-5). Texts are heap copies, not terminated,
// except `condition`, the NUL-terminated operator.
struct rf_condition_param {
    uint32_t nextid_true;
    uint32_t nextid_false;
    uint8_t* topic; // left operand's topic (a variable's topic for 4 and 5)
    uint16_t topic_len;
    char* condition;
    uint8_t* value; // literal (1, 4), right topic (2) or right variable's topic (3, 5)
    uint16_t value_len;
};

// Action and variable nodes (types 6-11).
struct rf_action_param {
    uint32_t nextid;
    uint8_t* topic; // topic to publish (a variable's topic for 9-11)
    uint16_t topic_len;
    uint8_t* value; // payload (6, 9), source topic (7, 8), null (10, 11)
    uint16_t value_len;
    uint8_t retain;
};

void rules_functions_init(list<rules_function>* list);
rules_function* rules_function_add(list<rules_function>* list, uint32_t type, rules_handler handler);
// The node takes ownership of `param`.
rules_node* rules_node_add(list<rules_node>* list, uint32_t id, uint32_t type, void* param);
void rules_function_remove_all(list<rules_function>* list);
// Also frees each node's parameter record and its buffers.
void rules_node_remove_all(list<rules_node>* list);

// What started a walk: the publication that fired a topic trigger (null
// topic for the clock) and the rule steps behind it. A condition on the
// firing topic compares the value that fired the chain, not whatever the
// topic holds by the time the chain runs, until the chain itself publishes
// to that topic; publications the chain makes are one step deeper.
struct rules_firing {
    const uint8_t* topic;
    uint16_t topic_len;
    const uint8_t* value;
    uint32_t value_len;
    uint8_t depth;
};

// Runs the chain that starts at `id`, at most RULES_WALK_MAX nodes.
void node_execute(list<rules_function>* functions, list<rules_node>* nodes, uint32_t id,
                  const rules_firing* firing = nullptr);
// The handler of `type` called with `param`, or 0 when there is none.
uint32_t func_execute(list<rules_function>* functions, uint32_t type, void* param);

uint32_t rf_condition_value(void* param);
uint32_t rf_condition_topic(void* param);
uint32_t rf_action_value(void* param);
uint32_t rf_action_topic(void* param);
uint32_t rf_variable_set(void* param);
uint32_t rf_variable_increment(void* param);
uint32_t rf_variable_decrement(void* param);
uint32_t rf_variable_increment_decrement(void* param, int increment);

// Whole-text conversions of `len` octets that need not be terminated: 1
// when the whole text converts without a range error (an empty text gives
// 0), else 0.
[[nodiscard]] int string_to_double(double* out, const uint8_t* text, uint32_t len);
[[nodiscard]] int string_to_long(int32_t* out, const uint8_t* text, uint32_t len);
// Replaces *buffer (new[]) with the decimal text of `value`; *len is its
// length without the terminator.
void long_to_string(int32_t value, uint8_t** buffer, uint32_t* len);
[[nodiscard]] uint32_t compare_double_values(const char* condition, uint32_t true_id, uint32_t false_id, double a,
                                             double b);
[[nodiscard]] uint32_t compare_string_values(const uint8_t* a, uint32_t a_len, const uint8_t* b, uint32_t b_len,
                                             const char* condition, uint32_t true_id, uint32_t false_id);
