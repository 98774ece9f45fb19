// The broker thread: owns every MQTT and MQTT-SN session, the topic list
// with the last value of every topic, the users, the rules engine's topic
// triggers and the id counters. Other threads reach it only through the
// channels and the thread_mqtt_... calls below.
#pragma once

#include <cstdint>

#include "channels/mqtt_store.h"
#include "conf_records.h"
#include "list/lists.h"
#include "list/mqtt_conn.h"
#include "list/mqtt_user.h"
#include "list/mqttsn_conn.h"
#include "broker/mqtt_trigger.h"

struct rules_set;

// Broker state. Touched only by the broker thread while it runs (the users
// and triggers are also filled by the main thread before it consumes).
extern list<mqtt_conn> mqtt_conns;
extern list<mqttsn_conn> mqttsn_conns;
extern list<mqtt_user> mqtt_users;   // empty: no authentication
extern list<pub_item> pub_list;      // every topic with its last value
extern list<mqtt_trigger> mqtt_triggers;
// Id counters: 1..65535, then 1 again; 0 means "no id".
extern uint16_t mqtt_msg_id;
extern uint16_t mqttsn_msg_id;
extern uint16_t mqttsn_topic_id;

// Main thread, start-up. 0, or -1 when the thread could not start or
// already runs.
int thread_mqtt_start();
// Main thread, shut-down: waits until the thread has released its state.
void thread_mqtt_stop();
// Any thread: asks the broker thread to read the rules file again and take
// it as a publication of its text on the rules topic (SIGHUP).
void thread_mqtt_rules_reload_request();

// Configuration reader, main thread, before thread_mqtt_start. The broker
// takes the record (and frees it).
void thread_mqtt_setup(broker_conf* conf);
void thread_mqtt_user_add(const char* user_name, const char* password, uint8_t publish_enable);
// Installs a rules file's parsed set (rules/json.h) on the broker thread,
// or on the main thread before the broker thread starts: the topic
// triggers replace the broker's, the node set goes to the rules thread and
// the cron entries to the cron thread, the variable values are published,
// and the rules topic takes the file's text (emptied, with the reason on
// "$SYS/rulesengine/error", after a refused file). A set that was never
// read changes nothing. The set is left empty.
void thread_mqtt_rules_install(rules_set* set);
// The broker's topic-trigger list operations, as the install uses them.
void thread_mqtt_trigger_add(const char* topic, uint32_t next_id);
void thread_mqtt_trigger_remove_all();
// Stores the rules file's text (null: none) as the retained value of
// "$SYS/rulesengine/rules" and sends it to MQTT subscribers of that topic.
void thread_mqtt_set_rules_topic_data(const uint8_t* data, uint32_t length);
// Why the last rules file was refused, retained on "$SYS/rulesengine/error"
// for MQTT subscribers; an empty text (a file accepted) clears it. Same
// threads as above.
void thread_mqtt_set_rules_error(const char* reason);
// Main thread, before thread_mqtt_start, with mqtt_standard = 1: the
// clean-session-0 sessions read from the store become away sessions, their
// sent deliveries to be sent again with DUP when the client comes back.
void thread_mqtt_sessions_restore(std::vector<store_session>* sessions);
