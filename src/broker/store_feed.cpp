// What the broker tells the store thread: the topics whose value, retain
// flag or topic id may have changed, coalesced for a second, and the
// publications the history may keep. The broker only copies: telling
// numbers and everything on the disk happen on the store thread.
#include <time.h>

#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "broker/broker_internal.h"
#include "channels/mqtt_store.h"
#include "logging.h"
#include "store/store.h"

namespace {

// Payload bytes held for the history while the store is behind, at most.
constexpr size_t HELD_BYTES_MAX = 8u << 20;

struct feed_topic {
    bool wanted;     // history_topics takes it
    bool listed;     // in `listed`
    bool dirty;      // its lasting state may have changed
    std::string raw; // publications for the history (store_series)
};

// By topic: topics live as long as the broker runs.
std::unordered_map<const pub_item*, feed_topic> feed;
// The topics with something to send.
std::vector<pub_item*> listed;
size_t held_bytes = 0;
bool dropping = false;
// The last topic looked up: a sensor publishing often skips the lookup.
const pub_item* last_item = nullptr;
feed_topic* last_entry = nullptr;
// Client ids whose session may have changed (mqtt_standard = 1).
std::unordered_set<std::string> dirty_sessions;

feed_topic& entry_of(pub_item* item)
{
    if (item == last_item)
        return *last_entry;
    auto it = feed.find(item);
    if (it == feed.end())
        it = feed.emplace(item, feed_topic{store_history_wanted(item->name, item->name_len), false, false, {}}).first;
    last_item = item;
    last_entry = &it->second;
    return it->second;
}

void listed_add(pub_item* item, feed_topic& entry)
{
    if (!entry.listed)
        listed.push_back(item);
    entry.listed = true;
}

} // namespace

void broker_store_mark(pub_item* item)
{
    if (!store_enabled())
        return;
    feed_topic& entry = entry_of(item);
    entry.dirty = true;
    listed_add(item, entry);
}

void broker_store_note(pub_item* item)
{
    if (!store_enabled())
        return;
    feed_topic& entry = entry_of(item);
    entry.dirty = true;
    listed_add(item, entry);
    if (!entry.wanted || !store_number_maybe(item->data, item->data_len))
        return;
    if (held_bytes >= HELD_BYTES_MAX) {
        if (!dropping)
            log_write(LOG_WARNING, "store: behind; new history points are dropped until it catches up\n");
        dropping = true;
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    int64_t time_ms = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    char head[9];
    std::memcpy(head, &time_ms, 8);
    head[8] = static_cast<char>(item->data_len);
    entry.raw.append(head, sizeof head);
    entry.raw.append(reinterpret_cast<const char*>(item->data), item->data_len);
    held_bytes += sizeof head + item->data_len;
}

void broker_store_session_mark(const mqtt_conn* conn)
{
    if (store_enabled() && conn->client_id)
        dirty_sessions.emplace(reinterpret_cast<const char*>(conn->client_id), conn->client_id_len);
}

namespace {

// The current state of each session marked: a clean-session-0 client,
// connected or away, keeps its session; any other leaves the store.
void sessions_copy(mqtt_store_msg* record)
{
    std::unordered_map<std::string_view, const mqtt_conn*> holders;
    for (list<mqtt_conn>* conns : {&mqtt_conns, &mqtt_away})
        for (const mqtt_conn* conn = conns->head; conn; conn = conn->next)
            if (conn->client_id && !conn->clean_session)
                holders[{reinterpret_cast<const char*>(conn->client_id), conn->client_id_len}] = conn;
    record->sessions.reserve(dirty_sessions.size());
    for (const std::string& client_id : dirty_sessions) {
        store_session session{client_id, false, {}, {}};
        auto it = holders.find(client_id);
        if (it != holders.end())
            mqtt_session_copy(it->second, &session);
        record->sessions.push_back(std::move(session));
    }
    dirty_sessions.clear();
}

} // namespace

void broker_store_flush(bool stopping)
{
    if (!store_enabled() || (listed.empty() && dirty_sessions.empty()))
        return;
    // While the store is behind the changes stay here, coalesced.
    if (!stopping && msg_mqtt_store_length() >= MQTT_STORE_BEHIND)
        return;
    dropping = false;
    held_bytes = 0;
    mqtt_store_msg* record = msg_mqtt_store_new();
    record->topics.reserve(listed.size());
    for (pub_item* item : listed) {
        feed_topic& entry = entry_of(item);
        std::string name(reinterpret_cast<const char*>(item->name), item->name_len);
        if (entry.dirty) {
            store_topic topic{name, {}, item->retain, item->topic_id};
            if (broker_mqtt_standard) {
                topic.retain = item->retained ? static_cast<uint8_t>(1 | (item->retained_qos & 3) << 1) : 0;
                if (item->retained)
                    topic.value.assign(reinterpret_cast<const char*>(item->retained), item->retained_len);
            } else if (item->retain && item->data) {
                topic.value.assign(reinterpret_cast<const char*>(item->data), item->data_len);
            }
            record->topics.push_back(std::move(topic));
        }
        if (!entry.raw.empty()) {
            record->series.push_back({std::move(name), std::move(entry.raw)});
            entry.raw = {};
        }
        entry.dirty = entry.listed = false;
    }
    listed.clear();
    sessions_copy(record);
    record->next_topic_id = mqttsn_topic_id;
    msg_mqtt_store_add(record);
}

void broker_store_forget()
{
    feed.clear();
    listed.clear();
    dirty_sessions.clear();
    held_bytes = 0;
    last_item = nullptr;
    last_entry = nullptr;
}
