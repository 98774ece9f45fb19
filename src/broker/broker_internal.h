// Broker-thread internals shared by the files of the broker module. Every
// function here runs on the broker thread only.
#pragma once

#include <cstdint>

#include "broker/broker.h"
#include "channels/tcp_mqtt.h"

// Counter rule shared by the three id counters: returns the current value
// and advances it, 65535 being followed by 1, so 0 ("no id") never appears.
uint16_t broker_counter_take(uint16_t* counter);

// Gives a topic the next MQTT-SN topic id when it has none yet.
void broker_topic_id_assign(pub_item* item);

// One pass of the broker loop without its sleep: at most one record from
// each channel, and the timer on every 100th pass (pass 0 included).
void mqtt_loop_pass(uint32_t pass);
// One timer tick: keep-alive supervision.
void timer_handle();

// Handles the packet at record->packet + record->offset (or the close
// notice) and advances `offset` past it. A record whose remaining bytes do
// not form a packet is dropped whole (offset = packet_len).
void mqtt_packet_handle(tcp_mqtt_msg* record);
// Publishes the client's will, if it has one; the caller removes the record.
void mqtt_conn_close(mqtt_conn* conn);

// One PUBLISH, at the QoS of the client's first matching subscription, to
// every MQTT client with a matching subscription.
void mqtt_publish_send(pub_item* item);
// Starts the rule chain of every topic trigger whose topic equals the
// publication's topic exactly.
void mqtt_trigger_send(pub_item* item);
