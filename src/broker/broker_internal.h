// Broker-thread internals shared by the files of the broker module. Every
// function here runs on the broker thread only.
#pragma once

#include <cstdint>

#include "broker/broker.h"
#include "channels/tcp_mqtt.h"

// Records taken from one channel in one pass of the loop, at most; the
// rest wait for the next pass, so no channel starves the others.
constexpr uint32_t BROKER_BATCH = 256;

// Counter rule shared by the three id counters: returns the current value
// and advances it, 65535 being followed by 1, so 0 ("no id") never appears.
uint16_t broker_counter_take(uint16_t* counter);

// Gives a topic the next MQTT-SN topic id when it has none yet.
void broker_topic_id_assign(pub_item* item);

// One pass of the broker loop without its wait: the records queued now on
// each channel, at most BROKER_BATCH from each. True when records remain.
bool mqtt_loop_pass();
// One timer tick (once a second): keep-alive supervision.
void timer_handle();

// MQTT sessions by peer address: mqtt_conns in connection order, with an
// index beside it for lookups.
mqtt_conn* broker_conn_find(const sockaddr_in* addr);
// Null when memory runs out.
mqtt_conn* broker_conn_add(const sockaddr_in* addr);
void broker_conn_remove(mqtt_conn* conn);
void broker_conn_remove_all();
// Orders the TCP thread to close the client's connection, once. From then
// on the client's packets are ignored; its record stays until the TCP
// thread's close notice comes back.
void broker_conn_close_request(mqtt_conn* conn);

// Handles the packet at record->packet + record->offset (or the close
// notice) and advances `offset` past it. A record whose remaining bytes do
// not form a packet is dropped whole (offset = packet_len).
void mqtt_packet_handle(tcp_mqtt_msg* record);
// Publishes the client's will, if it has one; the caller removes the record.
void mqtt_conn_close(mqtt_conn* conn);

// Every change of a client's subscriptions, and every client record that
// goes, calls this: it invalidates the topics' cached subscriber lists.
void broker_subs_changed();
// Drops the cached subscriber lists (the broker releases its state).
void broker_subs_forget();

// One PUBLISH, at the QoS of the client's first matching subscription, to
// every MQTT client with a matching subscription.
void mqtt_publish_send(pub_item* item);
// Starts the rule chain of every topic trigger whose topic equals the
// publication's topic exactly.
void mqtt_trigger_send(pub_item* item);
