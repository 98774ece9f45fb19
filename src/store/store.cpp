#include "store/store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "list/lists.h"
#include "logging.h"
#include "paths.h"
#include "thread_module.h"

namespace {

using steady = std::chrono::steady_clock;

// The rules topic's value is the rules file in force: only its hash is
// kept, to tell at the next start whether the file changed meanwhile.
constexpr char RULES_TOPIC[] = "$SYS/rulesengine/rules";
// History points waiting while the file cannot be written, at most; the
// oldest go first beyond it.
constexpr size_t PENDING_POINTS_MAX = 200000;
// Points older than history_days go with each write for the topics that
// got points, and for all topics this often.
constexpr auto AGE_SWEEP_INTERVAL = std::chrono::hours(1);

constexpr char SCHEMA[] =
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER);"
    "CREATE TABLE IF NOT EXISTS topics(name BLOB PRIMARY KEY, value BLOB, retain INTEGER, topic_id INTEGER);"
    "CREATE TABLE IF NOT EXISTS history_topics(id INTEGER PRIMARY KEY, name BLOB UNIQUE);"
    "CREATE TABLE IF NOT EXISTS history(topic INTEGER, t INTEGER, v REAL);"
    "CREATE INDEX IF NOT EXISTS history_topic_t ON history(topic, t);"
    "CREATE TABLE IF NOT EXISTS mqtt_sessions(client_id BLOB PRIMARY KEY, subscriptions BLOB, deliveries BLOB);"
    "CREATE TABLE IF NOT EXISTS bridge_held(seq INTEGER PRIMARY KEY, topic BLOB, payload BLOB, retain INTEGER);";

store_conf* options = nullptr;
std::string path;
std::vector<std::string> history_filters;

sqlite3* db = nullptr;
// Every topic's state as last known: what the file holds plus what came
// since. Topics with nothing to keep are absent.
std::unordered_map<std::string, store_topic> known;
// Names whose state in `known` the file does not hold yet.
std::unordered_set<std::string> unwritten;
// The MQTT sessions as last known, by client id, and those the file does
// not hold as they are (absent from `sessions`: to be deleted).
std::unordered_map<std::string, store_session> sessions;
std::unordered_set<std::string> sessions_unwritten;
// The bridge's held publications that the file does not hold yet, by
// sequence (only those: the bridge keeps them all in memory already), and
// the sequences to write (absent from `held_added`: to be deleted).
std::map<uint64_t, bridge_held> held_added;
std::unordered_set<uint64_t> held_unwritten;
uint16_t next_topic_id = 0;
uint16_t written_next_topic_id = 0;
bool has_rules_hash = false;
uint64_t rules_hash = 0;
uint64_t written_rules_hash = 0;
bool written_has_rules_hash = false;
std::vector<store_point> pending_points;
size_t points_dropped = 0;
// History topic ids and point counts, as the file holds them.
std::unordered_map<std::string, int64_t> history_ids;
std::unordered_map<int64_t, int64_t> history_counts;
int64_t history_total = 0;
steady::time_point next_write;
steady::time_point next_age_sweep;
// Set while writes fail: one warning per episode.
bool write_failing = false;

bool thread_store_begin();
void thread_store_loop();
thread_module module{thread_store_begin, thread_store_loop, nullptr};

bool exec(const char* sql)
{
    char* error = nullptr;
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK)
        log_write(LOG_DEBUG, "store: %s: %s\n", sql, error ? error : sqlite3_errstr(rc));
    sqlite3_free(error);
    return rc == SQLITE_OK;
}

