#include "rules/rules.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "channels/rules_mqtt.h"
#include "list/lists.h"
#include "logging.h"

#define RULES_ASSERT(expression) HALYX_ASSERT_TEXT("rules/rules", expression, #expression)

namespace {

// The walk under way on the rules thread (node functions run nowhere else);
// null outside node_execute.
const rules_firing* firing_now = nullptr;
// Cleared once the chain publishes to the firing topic: from then on the
// topic's own value is what the chain wrote, read from the broker.
bool firing_value_current = false;

bool is_firing_topic(const uint8_t* name, uint16_t len)
{
    return firing_now && firing_now->topic && firing_now->topic_len == len &&
           std::memcmp(firing_now->topic, name, len) == 0;
}

uint8_t publication_depth()
{
    uint8_t depth = firing_now ? firing_now->depth : 0;
    return depth == UINT8_MAX ? depth : static_cast<uint8_t>(depth + 1);
}

// Every publication of a rule goes out here.
void rules_publish(list<data_item> items, uint8_t retain)
{
    if (is_firing_topic(items.head->name, items.head->name_len))
        firing_value_current = false;
    msg_rules_mqtt_add_packet(items, retain, publication_depth());
}

// A terminated copy of `len` octets for the C conversions, which would
// otherwise read on past the text. Short texts stay on the stack.
class terminated_text {
public:
    terminated_text(const uint8_t* text, uint32_t len)
        : text_(len < sizeof small_ ? small_ : new char[len + 1]), len_(len)
    {
        if (len)
            std::memcpy(text_, text, len);
        text_[len] = '\0';
    }
    ~terminated_text()
    {
        if (text_ != small_)
            delete[] text_;
    }
    terminated_text(const terminated_text&) = delete;
    terminated_text& operator=(const terminated_text&) = delete;
    const char* c_str() const { return text_; }
    // The conversion stopped at the end: an embedded NUL or a trailing
    // character leaves it short.
    bool whole(const char* end) const { return end == text_ + len_; }

private:
    char small_[64];
    char* text_;
    uint16_t len_;
};

bool name_usable(const uint8_t* name, uint16_t len)
{
    // Items may not have empty names; such a node ends the walk instead.
    return name && len;
}

bool has_data(const data_item* item)
{
    return item->data && item->data_len;
}

data_item* item_add(list<data_item>* items, const uint8_t* name, uint16_t name_len, const uint8_t* data = nullptr,
                    uint32_t data_len = 0)
{
    return list_add_item(items, list_data_new<data_item>(name, name_len, data, data_len));
}

// Asks the broker for the items' data; the firing topic's item takes the
// value that fired the chain, and a list with nothing else to read skips the
// round trip. A closed rendezvous (shut-down) answers at once and
// leaves the items without data.
bool fetch(list<data_item>* items)
{
    bool ask = false;
    for (data_item* item = items->head; item; item = list_next(item)) {
        if (firing_value_current && is_firing_topic(item->name, item->name_len))
            list_data_replace_data(item, firing_now->value, firing_now->value_len);
        else
            ask = true;
    }
    return !ask || msggap_rules_mqtt_request(items->head) == 0;
}

// Numbers when both sides convert, else texts.
uint32_t compare_values(const rf_condition_param* p, const data_item* left, const uint8_t* right, uint32_t right_len)
{
    double a = 0;
    double b = 0;
    if (string_to_double(&a, left->data, left->data_len) && string_to_double(&b, right, right_len))
        return compare_double_values(p->condition, p->nextid_true, p->nextid_false, a, b);
    return compare_string_values(left->data, left->data_len, right, right_len, p->condition, p->nextid_true,
                                 p->nextid_false);
}

// The left operand is the data of `topic`; the right one is `value`
// itself, or the data of the topic `value` names. Without data on either
// side the walk ends.
uint32_t condition_evaluate(const rf_condition_param* p, bool right_is_topic)
{
    if (!name_usable(p->topic, p->topic_len) || (right_is_topic && !name_usable(p->value, p->value_len)))
        return 0;
    list<data_item> items{};
    data_item* left = item_add(&items, p->topic, p->topic_len);
    data_item* right = right_is_topic ? item_add(&items, p->value, p->value_len) : nullptr;
    uint32_t result = 0;
    if (fetch(&items) && has_data(left) && (!right || has_data(right)))
        result = compare_values(p, left, right ? right->data : p->value, right ? right->data_len : p->value_len);
    list_data_remove_all(&items);
    return result;
}

// One item carrying `value`, or the pair (target, source) whose data the
// broker copies from the source when it takes the pair.
uint32_t action_publish(const rf_action_param* p, bool copy_source)
{
    if (!name_usable(p->topic, p->topic_len) || (copy_source && !name_usable(p->value, p->value_len)))
        return 0;
    list<data_item> items{};
    if (copy_source) {
        item_add(&items, p->topic, p->topic_len);
        item_add(&items, p->value, p->value_len);
    } else {
        item_add(&items, p->topic, p->topic_len, p->value, p->value_len);
    }
    rules_publish(items, p->retain);
    return p->nextid;
}

bool texts_differ(const uint8_t* a, const uint8_t* b, uint32_t len)
{
    return len && std::strncmp(reinterpret_cast<const char*>(a), reinterpret_cast<const char*>(b), len) != 0;
}

rules_node* node_find(list<rules_node>* nodes, uint32_t id)
{
    for (rules_node* node = nodes->head; node; node = node->next)
        if (node->id == id)
            return node;
    return nullptr;
}

void condition_param_free(rf_condition_param* p)
{
    if (!p)
        return;
    delete[] p->topic;
    delete[] p->condition;
    delete[] p->value;
    delete p;
}

void action_param_free(rf_action_param* p)
{
    if (!p)
        return;
    delete[] p->topic;
    delete[] p->value;
    delete p;
}

} // namespace

