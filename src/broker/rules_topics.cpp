// Where the rules engine meets the broker: topic values read for rule
// conditions, publications of rule actions and variables, the rules file
// on its topic, and replacing that file through an MQTT publication. All
// on the broker thread. A rules file's parts go to their owners: topic
// triggers and topics stay here, the node set and the cron entries travel
// to the rules and cron threads on their channels, so a reload never waits
// for another thread.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "broker/broker_internal.h"
#include "cron/cron.h"
#include "logging.h"
#include "paths.h"
#include "rules/json.h"
#include "rules/rules_thread.h"

namespace {

constexpr char RULES_TOPIC[] = "$SYS/rulesengine/rules";
constexpr uint16_t RULES_TOPIC_LEN = sizeof RULES_TOPIC - 1;
constexpr char ERROR_TOPIC[] = "$SYS/rulesengine/error";

bool write_all(int fd, const uint8_t* data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Writes the new rules beside the old file and renames them over it, so a
// crash or a full disk never leaves a torn rules file. 0, or -1 (logged)
// with the old file as it was.
int rules_file_replace(const uint8_t* data, uint32_t len)
{
    const char* path = rules_file_path();
    std::string tmp = std::string(path) + ".new";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        log_write(LOG_DEBUG, "can't open %s file for writing: %s\n", tmp.c_str(), std::strerror(errno));
        return -1;
    }
    bool written = write_all(fd, data, len) && fsync(fd) == 0;
    int err = errno;
    written = close(fd) == 0 && written;
    if (!written || rename(tmp.c_str(), path) != 0) {
        err = written ? errno : err;
        log_write(LOG_WARNING, "can't write %s file: %s; the rules stay as they were\n", path, std::strerror(err));
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

} // namespace

void mqtt_get_topic_data(data_item* item)
{
    for (; item; item = list_next(item)) {
        if (pub_item* topic = list_name_find_name(&pub_list, item->name, item->name_len))
            list_data_replace_data(item, topic->data, topic->data_len);
    }
}

void mqtt_set_topic_data(list<data_item>* data_list, uint8_t retain, uint8_t depth)
{
    data_item* target = data_list->head;
    if (!target)
        return;
    // A pair copies the current value of the second topic to the first.
    data_item* source = list_next(target);
    if (source)
        mqtt_get_topic_data(source);
    const data_item* value = source ? source : target;
    // The stored flag must say what the wire will: only bit 0 goes out.
    broker_publish(PUBLICATION_RULE, target->name, target->name_len, value->data, value->data_len, retain & 1, depth);
}

int mqtt_save_rules(const uint8_t* name, uint16_t name_len, const uint8_t* data, uint32_t data_len)
{
    if (name_len != RULES_TOPIC_LEN || std::memcmp(name, RULES_TOPIC, RULES_TOPIC_LEN) != 0)
        return 0;
    // Checked before anything is written: a refused file must leave the
    // running rules, the file on disk and the rules topic as they were.
    std::string reason;
    const std::string text(reinterpret_cast<const char*>(data), data_len); // NUL-terminated for the reader
    if (!rules_engine_up())
        reason = "the rules engine is not running (starting up or shutting down)";
    else if (rules_text_check(text.c_str(), data_len, &reason) == 0 && rules_file_replace(data, data_len) != 0)
        reason = "the rules file could not be written";
    if (!reason.empty()) {
        log_write(LOG_WARNING, "rules: new rules file refused, the running rules stay: %s\n", reason.c_str());
        thread_mqtt_set_rules_error(reason.c_str());
        return -1;
    }
    // The text on disk now, read and installed as at start-up; the check
    // above passed quietly, the read writes the reader's log lines (cron
    // expressions that never fire).
    rules_set set;
    parse_json_text(text.c_str(), data_len, &set);
    thread_mqtt_rules_install(&set);
    return -1;
}

void mqtt_rules_file_reload()
{
    const char* path = rules_file_path();
    std::string text;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    bool read_whole = fd >= 0;
    char buf[4096];
    // One byte more than a topic value holds tells a file too long.
    while (read_whole && text.size() <= UINT16_MAX) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            read_whole = n == 0;
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    int err = errno;
    if (fd >= 0)
        close(fd);
    if (!read_whole || text.size() > UINT16_MAX) {
        log_write(LOG_WARNING, "can't read %s file: %s; the rules stay as they were\n", path,
                  read_whole ? "longer than 65535 bytes" : std::strerror(err));
        return;
    }
    mqtt_save_rules(reinterpret_cast<const uint8_t*>(RULES_TOPIC), RULES_TOPIC_LEN,
                    reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint16_t>(text.size()));
}

void thread_mqtt_rules_install(rules_set* set)
{
    if (!set->read)
        return;
    mqtt_trigger_remove_all(&mqtt_triggers);
    for (const rules_topic_trigger& trigger : set->triggers)
        mqtt_trigger_add_new(&mqtt_triggers, trigger.topic.c_str(), trigger.next_id);
    // Chains queued before the new nodes run on the old ones; a chain under
    // way finishes on them, its topic fetches still answered here.
    thread_rules_nodes_swap(set->nodes);
    set->nodes = {};
    thread_cron_triggers_swap(set->cron);
    set->cron = {};
    // Through the rules channel, behind what the rules thread published
    // before: the initial value is the later write.
    for (const rules_variable& variable : set->variables)
        variable_topic_publish(variable);
    if (set->error.empty()) {
        thread_mqtt_set_rules_topic_data(reinterpret_cast<const uint8_t*>(set->text.data()),
                                         static_cast<uint32_t>(set->text.size()));
        thread_mqtt_set_rules_error("");
    } else {
        thread_mqtt_set_rules_topic_data(nullptr, 0);
        // Refusals are warnings: an installer running at log level 6 must
        // still learn why the engine runs without rules.
        log_write(LOG_WARNING, "Corrupted or wrong %s rules file\n", rules_file_path());
        log_write(LOG_WARNING, "rules file %s refused: %s\n", rules_file_path(), set->error.c_str());
        thread_mqtt_set_rules_error(set->error.c_str());
    }
    rules_set_clear(set);
}

void thread_mqtt_set_rules_topic_data(const uint8_t* data, uint32_t length)
{
    broker_publish(PUBLICATION_RULES_FILE, reinterpret_cast<const uint8_t*>(RULES_TOPIC), RULES_TOPIC_LEN, data,
                   static_cast<uint16_t>(length), 1);
}

void thread_mqtt_set_rules_error(const char* reason)
{
    auto len = static_cast<uint16_t>(std::min<size_t>(std::strlen(reason), UINT16_MAX));
    broker_publish(PUBLICATION_RULES_FILE, reinterpret_cast<const uint8_t*>(ERROR_TOPIC), sizeof ERROR_TOPIC - 1,
                   len ? reinterpret_cast<const uint8_t*>(reason) : nullptr, len, len ? 1 : 0);
}
