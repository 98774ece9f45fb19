#include "list/lists.h"

#include <cstring>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#define LISTS_ASSERT(expression) HALYX_ASSERT_TEXT("list/lists", expression, #expression)

namespace {

uint8_t* bytes_copy(const uint8_t* bytes, uint32_t len)
{
    auto* copy = new uint8_t[len];
    std::memcpy(copy, bytes, len);
    return copy;
}

bool name_equals(const name_item* item, const uint8_t* name, uint16_t name_len)
{
    return item->name_len == name_len && std::memcmp(item->name, name, name_len) == 0;
}

} // namespace

struct pub_index {
    // Keys view the names the items own; items are never freed while
    // indexed.
    std::unordered_map<std::string_view, pub_item*> by_name;
    std::unordered_map<uint16_t, pub_item*> by_topic_id;
    pub_item* tail = nullptr;
    uint32_t max_topics = 0;
};

namespace {

std::string_view name_view(const uint8_t* name, uint16_t name_len)
{
    return {reinterpret_cast<const char*>(name), name_len};
}

pub_index* pub_index_of(list<pub_item>* list)
{
    if (!list->index)
        list->index = new pub_index{};
    return list->index;
}

// Appends a new topic: null when the bound is reached.
pub_item* pub_append(list<pub_item>* list, const uint8_t* name, uint16_t name_len, const uint8_t* data,
                     uint32_t data_len)
{
    pub_index* index = pub_index_of(list);
    if (index->max_topics && index->by_name.size() >= index->max_topics)
        return nullptr;
    pub_item* item = list_data_new<pub_item>(name, name_len, data, data_len);
    index->by_name.emplace(name_view(item->name, item->name_len), item);
    if (index->tail)
        index->tail->next = item;
    else
        list->head = item;
    index->tail = item;
    return item;
}

} // namespace

// --- Named items and subscriptions -------------------------------------------

template <typename T>
T* list_name_find_name(list<T>* list, const uint8_t* name, uint16_t name_len)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(name != NULL);
    LISTS_ASSERT(name_len != 0);
    for (T* item = list->head; item; item = list_next(item))
        if (name_equals(item, name, name_len))
            return item;
    return nullptr;
}

template <>
pub_item* list_name_find_name(list<pub_item>* list, const uint8_t* name, uint16_t name_len)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(name != NULL);
    LISTS_ASSERT(name_len != 0);
    if (!list->index)
        return nullptr;
    auto it = list->index->by_name.find(name_view(name, name_len));
    return it == list->index->by_name.end() ? nullptr : it->second;
}

template <typename T>
T* list_name_new(const uint8_t* name, uint16_t name_len)
{
    LISTS_ASSERT(name != NULL);
    LISTS_ASSERT(name_len != 0);
    T* item = new T{};
    item->name = bytes_copy(name, name_len);
    item->name_len = name_len;
    return item;
}

template <typename T>
void list_name_remove(list<T>* list, T* item)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(item != NULL);
    list_remove(list, item);
    delete[] item->name;
    delete item;
}

template <typename T>
void list_name_remove_all(list<T>* list)
{
    LISTS_ASSERT(list != NULL);
    list_free_all(list, [](T* item) {
        delete[] item->name;
        delete item;
    });
}

template sub_item* list_name_find_name(list<sub_item>*, const uint8_t*, uint16_t);
template data_item* list_name_find_name(list<data_item>*, const uint8_t*, uint16_t);
template sub_item* list_name_new<sub_item>(const uint8_t*, uint16_t);
template void list_name_remove(list<sub_item>*, sub_item*);
template void list_name_remove_all(list<sub_item>*);

sub_item* list_sub_add_replace(list<sub_item>* list, const uint8_t* name, uint16_t name_len, uint8_t qos)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(name != NULL);
    LISTS_ASSERT(name_len != 0);
    sub_item* item = list_name_find_name(list, name, name_len);
    if (!item)
        item = list_add_item(list, list_name_new<sub_item>(name, name_len));
    item->qos = qos;
    return item;
}

