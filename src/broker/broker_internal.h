// Broker-thread internals shared by the files of the broker module. Every
// function here runs on the broker thread only.
#pragma once

#include <cstdint>

#include "broker/broker.h"
#include "channels/mqtt_store.h"
#include "channels/tcp_mqtt.h"
#include "channels/udp_mqtt.h"
#include "codec/mqtt.h"

// Records taken from one channel in one pass of the loop, at most; the
// rest wait for the next pass, so no channel starves the others.
constexpr uint32_t BROKER_BATCH = 256;

// Counter rule shared by the three id counters: returns the current value
// and advances it, 65535 being followed by 1, so 0 ("no id") never appears.
[[nodiscard]] uint16_t broker_counter_take(uint16_t* counter);

// Gives a topic the next free MQTT-SN topic id when it has none yet. False
// when the topic has none and every id is held (logged once).
bool broker_topic_id_assign(pub_item* item);
// A new topic was refused at the max_topics bound: logs the bound once.
void broker_topics_refused();

// The bounds from the configuration (thread_mqtt_setup).
extern uint32_t broker_max_topics;
extern uint32_t broker_mqttsn_max_sessions;
extern bool broker_mqttsn_publish_enable; // mqttsn_publish_enable = 1

// One pass of the broker loop without its wait: the records queued now on
// each channel, at most BROKER_BATCH from each. True when records remain.
bool mqtt_loop_pass();
// One timer tick (once a second): keep-alive supervision.
void timer_handle();

// MQTT sessions by the TCP thread's connection id: mqtt_conns in
// connection order, with an index beside it for lookups.
[[nodiscard]] mqtt_conn* broker_conn_find(uint64_t conn_id);
mqtt_conn* broker_conn_add(uint64_t conn_id, const sockaddr_in* addr);
void broker_conn_remove(mqtt_conn* conn);
// Takes the record out of mqtt_conns and the index without freeing it.
void broker_conn_unlink(mqtt_conn* conn);
void broker_conn_remove_all();
// Orders the TCP thread to close the client's connection, once. From then
// on the client's packets are ignored; its record stays until the TCP
// thread's close notice comes back.
void broker_conn_close_request(mqtt_conn* conn);

// MQTT-SN sessions by UDP address: mqttsn_conns with an index beside it.
[[nodiscard]] mqttsn_conn* broker_sn_find(const sockaddr_in* addr);
// Removes the record with everything it owns; returns its successor.
mqttsn_conn* broker_sn_remove(mqttsn_conn* conn);
void broker_sn_remove_all();

// With logins required (users configured), a topic whose name begins with
// "$" (the rules file, the rule variables) is the hub's and its logged-in
// MQTT clients': MQTT-SN nodes, whose protocol carries no credentials, may
// not register, publish, subscribe to or receive it, by name, topic id or
// wildcard filter alike.
bool mqttsn_name_reserved(const uint8_t* name, uint32_t length);

// Handles one MQTT-SN datagram from the UDP thread.
void mqttsn_packet_handle(udp_mqtt_msg* record);
// Publishes the client's will, if it has one; the caller removes the record.
void mqttsn_conn_close(mqttsn_conn* conn);
// Queues the publication for every MQTT-SN client with a matching
// subscription (REGISTER first where the client does not know the topic
// id) and sends at once to active clients.
void mqttsn_publish_send(pub_item* item);
// Queues one delivery for a client: in wait_ack when the client knows the
// topic id, else in wait_reg behind a REGISTER.
void mqttsn_queue_add(mqttsn_conn* conn, uint16_t topic_id, uint8_t qos);
// Sends what is due to one client: one REGISTER, or PUBLISHes up to the
// first that needs an acknowledgement; once nothing waits, the CONNACK of a
// connecting client or the PINGRESP of a woken one.
void mqttsn_send_buffered_msgs(mqttsn_conn* conn);
// The MQTT-SN part of a timer tick: keep-alive countdown and re-sends.
void mqttsn_timer_handle();

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

// Where an accepted publication comes from; each source takes the steps of
// the publish path that apply to it.
enum publication_source : uint8_t {
    PUBLICATION_MQTT,   // an MQTT PUBLISH
    PUBLICATION_MQTTSN, // an MQTT-SN PUBLISH to a known topic id
    PUBLICATION_WILL,   // a departing client's will: rule triggers do not fire
    PUBLICATION_RULE,   // a rule action or variable change
    PUBLICATION_RULES_FILE, // the rules file on its topic: MQTT clients only,
                            // no topic id, no triggers
    PUBLICATION_BRIDGE, // from the upstream broker, or the bridge's state:
                        // never sent back up
};

// The one publish path, for a value already stored in pub_list: gives the
// topic its MQTT-SN topic id, fires the rule triggers, then delivers to
// MQTT and to MQTT-SN subscribers, as the source requires. The rules
// engine's publications join here too.
// `depth` counts the rule steps behind a rule's publication (0 otherwise).
// `qos` is the publication's QoS, which caps the delivered QoS with
// mqtt_standard = 1 (rule publications and the rules file take their
// subscribers' QoS).
void broker_publication_deliver(pub_item* item, publication_source source, uint8_t depth = 0, uint8_t qos = 2);
// Stores the value on its topic and takes the publish path: PUBLISH from
// either protocol, wills, rule publications and the rules file alike. The
// value and retain flag are replaced, except that from a client or a will
// an empty value is never retained, and an empty MQTT-SN value leaves the
// topic's value as it was. Returns the topic, or null for a new topic past
// max_topics. With mqtt_standard = 1 a publication with `retain` also
// replaces the topic's separate retained message (an empty one clears it).
pub_item* broker_publish(publication_source source, const uint8_t* name, uint16_t name_len, const uint8_t* data,
                         uint32_t data_len, uint8_t retain, uint8_t depth = 0, uint8_t qos = 2);

