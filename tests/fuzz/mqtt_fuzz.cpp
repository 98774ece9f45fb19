// MQTT packets: any bytes, split into packets as the broker splits them,
// must decode, be stored as the sessions store them and be answered without
// reading out of bounds, tripping a list's assertion or leaking, and every
// answer must be exactly one whole packet.
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "codec/mqtt.h"
#include "list/lists.h"
#include "list/mqtt_user.h"

namespace {

// Deliberate crash on a broken property, so libFuzzer keeps the input.
void check(bool property)
{
    if (!property)
        std::abort();
}

// Takes over an encoder's buffer.
void sent(uint8_t* buffer, uint32_t length)
{
    check(mqtt_packets_buffer_check(buffer, length) == 0 && mqtt_packets_whole_length(buffer, length) == length);
    delete[] buffer;
}

struct State {
    list<mqtt_user> users{};
    list<pub_item> pub_list{};
    list<sub_item> subs{};
    uint32_t sink = 0; // keeps the reads of decoded fields from being optimized away

    ~State()
    {
        list_mqtt_user_remove_all(&users);
        list_data_remove_all(&pub_list);
        list_name_remove_all(&subs);
    }
};

void packet_handle(State* s, const mqtt_fixed_header* h)
{
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    switch (h->msg_type) {
    case MQTT_CONNECT: {
        mqtt_connect c{};
        int result = mqtt_connect_decode(h, &c);
        check(result == MQTT_MALFORMED || result == 0 || result == 1 || result == 2);
        if (result == MQTT_MALFORMED)
            return;
        const std::pair<const uint8_t*, uint16_t> fields[] = {{c.client_id, c.client_id_length},
                                                              {c.will_topic, c.will_topic_length},
                                                              {c.will_message, c.will_message_length},
                                                              {c.user_name, c.user_name_length},
                                                              {c.password, c.password_length}};
        // The fields must lie within the packet.
        for (const auto& [field, field_length] : fields)
            for (uint16_t i = 0; i < field_length; ++i)
                s->sink += field[i];
        // The credentials, as the session checks them.
        if (result == 0 && !(c.user_name_length && c.password_length &&
                             list_mqtt_user_find_user(&s->users, c.user_name, c.user_name_length, c.password,
                                                      c.password_length)))
            result = 4;
        mqtt_connack_encode(&buffer, &length, static_cast<uint8_t>(result));
        return sent(buffer, length);
    }
    case MQTT_PUBLISH: {
        mqtt_publish publish{};
        if (mqtt_publish_decode(h, &publish) != 0)
            return;
        check(publish.topic_len != 0 && publish.qos <= 2);
        // Stored as the broker stores it, then sent from the stored topic.
        pub_item* item = list_pub_add_replace(&s->pub_list, publish.topic, publish.topic_len, publish.payload,
                                              publish.payload_len, publish.payload_len ? publish.retain : 0);
        mqtt_publish out{publish.msg_id, publish.qos, item->retain, item->name, item->name_len, item->data,
                         item->data_len, 0};
        mqtt_publish_encode(&buffer, &length, &out);
        return sent(buffer, length);
    }
    case MQTT_SUBSCRIBE: {
        mqtt_subscribe subscribe{};
        if (mqtt_subscribe_decode(h, &subscribe) != 0)
            return;
        std::vector<uint8_t> codes;
        mqtt_filter filter{};
        while (mqtt_filter_next(&subscribe.filters, &filter)) {
            check(filter.name_len != 0 && filter.qos <= 2);
            list_sub_add_replace(&s->subs, filter.name, filter.name_len, filter.qos);
            codes.push_back(filter.qos);
        }
        check(codes.size() == subscribe.filters.count);
        mqtt_suback suback{subscribe.msg_id, codes.data(), static_cast<uint32_t>(codes.size())};
        mqtt_suback_encode(&buffer, &length, &suback);
        return sent(buffer, length);
    }
    case MQTT_UNSUBSCRIBE: {
        mqtt_unsubscribe unsubscribe{};
        if (mqtt_unsubscribe_decode(h, &unsubscribe) != 0)
            return;
        mqtt_filter filter{};
        uint32_t count = 0;
        while (mqtt_filter_next(&unsubscribe.filters, &filter)) {
            list_sub_remove_name(&s->subs, filter.name, filter.name_len);
            ++count;
        }
        check(count == unsubscribe.filters.count);
        mqtt_pubxxx_encode(MQTT_UNSUBACK, &buffer, &length, unsubscribe.msg_id);
        return sent(buffer, length);
    }
    case MQTT_PUBACK:
    case MQTT_PUBREC:
    case MQTT_PUBREL:
    case MQTT_PUBCOMP: {
        int msg_id = mqtt_pubxxx_decode(h);
        check(msg_id >= MQTT_MALFORMED && msg_id <= 0xFFFF);
        if (msg_id < 0)
            return;
        mqtt_pubxxx_encode(h->msg_type == MQTT_PUBREC ? MQTT_PUBREL : MQTT_PUBCOMP, &buffer, &length,
                           static_cast<uint16_t>(msg_id));
        return sent(buffer, length);
    }
    case MQTT_PINGREQ:
        mqtt_pingresp_encode(&buffer, &length);
        return sent(buffer, length);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    const uint32_t count = static_cast<uint32_t>(size);
    int whole = mqtt_packets_buffer_check(data, count);
    check(whole == 0 || whole == -1 || whole == -2);
    const uint32_t whole_length = mqtt_packets_whole_length(data, count);
    check(whole != 0 || whole_length == count);

    State s;
    list_mqtt_user_add_new(&s.users, "user", "pass", 1);
    list_mqtt_user_add_new(&s.users, "reader", "secret", 0);

    // Decodes as far as whole packets go, as the broker does.
    uint32_t offset = 0;
    mqtt_fixed_header h{};
    while (offset < count && mqtt_fixed_header_decode(&h, data + offset, count - offset, &offset) == 0)
        packet_handle(&s, &h);
    check(offset == whole_length);
    return 0;
}