void list_sub_remove_name(list<sub_item>* list, const uint8_t* name, uint16_t name_len)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(name != NULL);
    LISTS_ASSERT(name_len != 0);
    if (sub_item* item = list_name_find_name(list, name, name_len))
        list_name_remove(list, item);
}

void list_sub_remove_topic_id(list<sub_item>* list, uint16_t topic_id)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(topic_id != 0);
    for (sub_item* item = list->head; item; item = list_next(item)) {
        if (item->topic_id == topic_id) {
            list_name_remove(list, item);
            return;
        }
    }
}

bool list_sub_has_wildcard(const sub_item* item)
{
    return name_has_wildcard(item->name, item->name_len);
}

// --- Data items and published topics -----------------------------------------

template <typename T>
T* list_data_new(const uint8_t* name, uint16_t name_len, const uint8_t* data, uint32_t data_len)
{
    LISTS_ASSERT(name != NULL);
    LISTS_ASSERT(name_len != 0);
    T* item = list_name_new<T>(name, name_len);
    if (data && data_len) {
        item->data = bytes_copy(data, data_len);
        item->data_len = data_len;
    }
    return item;
}

template <typename T>
T* list_data_add_replace(list<T>* list, const uint8_t* name, uint16_t name_len, const uint8_t* data,
                         uint32_t data_len, int* created)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(name != NULL);
    LISTS_ASSERT(name_len != 0);
    *created = 0;
    T* item = list_name_find_name(list, name, name_len);
    if (item) {
        list_data_replace_data(item, data, data_len);
        return item;
    }
    *created = 1;
    return list_add_item(list, list_data_new<T>(name, name_len, data, data_len));
}

template <typename T>
T* list_data_add_ignore(list<T>* list, const uint8_t* name, uint16_t name_len, const uint8_t* data,
                        uint32_t data_len, int* created)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(name != NULL);
    LISTS_ASSERT(name_len != 0);
    *created = 0;
    T* item = list_name_find_name(list, name, name_len);
    if (item)
        return item;
    *created = 1;
    return list_add_item(list, list_data_new<T>(name, name_len, data, data_len));
}

template <>
pub_item* list_data_add_replace(list<pub_item>* list, const uint8_t* name, uint16_t name_len, const uint8_t* data,
                                uint32_t data_len, int* created)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(name != NULL);
    LISTS_ASSERT(name_len != 0);
    *created = 0;
    if (pub_item* item = list_name_find_name(list, name, name_len)) {
        list_data_replace_data(item, data, data_len);
        return item;
    }
    pub_item* item = pub_append(list, name, name_len, data, data_len);
    *created = item != nullptr;
    return item;
}

template <>
pub_item* list_data_add_ignore(list<pub_item>* list, const uint8_t* name, uint16_t name_len, const uint8_t* data,
                               uint32_t data_len, int* created)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(name != NULL);
    LISTS_ASSERT(name_len != 0);
    *created = 0;
    if (pub_item* item = list_name_find_name(list, name, name_len))
        return item;
    pub_item* item = pub_append(list, name, name_len, data, data_len);
    *created = item != nullptr;
    return item;
}

void list_data_replace_data(data_item* item, const uint8_t* data, uint32_t data_len)
{
    LISTS_ASSERT(item != NULL);
    // Copy before freeing: the new bytes may be the item's own (a rule that
    // publishes a topic's value to that same topic). A length without bytes
    // leaves the item without data.
    uint8_t* copy = data && data_len ? bytes_copy(data, data_len) : nullptr;
    delete[] item->data;
    item->data = copy;
    item->data_len = copy ? data_len : 0;
}

template <typename T>
void list_data_remove(T* item)
{
    if (!item)
        return;
    if constexpr (std::is_same_v<T, pub_item>)
        delete[] item->retained;
    delete[] item->data;
    delete[] item->name;
    delete item;
}

