// Any thread -> storage thread: one device-data record for the database.
// Operations: msg_mqtt_mysql_init, _new, _add, _get_first, _remove,
// _destroy, _length, _set_waker. The channel is built from channel.h's
// pieces rather than MSG_CHANNEL because its add is bounded: while the
// database is away records wait here, and without a bound a producer could
// fill the memory.
//
// Payload records and their texts are heap records made with new and
// new[]; the channel record owns its payload, and removing or dropping the
// record frees both. A record of an unknown kind must carry no payload.
#pragma once

#include <cstdint>

#include "channels/channel.h"

enum : uint32_t {
    MYSQL_DATA_LONG = 0,
    MYSQL_DATA_FLOAT = 1,
    MYSQL_DATA_UTF8STR = 2,
    MYSQL_DEVICE_IP = 3,
    MYSQL_SENSOR_UNIT = 4,
    MYSQL_ACTUATOR_UNIT = 5,
    MYSQL_SENSOR_TYPE = 6,
    MYSQL_ACTUATOR_TYPE = 7,
    MYSQL_DEVICE_TIMEOUT = 8,
};

// Kinds 0-2; `value` by kind: integer, float, NUL-terminated text.
struct mysql_data {
    uint32_t id;
    uint32_t param;
    int32_t time; // seconds since the epoch
    union {
        int32_t integer;
        float real;
        char* text;
    } value;
};

// Kinds 4-7: a unit (4, 5) or a data type (6, 7).
struct mysql_param_text {
    uint32_t id;
    uint32_t param;
    char* text;
};

// Kind 3.
struct mysql_device_ip {
    uint32_t id;
    char* ip;
};

// Kind 8.
struct mysql_device_timeout {
    uint32_t id;
    uint32_t timeout;
};

struct mqtt_mysql_msg : msg_record {
    uint32_t kind;
    void* payload; // the kind's payload record, owned
};

// Records waiting at most; beyond this new records are dropped until the
// queue is down to MQTT_MYSQL_RESUME again (one log line per episode).
constexpr uint32_t MQTT_MYSQL_MAX = 10000;
constexpr uint32_t MQTT_MYSQL_RESUME = MQTT_MYSQL_MAX / 2;

// Frees the payload record and its text.
void msg_record_release(mqtt_mysql_msg* record);

inline msg_queue msg_mqtt_mysql_queue;
inline void msg_mqtt_mysql_init() { msg_init(&msg_mqtt_mysql_queue); }
[[nodiscard]] inline mqtt_mysql_msg* msg_mqtt_mysql_new() { return new mqtt_mysql_msg{}; }
[[nodiscard]] inline mqtt_mysql_msg* msg_mqtt_mysql_get_first()
{
    return static_cast<mqtt_mysql_msg*>(msg_get_first(&msg_mqtt_mysql_queue));
}
inline void msg_mqtt_mysql_remove(mqtt_mysql_msg* r) { msg_channel_remove(&msg_mqtt_mysql_queue, r); }
inline void msg_mqtt_mysql_destroy() { msg_destroy(&msg_mqtt_mysql_queue); }
[[nodiscard]] inline uint32_t msg_mqtt_mysql_length() { return msg_length(&msg_mqtt_mysql_queue); }
inline void msg_mqtt_mysql_set_waker(msg_waker* waker) { msg_set_waker(&msg_mqtt_mysql_queue, waker); }

// Any thread: queues the record, which then belongs to the channel. 0, or
// -1 when the queue is full: the record is then freed at once.
[[nodiscard]] int msg_mqtt_mysql_add(mqtt_mysql_msg* record);

// A new[] copy of a NUL-terminated text, for the payload records.
[[nodiscard]] char* msg_mqtt_mysql_text(const char* text);