// A prepared statement freed with its scope.
struct statement {
    sqlite3_stmt* stmt = nullptr;
    explicit statement(const char* sql)
    {
        if (db && sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
            stmt = nullptr;
    }
    ~statement() { sqlite3_finalize(stmt); }
    statement(const statement&) = delete;
    statement& operator=(const statement&) = delete;
    // Runs a statement that returns no rows; it is reset for the next use.
    bool run()
    {
        if (!stmt)
            return false;
        int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        return rc == SQLITE_DONE;
    }
};

void bind_bytes(sqlite3_stmt* stmt, int column, const std::string& bytes)
{
    sqlite3_bind_blob(stmt, column, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

std::string column_bytes(sqlite3_stmt* stmt, int column)
{
    const void* bytes = sqlite3_column_blob(stmt, column);
    int len = sqlite3_column_bytes(stmt, column);
    return bytes ? std::string(static_cast<const char*>(bytes), static_cast<size_t>(len)) : std::string();
}

// A session's subscriptions and deliveries as blobs: per subscription its
// filter length (2 octets, host order), filter and QoS; per delivery QoS,
// retain, state, message id (2), topic length (2), topic, payload length
// (4) and payload.
void put(std::string* out, const void* bytes, size_t len)
{
    out->append(static_cast<const char*>(bytes), len);
}

std::string subscriptions_encode(const store_session& session)
{
    std::string out;
    for (const store_subscription& sub : session.subs) {
        auto len = static_cast<uint16_t>(sub.filter.size());
        put(&out, &len, 2);
        out += sub.filter;
        out += static_cast<char>(sub.qos);
    }
    return out;
}

std::string deliveries_encode(const store_session& session)
{
    std::string out;
    for (const store_delivery& d : session.deliveries) {
        uint8_t head[3] = {d.qos, d.retain, d.state};
        put(&out, head, 3);
        put(&out, &d.msg_id, 2);
        auto topic_len = static_cast<uint16_t>(d.topic.size());
        put(&out, &topic_len, 2);
        out += d.topic;
        auto payload_len = static_cast<uint32_t>(d.payload.size());
        put(&out, &payload_len, 4);
        out += d.payload;
    }
    return out;
}

// Reads `len` bytes at `*at` when they are there.
bool take(const std::string& in, size_t* at, void* bytes, size_t len)
{
    if (in.size() - *at < len)
        return false;
    std::memcpy(bytes, in.data() + *at, len);
    *at += len;
    return true;
}

bool take_string(const std::string& in, size_t* at, std::string* out, size_t len)
{
    if (in.size() - *at < len)
        return false;
    out->assign(in, *at, len);
    *at += len;
    return true;
}

// False when a blob is cut short or malformed.
bool session_decode(const std::string& subs, const std::string& deliveries, store_session* out)
{
    size_t at = 0;
    while (at < subs.size()) {
        uint16_t len = 0;
        store_subscription sub{};
        if (!take(subs, &at, &len, 2) || !take_string(subs, &at, &sub.filter, len) || !take(subs, &at, &sub.qos, 1))
            return false;
        out->subs.push_back(std::move(sub));
    }
    at = 0;
    while (at < deliveries.size()) {
        store_delivery d{};
        uint8_t head[3];
        uint16_t topic_len = 0;
        uint32_t payload_len = 0;
        if (!take(deliveries, &at, head, 3) || !take(deliveries, &at, &d.msg_id, 2) ||
            !take(deliveries, &at, &topic_len, 2) || !take_string(deliveries, &at, &d.topic, topic_len) ||
            !take(deliveries, &at, &payload_len, 4) || !take_string(deliveries, &at, &d.payload, payload_len))
            return false;
        d.qos = head[0];
        d.retain = head[1];
        d.state = head[2];
        out->deliveries.push_back(std::move(d));
    }
    return true;
}

// Writes the row of each key in `unwritten`: what `rows` holds for it, or
// its deletion when it holds nothing. `bind` fills the key (?1) and, given
// a row, the other columns.
template <typename Keys, typename Rows, typename Bind>
bool rows_write(const Keys& unwritten, const Rows& rows, const char* upsert_sql, const char* delete_sql, Bind bind)
{
    if (unwritten.empty())
        return true;
    statement upsert(upsert_sql);
    statement remove(delete_sql);
    if (!upsert.stmt || !remove.stmt)
        return false;
    for (const auto& key : unwritten) {
        auto it = rows.find(key);
        bool present = it != rows.end();
        statement& stmt = present ? upsert : remove;
        bind(stmt.stmt, key, present ? &it->second : nullptr);
        if (!stmt.run())
            return false;
    }
    return true;
}

bool sessions_write()
{
    return rows_write(sessions_unwritten, sessions,
                      "INSERT OR REPLACE INTO mqtt_sessions(client_id, subscriptions, deliveries) VALUES(?1, ?2, ?3)",
                      "DELETE FROM mqtt_sessions WHERE client_id = ?1",
                      [](sqlite3_stmt* stmt, const std::string& client_id, const store_session* session) {
                          bind_bytes(stmt, 1, client_id);
                          if (session) {
                              bind_bytes(stmt, 2, subscriptions_encode(*session));
                              bind_bytes(stmt, 3, deliveries_encode(*session));
                          }
                      });
}

bool held_write()
{
    return rows_write(held_unwritten, held_added,
                      "INSERT OR REPLACE INTO bridge_held(seq, topic, payload, retain) VALUES(?1, ?2, ?3, ?4)",
                      "DELETE FROM bridge_held WHERE seq = ?1",
                      [](sqlite3_stmt* stmt, uint64_t seq, const bridge_held* pub) {
                          sqlite3_bind_int64(stmt, 1, static_cast<sqlite3_int64>(seq));
                          if (pub) {
                              bind_bytes(stmt, 2, pub->topic);
                              bind_bytes(stmt, 3, pub->payload);
                              sqlite3_bind_int(stmt, 4, pub->retain);
                          }
                      });
}

void db_close()
{
    if (db)
        sqlite3_close_v2(db);
    db = nullptr;
}

void write_failed(const char* what)
{
    if (!write_failing)
        log_write(LOG_WARNING, "store: %s cannot be written (%s); the hub goes on serving and tries again every "
                  "%d s\n", path.c_str(), what, options->persistence_interval);
    write_failing = true;
}

void write_succeeded()
{
    if (write_failing)
        log_write(LOG_NOTICE, "store: %s written again\n", path.c_str());
    write_failing = false;
}

// The file as a store: settings, schema and a quick check. SQLITE_OK, or
// the error that stopped it (SQLITE_NOTADB and SQLITE_CORRUPT mean the
// file is not a store).
int db_prepare()
{
    sqlite3_busy_timeout(db, 1000);
    sqlite3_extended_result_codes(db, 0);
    // WAL: a power cut leaves the last committed snapshot; FULL costs one
    // fsync per snapshot, which keeps it through the power cut too.
    char* error = nullptr;
    for (const char* sql : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL",
                            "PRAGMA journal_size_limit=4194304", "PRAGMA quick_check"}) {
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(stmt);
            if (rc == SQLITE_ROW && !std::strcmp(sql, "PRAGMA quick_check")) {
                const auto* verdict = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
                rc = verdict && !std::strcmp(verdict, "ok") ? SQLITE_OK : SQLITE_CORRUPT;
            } else if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
                rc = SQLITE_OK;
            }
        }
        sqlite3_finalize(stmt);
        if (rc != SQLITE_OK)
            return rc;
    }
    int rc = sqlite3_exec(db, SCHEMA, nullptr, nullptr, &error);
    sqlite3_free(error);
    return rc;
}

