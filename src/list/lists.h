// Topic-named list items (subscriptions, published topics with their last
// value, the rules engine's data items), wills, link lists, topic matching,
// and the MQTT-SN registration and delivery lists.
//
// Names and data are heap copies owned by their item, compared as exact
// bytes (length first). Lookups are linear from the oldest item, except in
// a list of published topics, which carries a hash index (see below). All
// of these lists belong to one thread each (the broker's to the broker
// thread).
#pragma once

#include <cstdint>

#include "list/list.h"

// Common head of every named item; `name_len` is never 0.
struct name_item {
    name_item* next;
    uint8_t* name;
    uint16_t name_len;
};

// A subscription: topic filter and granted QoS. `topic_id` is the MQTT-SN
// topic id of the subscribed topic for MQTT-SN subscriptions, else 0.
struct sub_item : name_item {
    uint8_t qos;
    uint16_t topic_id;
};

// A topic with its data (null and 0 when there is none).
struct data_item : name_item {
    uint8_t* data;
    uint32_t data_len;
};

// One item of the broker's `pub_list`: the topic's last value, whether that
// value is retained for new subscribers, and its MQTT-SN topic id (0 until
// the broker gives it one). With mqtt_standard = 1 the retained message is
// kept apart from the last value (`retained`, null when there is none), as
// MQTT 3.1.1 clients expect: a publication without RETAIN leaves it.
struct pub_item : data_item {
    uint8_t retain;
    uint16_t topic_id;
    uint8_t* retained;
    uint32_t retained_len;
    uint8_t retained_qos; // the QoS it was published with
};

// Index of a list of published topics: by name, by MQTT-SN topic id, its
// last item and an optional bound on the number of topics. Private to
// list/lists.
struct pub_index;

// A list of published topics keeps the order of first appearance (retained
// values are replayed in that order) and carries its index, so that the
// broker's topic table is never walked for a lookup or an append, whoever
// adds to it (the sessions add topics too). The index is made by the first
// add and freed by list_data_remove_all; until then lookups find nothing.
template <>
struct list<pub_item> {
    pub_item* head = nullptr;
    pub_index* index = nullptr;
};

// Only the functions of this module may link or unlink published topics:
// the generic ones would bypass the index.
pub_item* list_add_item(list<pub_item>*, pub_item*) = delete;
pub_item* list_remove(list<pub_item>*, pub_item*) = delete;

// A client's will; not a list item.
struct will {
    uint8_t* name;
    uint16_t name_len;
    uint8_t* data;
    uint32_t data_len;
    uint8_t retain;
    uint8_t qos; // MQTT clients' wills; MQTT-SN wills leave it 0
};

// Temporary result list entry pointing at a pub_item it does not own.
struct link_item {
    link_item* next;
    ::pub_item* pub_item;
};

// MQTT-SN: a topic id registered with a client.
struct reg_item {
    reg_item* next;
    uint16_t topic_id;
};

// MQTT-SN: one pending delivery of a topic to a client. The payload is
// the topic's value in pub_list at the moment of sending.
struct msg_item : reg_item {
    uint16_t msg_id;
    uint8_t qos;
    uint8_t retry;
    uint8_t sent;
};

// --- Named items and subscriptions -------------------------------------
// The templates are instantiated for sub_item, data_item and pub_item.

template <typename T>
[[nodiscard]] T* list_name_find_name(list<T>* list, const uint8_t* name, uint16_t name_len);
// Published topics are found through the index.
template <>
[[nodiscard]] pub_item* list_name_find_name(list<pub_item>* list, const uint8_t* name, uint16_t name_len);
template <typename T>
[[nodiscard]] T* list_name_new(const uint8_t* name, uint16_t name_len);
template <typename T>
void list_name_remove(list<T>* list, T* item);
template <typename T>
void list_name_remove_all(list<T>* list);

// Updates the QoS of an existing filter (which keeps its place) or appends
// a new subscription. Returns the item in the list.
sub_item* list_sub_add_replace(list<sub_item>* list, const uint8_t* name, uint16_t name_len, uint8_t qos);
void list_sub_remove_name(list<sub_item>* list, const uint8_t* name, uint16_t name_len);
void list_sub_remove_topic_id(list<sub_item>* list, uint16_t topic_id);
[[nodiscard]] bool list_sub_has_wildcard(const sub_item* item);

// --- Data items and published topics -------------------------------------
// The templates are instantiated for data_item and pub_item; extra fields
// of the larger kind start zero.

template <typename T>
[[nodiscard]] T* list_data_new(const uint8_t* name, uint16_t name_len, const uint8_t* data, uint32_t data_len);
// Replaces the data of an existing item, or appends a new item (*created = 1).
template <typename T>
T* list_data_add_replace(list<T>* list, const uint8_t* name, uint16_t name_len, const uint8_t* data,
                         uint32_t data_len, int* created);
// Leaves an existing item untouched, or appends a new item (*created = 1).
template <typename T>
T* list_data_add_ignore(list<T>* list, const uint8_t* name, uint16_t name_len, const uint8_t* data,
                        uint32_t data_len, int* created);
// For published topics: a new topic past the list's bound (list_pub_set_max)
// is not added; the result is null then, with *created = 0.
template <>
pub_item* list_data_add_replace(list<pub_item>* list, const uint8_t* name, uint16_t name_len, const uint8_t* data,
                                uint32_t data_len, int* created);