template <typename T>
void list_data_remove_all(list<T>* list)
{
    LISTS_ASSERT(list != NULL);
    list_free_all(list, [](T* item) { list_data_remove(item); });
}

template data_item* list_data_new<data_item>(const uint8_t*, uint16_t, const uint8_t*, uint32_t);
template pub_item* list_data_new<pub_item>(const uint8_t*, uint16_t, const uint8_t*, uint32_t);
template data_item* list_data_add_replace(list<data_item>*, const uint8_t*, uint16_t, const uint8_t*, uint32_t, int*);
template data_item* list_data_add_ignore(list<data_item>*, const uint8_t*, uint16_t, const uint8_t*, uint32_t, int*);
template void list_data_remove(data_item*);
template void list_data_remove(pub_item*);
template void list_data_remove_all(list<data_item>*);

template <>
void list_data_remove_all(list<pub_item>* list)
{
    LISTS_ASSERT(list != NULL);
    delete list->index;
    list->index = nullptr;
    list_free_all(list, [](pub_item* item) { list_data_remove(item); });
}

pub_item* list_pub_add_replace(list<pub_item>* list, const uint8_t* name, uint16_t name_len, const uint8_t* data,
                               uint32_t data_len, uint8_t retain)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(name != NULL);
    LISTS_ASSERT(name_len != 0);
    int created = 0;
    pub_item* item = list_data_add_replace(list, name, name_len, data, data_len, &created);
    if (item)
        item->retain = retain;
    return item;
}

pub_item* list_pub_add_ignore(list<pub_item>* list, const uint8_t* name, uint16_t name_len, const uint8_t* data,
                              uint32_t data_len, uint8_t retain)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(name != NULL);
    LISTS_ASSERT(name_len != 0);
    int created = 0;
    pub_item* item = list_data_add_ignore(list, name, name_len, data, data_len, &created);
    if (created)
        item->retain = retain;
    return item;
}

pub_item* list_pub_find_topic_id(list<pub_item>* list, uint16_t topic_id)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(topic_id != 0);
    if (!list->index)
        return nullptr;
    auto it = list->index->by_topic_id.find(topic_id);
    return it == list->index->by_topic_id.end() ? nullptr : it->second;
}

void list_pub_set_topic_id(list<pub_item>* list, pub_item* item, uint16_t topic_id)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(item != NULL);
    pub_index* index = pub_index_of(list);
    if (item->topic_id != 0)
        index->by_topic_id.erase(item->topic_id);
    item->topic_id = topic_id;
    if (topic_id != 0)
        index->by_topic_id[topic_id] = item;
}

uint32_t list_pub_count(list<pub_item>* list)
{
    LISTS_ASSERT(list != NULL);
    return list->index ? static_cast<uint32_t>(list->index->by_name.size()) : 0;
}

uint32_t list_pub_topic_id_count(list<pub_item>* list)
{
    LISTS_ASSERT(list != NULL);
    return list->index ? static_cast<uint32_t>(list->index->by_topic_id.size()) : 0;
}

void list_pub_set_max(list<pub_item>* list, uint32_t max_topics)
{
    LISTS_ASSERT(list != NULL);
    pub_index_of(list)->max_topics = max_topics;
}

void list_pub_data_replace(pub_item* item, const uint8_t* data, uint32_t data_len, int retain)
{
    LISTS_ASSERT(item != NULL);
    if (data && data_len)
        list_data_replace_data(item, data, data_len);
    item->retain = static_cast<uint8_t>(retain & 0xff);
}

link_item* list_link_add_pubitem(list<link_item>* list, pub_item* pub_item)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(pub_item != NULL);
    auto* link = new link_item{};
    link->pub_item = pub_item;
    return list_add_item(list, link);
}

void list_pub_retained_set(pub_item* item, const uint8_t* data, uint32_t data_len, uint8_t qos)
{
    LISTS_ASSERT(item != NULL);
    uint8_t* copy = data && data_len ? bytes_copy(data, data_len) : nullptr;
    delete[] item->retained;
    item->retained = copy;
    item->retained_len = copy ? data_len : 0;
    item->retained_qos = qos;
}