bool not_a_store(int rc)
{
    return rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT || rc == SQLITE_FORMAT;
}

// Moves the unreadable file (and its WAL) aside, keeping it.
void move_aside()
{
    std::string aside = path + ".corrupt-" + std::to_string(static_cast<long long>(std::time(nullptr)));
    if (std::rename(path.c_str(), aside.c_str()) != 0) {
        log_write(LOG_ERR, "store: %s cannot be read and cannot be moved aside: %s; starting empty\n",
                  path.c_str(), std::strerror(errno));
        return;
    }
    std::rename((path + "-wal").c_str(), (aside + "-wal").c_str());
    unlink((path + "-shm").c_str());
    log_write(LOG_ERR, "store: %s cannot be read; moved aside to %s, the hub starts empty\n", path.c_str(),
              aside.c_str());
}

// Opens the file, moving aside one that is not a store. False (the
// connection closed) when it cannot be opened or prepared now.
bool db_open()
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        if (rc == SQLITE_OK)
            rc = db_prepare();
        if (rc == SQLITE_OK)
            return true;
        std::string why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        db_close();
        if (attempt == 0 && not_a_store(rc)) {
            move_aside();
            continue;
        }
        write_failed(why.c_str());
        return false;
    }
    return false;
}

void history_counts_read()
{
    history_ids.clear();
    history_counts.clear();
    history_total = 0;
    statement names("SELECT id, name FROM history_topics");
    while (names.stmt && sqlite3_step(names.stmt) == SQLITE_ROW)
        history_ids[column_bytes(names.stmt, 1)] = sqlite3_column_int64(names.stmt, 0);
    statement counts("SELECT topic, COUNT(*) FROM history GROUP BY topic");
    while (counts.stmt && sqlite3_step(counts.stmt) == SQLITE_ROW) {
        history_counts[sqlite3_column_int64(counts.stmt, 0)] = sqlite3_column_int64(counts.stmt, 1);
        history_total += sqlite3_column_int64(counts.stmt, 1);
    }
}