// --- Lists ----------------------------------------------------------------------

void rules_functions_init(list<rules_function>* list)
{
    RULES_ASSERT(list != NULL);
    // In type-code order, from 1.
    static constexpr rules_handler handlers[] = {
        rf_condition_value, rf_condition_topic,    rf_condition_topic,    rf_condition_value,
        rf_condition_topic, rf_action_value,       rf_action_topic,       rf_action_topic,
        rf_variable_set,    rf_variable_increment, rf_variable_decrement,
    };
    uint32_t type = RULES_CONDITION_TOPIC_VALUE;
    for (rules_handler handler : handlers)
        rules_function_add(list, type++, handler);
}

rules_function* rules_function_add(list<rules_function>* list, uint32_t type, rules_handler handler)
{
    RULES_ASSERT(list != NULL);
    auto* function = new rules_function{};
    function->type = type;
    function->handler = handler;
    return list_add_item(list, function);
}

rules_node* rules_node_add(list<rules_node>* list, uint32_t id, uint32_t type, void* param)
{
    RULES_ASSERT(list != NULL);
    auto* node = new rules_node{};
    node->id = id;
    node->type = type;
    node->param = param;
    return list_add_item(list, node);
}

void rules_function_remove_all(list<rules_function>* list)
{
    RULES_ASSERT(list != NULL);
    list_free_all(list, [](rules_function* function) { delete function; });
}

void rules_node_remove_all(list<rules_node>* list)
{
    RULES_ASSERT(list != NULL);
    list_free_all(list, [](rules_node* node) {
        // The type says which record the parameter is; the reader stores no
        // other types, and an unknown record cannot be freed safely.
        if (node->type >= RULES_CONDITION_TOPIC_VALUE && node->type <= RULES_CONDITION_VARIABLE_VARIABLE)
            condition_param_free(static_cast<rf_condition_param*>(node->param));
        else if (node->type >= RULES_ACTION_VALUE && node->type <= RULES_VARIABLE_DECREMENT)
            action_param_free(static_cast<rf_action_param*>(node->param));
        delete node;
    });
}

// --- The walk -------------------------------------------------------------------

void node_execute(list<rules_function>* functions, list<rules_node>* nodes, uint32_t id,
                  const rules_firing* firing)
{
    RULES_ASSERT(functions != NULL);
    RULES_ASSERT(nodes != NULL);
    firing_now = firing;
    firing_value_current = firing && firing->topic;
    const uint32_t start = id;
    for (uint32_t steps = 0;; ++steps) {
        if (steps == RULES_WALK_MAX) {
            log_write(LOG_NOTICE, "rules: walk from node %u stopped after %u steps\n", start, steps);
            break;
        }
        rules_node* node = node_find(nodes, id);
        if (!node)
            break;
        id = func_execute(functions, node->type, node->param);
        if (id == 0)
            break;
    }
    firing_now = nullptr;
    firing_value_current = false;
}

uint32_t func_execute(list<rules_function>* functions, uint32_t type, void* param)
{
    RULES_ASSERT(functions != NULL);
    for (rules_function* function = functions->head; function; function = function->next)
        if (function->type == type)
            return function->handler ? function->handler(param) : 0;
    return 0;
}

// --- Node functions -------------------------------------------------------------