// --- Wills ----------------------------------------------------------------------

void will_replace(will* will, const uint8_t* name, uint16_t name_len, const uint8_t* data, uint32_t data_len,
                  uint8_t retain)
{
    LISTS_ASSERT(will != NULL);
    LISTS_ASSERT(name != NULL);
    LISTS_ASSERT(name_len != 0);
    will_name_replace(will, name, name_len, retain);
    will_data_replace(will, data, data_len);
}

void will_name_replace(will* will, const uint8_t* name, uint16_t name_len, uint8_t retain)
{
    LISTS_ASSERT(will != NULL);
    LISTS_ASSERT(name != NULL);
    LISTS_ASSERT(name_len != 0);
    // Copy first, in case the new name is the will's own buffer.
    uint8_t* copy = bytes_copy(name, name_len);
    delete[] will->name;
    will->name = copy;
    will->name_len = name_len;
    will->retain = retain;
}

void will_data_replace(will* will, const uint8_t* data, uint32_t data_len)
{
    LISTS_ASSERT(will != NULL);
    uint8_t* copy = data && data_len ? bytes_copy(data, data_len) : nullptr;
    delete[] will->data;
    will->data = copy;
    will->data_len = copy ? data_len : 0;
}

void will_remove_all(will* will)
{
    LISTS_ASSERT(will != NULL);
    delete[] will->name;
    delete[] will->data;
    will->name = nullptr;
    will->name_len = 0;
    will->data = nullptr;
    will->data_len = 0;
}

// --- Topic matching ---------------------------------------------------------------

bool pname_matches_sname(const uint8_t* sname, uint16_t slen, const uint8_t* pname, uint16_t plen)
{
    LISTS_ASSERT(sname != NULL);
    LISTS_ASSERT(slen != 0);
    LISTS_ASSERT(pname != NULL);
    LISTS_ASSERT(plen != 0);
    uint32_t i = 0; // into the filter
    uint32_t j = 0; // into the name
    while (i < slen && j < plen) {
        if (sname[i] == pname[j]) {
            // Bytes first: a wildcard byte in a name only matches itself.
            ++i;
            ++j;
            if (i == slen && j == plen)
                return true;
        } else if (sname[i] == '+') {
            ++i;
            while (j < plen && pname[j] != '/')
                ++j;
            if (i == slen && j == plen)
                return true;
        } else if (sname[i] == '#') {
            return i + 1 == slen;
        } else {
            return false;
        }
        // The name is used up: a filter ending in "/#" matches its parent.
        if (j == plen && slen - i == 2 && sname[i] == '/' && sname[i + 1] == '#')
            return true;
    }
    return false;
}

bool name_has_wildcard(const uint8_t* name, uint16_t len)
{
    LISTS_ASSERT(name != NULL);
    LISTS_ASSERT(len != 0);
    for (uint16_t i = 0; i < len; ++i)
        if (name[i] == '#' || name[i] == '+')
            return true;
    return false;
}

bool pname_matches_sname_standard(const uint8_t* sname, uint16_t slen, const uint8_t* pname, uint16_t plen)
{
    if (plen && pname[0] == '$' && slen && (sname[0] == '#' || sname[0] == '+'))
        return false;
    return pname_matches_sname(sname, slen, pname, plen);
}

int list_pub_sub_matches_standard(pub_item* pub_item, list<sub_item>* subs)
{
    LISTS_ASSERT(subs != NULL);
    int qos = -1;
    for (sub_item* sub = subs->head; sub; sub = list_next(sub)) {
        if (sub->qos > qos &&
            pname_matches_sname_standard(sub->name, sub->name_len, pub_item->name, pub_item->name_len))
            qos = sub->qos;
    }
    return qos;
}