// Reads the state the file holds into `known`.
void state_read(store_loaded* out)
{
    statement topics("SELECT name, value, retain, topic_id FROM topics ORDER BY rowid");
    while (topics.stmt && sqlite3_step(topics.stmt) == SQLITE_ROW) {
        store_topic topic{column_bytes(topics.stmt, 0), column_bytes(topics.stmt, 1),
                          static_cast<uint8_t>(sqlite3_column_int(topics.stmt, 2)),
                          static_cast<uint16_t>(sqlite3_column_int(topics.stmt, 3))};
        if (topic.name.empty() || topic.name.size() > UINT16_MAX || topic.value.size() > UINT16_MAX)
            continue;
        known[topic.name] = topic;
        if (out)
            out->topics.push_back(topic);
    }
    statement meta("SELECT key, value FROM meta");
    while (meta.stmt && sqlite3_step(meta.stmt) == SQLITE_ROW) {
        const auto* key = reinterpret_cast<const char*>(sqlite3_column_text(meta.stmt, 0));
        sqlite3_int64 value = sqlite3_column_int64(meta.stmt, 1);
        if (key && !std::strcmp(key, "next_topic_id") && value >= 1 && value <= 65535)
            written_next_topic_id = next_topic_id = static_cast<uint16_t>(value);
        if (key && !std::strcmp(key, "rules_hash")) {
            written_rules_hash = rules_hash = static_cast<uint64_t>(value);
            written_has_rules_hash = has_rules_hash = true;
        }
    }
    statement rows("SELECT client_id, subscriptions, deliveries FROM mqtt_sessions");
    while (rows.stmt && sqlite3_step(rows.stmt) == SQLITE_ROW) {
        store_session session{column_bytes(rows.stmt, 0), true, {}, {}};
        if (session.client_id.empty() ||
            !session_decode(column_bytes(rows.stmt, 1), column_bytes(rows.stmt, 2), &session)) {
            log_write(LOG_WARNING, "store: the session of client %.*s cannot be read; dropped\n",
                      static_cast<int>(session.client_id.size()), session.client_id.data());
            sessions_unwritten.insert(session.client_id);
            continue;
        }
        if (out)
            out->sessions.push_back(session);
        sessions.emplace(session.client_id, std::move(session));
    }
    statement held_rows("SELECT seq, topic, payload, retain FROM bridge_held ORDER BY seq");
    while (held_rows.stmt && sqlite3_step(held_rows.stmt) == SQLITE_ROW) {
        bridge_held pub{static_cast<uint64_t>(sqlite3_column_int64(held_rows.stmt, 0)),
                        column_bytes(held_rows.stmt, 1), column_bytes(held_rows.stmt, 2),
                        static_cast<uint8_t>(sqlite3_column_int(held_rows.stmt, 3) ? 1 : 0)};
        if (pub.topic.empty() || pub.topic.size() > UINT16_MAX) {
            held_unwritten.insert(pub.seq);
            continue;
        }
        if (out)
            out->held.push_back(std::move(pub));
    }
    history_counts_read();
    if (out) {
        out->next_topic_id = next_topic_id;
        out->has_rules_hash = has_rules_hash;
        out->rules_hash = rules_hash;
    }
}

bool state_equal(const store_topic& a, const store_topic& b)
{
    return a.retain == b.retain && a.topic_id == b.topic_id && a.value == b.value;
}

