// The history as the HTTP thread reads it: its own read-only connection,
// which WAL lets read while the store thread writes.
#include <sqlite3.h>

#include <cinttypes>
#include <cstdio>

#include "store/store.h"

namespace {

// Milliseconds a read waits for the writer at most: a dashboard request
// must not hold the HTTP thread.
constexpr int READ_BUSY_MS = 50;

sqlite3* reader = nullptr;

void json_string_append(std::string* out, const uint8_t* text, uint16_t len)
{
    out->push_back('"');
    for (uint16_t i = 0; i < len; ++i) {
        unsigned char c = text[i];
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out->append(escaped);
        } else {
            out->push_back(static_cast<char>(c));
        }
    }
    out->push_back('"');
}

} // namespace

int store_history_json(const uint8_t* topic, uint16_t topic_len, int64_t since_ms, std::string* out)
{
    if (!store_enabled())
        return -1;
    if (!reader) {
        if (sqlite3_open_v2(store_path(), &reader, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            store_history_close();
            return -1;
        }
        sqlite3_busy_timeout(reader, READ_BUSY_MS);
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(reader,
                           "SELECT h.t, h.v FROM history h JOIN history_topics n ON h.topic = n.id "
                           "WHERE n.name = ?1 AND h.t >= ?2 ORDER BY h.t, h.rowid",
                           -1, &stmt, nullptr) != SQLITE_OK) {
        // A store not made yet has no tables: no points either.
        sqlite3_finalize(stmt);
        store_history_close();
        return -1;
    }
    sqlite3_bind_blob(stmt, 1, topic, topic_len, SQLITE_STATIC);
    sqlite3_bind_int64(stmt, 2, since_ms);
    out->assign("{\"topic\": ");
    json_string_append(out, topic, topic_len);
    out->append(", \"points\": [");
    int rc;
    bool first = true;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        char point[64];
        std::snprintf(point, sizeof point, "%s[%" PRId64 ", %.17g]", first ? "" : ", ",
                      static_cast<int64_t>(sqlite3_column_int64(stmt, 0)), sqlite3_column_double(stmt, 1));
        out->append(point);
        first = false;
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE)
        return -1;
    out->append("]}\n");
    return 0;
}

void store_history_close()
{
    if (reader)
        sqlite3_close_v2(reader);
    reader = nullptr;
}