template <>
pub_item* list_data_add_ignore(list<pub_item>* list, const uint8_t* name, uint16_t name_len, const uint8_t* data,
                               uint32_t data_len, int* created);
// A new length of 0 leaves the item without data.
void list_data_replace_data(data_item* item, const uint8_t* data, uint32_t data_len);
// Frees a standalone item (one that is in no list).
template <typename T>
void list_data_remove(T* item);
template <typename T>
void list_data_remove_all(list<T>* list);
// Also frees the index of a list of published topics.
template <>
void list_data_remove_all(list<pub_item>* list);

// Stores the value and sets `retain`, new item or old. Null for a new
// topic past the list's bound.
pub_item* list_pub_add_replace(list<pub_item>* list, const uint8_t* name, uint16_t name_len, const uint8_t* data,
                               uint32_t data_len, uint8_t retain);
// Creates the topic only when it is new; `retain` is set only then. Null
// for a new topic past the list's bound.
pub_item* list_pub_add_ignore(list<pub_item>* list, const uint8_t* name, uint16_t name_len, const uint8_t* data,
                              uint32_t data_len, uint8_t retain);
[[nodiscard]] pub_item* list_pub_find_topic_id(list<pub_item>* list, uint16_t topic_id);
// Gives an item of the list its topic id (0 takes its id away); the caller
// makes sure no other item holds the id.
void list_pub_set_topic_id(list<pub_item>* list, pub_item* item, uint16_t topic_id);
// Number of topics, and of topics holding a topic id.
[[nodiscard]] uint32_t list_pub_count(list<pub_item>* list);
[[nodiscard]] uint32_t list_pub_topic_id_count(list<pub_item>* list);
// At most `max_topics` topics from now on (0: no bound); topics already in
// the list stay.
void list_pub_set_max(list<pub_item>* list, uint32_t max_topics);
// An empty payload keeps the stored data; `retain` always takes the low
// 8 bits of the given value.
void list_pub_data_replace(pub_item* item, const uint8_t* data, uint32_t data_len, int retain);
link_item* list_link_add_pubitem(list<link_item>* list, pub_item* pub_item);
// Replaces the topic's separate retained message; an empty one clears it.
void list_pub_retained_set(pub_item* item, const uint8_t* data, uint32_t data_len, uint8_t qos);

// --- Wills ----------------------------------------------------------------

void will_replace(will* will, const uint8_t* name, uint16_t name_len, const uint8_t* data, uint32_t data_len,
                  uint8_t retain);
void will_name_replace(will* will, const uint8_t* name, uint16_t name_len, uint8_t retain);
void will_data_replace(will* will, const uint8_t* data, uint32_t data_len);
void will_remove_all(will* will);

// --- Topic matching ---------------------------------------------------------

// Whether the published name `pname` matches the subscription filter `sname`.
// One left-to-right pass: "+" takes the rest of the current name level,
// "#" matches everything when it is the filter's last byte, a filter ending
// in "/#" also matches the parent level, and "$" is not special.
[[nodiscard]] bool pname_matches_sname(const uint8_t* sname, uint16_t slen, const uint8_t* pname, uint16_t plen);
// The MQTT 3.1.1 rule on top: a name beginning with "$" is not matched by
// a filter beginning with a wildcard.
[[nodiscard]] bool pname_matches_sname_standard(const uint8_t* sname, uint16_t slen, const uint8_t* pname,
                                                uint16_t plen);
[[nodiscard]] bool name_has_wildcard(const uint8_t* name, uint16_t len);
// QoS of the first (oldest) subscription whose filter matches, or -1.
[[nodiscard]] int list_pub_sub_matches(pub_item* pub_item, list<sub_item>* subs);
// MQTT 3.1.1: the highest QoS of the subscriptions whose filter matches
// (pname_matches_sname_standard), or -1.
[[nodiscard]] int list_pub_sub_matches_standard(pub_item* pub_item, list<sub_item>* subs);
// Empties `result` (without freeing) and links every retained topic of
// pub_list that the filter matches, in pub_list order. A filter without
// wildcard is looked up; only a wildcard filter walks the topics.
// `standard`: topics holding a separate retained message, matched by
// pname_matches_sname_standard.
void list_sub_pub_matches(sub_item* sub_item, list<pub_item>* pub_list, list<link_item>* result,
                          bool standard = false);

// --- MQTT-SN registration and delivery lists ------------------------------
// Each topic id occurs at most once in one list.

// Instantiated for reg_item and msg_item.
template <typename T>
T* list_reg_add_ignore(list<T>* list, uint16_t topic_id);
reg_item* list_reg_add(list<reg_item>* list, uint16_t topic_id);
template <typename T>
[[nodiscard]] T* list_reg_find_topic_id(list<T>* list, uint16_t topic_id);
// Frees every item; instantiated for reg_item, msg_item and link_item.
template <typename T>
void list_reg_remove_all(list<T>* list);

// Queues a delivery, or resets the one already pending for the topic:
// new QoS, `retry` and `sent` cleared, `msg_id` kept.
msg_item* list_msg_add(list<msg_item>* list, uint16_t topic_id, uint8_t qos);
[[nodiscard]] msg_item* list_msg_find_msg_id(list<msg_item>* list, uint16_t msg_id);
void list_msg_remove_msg_id(list<msg_item>* list, uint16_t msg_id);
msg_item* list_msg_remove(list<msg_item>* list, msg_item* item);