int list_pub_sub_matches(pub_item* pub_item, list<sub_item>* subs)
{
    LISTS_ASSERT(subs != NULL);
    for (sub_item* sub = subs->head; sub; sub = list_next(sub))
        if (pname_matches_sname(sub->name, sub->name_len, pub_item->name, pub_item->name_len))
            return sub->qos;
    return -1;
}

void list_sub_pub_matches(sub_item* sub_item, list<pub_item>* pub_list, list<link_item>* result, bool standard)
{
    LISTS_ASSERT(pub_list != NULL);
    LISTS_ASSERT(result != NULL);
    result->head = nullptr;
    auto retained = [standard](const pub_item* pub) { return standard ? pub->retained != nullptr : pub->retain == 1; };
    auto matches = standard ? pname_matches_sname_standard : pname_matches_sname;
    if (!list_sub_has_wildcard(sub_item)) {
        pub_item* pub = list_name_find_name(pub_list, sub_item->name, sub_item->name_len);
        if (pub && retained(pub))
            list_link_add_pubitem(result, pub);
        return;
    }
    // Appended at a kept end: a filter may match every topic.
    link_item** end = &result->head;
    for (pub_item* pub = pub_list->head; pub; pub = list_next(pub)) {
        if (retained(pub) && matches(sub_item->name, sub_item->name_len, pub->name, pub->name_len)) {
            *end = new link_item{nullptr, pub};
            end = &(*end)->next;
        }
    }
}

// --- MQTT-SN registration and delivery lists ----------------------------------------

template <typename T>
T* list_reg_find_topic_id(list<T>* list, uint16_t topic_id)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(topic_id != 0);
    for (T* item = list->head; item; item = list_next(item))
        if (item->topic_id == topic_id)
            return item;
    return nullptr;
}

template <typename T>
T* list_reg_add_ignore(list<T>* list, uint16_t topic_id)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(topic_id != 0);
    if (T* item = list_reg_find_topic_id(list, topic_id))
        return item;
    T* item = new T{};
    item->topic_id = topic_id;
    return list_add_item(list, item);
}

template <typename T>
void list_reg_remove_all(list<T>* list)
{
    LISTS_ASSERT(list != NULL);
    list_free_all(list, [](T* item) { delete item; });
}

template reg_item* list_reg_find_topic_id(list<reg_item>*, uint16_t);
template msg_item* list_reg_find_topic_id(list<msg_item>*, uint16_t);
template reg_item* list_reg_add_ignore(list<reg_item>*, uint16_t);
template msg_item* list_reg_add_ignore(list<msg_item>*, uint16_t);
template void list_reg_remove_all(list<reg_item>*);
template void list_reg_remove_all(list<msg_item>*);
template void list_reg_remove_all(list<link_item>*);

reg_item* list_reg_add(list<reg_item>* list, uint16_t topic_id)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(topic_id != 0);
    return list_reg_add_ignore(list, topic_id);
}

msg_item* list_msg_add(list<msg_item>* list, uint16_t topic_id, uint8_t qos)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(topic_id != 0);
    msg_item* item = list_reg_add_ignore(list, topic_id);
    item->qos = qos;
    item->retry = 0;
    item->sent = 0;
    return item;
}

msg_item* list_msg_find_msg_id(list<msg_item>* list, uint16_t msg_id)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(msg_id != 0);
    for (msg_item* item = list->head; item; item = list_next(item))
        if (item->msg_id == msg_id)
            return item;
    return nullptr;
}

void list_msg_remove_msg_id(list<msg_item>* list, uint16_t msg_id)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(msg_id != 0);
    if (msg_item* item = list_msg_find_msg_id(list, msg_id))
        list_msg_remove(list, item);
}

msg_item* list_msg_remove(list<msg_item>* list, msg_item* item)
{
    LISTS_ASSERT(list != NULL);
    LISTS_ASSERT(item != NULL);
    msg_item* successor = list_remove(list, item);
    delete item;
    return successor;
}
