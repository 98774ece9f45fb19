#include "rules/json.h"

#include <cJSON.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "channels/rules_mqtt.h"
#include "list/lists.h"
#include "logging.h"
#include "paths.h"

namespace {

constexpr char VARIABLE_PREFIX[] = "$SYS/rulesengine/variables/";
constexpr uint16_t VARIABLE_PREFIX_LEN = sizeof VARIABLE_PREFIX - 1; // 27
constexpr char VERSION_TOPIC[] = "$SYS/rulesengine/version";

// The file is read whole into memory; anything this large is not a rules
// file (and could not be the rules topic's value anyway).
constexpr long RULES_FILE_MAX = 1L << 20;

// A text member: a new[] copy, NUL-terminated past `len` so that triggers
// can hand it on as a C string.
struct owned_text {
    uint8_t* bytes;
    uint16_t len;
};

// What one node's members give; owns the texts not yet handed over.
struct node_fields {
    uint32_t id;
    uint32_t nextid;
    uint32_t nextid_true;
    uint32_t nextid_false;
    int32_t retain;
    owned_text topic;
    owned_text value;
    owned_text condition;

    node_fields() = default;
    node_fields(const node_fields&) = delete;
    node_fields& operator=(const node_fields&) = delete;
    ~node_fields()
    {
        delete[] topic.bytes;
        delete[] value.bytes;
        delete[] condition.bytes;
    }
};

enum member_kind : uint8_t {
    MEMBER_ID,       // number: an unsigned 32-bit id
    MEMBER_RETAIN,   // number: its integer value
    MEMBER_TEXT,     // string, may be empty (literal, cron expression, operator)
    MEMBER_NAME,     // string: a topic name, which must not be empty
    MEMBER_VARIABLE, // string: a variable name, stored as the variable's topic
};

struct member {
    const char* name;
    member_kind kind;
    uint32_t node_fields::*id;
    owned_text node_fields::*text;
};

constexpr member ID{"id", MEMBER_ID, &node_fields::id, nullptr};
constexpr member NEXTID{"nextid", MEMBER_ID, &node_fields::nextid, nullptr};
constexpr member NEXTID_TRUE{"nextid-true", MEMBER_ID, &node_fields::nextid_true, nullptr};
constexpr member NEXTID_FALSE{"nextid-false", MEMBER_ID, &node_fields::nextid_false, nullptr};
constexpr member RETAIN{"retain", MEMBER_RETAIN, nullptr, nullptr};
constexpr member TOPIC{"topic", MEMBER_NAME, nullptr, &node_fields::topic};
constexpr member VARIABLE{"variable", MEMBER_VARIABLE, nullptr, &node_fields::topic};
constexpr member CONDITION{"condition", MEMBER_TEXT, nullptr, &node_fields::condition};
constexpr member VALUE{"value", MEMBER_TEXT, nullptr, &node_fields::value};
constexpr member VALUE_TOPIC{"value-topic", MEMBER_NAME, nullptr, &node_fields::value};
constexpr member VALUE_VARIABLE{"value-variable", MEMBER_VARIABLE, nullptr, &node_fields::value};

enum node_kind : uint8_t { NODE_CRON, NODE_TOPIC, NODE_INIT, NODE_CONDITION, NODE_ACTION };

struct node_type {
    const char* name;
    node_kind kind;
    uint32_t code;
    const member* members[6]; // read in this order; null after the last
};

// Matched by prefix in this order, so the order is part of the format.
// clang-format off
constexpr node_type NODE_TYPES[] = {
    {"trigger-cron", NODE_CRON, 0, {&VALUE, &NEXTID}},
    {"trigger-topic", NODE_TOPIC, 0, {&TOPIC, &NEXTID}},
    {"variable-init", NODE_INIT, 0, {&VARIABLE, &VALUE, &RETAIN}},
    {"condition-topic-value", NODE_CONDITION, RULES_CONDITION_TOPIC_VALUE,
        {&ID, &TOPIC, &CONDITION, &VALUE, &NEXTID_TRUE, &NEXTID_FALSE}},
    {"condition-topic-topic", NODE_CONDITION, RULES_CONDITION_TOPIC_TOPIC,
        {&ID, &TOPIC, &CONDITION, &VALUE_TOPIC, &NEXTID_TRUE, &NEXTID_FALSE}},
    {"condition-topic-variable", NODE_CONDITION, RULES_CONDITION_TOPIC_VARIABLE,
        {&ID, &TOPIC, &CONDITION, &VALUE_VARIABLE, &NEXTID_TRUE, &NEXTID_FALSE}},
    {"condition-variable-value", NODE_CONDITION, RULES_CONDITION_VARIABLE_VALUE,
        {&ID, &VARIABLE, &CONDITION, &VALUE, &NEXTID_TRUE, &NEXTID_FALSE}},
    {"condition-variable-variable", NODE_CONDITION, RULES_CONDITION_VARIABLE_VARIABLE,
        {&ID, &VARIABLE, &CONDITION, &VALUE_VARIABLE, &NEXTID_TRUE, &NEXTID_FALSE}},
    {"action-value", NODE_ACTION, RULES_ACTION_VALUE, {&ID, &TOPIC, &VALUE, &NEXTID, &RETAIN}},
    {"action-topic", NODE_ACTION, RULES_ACTION_TOPIC, {&ID, &TOPIC, &VALUE_TOPIC, &NEXTID, &RETAIN}},
    {"action-variable", NODE_ACTION, RULES_ACTION_VARIABLE, {&ID, &TOPIC, &VALUE_VARIABLE, &NEXTID, &RETAIN}},
    {"variable-set", NODE_ACTION, RULES_VARIABLE_SET, {&ID, &VARIABLE, &VALUE, &NEXTID, &RETAIN}},
    {"variable-increment", NODE_ACTION, RULES_VARIABLE_INCREMENT, {&ID, &VARIABLE, &NEXTID, &RETAIN}},
    {"variable-decrement", NODE_ACTION, RULES_VARIABLE_DECREMENT, {&ID, &VARIABLE, &NEXTID, &RETAIN}},
};
// clang-format on

uint32_t number_to_id(double number)
{
    if (!(number > 0)) // negative, zero and NaN
        return 0;
    if (number >= 4294967295.0)
        return UINT32_MAX;
    return static_cast<uint32_t>(number);
}

// cJSON's valueint, computed here so that no double outside the int range
// (nor a NaN) is ever converted.
int32_t number_to_int(double number)
{
    if (std::isnan(number))
        return 0;
    if (number >= INT32_MAX)
        return INT32_MAX;
    if (number <= INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(number);
}

owned_text text_copy(const uint8_t* bytes, uint16_t len)
{
    auto* copy = new uint8_t[len + 1];
    std::memcpy(copy, bytes, len);
    copy[len] = '\0';
    return {copy, len};
}

// Reads the "%d.%d" of a version text; strtol, because sscanf's %d is
// undefined for numbers out of range and the text comes from a client.
int version_read(const char* version, long* major, long* minor)
{
    char* end = nullptr;
    *major = std::strtol(version, &end, 10);
    if (end == version || *end != '.')
        return -1;
    const char* rest = end + 1;
    *minor = std::strtol(rest, &end, 10);
    return end == rest ? -1 : 0;
}

void publish_one(const uint8_t* name, uint16_t name_len, const uint8_t* data, uint32_t data_len, uint8_t retain)
{
    list<data_item> items{};
    list_add_item(&items, list_data_new<data_item>(name, name_len, data, data_len));
    msg_rules_mqtt_add_packet(items, retain);
}

// 0, or -1 when the member is missing, of the wrong JSON type, or a text
// that cannot be stored.
int member_read(const cJSON* node, const member& m, node_fields* fields)
{
    const cJSON* item = cJSON_GetObjectItem(node, m.name);
    if (m.kind == MEMBER_ID || m.kind == MEMBER_RETAIN) {
        if (!cJSON_IsNumber(item))
            return -1;
        if (m.kind == MEMBER_RETAIN)
            fields->retain = number_to_int(item->valuedouble);
        else
            fields->*m.id = number_to_id(item->valuedouble);
        return 0;
    }
    if (!cJSON_IsString(item) || !item->valuestring)
        return -1;
    // Lengths are 16 bits: a longer text is refused, never cut short.
    // Names become data-item names, which must not be empty.
    size_t len = std::strlen(item->valuestring);
    size_t limit = m.kind == MEMBER_VARIABLE ? UINT16_MAX - VARIABLE_PREFIX_LEN : UINT16_MAX;
    if (len > limit || (len == 0 && m.kind != MEMBER_TEXT))
        return -1;
    owned_text& out = fields->*m.text;
    delete[] out.bytes;
    out = {};
    const auto* bytes = reinterpret_cast<const uint8_t*>(item->valuestring);
    if (m.kind == MEMBER_VARIABLE)
        get_variable_topic(bytes, static_cast<uint16_t>(len), &out.bytes, &out.len);
    else
        out = text_copy(bytes, static_cast<uint16_t>(len));
    return 0;
}

// Hands a text over to a parameter record.
uint8_t* take(owned_text* t)
{
    uint8_t* bytes = t->bytes;
    t->bytes = nullptr;
    return bytes;
}

// Adds the node to the set; the texts it keeps are taken from `f`.
void node_add(const node_type& type, node_fields* f, rules_set* set)
{
    switch (type.kind) {
    case NODE_CRON:
        cron_trigger_add_new(&set->cron, reinterpret_cast<const char*>(f->value.bytes), f->nextid);
        return;
    case NODE_TOPIC:
        set->triggers.push_back({reinterpret_cast<const char*>(f->topic.bytes), f->nextid});
        return;
    case NODE_INIT:
        set->variables.push_back({std::string(reinterpret_cast<const char*>(f->topic.bytes), f->topic.len),
                                  std::string(reinterpret_cast<const char*>(f->value.bytes), f->value.len),
                                  static_cast<uint8_t>(f->retain)});
        return;
    case NODE_CONDITION: {
        auto* param = new rf_condition_param{};
        param->nextid_true = f->nextid_true;
        param->nextid_false = f->nextid_false;
        param->topic_len = f->topic.len;
        param->topic = take(&f->topic);
        param->condition = reinterpret_cast<char*>(take(&f->condition));
        param->value_len = f->value.len;
        param->value = take(&f->value);
        rules_node_add(&set->nodes, f->id, type.code, param);
        return;
    }
    case NODE_ACTION: {
        auto* param = new rf_action_param{};
        param->nextid = f->nextid;
        param->topic_len = f->topic.len;
        param->topic = take(&f->topic);
        param->value_len = f->value.len;
        param->value = take(&f->value); // null for increment and decrement
        param->retain = static_cast<uint8_t>(f->retain);
        rules_node_add(&set->nodes, f->id, type.code, param);
        return;
    }
    }
}

const char* member_wanted(member_kind kind)
{
    switch (kind) {
    case MEMBER_ID:
    case MEMBER_RETAIN:
        return "a number";
    case MEMBER_TEXT:
        return "a string";
    default:
        return "a non-empty string";
    }
}

// 0, also for a node of an unknown type (skipped); -1 for a corrupted node,
// with the reason. Adds the node to `set` when there is one.
int node_read(const cJSON* node, rules_set* set, std::string* reason)
{
    const cJSON* type = cJSON_GetObjectItem(node, "type");
    if (!cJSON_IsString(type) || !type->valuestring) {
        *reason = "no \"type\" string";
        return -1;
    }
    for (const node_type& candidate : NODE_TYPES) {
        if (std::strncmp(type->valuestring, candidate.name, std::strlen(candidate.name)) != 0)
            continue;
        node_fields fields{};
        for (const member* m : candidate.members) {
            if (m && member_read(node, *m, &fields) < 0) {
                *reason = std::string(candidate.name) + " needs \"" + m->name + "\", " + member_wanted(m->kind);
                return -1;
            }
        }
        // A trigger with next id 0 could only start a node whose id is 0:
        // the topic-trigger list refuses it, and a cron one would be as
        // useless, so the file is refused as corrupted.
        if ((candidate.kind == NODE_CRON || candidate.kind == NODE_TOPIC) && fields.nextid == 0) {
            *reason = std::string(candidate.name) + " needs a \"nextid\" other than 0";
            return -1;
        }
        if (set)
            node_add(candidate, &fields, set);
        return 0;
    }
    return 0;
}

// "line L, column C" of `at` in `text` (both counted from 1, columns in
// octets).
std::string text_position(const char* text, const char* at)
{
    long line = 1;
    long column = 1;
    for (const char* p = text; p && p < at && *p; ++p) {
        if (*p == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Reads the whole text: 0, or -1 with the reason it is not a rules file.
// With a set, everything read is added to it on the way (the caller empties
// it again after a failure) and the reader's log lines are written.
int rules_text_walk(const char* text, long len, rules_set* set, std::string* reason)
{
    // The whole text becomes the value of the rules topic, whose length is
    // 16 bits: a longer file could only be published cut short.
    if (!text || len <= 0 || len > UINT16_MAX) {
        *reason = len > 0 ? "the file is longer than 65535 octets" : "the file is empty";
        return -1;
    }
    const char* error_at = nullptr;
    cJSON* parsed = cJSON_ParseWithOpts(text, &error_at, 0);
    if (!parsed) {
        if (set)
            log_write(LOG_WARNING, "Failed to parse %s file\n", rules_file_path());
        *reason = "not valid JSON at " + text_position(text, error_at);
        return -1;
    }
    std::unique_ptr<cJSON, void (*)(cJSON*)> root(parsed, cJSON_Delete);
    const cJSON* version = cJSON_GetObjectItem(root.get(), "version");
    if (!cJSON_IsString(version) || !version->valuestring) {
        *reason = "no \"version\" string";
        return -1;
    }
    if (check_version(version->valuestring) < 0) {
        if (set)
            log_write(LOG_WARNING, "Rules file version is %s, must be less or equal %s\n", version->valuestring,
                      RULES_ENGINE_VERSION);
        *reason = std::string("version \"") + version->valuestring + "\" is not at most " RULES_ENGINE_VERSION;
        return -1;
    }
    const cJSON* nodes = cJSON_GetObjectItem(root.get(), "nodes");
    if (!nodes) {
        *reason = "no \"nodes\"";
        return -1;
    }
    // Walked along the child links, which also gives an object's member
    // values and nothing for a string or number; cJSON_GetArrayItem would
    // walk from the first element again for every element.
    const cJSON* node = nullptr;
    int index = 1;
    cJSON_ArrayForEach(node, nodes)
    {
        if (node_read(node, set, reason) < 0) {
            *reason = "node " + std::to_string(index) + ": " + *reason;
            return -1;
        }
        ++index;
    }
    return 0;
}

} // namespace

rules_set::~rules_set()
{
    rules_set_clear(this);
}

void rules_set_clear(rules_set* set)
{
    set->text.clear();
    set->triggers.clear();
    set->variables.clear();
    rules_node_remove_all(&set->nodes);
    cron_trigger_remove_all(&set->cron);
}

int parse_json_file(rules_set* set)
{
    const char* path = rules_file_path();
    FILE* file = std::fopen(path, "rb");
    if (!file) {
        log_write(LOG_WARNING, "Failed to open %s file: %s\n", path, std::strerror(errno));
        return -1;
    }
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0)
        size = std::ftell(file);
    char* buffer = nullptr;
    bool read = size >= 0 && size <= RULES_FILE_MAX && std::fseek(file, 0, SEEK_SET) == 0;
    if (read) {
        buffer = new char[size + 1];
        read = std::fread(buffer, 1, static_cast<size_t>(size), file) == static_cast<size_t>(size);
    }
    std::fclose(file);
    if (!read) {
        delete[] buffer;
        log_write(LOG_WARNING, "Failed to read %s file\n", path);
        return -1;
    }
    buffer[size] = '\0';
    int result = parse_json_text(buffer, size, set);
    delete[] buffer;
    return result;
}

int parse_json_text(const char* text, long len, rules_set* set)
{
    rules_set_clear(set);
    set->read = true;
    set->error.clear();
    if (rules_text_walk(text, len, set, &set->error) < 0) {
        // A refused file leaves nothing to install but the reason.
        rules_set_clear(set);
        return -1;
    }
    set->text.assign(text, static_cast<size_t>(len));
    return 0;
}

int rules_text_check(const char* text, long len, std::string* reason)
{
    return rules_text_walk(text, len, nullptr, reason);
}

int check_version(const char* text)
{
    long engine_major = 0;
    long engine_minor = 0;
    long major = 0;
    long minor = 0;
    if (!text || version_read(RULES_ENGINE_VERSION, &engine_major, &engine_minor) < 0 ||
        version_read(text, &major, &minor) < 0)
        return -1;
    if (major != engine_major)
        return major < engine_major ? 0 : -1;
    return minor <= engine_minor ? 0 : -1;
}

int get_variable_topic(const uint8_t* name, uint16_t name_len, uint8_t** topic_out, uint16_t* len_out)
{
    *topic_out = nullptr;
    *len_out = 0;
    if (name_len > UINT16_MAX - VARIABLE_PREFIX_LEN)
        return -1;
    auto* topic = new uint8_t[VARIABLE_PREFIX_LEN + name_len + 1];
    std::memcpy(topic, VARIABLE_PREFIX, VARIABLE_PREFIX_LEN);
    if (name_len)
        std::memcpy(topic + VARIABLE_PREFIX_LEN, name, name_len);
    topic[VARIABLE_PREFIX_LEN + name_len] = '\0';
    *topic_out = topic;
    *len_out = static_cast<uint16_t>(VARIABLE_PREFIX_LEN + name_len);
    return 0;
}

void variable_init(const uint8_t* name, uint16_t name_len, const uint8_t* value, uint16_t value_len, int32_t retain)
{
    uint8_t* topic = nullptr;
    uint16_t topic_len = 0;
    if (get_variable_topic(name, name_len, &topic, &topic_len) < 0)
        return;
    publish_one(topic, topic_len, value, value_len, static_cast<uint8_t>(retain));
    delete[] topic;
}

void variable_topic_publish(const rules_variable& variable)
{
    publish_one(reinterpret_cast<const uint8_t*>(variable.topic.data()), static_cast<uint16_t>(variable.topic.size()),
                reinterpret_cast<const uint8_t*>(variable.value.data()), static_cast<uint16_t>(variable.value.size()),
                variable.retain);
}

void publish_rules_engine_version()
{
    publish_one(reinterpret_cast<const uint8_t*>(VERSION_TOPIC), sizeof VERSION_TOPIC - 1,
                reinterpret_cast<const uint8_t*>(RULES_ENGINE_VERSION), sizeof RULES_ENGINE_VERSION - 1, 1);
}
