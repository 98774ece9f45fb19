// The store thread: keeps the hub's lasting state (retained values, topic
// ids and the topic-id counter, the hash of the rules file in force) and
// the history of numeric publications in one SQLite file, written in WAL
// mode, one transaction at most every persistence_interval and only when
// something changed, and once more at the stop. It also keeps the QoS 1
// publications the bridge holds for its upstream. Nobody waits on it:
// changes come through the mqtt_store and bridge_store channels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "channels/bridge.h"
#include "channels/mqtt_store.h"
#include "conf_records.h"

// What the file held at start.
struct store_loaded {
    std::vector<store_topic> topics; // in the order they first appeared
    uint16_t next_topic_id = 0;      // 0: none stored
    bool has_rules_hash = false;
    uint64_t rules_hash = 0;
    std::vector<store_session> sessions; // clean-session-0 MQTT sessions
    std::vector<bridge_held> held; // the bridge's, oldest first
};

// Main thread, before any other thread uses the store: takes the record.
// An empty persistence_file turns the store off.
void thread_store_setup(store_conf* conf);
// Whether persistence_file is set. Read-only once set up.
[[nodiscard]] bool store_enabled();
// The file's absolute path, "" when off.
[[nodiscard]] const char* store_path();

// Main thread, before the broker and the rules engine run: opens the file
// (creating it), reads it into `out` and keeps the connection for the
// thread. A file that is not a readable store is renamed aside (logged at
// err level) and a new one started; one that cannot be opened leaves `out`
// empty, and the thread tries again each interval.
void store_load(store_loaded* out);
// 0, or -1 when the thread could not start. Does nothing when off.
int thread_store_start();
// Drains the channel, writes what is left and closes the file.
void thread_store_stop();

// The hash kept for the rules file's text (the value of the rules topic).
[[nodiscard]] uint64_t store_rules_hash(const uint8_t* text, size_t len);

// Broker thread: whether publications on this topic are kept as history
// (history_topics, never "$SYS/...").
[[nodiscard]] bool store_history_wanted(const uint8_t* name, uint16_t len);
// Whether the whole payload is one finite number, and which.
[[nodiscard]] bool store_number_parse(const uint8_t* data, uint32_t len, double* value);
// Payloads longer than this are not taken for numbers.
constexpr uint32_t STORE_NUMBER_MAX = 63;
// A cheap first look for the broker thread: whether the payload may be a
// number (short, and starting as one does); store_number_parse decides.
[[nodiscard]] inline bool store_number_maybe(const uint8_t* data, uint32_t len)
{
    if (len == 0 || len > STORE_NUMBER_MAX)
        return false;
    uint8_t c = data[0];
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == ' ';
}

// HTTP thread: the history of one topic since `since_ms`, oldest first, as
// {"topic": "...", "points": [[unix_ms, value], ...]}. Reads the file on a
// read-only connection of the calling thread, waiting for the writer a few
// milliseconds at most. 0, or -1 when the file cannot be read now.
int store_history_json(const uint8_t* topic, uint16_t topic_len, int64_t since_ms, std::string* out);
// Closes the calling thread's read-only connection.
void store_history_close();