// Fills the data of `item` and of every item after it with the current
// value of the topic of its name; unknown topics leave an item as it was.
void mqtt_get_topic_data(data_item* item);
// Publishes a rules-engine list: one item (topic and value), or a pair
// whose second topic's current value is published under the first's name.
void mqtt_set_topic_data(list<data_item>* data_list, uint8_t retain, uint8_t depth = 0);
// 0 when the publication is not on the rules topic. Otherwise -1, and the
// publication goes no further: a valid rules file replaces the file on
// disk and is read and installed as at start-up (thread_mqtt_rules_install),
// which publishes it on its topic; a file
// the engine would refuse (or that cannot be written, or that comes while
// the engine is not up) changes nothing, and the reason goes to the log
// and to "$SYS/rulesengine/error".
int mqtt_save_rules(const uint8_t* name, uint16_t name_len, const uint8_t* data, uint32_t data_len);
// Reads the rules file and hands its text to mqtt_save_rules, as if it had
// been published on the rules topic; a file that cannot be read leaves the
// rules as they are (logged).
void mqtt_rules_file_reload();

// The store's part of the publish path (store_feed.cpp): mark notes a
// topic whose lasting state may have changed, note also keeps a numeric
// value of a publication for the history; flush sends what was noted to
// the store thread (each timer tick, and at the stop even while the store
// is behind); forget drops it all. No-ops with the store off.
void broker_store_mark(pub_item* item);
void broker_store_note(pub_item* item);
void broker_store_flush(bool stopping = false);
void broker_store_forget();
// A session that may have changed: subscriptions, outbox, connect or
// disconnect (mqtt_standard = 1). The flush sends its state, or its end.
void broker_store_session_mark(const mqtt_conn* conn);

// One PUBLISH, at the QoS of the client's first matching subscription, to
// every MQTT client with a matching subscription. With mqtt_standard = 1:
// at the highest QoS of its matching subscriptions, capped by the
// publication's `qos`.
void mqtt_publish_send(pub_item* item, uint8_t qos = 2);
// Encodes the topic's value as one PUBLISH to one client (not to one whose
// close is under way): each delivery and each retained value after a
// SUBACK (`replay`) goes out here. With mqtt_standard = 1 a replay sends
// the retained message with RETAIN 1, a live delivery the value with
// RETAIN 0, and QoS 1 and 2 deliveries pass through the client's outbox.
void mqtt_publish_to(mqtt_conn* conn, uint8_t qos, const pub_item* item, bool replay = false);

// --- MQTT 3.1.1 sessions (mqtt_standard = 1; mqtt_standard.cpp) ---

extern bool broker_mqtt_standard;          // mqtt_standard = 1
extern uint32_t broker_mqtt_max_queued;    // mqtt_max_queued_messages
// Clients with clean session 0 that are away: their records keep the
// subscriptions and the outbox (conn_id 0, in no index) until the client
// id connects again. With the store on they are kept over a restart,
// connected ones too (mqtt_sessions_restore brings them back away).
extern list<mqtt_conn> mqtt_away;
// Copies the client's subscriptions and outbox into `out` (kept).
void mqtt_session_copy(const mqtt_conn* conn, store_session* out);

// Takes a QoS 1 or 2 delivery into the client's outbox: gives it its
// packet identifier (publish->msg_id) and keeps a copy until it is
// acknowledged. True when it is to be sent now; false for an away client,
// for which it waits. Past mqtt_max_queued_messages the oldest waiting (or
// else the oldest unacknowledged) delivery is dropped and counted.
bool mqtt_outbox_add(mqtt_conn* conn, mqtt_publish* publish);
// PUBACK, PUBREC or PUBCOMP from the client: the delivery moves on or ends.
void mqtt_outbox_ack(mqtt_conn* conn, uint32_t type, uint16_t msg_id);
void mqtt_outbox_free(mqtt_conn* conn);
// For an accepted CONNECT, before its CONNACK: closes an older connection
// with the same client id (its will goes out as for a broken connection),
// and takes over the session of that connection or of an away record when
// clean session is 0 (dropped when 1). True when a session was taken over
// (CONNACK's session present).
bool mqtt_session_start(mqtt_conn* conn);
// After the CONNACK of a resumed session: unacknowledged deliveries again
// (PUBLISH with DUP, or PUBREL), then what waited.
void mqtt_session_resume(mqtt_conn* conn);
// At the close of a connection, after its will: keeps the record of a
// clean-session-0 client in mqtt_away (true), or leaves it to be removed
// (false).
bool mqtt_session_park(mqtt_conn* conn);
// Starts the rule chain of every topic trigger whose topic equals the
// publication's topic exactly, passing on the publication's value and
// depth. A publication deeper than RULES_DEPTH_MAX fires nothing: rules that
// keep triggering each other stop there.
void mqtt_trigger_send(pub_item* item, uint8_t depth = 0);
constexpr uint8_t RULES_DEPTH_MAX = 16;