// Takes the broker's record: only real changes become unwritten.
void record_take(mqtt_store_msg* record)
{
    for (store_topic& topic : record->topics) {
        if (topic.name == RULES_TOPIC) {
            rules_hash = store_rules_hash(reinterpret_cast<const uint8_t*>(topic.value.data()), topic.value.size());
            has_rules_hash = true;
            continue;
        }
        if (!topic.retain)
            topic.value.clear();
        auto it = known.find(topic.name);
        bool keep = topic.retain || topic.topic_id;
        if (it == known.end() ? !keep : state_equal(it->second, topic))
            continue;
        unwritten.insert(topic.name);
        if (it == known.end())
            known.emplace(topic.name, std::move(topic));
        else
            it->second = std::move(topic);
    }
    for (store_session& session : record->sessions) {
        // A clean-session-1 client that never had a session here.
        if (!session.kept && !sessions.count(session.client_id))
            continue;
        sessions_unwritten.insert(session.client_id);
        if (session.kept)
            sessions[session.client_id] = std::move(session);
        else
            sessions.erase(session.client_id);
    }
    next_topic_id = record->next_topic_id;
    for (const store_series& series : record->series) {
        const auto* raw = reinterpret_cast<const uint8_t*>(series.raw.data());
        size_t at = 0;
        while (at + 9 <= series.raw.size()) {
            int64_t time_ms;
            std::memcpy(&time_ms, raw + at, sizeof time_ms);
            uint8_t len = raw[at + 8];
            at += 9;
            if (at + len > series.raw.size())
                break;
            double value;
            if (store_number_parse(raw + at, len, &value))
                pending_points.push_back({series.topic, time_ms, value});
            at += len;
        }
    }
    if (pending_points.size() > PENDING_POINTS_MAX) {
        size_t excess = pending_points.size() - PENDING_POINTS_MAX;
        if (points_dropped == 0)
            log_write(LOG_WARNING, "store: history points wait for the file; the oldest are dropped\n");
        points_dropped += excess;
        pending_points.erase(pending_points.begin(), pending_points.begin() + static_cast<long>(excess));
    }
}

void held_take(bridge_store_msg* record)
{
    for (bridge_held& pub : record->added) {
        held_unwritten.insert(pub.seq);
        held_added[pub.seq] = std::move(pub);
    }
    for (uint64_t seq : record->done) {
        held_unwritten.insert(seq);
        held_added.erase(seq);
    }
}

// Both channels, in full.
void channels_drain()
{
    msg_mqtt_store_drain(UINT32_MAX, record_take);
    msg_bridge_store_drain(UINT32_MAX, held_take);
}

bool something_to_write()
{
    return !unwritten.empty() || !sessions_unwritten.empty() || !held_unwritten.empty() || !pending_points.empty() ||
           next_topic_id != written_next_topic_id ||
           has_rules_hash != written_has_rules_hash || rules_hash != written_rules_hash;
}

bool topics_write()
{
    statement upsert("INSERT INTO topics(name, value, retain, topic_id) VALUES(?1, ?2, ?3, ?4) "
                     "ON CONFLICT(name) DO UPDATE SET value = ?2, retain = ?3, topic_id = ?4");
    statement remove("DELETE FROM topics WHERE name = ?1");
    for (const std::string& name : unwritten) {
        auto it = known.find(name);
        bool keep = it != known.end() && (it->second.retain || it->second.topic_id);
        sqlite3_stmt* stmt = keep ? upsert.stmt : remove.stmt;
        if (!stmt)
            return false;
        bind_bytes(stmt, 1, name);
        if (keep) {
            bind_bytes(stmt, 2, it->second.value);
            sqlite3_bind_int(stmt, 3, it->second.retain);
            sqlite3_bind_int(stmt, 4, it->second.topic_id);
        }
        if (!(keep ? upsert.run() : remove.run()))
            return false;
    }
    statement meta("INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)");
    if (!meta.stmt)
        return false;
    sqlite3_bind_text(meta.stmt, 1, "next_topic_id", -1, SQLITE_STATIC);
    sqlite3_bind_int(meta.stmt, 2, next_topic_id);
    if (!meta.run())
        return false;
    if (has_rules_hash) {
        sqlite3_bind_text(meta.stmt, 1, "rules_hash", -1, SQLITE_STATIC);
        sqlite3_bind_int64(meta.stmt, 2, static_cast<sqlite3_int64>(rules_hash));
        if (!meta.run())
            return false;
    }
    return true;
}

int64_t history_topic_id(const std::string& name)
{
    auto it = history_ids.find(name);
    if (it != history_ids.end())
        return it->second;
    statement insert("INSERT INTO history_topics(name) VALUES(?1)");
    if (!insert.stmt)
        return -1;
    bind_bytes(insert.stmt, 1, name);
    if (!insert.run())
        return -1;
    int64_t id = sqlite3_last_insert_rowid(db);
    history_ids[name] = id;
    return id;
}

bool count_run(statement& stmt, int64_t topic)
{
    if (!stmt.run())
        return false;
    int64_t removed = sqlite3_changes(db);
    if (topic >= 0)
        history_counts[topic] -= removed;
    history_total -= removed;
    return true;
}