uint32_t rf_condition_value(void* param)
{
    RULES_ASSERT(param != NULL);
    return condition_evaluate(static_cast<rf_condition_param*>(param), false);
}

uint32_t rf_condition_topic(void* param)
{
    RULES_ASSERT(param != NULL);
    return condition_evaluate(static_cast<rf_condition_param*>(param), true);
}

uint32_t rf_action_value(void* param)
{
    RULES_ASSERT(param != NULL);
    return action_publish(static_cast<rf_action_param*>(param), false);
}

uint32_t rf_action_topic(void* param)
{
    RULES_ASSERT(param != NULL);
    return action_publish(static_cast<rf_action_param*>(param), true);
}

uint32_t rf_variable_set(void* param)
{
    RULES_ASSERT(param != NULL);
    return action_publish(static_cast<rf_action_param*>(param), false);
}

uint32_t rf_variable_increment(void* param)
{
    RULES_ASSERT(param != NULL);
    return rf_variable_increment_decrement(param, 1);
}

uint32_t rf_variable_decrement(void* param)
{
    RULES_ASSERT(param != NULL);
    return rf_variable_increment_decrement(param, 0);
}

uint32_t rf_variable_increment_decrement(void* param, int increment)
{
    RULES_ASSERT(param != NULL);
    auto* p = static_cast<rf_action_param*>(param);
    if (!name_usable(p->topic, p->topic_len))
        return 0;
    list<data_item> items{};
    data_item* item = item_add(&items, p->topic, p->topic_len);
    int32_t value = 0;
    if (!fetch(&items) || !has_data(item) || !string_to_long(&value, item->data, item->data_len)) {
        list_data_remove_all(&items);
        return 0;
    }
    // Saturates: a counter at a limit stays there rather than jump to the
    // other end.
    if (increment && value != INT32_MAX)
        ++value;
    else if (!increment && value != INT32_MIN)
        --value;
    long_to_string(value, &item->data, &item->data_len);
    rules_publish(items, p->retain);
    return p->nextid;
}

// --- Helpers ----------------------------------------------------------------------

int string_to_double(double* out, const uint8_t* text, uint32_t len)
{
    terminated_text copy(text, len);
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(copy.c_str(), &end);
    if (errno == ERANGE || !copy.whole(end))
        return 0;
    *out = value;
    return 1;
}

int string_to_long(int32_t* out, const uint8_t* text, uint32_t len)
{
    terminated_text copy(text, len);
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(copy.c_str(), &end, 10);
    // long may be wider than 32 bits on the build host.
    if (errno == ERANGE || !copy.whole(end) || value < INT32_MIN || value > INT32_MAX)
        return 0;
    *out = static_cast<int32_t>(value);
    return 1;
}

void long_to_string(int32_t value, uint8_t** buffer, uint32_t* len)
{
    // "-2147483648" and its terminator fill the 12 octets exactly.
    constexpr size_t size = 12;
    delete[] *buffer;
    *buffer = new uint8_t[size];
    int written = std::snprintf(reinterpret_cast<char*>(*buffer), size, "%ld", static_cast<long>(value));
    *len = static_cast<uint32_t>(written > 0 ? written : 0);
}

uint32_t compare_double_values(const char* condition, uint32_t true_id, uint32_t false_id, double a, double b)
{
    // IEEE comparisons: a NaN operand makes all but "!=" false.
    static constexpr struct {
        const char* text;
        bool (*holds)(double, double);
    } operators[] = {
        {"==", [](double x, double y) { return x == y; }}, {"!=", [](double x, double y) { return x != y; }},
        {">=", [](double x, double y) { return x >= y; }}, {"<=", [](double x, double y) { return x <= y; }},
        {">", [](double x, double y) { return x > y; }},   {"<", [](double x, double y) { return x < y; }},
    };
    if (!condition)
        return 0;
    for (const auto& op : operators)
        if (std::strcmp(condition, op.text) == 0)
            return op.holds(a, b) ? true_id : false_id;
    return 0;
}

uint32_t compare_string_values(const uint8_t* a, uint32_t a_len, const uint8_t* b, uint32_t b_len,
                               const char* condition, uint32_t true_id, uint32_t false_id)
{
    if (!condition)
        return 0;
    bool equal = a_len == b_len && !texts_differ(a, b, a_len);
    if (std::strcmp(condition, "==") == 0)
        return equal ? true_id : false_id;
    if (std::strcmp(condition, "!=") == 0)
        return equal ? false_id : true_id;
    // Texts have no order.
    return 0;
}
