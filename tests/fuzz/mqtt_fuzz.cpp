// MQTT packets: any bytes, split into packets as the broker splits them,
// must decode without reading out of bounds, leave the lists consistent,
// and whatever was decoded must encode into packets that decode back to
// the same values.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mqtt.h"

namespace {

// Deliberate crash on a broken property, so libFuzzer keeps the input.
void check(bool property)
{
    if (!property)
        std::abort();
}

struct State {
    list<mqtt_user> users{};
    list<pub_item> pub_list{};
    list<sub_item> subs{};
    ::will will{};
    uint32_t sink = 0; // keeps the reads of decoded fields from being optimized away

    ~State()
    {
        list_mqtt_user_remove_all(&users);
        list_data_remove_all(&pub_list);
        list_name_remove_all(&subs);
        will_remove_all(&will);
    }

    void touch(const uint8_t* bytes, uint16_t length)
    {
        for (uint16_t i = 0; i < length; ++i)
            sink += bytes[i];
    }
};

// Sends an encoder's packet back through the fixed-header decoder: it must
// be exactly one packet of the expected type.
mqtt_fixed_header reframe(uint8_t* buffer, uint32_t length, uint32_t msg_type)
{
    check(mqtt_packets_buffer_check(buffer, length) == 0);
    mqtt_fixed_header h{};
    uint32_t consumed = 0;
    check(mqtt_fixed_header_decode(&h, buffer, length, &consumed) == 0);
    check(consumed == length);
    check(h.msg_type == msg_type);
    return h;
}

void publish_roundtrip(const mqtt_publish* decoded)
{
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqtt_publish_encode(&buffer, &length, decoded);
    mqtt_fixed_header h = reframe(buffer, length, MQTT_PUBLISH);

    list<pub_item> again{};
    mqtt_publish publish{};
    publish.pub_list = &again;
    check(mqtt_publish_decode(&h, &publish) == 0);
    const pub_item* a = decoded->pub_item;
    const pub_item* b = publish.pub_item;
    check(publish.qos == (decoded->qos & 3));
    check(publish.qos == 0 || publish.msg_id == decoded->msg_id);
    check(a->name_len == b->name_len && std::memcmp(a->name, b->name, a->name_len) == 0);
    check(a->data_len == b->data_len && (a->data_len == 0 || std::memcmp(a->data, b->data, a->data_len) == 0));
    check(b->retain == (a->data_len ? (a->retain & 1) : 0));
    list_data_remove_all(&again);
    delete[] buffer;
}

void connect_handle(State* s, const mqtt_fixed_header* h)
{
    mqtt_connect connect{};
    connect.users = &s->users;
    int result = mqtt_connect_decode(h, &connect);
    check(result == MQTT_MALFORMED || result == 0 || result == 1 || result == 2 || result == 4);
    if (result == MQTT_MALFORMED || result == 1)
        return;
    s->touch(connect.client_id, connect.client_id_length);
    s->touch(connect.user_name, connect.user_name_length);
    s->touch(connect.password, connect.password_length);
    if (result == 0 && connect.will_flag) {
        check(connect.will_topic_length != 0);
        will_replace(&s->will, connect.will_topic, connect.will_topic_length, connect.will_message,
                     connect.will_message_length, connect.will_retain);
    }
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqtt_connack_encode(&buffer, &length, static_cast<uint8_t>(result));
    reframe(buffer, length, MQTT_CONNACK);
    delete[] buffer;
}

void publish_handle(State* s, const mqtt_fixed_header* h)
{
    mqtt_publish publish{};
    publish.pub_list = &s->pub_list;
    if (mqtt_publish_decode(h, &publish) != 0)
        return;
    check(publish.pub_item != nullptr && publish.pub_item->name_len != 0);
    publish_roundtrip(&publish);
    if (publish.qos) {
        uint8_t* buffer = nullptr;
        uint32_t length = 0;
        mqtt_pubxxx_encode(publish.qos == 1 ? MQTT_PUBACK : MQTT_PUBREC, &buffer, &length, publish.msg_id);
        delete[] buffer;
    }
}

void subscribe_handle(State* s, const mqtt_fixed_header* h)
{
    mqtt_subscribe subscribe{};
    subscribe.sub_list = &s->subs;
    if (mqtt_subscribe_decode(h, &subscribe) != 0) {
        check(subscribe.qos == nullptr && subscribe.new_subs.head == nullptr);
        return;
    }
    check(subscribe.qos_size >= list_get_length(&subscribe.new_subs));
    for (uint32_t i = 0; i < subscribe.qos_size; ++i)
        check(subscribe.qos[i] <= 2);

    mqtt_suback suback{subscribe.msg_id, subscribe.qos, subscribe.qos_size};
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqtt_suback_encode(&buffer, &length, &suback);
    mqtt_fixed_header ack = reframe(buffer, length, MQTT_SUBACK);
    check(ack.rem_len == 2 + subscribe.qos_size);
    delete[] buffer;

    // Retained values for each new subscription, as the session sends them.
    for (sub_item* sub = subscribe.new_subs.head; sub; sub = list_next(sub)) {
        list<link_item> links{};
        list_sub_pub_matches(sub, &s->pub_list, &links);
        for (link_item* link = links.head; link; link = list_next(link)) {
            mqtt_publish publish{};
            publish.qos = sub->qos;
            publish.msg_id = 1;
            publish.pub_item = link->pub_item;
            publish_roundtrip(&publish);
        }
        list_reg_remove_all(&links);
    }
    list_name_remove_all(&subscribe.new_subs);
    delete[] subscribe.qos;
}

void unsubscribe_handle(State* s, const mqtt_fixed_header* h)
{
    mqtt_unsubscribe unsubscribe{};
    unsubscribe.sub_list = &s->subs;
    if (mqtt_unsubscribe_decode(h, &unsubscribe) != 0)
        return;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqtt_pubxxx_encode(MQTT_UNSUBACK, &buffer, &length, unsubscribe.msg_id);
    reframe(buffer, length, MQTT_UNSUBACK);
    delete[] buffer;
}

void pubxxx_handle(const mqtt_fixed_header* h)
{
    int msg_id = mqtt_pubxxx_decode(h);
    check(msg_id >= MQTT_MALFORMED && msg_id <= 0xFFFF);
    if (msg_id < 0)
        return;
    uint32_t reply = h->msg_type == MQTT_PUBREC ? MQTT_PUBREL : MQTT_PUBCOMP;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqtt_pubxxx_encode(reply, &buffer, &length, static_cast<uint16_t>(msg_id));
    mqtt_fixed_header back = reframe(buffer, length, reply);
    check(mqtt_pubxxx_decode(&back) == msg_id);
    delete[] buffer;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    const uint32_t count = static_cast<uint32_t>(size);
    int whole = mqtt_packets_buffer_check(data, count);
    check(whole == 0 || whole == -1 || whole == -2);

    State s;
    list_mqtt_user_add_new(&s.users, "user", "pass", 1);
    list_mqtt_user_add_new(&s.users, "reader", "secret", 0);

    // Decode as far as whole packets go, even when the buffer check failed
    // further on.
    uint32_t offset = 0;
    while (offset < count) {
        mqtt_fixed_header h{};
        uint32_t before = offset;
        if (mqtt_fixed_header_decode(&h, data + offset, count - offset, &offset) != 0)
            break;
        check(offset > before && offset <= count);
        switch (h.msg_type) {
        case MQTT_CONNECT:
            connect_handle(&s, &h);
            break;
        case MQTT_PUBLISH:
            publish_handle(&s, &h);
            break;
        case MQTT_SUBSCRIBE:
            subscribe_handle(&s, &h);
            break;
        case MQTT_UNSUBSCRIBE:
            unsubscribe_handle(&s, &h);
            break;
        case MQTT_PUBACK:
        case MQTT_PUBREC:
        case MQTT_PUBREL:
        case MQTT_PUBCOMP:
            pubxxx_handle(&h);
            break;
        case MQTT_PINGREQ: {
            uint8_t* buffer = nullptr;
            uint32_t length = 0;
            mqtt_pingresp_encode(&buffer, &length);
            reframe(buffer, length, MQTT_PINGRESP);
            delete[] buffer;
            break;
        }
        default:
            break;
        }
    }
    // A buffer of whole packets is walked to its end.
    check(whole != 0 || offset == count);
    return 0;
}
