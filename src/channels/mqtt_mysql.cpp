#include "channels/mqtt_mysql.h"

#include <atomic>
#include <cstring>

#include "logging.h"

namespace {
// Set while new records are being dropped; producers on several threads
// share it, and only the one that sets it logs.
std::atomic<bool> dropping{false};
} // namespace

void msg_record_release(mqtt_mysql_msg* record)
{
    void* payload = record->payload;
    record->payload = nullptr;
    if (!payload)
        return;
    switch (record->kind) {
    case MYSQL_DATA_UTF8STR:
        delete[] static_cast<mysql_data*>(payload)->value.text;
        [[fallthrough]];
    case MYSQL_DATA_LONG:
    case MYSQL_DATA_FLOAT:
        delete static_cast<mysql_data*>(payload);
        break;
    case MYSQL_DEVICE_IP:
        delete[] static_cast<mysql_device_ip*>(payload)->ip;
        delete static_cast<mysql_device_ip*>(payload);
        break;
    case MYSQL_SENSOR_UNIT:
    case MYSQL_ACTUATOR_UNIT:
    case MYSQL_SENSOR_TYPE:
    case MYSQL_ACTUATOR_TYPE:
        delete[] static_cast<mysql_param_text*>(payload)->text;
        delete static_cast<mysql_param_text*>(payload);
        break;
    case MYSQL_DEVICE_TIMEOUT:
        delete static_cast<mysql_device_timeout*>(payload);
        break;
    default:
        break; // an unknown kind carries no payload
    }
}

int msg_mqtt_mysql_add(mqtt_mysql_msg* record)
{
    uint32_t waiting = msg_mqtt_mysql_length();
    if (dropping.load() && waiting < MQTT_MYSQL_RESUME)
        dropping.store(false);
    if (waiting >= MQTT_MYSQL_MAX || dropping.load()) {
        if (!dropping.exchange(true))
            log_write(LOG_DEBUG, "MySQL: %u records waiting for the database, new records dropped\n", waiting);
        msg_record_release(record);
        delete record;
        return -1;
    }
    msg_add(&msg_mqtt_mysql_queue, record);
    return 0;
}

char* msg_mqtt_mysql_text(const char* text)
{
    size_t size = std::strlen(text) + 1;
    char* copy = new char[size];
    std::memcpy(copy, text, size);
    return copy;
}
