#include "channels/rules_mqtt.h"

namespace {
msg_gap gap;
}

void msg_record_release(rules_mqtt_msg* record)
{
    list_data_remove_all(&record->data_list);
}

void msg_rules_mqtt_add_packet(list<data_item> data_list, uint8_t retain, uint8_t depth)
{
    rules_mqtt_msg* record = msg_rules_mqtt_new();
    record->data_list = data_list;
    record->retain = retain;
    record->depth = depth;
    msg_rules_mqtt_add(record);
}

void msggap_rules_mqtt_init()
{
    msggap_init(&gap);
}

void msggap_rules_mqtt_destroy()
{
    msggap_destroy(&gap);
}

int msggap_rules_mqtt_request(data_item* data_list)
{
    // Only the requester writes `request`, and only while no request is
    // outstanding; the server reads it after msggap_get_request.
    gap.request = reinterpret_cast<uintptr_t>(data_list);
    return msggap_request(&gap);
}

data_item* msggap_rules_mqtt_get_request()
{
    if (msggap_get_request(&gap) != 1)
        return nullptr;
    return reinterpret_cast<data_item*>(gap.request);
}

void msggap_rules_mqtt_reply_request()
{
    msggap_reply(&gap);
}

void msggap_rules_mqtt_close()
{
    msggap_close(&gap);
}

void msggap_rules_mqtt_set_waker(msg_waker* waker)
{
    msggap_set_waker(&gap, waker);
}
