// Publish delivery: fan-out of a stored publication to the subscribers.
#include <arpa/inet.h>

#include <algorithm>

#include "broker/broker_internal.h"
#include "daemon.h"
#include "logging.h"
#include "codec/mqtt.h"
#include "channels/mqtt_tcp.h"
#include "channels/trigger_rules.h"

void mqtt_publish_send(pub_item* item)
{
    for (mqtt_conn* conn = mqtt_conns.head; conn; conn = conn->next) {
        // The QoS of the client's oldest matching subscription, whatever
        // the publication's own QoS.
        // A client whose close is under way gets nothing more.
        if (conn->closing)
            continue;
        int qos = list_pub_sub_matches(item, &conn->subs);
        if (qos < 0)
            continue;
        if (log_enabled(LOG_DEBUG)) {
            char text[INET_ADDRSTRLEN];
            log_write(LOG_DEBUG, "mqtt conn:%s:%d, qos:%d\n", addr_text(&conn->addr, text),
                      ntohs(conn->addr.sin_port), qos);
        }
        mqtt_publish publish{};
        publish.msg_id = broker_counter_take(&mqtt_msg_id);
        publish.qos = static_cast<uint8_t>(qos);
        publish.pub_item = item;
        uint8_t* buffer = nullptr;
        uint32_t length = 0;
        mqtt_publish_encode(&buffer, &length, &publish);
        log_write(LOG_DEBUG, "<MQTT_PUBLISH\n");
        msg_mqtt_tcp_add_packet(&conn->addr, buffer, length);
    }
}

void mqtt_trigger_send(pub_item* item)
{
    for (mqtt_trigger* trigger = mqtt_triggers.head; trigger; trigger = trigger->next)
        if (trigger->name_len == item->name_len && std::equal(item->name, item->name + item->name_len, trigger->name))
            msg_mqtt_rules_add_packet(trigger);
}
