#include "list/mqttsn_conn.h"

#include <cstring>

#define MQTTSN_CONN_ASSERT(expression) HALYX_ASSERT_TEXT("list/mqttsn_conn", expression, #expression)

mqttsn_conn* list_mqttsn_conn_add_new(list<mqttsn_conn>* list, const sockaddr_in* addr)
{
    MQTTSN_CONN_ASSERT(list != NULL);
    auto* item = new mqttsn_conn{};
    item->addr = *addr;
    return list_add_item(list, item);
}

mqttsn_conn* list_mqttsn_conn_find_addr(list<mqttsn_conn>* list, const sockaddr_in* addr)
{
    MQTTSN_CONN_ASSERT(list != NULL);
    for (mqttsn_conn* item = list->head; item; item = item->next)
        if (std::memcmp(&item->addr, addr, sizeof item->addr) == 0)
            return item;
    return nullptr;
}

mqttsn_conn* list_mqttsn_conn_find_client_id(list<mqttsn_conn>* list, const uint8_t* client_id, uint32_t length)
{
    MQTTSN_CONN_ASSERT(list != NULL);
    for (mqttsn_conn* item = list->head; item; item = item->next)
        if (item->client_id && item->client_id_length == length &&
            std::memcmp(item->client_id, client_id, length) == 0)
            return item;
    return nullptr;
}

void list_mqttsn_conn_set_client_id(mqttsn_conn* item, const uint8_t* client_id, uint32_t length)
{
    MQTTSN_CONN_ASSERT(item != NULL);
    // Copy before freeing, in case the caller passes the stored id back.
    auto* copy = new uint8_t[length ? length : 1];
    if (length)
        std::memcpy(copy, client_id, length);
    delete[] item->client_id;
    item->client_id = copy;
    item->client_id_length = length;
}

mqttsn_conn* list_mqttsn_conn_reset_remainsec(mqttsn_conn* item)
{
    MQTTSN_CONN_ASSERT(item != NULL);
    MQTTSN_CONN_ASSERT(item->keepalivesec != 0);
    item->remainsec = item->keepalivesec;
    return item;
}

void list_mqttsn_conn_topics_clear(mqttsn_conn* item)
{
    MQTTSN_CONN_ASSERT(item != NULL);
    list_name_remove_all(&item->subs);
    will_remove_all(&item->will);
    list_reg_remove_all(&item->regs);
    list_reg_remove_all(&item->wait_reg);
    list_reg_remove_all(&item->wait_ack);
}

namespace {

void mqttsn_conn_free(mqttsn_conn* item)
{
    delete[] item->client_id;
    item->client_id = nullptr;
    list_mqttsn_conn_topics_clear(item);
    delete item;
}

} // namespace

mqttsn_conn* list_mqttsn_conn_remove(list<mqttsn_conn>* list, mqttsn_conn* item)
{
    MQTTSN_CONN_ASSERT(list != NULL);
    MQTTSN_CONN_ASSERT(item != NULL);
    mqttsn_conn* successor = list_remove(list, item);
    mqttsn_conn_free(item);
    return successor;
}

void list_mqttsn_conn_remove_all(list<mqttsn_conn>* list)
{
    MQTTSN_CONN_ASSERT(list != NULL);
    list_free_all(list, mqttsn_conn_free);
}

namespace {

std::string_view client_id_key(const uint8_t* client_id, uint32_t length)
{
    return {reinterpret_cast<const char*>(client_id), length};
}

} // namespace

mqttsn_conn* client_id_index_find(const client_id_index* index, const uint8_t* client_id, uint32_t length)
{
    MQTTSN_CONN_ASSERT(index != NULL);
    auto it = index->map.find(client_id_key(client_id, length));
    return it == index->map.end() ? nullptr : it->second;
}

void client_id_index_add(client_id_index* index, mqttsn_conn* item)
{
    MQTTSN_CONN_ASSERT(index != NULL);
    MQTTSN_CONN_ASSERT(item != NULL);
    if (!item->client_id)
        return;
    // A key left from another record would view that record's bytes.
    std::string_view key = client_id_key(item->client_id, item->client_id_length);
    index->map.erase(key);
    index->map.emplace(key, item);
}

void client_id_index_remove(client_id_index* index, const mqttsn_conn* item)
{
    MQTTSN_CONN_ASSERT(index != NULL);
    MQTTSN_CONN_ASSERT(item != NULL);
    if (!item->client_id)
        return;
    auto it = index->map.find(client_id_key(item->client_id, item->client_id_length));
    if (it != index->map.end() && it->second == item)
        index->map.erase(it);
}