// The history bounds: age, points per topic (every other point of the
// oldest half goes, so old history gets coarser rather than shorter), and
// points altogether (the oldest go).
bool history_prune(const std::unordered_set<int64_t>& touched, int64_t now_ms)
{
    int64_t cutoff = now_ms - static_cast<int64_t>(options->history_days) * 86400000;
    statement age("DELETE FROM history WHERE topic = ?1 AND t < ?2");
    statement thin("DELETE FROM history WHERE rowid IN (SELECT r FROM (SELECT rowid AS r, "
                   "row_number() OVER (ORDER BY t, rowid) AS n FROM history WHERE topic = ?1) "
                   "WHERE n <= ?2 AND n % 2 = 0)");
    if (!age.stmt || !thin.stmt)
        return false;
    for (int64_t topic : touched) {
        sqlite3_bind_int64(age.stmt, 1, topic);
        sqlite3_bind_int64(age.stmt, 2, cutoff);
        if (!count_run(age, topic))
            return false;
        while (history_counts[topic] > options->history_max_points) {
            sqlite3_bind_int64(thin.stmt, 1, topic);
            sqlite3_bind_int64(thin.stmt, 2, history_counts[topic] / 2);
            if (!count_run(thin, topic))
                return false;
            if (sqlite3_changes(db) == 0)
                break;
        }
    }
    bool recount = false;
    if (steady::now() >= next_age_sweep) {
        statement sweep("DELETE FROM history WHERE t < ?1");
        if (!sweep.stmt)
            return false;
        sqlite3_bind_int64(sweep.stmt, 1, cutoff);
        if (!sweep.run())
            return false;
        recount = sqlite3_changes(db) > 0;
    }
    if (history_total > options->history_max_points_total) {
        statement oldest("DELETE FROM history WHERE rowid IN (SELECT rowid FROM history ORDER BY t LIMIT ?1)");
        if (!oldest.stmt)
            return false;
        sqlite3_bind_int64(oldest.stmt, 1, history_total - options->history_max_points_total * 9LL / 10);
        if (!oldest.run())
            return false;
        recount = true;
    }
    if (recount)
        history_counts_read();
    return true;
}

bool history_write()
{
    if (pending_points.empty() && steady::now() < next_age_sweep)
        return true;
    statement insert("INSERT INTO history(topic, t, v) VALUES(?1, ?2, ?3)");
    if (!insert.stmt)
        return false;
    std::unordered_set<int64_t> touched;
    for (const store_point& point : pending_points) {
        int64_t topic = history_topic_id(point.topic);
        if (topic < 0)
            return false;
        sqlite3_bind_int64(insert.stmt, 1, topic);
        sqlite3_bind_int64(insert.stmt, 2, point.time_ms);
        sqlite3_bind_double(insert.stmt, 3, point.value);
        if (!insert.run())
            return false;
        ++history_counts[topic];
        ++history_total;
        touched.insert(topic);
    }
    auto now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch()).count();
    return history_prune(touched, now_ms);
}

// One snapshot, one transaction: all of it lands, or none of it.
void snapshot_write()
{
    bool fresh = false;
    if (!db) {
        if (!db_open())
            return;
        // A new file: it must get everything known, not only what changed.
        fresh = true;
        history_counts_read();
    }
    if (fresh) {
        for (const auto& entry : known)
            unwritten.insert(entry.first);
        for (const auto& entry : sessions)
            sessions_unwritten.insert(entry.first);
        for (const auto& entry : held_added)
            held_unwritten.insert(entry.first);
    }
    if (!exec("BEGIN IMMEDIATE")) {
        write_failed(sqlite3_errmsg(db));
        return;
    }
    if (!topics_write() || !sessions_write() || !held_write() || !history_write()) {
        std::string why = sqlite3_errmsg(db);
        exec("ROLLBACK");
        // The counts may have moved with statements now undone.
        history_counts_read();
        write_failed(why.c_str());
        return;
    }
    if (!exec("COMMIT")) {
        std::string why = sqlite3_errmsg(db);
        exec("ROLLBACK");
        history_counts_read();
        write_failed(why.c_str());
        return;
    }
    write_succeeded();
    for (const std::string& name : unwritten) {
        auto it = known.find(name);
        if (it != known.end() && !it->second.retain && !it->second.topic_id)
            known.erase(it);
    }
    unwritten.clear();
    sessions_unwritten.clear();
    held_added.clear();
    held_unwritten.clear();
    pending_points.clear();
    written_next_topic_id = next_topic_id;
    written_rules_hash = rules_hash;
    written_has_rules_hash = has_rules_hash;
    if (steady::now() >= next_age_sweep)
        next_age_sweep = steady::now() + AGE_SWEEP_INTERVAL;
    if (points_dropped) {
        log_write(LOG_WARNING, "store: %zu history points were dropped while the file could not be written\n",
                  points_dropped);
        points_dropped = 0;
    }
}

