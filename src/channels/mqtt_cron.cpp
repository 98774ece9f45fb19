#include "channels/mqtt_cron.h"

void msg_mqtt_cron_add_packet(list<cron_trigger> entries)
{
    mqtt_cron_msg* record = msg_mqtt_cron_new();
    record->entries = entries;
    msg_mqtt_cron_add(record);
}
