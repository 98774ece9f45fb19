// What the broker tells the store thread: the topics whose value, retain
// flag or topic id may have changed, coalesced for a second, and each
// numeric publication the history keeps. Nothing here waits on the disk.
#include <chrono>
#include <unordered_map>
#include <unordered_set>

#include "broker/broker_internal.h"
#include "channels/mqtt_store.h"
#include "logging.h"
#include "store/store.h"

namespace {

// History points held while the store is behind, at most.
constexpr size_t POINTS_HELD_MAX = 100000;

std::unordered_set<pub_item*> dirty;
std::vector<store_point> points;
// Whether history_topics takes a topic, by topic: topics live as long as
// the broker runs.
std::unordered_map<const pub_item*, bool> history_wanted;
bool points_dropping = false;

bool history_takes(const pub_item* item)
{
    auto it = history_wanted.find(item);
    if (it == history_wanted.end())
        it = history_wanted.emplace(item, store_history_wanted(item->name, item->name_len)).first;
    return it->second;
}

} // namespace

void broker_store_mark(pub_item* item)
{
    if (store_enabled())
        dirty.insert(item);
}

void broker_store_note(pub_item* item)
{
    if (!store_enabled())
        return;
    dirty.insert(item);
    double value;
    if (!history_takes(item) || !store_number_parse(item->data, item->data_len, &value))
        return;
    if (points.size() >= POINTS_HELD_MAX) {
        if (!points_dropping)
            log_write(LOG_WARNING, "store: behind; new history points are dropped until it catches up\n");
        points_dropping = true;
        return;
    }
    auto now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch()).count();
    points.push_back({std::string(reinterpret_cast<const char*>(item->name), item->name_len), now_ms, value});
}

void broker_store_flush(bool stopping)
{
    if (!store_enabled() || (dirty.empty() && points.empty()))
        return;
    // While the store is behind the changes stay here, coalesced.
    if (!stopping && msg_mqtt_store_length() >= MQTT_STORE_BEHIND)
        return;
    points_dropping = false;
    mqtt_store_msg* record = msg_mqtt_store_new();
    record->topics.reserve(dirty.size());
    for (pub_item* item : dirty) {
        store_topic topic{std::string(reinterpret_cast<const char*>(item->name), item->name_len), {}, item->retain,
                          item->topic_id};
        if (item->retain && item->data)
            topic.value.assign(reinterpret_cast<const char*>(item->data), item->data_len);
        record->topics.push_back(std::move(topic));
    }
    dirty.clear();
    record->points.swap(points);
    record->next_topic_id = mqttsn_topic_id;
    msg_mqtt_store_add(record);
}

void broker_store_forget()
{
    dirty.clear();
    points.clear();
    history_wanted.clear();
}
