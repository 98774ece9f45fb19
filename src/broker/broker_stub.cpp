// Placeholder until the broker thread lands.
#include "broker/broker.h"

list<mqtt_conn> mqtt_conns;
list<mqttsn_conn> mqttsn_conns;
list<mqtt_user> mqtt_users;
list<pub_item> pub_list;
list<mqtt_trigger> mqtt_triggers;
uint16_t mqtt_msg_id = 1;
uint16_t mqttsn_msg_id = 1;
uint16_t mqttsn_topic_id = 1;

int thread_mqtt_start()
{
    return 0;
}

void thread_mqtt_stop() {}

void thread_mqtt_user_add(const char* user_name, const char* password, uint8_t publish_enable)
{
    list_mqtt_user_add_new(&mqtt_users, user_name, password, publish_enable);
}

void thread_mqtt_trigger_add(const char* topic, uint32_t next_id)
{
    mqtt_trigger_add_new(&mqtt_triggers, topic, next_id);
}

void thread_mqtt_trigger_remove_all()
{
    mqtt_trigger_remove_all(&mqtt_triggers);
}
