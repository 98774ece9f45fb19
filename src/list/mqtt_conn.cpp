#include "list/mqtt_conn.h"

#include <cstring>

#define MQTT_CONN_ASSERT(expression) HALYX_ASSERT_TEXT("list/mqtt_conn", expression, #expression)

mqtt_conn* list_mqtt_conn_add_new(list<mqtt_conn>* list, const sockaddr_in* addr)
{
    MQTT_CONN_ASSERT(list != NULL);
    auto* item = new mqtt_conn{};
    item->addr = *addr;
    return list_add_item(list, item);
}

mqtt_conn* list_mqtt_conn_find_addr(list<mqtt_conn>* list, const sockaddr_in* addr)
{
    MQTT_CONN_ASSERT(list != NULL);
    for (mqtt_conn* item = list->head; item; item = item->next)
        if (std::memcmp(&item->addr, addr, sizeof item->addr) == 0)
            return item;
    return nullptr;
}

mqtt_conn* list_mqtt_conn_reset_remainsec(mqtt_conn* item)
{
    MQTT_CONN_ASSERT(item != NULL);
    item->remainsec = item->keepalivesec;
    return item;
}

void list_mqtt_conn_topics_clear(mqtt_conn* item)
{
    MQTT_CONN_ASSERT(item != NULL);
    list_name_remove_all(&item->subs);
    will_remove_all(&item->will);
}

mqtt_conn* list_mqtt_conn_remove(list<mqtt_conn>* list, mqtt_conn* item)
{
    MQTT_CONN_ASSERT(list != NULL);
    MQTT_CONN_ASSERT(item != NULL);
    list_mqtt_conn_topics_clear(item);
    mqtt_conn* successor = list_remove(list, item);
    delete[] item->client_id;
    delete item;
    return successor;
}

void list_mqtt_conn_remove_all(list<mqtt_conn>* list)
{
    MQTT_CONN_ASSERT(list != NULL);
    list_free_all(list, [](mqtt_conn* item) {
        list_mqtt_conn_topics_clear(item);
        delete[] item->client_id;
        delete item;
    });
}