bool thread_store_begin()
{
    msg_mqtt_store_set_waker(&module.waker);
    msg_bridge_store_set_waker(&module.waker);
    next_write = steady::now() + std::chrono::seconds(options->persistence_interval);
    next_age_sweep = steady::now();
    return true;
}

void thread_store_loop()
{
    for (;;) {
        channels_drain();
        if (thread_module_stopping(&module))
            break;
        auto now = steady::now();
        if (now >= next_write && something_to_write()) {
            snapshot_write();
            next_write = now + std::chrono::seconds(options->persistence_interval);
        }
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(next_write - now).count();
        msg_waker_wait(&module.waker, static_cast<int>(std::clamp<long long>(wait, 10, THREAD_IDLE_WAIT_MS)));
    }
    // The final snapshot: what the broker and the bridge sent before they
    // stopped.
    channels_drain();
    if (something_to_write())
        snapshot_write();
    msg_mqtt_store_set_waker(nullptr);
    msg_bridge_store_set_waker(nullptr);
    db_close();
}

} // namespace

void thread_store_setup(store_conf* conf)
{
    delete options;
    options = conf;
    path.clear();
    history_filters.clear();
    if (!conf || !conf->persistence_file[0])
        return;
    const char* file = conf->persistence_file;
    const char* start = start_directory();
    // The daemon works in "/" once detached.
    path = file[0] == '/' || !start[0] ? file : std::string(start) + "/" + file;
    std::string filters = conf->history_topics[0] ? conf->history_topics : "#";
    size_t pos = 0;
    while (pos <= filters.size()) {
        size_t comma = std::min(filters.find(',', pos), filters.size());
        if (comma > pos)
            history_filters.push_back(filters.substr(pos, comma - pos));
        pos = comma + 1;
    }
}

bool store_enabled()
{
    return !path.empty();
}

const char* store_path()
{
    return path.c_str();
}

void store_load(store_loaded* out)
{
    if (!store_enabled())
        return;
    msg_mqtt_store_init();
    msg_bridge_store_init();
    if (!db_open())
        return;
    state_read(out);
    log_write(LOG_INFO, "store %s: %zu topics, %lld history points\n", path.c_str(), known.size(),
              static_cast<long long>(history_total));
}

int thread_store_start()
{
    if (!store_enabled())
        return 0;
    return thread_module_start(&module);
}

void thread_store_stop()
{
    if (!store_enabled())
        return;
    thread_module_stop(&module);
    db_close();
    msg_mqtt_store_destroy();
    msg_bridge_store_drain(UINT32_MAX, [](bridge_store_msg*) {});
    msg_bridge_store_destroy();
    known.clear();
    unwritten.clear();
    sessions.clear();
    sessions_unwritten.clear();
    held_added.clear();
    held_unwritten.clear();
    pending_points.clear();
}

uint64_t store_rules_hash(const uint8_t* text, size_t len)
{
    // FNV-1a: it only has to tell one file from another, and stays the
    // same across builds, unlike std::hash.
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < len; ++i)
        hash = (hash ^ text[i]) * 1099511628211ull;
    return hash & 0x7fffffffffffffffull; // an SQLite integer
}

bool store_history_wanted(const uint8_t* name, uint16_t len)
{
    if (len >= 5 && !std::memcmp(name, "$SYS/", 5))
        return false;
    for (const std::string& filter : history_filters)
        if (pname_matches_sname(reinterpret_cast<const uint8_t*>(filter.data()), static_cast<uint16_t>(filter.size()),
                                name, len))
            return true;
    return false;
}

bool store_number_parse(const uint8_t* data, uint32_t len, double* value)
{
    // Longer payloads are not sensor readings.
    char text[STORE_NUMBER_MAX + 1];
    if (len == 0 || len > STORE_NUMBER_MAX)
        return false;
    std::memcpy(text, data, len);
    text[len] = '\0';
    char* end = nullptr;
    double number = std::strtod(text, &end);
    if (end != text + len || !std::isfinite(number))
        return false;
    *value = number;
    return true;
}
