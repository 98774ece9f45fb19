// MQTT-SN sessions: the gateway's reaction to each datagram from the UDP
// thread, and the will published when a client goes.
#include <arpa/inet.h>

#include <cstdio>

#include "broker/broker_internal.h"
#include "channels/mqtt_udp.h"
#include "codec/mqttsn.h"
#include "list/addr_index.h"
#include "logging.h"

namespace {

addr_index<mqttsn_conn> sn_index;
client_id_index sn_ids;
// Set while new sessions are refused at mqttsn_max_sessions, so that each
// such episode is logged once.
bool sessions_full = false;

void reply(const sockaddr_in* addr, uint8_t* buffer, uint32_t length, const char* trace)
{
    log_write(LOG_DEBUG, "%s", trace);
    msg_mqtt_udp_add_packet(addr, buffer, length);
}

void reply_return(const sockaddr_in* addr, uint32_t type, uint32_t code, const char* trace)
{
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqttsn_return_command_encode(type, &buffer, &length, code);
    reply(addr, buffer, length, trace);
}

void reply_simple(const sockaddr_in* addr, uint32_t type, const char* trace)
{
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqttsn_simple_command_encode(type, &buffer, &length);
    reply(addr, buffer, length, trace);
}

void reply_pubxxx(const sockaddr_in* addr, uint32_t type, uint16_t msg_id, const char* trace)
{
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqttsn_pubxxx_encode(type, &buffer, &length, msg_id);
    reply(addr, buffer, length, trace);
}

void reply_disconnect(const sockaddr_in* addr)
{
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqttsn_disconnect_encode(&buffer, &length, 0);
    reply(addr, buffer, length, "<MQTTSN_DISCONNECT\n");
}

void log_ack(const mqttsn_conn* conn, const mqttsn_xxxack* ack)
{
    log_conn(LOG_DEBUG, "mqttsn", &conn->addr, ", topic_id:%d, msg_id:%d, return_code:%d\n", ack->topic_id,
             ack->msg_id, static_cast<int>(ack->return_code));
}

// REGACK, PUBACK, or (without return code on the wire) PUBREC.
void reply_ack(const sockaddr_in* addr, const mqttsn_conn* conn, uint32_t type, const mqttsn_xxxack* ack,
               const char* trace)
{
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    if (type == MQTTSN_PUBREC)
        mqttsn_pubxxx_encode(type, &buffer, &length, ack->msg_id);
    else
        mqttsn_xxxack_encode(type, &buffer, &length, ack);
    log_write(LOG_DEBUG, "%s", trace);
    log_ack(conn, ack);
    msg_mqtt_udp_add_packet(addr, buffer, length);
}

void refuse_connect(const sockaddr_in* addr, uint32_t code, const char* why)
{
    reply_return(addr, MQTTSN_CONNACK, code, "<MQTTSN_CONNACK\n");
    log_write(LOG_DEBUG, "%s", why);
}

// Keep-alive period from a CONNECT or sleep duration: half again for short
// periods, a tenth more for long ones.
uint32_t keepalive_from(uint16_t duration)
{
    return static_cast<uint32_t>(duration <= 60 ? duration * 1.5 : duration * 1.1);
}

// A new session, indexed by address and client id. Null past
// mqttsn_max_sessions.
mqttsn_conn* sn_add(const sockaddr_in* addr, const uint8_t* client_id, uint32_t client_id_length)
{
    if (sn_index.map.size() >= broker_mqttsn_max_sessions) {
        if (!sessions_full)
            log_write(LOG_WARNING, "mqttsn: %zu sessions, the mqttsn_max_sessions bound; new clients are refused\n",
                      sn_index.map.size());
        sessions_full = true;
        return nullptr;
    }
    sessions_full = false;
    mqttsn_conn* conn = list_mqttsn_conn_add_new(&mqttsn_conns, addr);
    list_mqttsn_conn_set_client_id(conn, client_id, client_id_length);
    addr_index_add(&sn_index, conn);
    client_id_index_add(&sn_ids, conn);
    return conn;
}

// A known client id from a new address: the session follows the client.
void sn_move(mqttsn_conn* conn, const sockaddr_in* addr)
{
    addr_index_remove(&sn_index, &conn->addr);
    conn->addr = *addr;
    addr_index_add(&sn_index, conn);
}

void handle_connect(const udp_mqtt_msg* record, mqttsn_conn* conn, const mqttsn_fixed_header* header)
{
    log_write(LOG_DEBUG, ">MQTTSN_CONNECT\n");
    mqttsn_connect connect{};
    int code = mqttsn_connect_decode(header, &connect);
    if (code != MQTTSN_ACCEPTED) {
        reply_return(&record->addr, MQTTSN_CONNACK, static_cast<uint32_t>(code), "<MQTTSN_CONNACK\n");
        return;
    }
    bool created = false;
    if (!conn) {
        conn = client_id_index_find(&sn_ids, connect.client_id, connect.client_id_length);
        if (conn) {
            sn_move(conn, &record->addr);
        } else if (!connect.flags.clean_session) {
            refuse_connect(&record->addr, MQTTSN_REFUSED_NOT_SUPPORTED, "return_code:MQTTSN_REFUSED_NOT_SUPPORTED\n");
            return;
        } else if (!(conn = sn_add(&record->addr, connect.client_id, connect.client_id_length))) {
            refuse_connect(&record->addr, MQTTSN_REFUSED_CONGESTION, "return_code:MQTTSN_REFUSED_CONGESTION\n");
            return;
        } else {
            created = true;
        }
    }
    if (connect.duration == 0) {
        refuse_connect(&record->addr, MQTTSN_REFUSED_NOT_SUPPORTED, "return_code:MQTTSN_REFUSED_NOT_SUPPORTED\n");
        // A record without a keep-alive period has no place in the list.
        if (created)
            broker_sn_remove(conn);
        return;
    }
    conn->state = MQTTSN_STATE_CONNECTING;
    conn->keepalivesec = keepalive_from(connect.duration);
    conn->remainsec = conn->keepalivesec;
    log_conn(LOG_DEBUG, "mqttsn", &conn->addr, ", client_id:%.*s, duration:%d, will:%d, clean_session:%d\n",
             static_cast<int>(conn->client_id_length), reinterpret_cast<const char*>(conn->client_id),
             connect.duration, connect.flags.will, connect.flags.clean_session);
    if (connect.flags.clean_session)
        list_mqttsn_conn_topics_clear(conn);
    if (connect.flags.will) {
        reply_simple(&record->addr, MQTTSN_WILLTOPICREQ, "<MQTTSN_WILLTOPICREQ\n");
        return;
    }
    mqttsn_send_buffered_msgs(conn);
}

void handle_disconnect(const udp_mqtt_msg* record, mqttsn_conn* conn, const mqttsn_fixed_header* header)
{
    log_write(LOG_DEBUG, ">MQTTSN_DISCONNECT\n");
    uint16_t duration = 0;
    mqttsn_disconnect_decode(header, &duration);
    if (duration == 0) {
        conn->state = MQTTSN_STATE_DISCONNECTED;
        mqttsn_conn_close(conn);
        broker_sn_remove(conn);
    } else {
        conn->state = MQTTSN_STATE_ASLEEP;
        conn->keepalivesec = keepalive_from(duration);
        conn->remainsec = conn->keepalivesec;
    }
    reply_disconnect(&record->addr);
}

void handle_register(const udp_mqtt_msg* record, mqttsn_conn* conn, const mqttsn_fixed_header* header)
{
    log_write(LOG_DEBUG, ">MQTTSN_REGISTER\n");
    mqttsn_register reg{};
    int code = mqttsn_register_decode(header, &reg);
    pub_item* item = nullptr;
    if (code == MQTTSN_ACCEPTED && mqttsn_name_reserved(reg.topic_name, reg.topic_name_length))
        code = MQTTSN_REFUSED_NOT_SUPPORTED;
    if (code == MQTTSN_ACCEPTED) {
        // An existing topic stays as it is.
        item = list_pub_add_ignore(&pub_list, reg.topic_name, reg.topic_name_length, nullptr, 0, 0);
        if (!item) {
            log_write(LOG_DEBUG, "topic table full, pubtopic: %.*s refused, msg_id: %d\n",
                      static_cast<int>(reg.topic_name_length), reinterpret_cast<const char*>(reg.topic_name),
                      reg.msg_id);
            broker_topics_refused();
            code = MQTTSN_REFUSED_CONGESTION;
        }
    }
    // Without a free topic id the name cannot be registered.
    if (item && !broker_topic_id_assign(item))
        code = MQTTSN_REFUSED_CONGESTION;
    mqttsn_xxxack ack{0, reg.msg_id, static_cast<uint32_t>(code)};
    if (code == MQTTSN_ACCEPTED && item) {
        ack.topic_id = item->topic_id;
        list_reg_add(&conn->regs, ack.topic_id);
    }
    reply_ack(&record->addr, conn, MQTTSN_REGACK, &ack, "<MQTTSN_REGACK\n");
}

void handle_regack(mqttsn_conn* conn, const mqttsn_fixed_header* header)
{
    log_write(LOG_DEBUG, ">MQTTSN_REGACK\n");
    mqttsn_xxxack ack{};
    mqttsn_xxxack_decode(header, &ack);
    // Refused: the delivery stays first in line and its REGISTER goes out
    // again, with a new message id, the next time the queue is served.
    if (ack.return_code != MQTTSN_ACCEPTED || ack.msg_id == 0)
        return;
    msg_item* waiting = list_msg_find_msg_id(&conn->wait_reg, ack.msg_id);
    if (!waiting)
        return;
    // The node knows the topic from now on: its next deliveries need no
    // REGISTER.
    list_reg_add_ignore(&conn->regs, waiting->topic_id);
    if (ack.topic_id != 0 && list_pub_find_topic_id(&pub_list, ack.topic_id))
        list_msg_add(&conn->wait_ack, ack.topic_id, waiting->qos);
    list_msg_remove(&conn->wait_reg, waiting);
    mqttsn_send_buffered_msgs(conn);
}

// Pre-defined ids live in the same list as the registered ones. The list
// insists on a non-zero id; from a client, 0 just finds nothing.
pub_item* topic_find(uint16_t topic_id)
{
    return topic_id ? list_pub_find_topic_id(&pub_list, topic_id) : nullptr;
}

void handle_publish(const udp_mqtt_msg* record, mqttsn_conn* conn, const mqttsn_fixed_header* header)
{
    log_write(LOG_DEBUG, ">MQTTSN_PUBLISH\n");
    mqttsn_publish publish{};
    int code = mqttsn_publish_decode(header, &publish);
    pub_item* item = nullptr;
    if (code == MQTTSN_ACCEPTED) {
        item = topic_find(publish.topic_id);
        if (!item) {
            log_write(LOG_DEBUG, "invalid pubtopic, topic_id:%d, qos:%d, msg_id:%d\n", publish.topic_id,
                      publish.flags.qos, publish.msg_id);
            code = MQTTSN_REFUSED_INVALID_TOPIC_ID;
        }
    }
    mqttsn_xxxack ack{publish.topic_id, publish.msg_id, static_cast<uint32_t>(code)};
    // A node that may not publish, or not there, is told so whatever the
    // QoS: its PUBLISH changes nothing.
    if (item && (!broker_mqttsn_publish_enable || mqttsn_name_reserved(item->name, item->name_len))) {
        log_conn(LOG_DEBUG, "mqttsn", &conn->addr, ", publish to %.*s refused\n", static_cast<int>(item->name_len),
                 reinterpret_cast<const char*>(item->name));
        ack.return_code = MQTTSN_REFUSED_NOT_SUPPORTED;
        reply_ack(&record->addr, conn, MQTTSN_PUBACK, &ack, "<MQTTSN_PUBACK\n");
        return;
    }
    if (publish.flags.qos == 1)
        reply_ack(&record->addr, conn, MQTTSN_PUBACK, &ack, "<MQTTSN_PUBACK\n");
    else if (publish.flags.qos != 0) // QoS 2 and QoS -1 alike
        reply_ack(&record->addr, conn, MQTTSN_PUBREC, &ack, "<MQTTSN_PUBREC\n");
    if (item)
        broker_publish(PUBLICATION_MQTTSN, item->name, item->name_len, publish.data, publish.data_length,
                       publish.flags.retain);
}

void handle_puback(mqttsn_conn* conn, const mqttsn_fixed_header* header)
{
    log_write(LOG_DEBUG, ">MQTTSN_PUBACK\n");
    mqttsn_xxxack ack{};
    mqttsn_xxxack_decode(header, &ack);
    log_ack(conn, &ack);
    if (ack.msg_id == 0 || !list_msg_find_msg_id(&conn->wait_ack, ack.msg_id))
        return;
    list_msg_remove_msg_id(&conn->wait_ack, ack.msg_id);
    mqttsn_send_buffered_msgs(conn);
}

// What a SUBSCRIBE added: the subscription and its topic (null for a
// wildcard filter), or the refusal code.
struct sub_subscribed {
    int code;
    pub_item* topic;
    sub_item* sub;
};

// Adds or replaces the subscription with the requested QoS, by name (adding
// a name without wildcard to pub_list too) or by pre-defined topic id.
// Code 1 for a new name past pub_list's bound, 2 for a topic id 0 or not
// in pub_list; nothing changes then.
sub_subscribed subscription_add(mqttsn_conn* conn, const mqttsn_subscribe* subscribe)
{
    const uint8_t qos = subscribe->flags.qos;
    sub_subscribed added{MQTTSN_ACCEPTED, nullptr, nullptr};
    if (mqttsn_name_reserved(subscribe->topic_name, subscribe->topic_name_length))
        return {MQTTSN_REFUSED_NOT_SUPPORTED, nullptr, nullptr};
    if (subscribe->topic_name_length) {
        // A plain name is a topic the client will be told the id of.
        if (!name_has_wildcard(subscribe->topic_name, subscribe->topic_name_length)) {
            added.topic =
                list_pub_add_ignore(&pub_list, subscribe->topic_name, subscribe->topic_name_length, nullptr, 0, 0);
            if (!added.topic) {
                log_write(LOG_DEBUG, "topic table full, subtopic: %.*s refused, msg_id: %d\n",
                          static_cast<int>(subscribe->topic_name_length),
                          reinterpret_cast<const char*>(subscribe->topic_name), subscribe->msg_id);
                broker_topics_refused();
                return {MQTTSN_REFUSED_CONGESTION, nullptr, nullptr};
            }
        }
        added.sub = list_sub_add_replace(&conn->subs, subscribe->topic_name, subscribe->topic_name_length, qos);
    } else {
        added.topic = topic_find(subscribe->topic_id);
        if (!added.topic) {
            log_write(LOG_DEBUG, "invalid subtopic, topic_id:%d, qos:%d, msg_id:%d\n", subscribe->topic_id, qos,
                      subscribe->msg_id);
            return {MQTTSN_REFUSED_INVALID_TOPIC_ID, nullptr, nullptr};
        }
        if (mqttsn_name_reserved(added.topic->name, added.topic->name_len))
            return {MQTTSN_REFUSED_NOT_SUPPORTED, nullptr, nullptr};
        added.sub = list_sub_add_replace(&conn->subs, added.topic->name, added.topic->name_len, qos);
    }
    log_write(LOG_DEBUG, "subtopic: %.*s, topic_id: %d, qos: %d, msg_id: %d\n", static_cast<int>(added.sub->name_len),
              reinterpret_cast<const char*>(added.sub->name), subscribe->topic_id, qos, subscribe->msg_id);
    return added;
}

void handle_subscribe(const udp_mqtt_msg* record, mqttsn_conn* conn, const mqttsn_fixed_header* header)
{
    log_write(LOG_DEBUG, ">MQTTSN_SUBSCRIBE\n");
    mqttsn_subscribe subscribe{};
    int code = mqttsn_subscribe_decode(header, &subscribe);
    sub_subscribed added = code == MQTTSN_ACCEPTED ? subscription_add(conn, &subscribe) : sub_subscribed{};
    if (code == MQTTSN_ACCEPTED)
        code = added.code;
    // A plain name the client cannot be told an id for is not subscribed.
    if (added.topic && !broker_topic_id_assign(added.topic)) {
        if (added.sub)
            list_sub_remove_name(&conn->subs, added.sub->name, added.sub->name_len);
        added = {};
        code = MQTTSN_REFUSED_CONGESTION;
    }
    mqttsn_suback suback{};
    suback.flags.qos = subscribe.flags.qos;
    suback.topic_id = subscribe.topic_id;
    suback.msg_id = subscribe.msg_id;
    suback.return_code = static_cast<uint32_t>(code);
    if (added.topic) {
        suback.topic_id = added.topic->topic_id;
        if (added.sub)
            added.sub->topic_id = suback.topic_id;
    }
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqttsn_suback_encode(&buffer, &length, &suback);
    reply(&record->addr, buffer, length, "<MQTTSN_SUBACK\n");
    if (code != MQTTSN_ACCEPTED || !added.sub)
        return;

    // Retained values of the topics the new subscription matches.
    list<link_item> links{};
    list_sub_pub_matches(added.sub, &pub_list, &links);
    for (link_item* link = links.head; link; link = link->next) {
        // A retained topic may still lack an id (the rules file's topic).
        if (!mqttsn_name_reserved(link->pub_item->name, link->pub_item->name_len) &&
            broker_topic_id_assign(link->pub_item))
            mqttsn_queue_add(conn, link->pub_item->topic_id, added.sub->qos);
    }
    list_reg_remove_all(&links);
    mqttsn_send_buffered_msgs(conn);
}

void handle_will(const udp_mqtt_msg* record, mqttsn_conn* conn, const mqttsn_fixed_header* header)
{
    if (header->msg_type == MQTTSN_WILLTOPIC || header->msg_type == MQTTSN_WILLTOPICUPD) {
        bool update = header->msg_type == MQTTSN_WILLTOPICUPD;
        log_write(LOG_DEBUG, update ? ">MQTTSN_WILLTOPICUPD\n" : ">MQTTSN_WILLTOPIC\n");
        mqttsn_willtopic topic{};
        mqttsn_willtopic_decode(header, &topic);
        // A will is a publication: one a node could not publish itself is
        // not kept (the exchange goes on, without it).
        uint32_t code = MQTTSN_ACCEPTED;
        if (topic.will_topic_length != 0 &&
            (!broker_mqttsn_publish_enable || mqttsn_name_reserved(topic.will_topic, topic.will_topic_length)))
            code = MQTTSN_REFUSED_NOT_SUPPORTED;
        if (topic.will_topic_length == 0 || code != MQTTSN_ACCEPTED)
            will_remove_all(&conn->will);
        else
            will_name_replace(&conn->will, topic.will_topic, topic.will_topic_length, topic.flags.retain);
        if (update)
            reply_return(&record->addr, MQTTSN_WILLTOPICRESP, code, "<MQTTSN_WILLTOPICRESP\n");
        else
            reply_simple(&record->addr, MQTTSN_WILLMSGREQ, "<MQTTSN_WILLMSGREQ\n");
        return;
    }
    bool update = header->msg_type == MQTTSN_WILLMSGUPD;
    log_write(LOG_DEBUG, update ? ">MQTTSN_WILLMSGUPD\n" : ">MQTTSN_WILLMSG\n");
    mqttsn_willmsg message{};
    mqttsn_willmsg_decode(header, &message);
    will_data_replace(&conn->will, message.will_message, message.will_message_length);
    if (update)
        reply_return(&record->addr, MQTTSN_WILLMSGRESP, MQTTSN_ACCEPTED, "<MQTTSN_WILLMSGRESP\n");
    else
        mqttsn_send_buffered_msgs(conn); // the CONNACK after a will exchange
}

void handle_pubxxx(const udp_mqtt_msg* record, mqttsn_conn* conn, const mqttsn_fixed_header* header)
{
    uint16_t msg_id = 0;
    mqttsn_pubxxx_decode(header, &msg_id);
    switch (header->msg_type) {
    case MQTTSN_PUBREC:
        // The delivery stays first in wait_ack until its PUBCOMP.
        log_write(LOG_DEBUG, ">MQTTSN_PUBREC\n");
        reply_pubxxx(&record->addr, MQTTSN_PUBREL, msg_id, "<MQTTSN_PUBREL\n");
        break;
    case MQTTSN_PUBREL:
        log_write(LOG_DEBUG, ">MQTTSN_PUBREL\n");
        reply_pubxxx(&record->addr, MQTTSN_PUBCOMP, msg_id, "<MQTTSN_PUBCOMP\n");
        break;
    default:
        log_write(LOG_DEBUG, ">MQTTSN_PUBCOMP\n");
        if (msg_id != 0)
            list_msg_remove_msg_id(&conn->wait_ack, msg_id);
        mqttsn_send_buffered_msgs(conn);
        break;
    }
}

void handle_pingreq(const udp_mqtt_msg* record, mqttsn_conn* conn)
{
    log_write(LOG_DEBUG, ">MQTTSN_PINGREQ\n");
    if (conn->state == MQTTSN_STATE_ASLEEP) {
        // The PINGRESP follows the last queued delivery.
        conn->state = MQTTSN_STATE_AWAKE;
        mqttsn_send_buffered_msgs(conn);
        return;
    }
    reply_simple(&record->addr, MQTTSN_PINGRESP, "<MQTTSN_PINGRESP\n");
}

} // namespace

mqttsn_conn* broker_sn_find(const sockaddr_in* addr)
{
    return addr_index_find(&sn_index, addr);
}

mqttsn_conn* broker_sn_remove(mqttsn_conn* conn)
{
    addr_index_remove(&sn_index, &conn->addr);
    client_id_index_remove(&sn_ids, conn);
    return list_mqttsn_conn_remove(&mqttsn_conns, conn);
}

void broker_sn_remove_all()
{
    addr_index_clear(&sn_index);
    sn_ids.map.clear();
    list_mqttsn_conn_remove_all(&mqttsn_conns);
}

void mqttsn_packet_handle(udp_mqtt_msg* record)
{
    mqttsn_fixed_header header{};
    if (mqttsn_fixed_header_decode(&header, record->packet, record->packet_len) != 0)
        return;
    mqttsn_conn* conn = broker_sn_find(&record->addr);
    if (header.msg_type == MQTTSN_CONNECT) {
        handle_connect(record, conn, &header);
        return;
    }
    if (!conn) {
        reply_disconnect(&record->addr);
        return;
    }
    if (conn->keepalivesec != 0)
        list_mqttsn_conn_reset_remainsec(conn);

    switch (header.msg_type) {
    case MQTTSN_WILLTOPIC:
    case MQTTSN_WILLTOPICUPD:
    case MQTTSN_WILLMSG:
    case MQTTSN_WILLMSGUPD:
        handle_will(record, conn, &header);
        break;
    case MQTTSN_PINGREQ:
        handle_pingreq(record, conn);
        break;
    case MQTTSN_PINGRESP:
        log_write(LOG_DEBUG, ">MQTTSN_PINGRESP\n");
        break;
    case MQTTSN_DISCONNECT:
        handle_disconnect(record, conn, &header);
        break;
    case MQTTSN_REGISTER:
        handle_register(record, conn, &header);
        break;
    case MQTTSN_REGACK:
        handle_regack(conn, &header);
        break;
    case MQTTSN_PUBLISH:
        handle_publish(record, conn, &header);
        break;
    case MQTTSN_PUBACK:
        handle_puback(conn, &header);
        break;
    case MQTTSN_PUBREC:
    case MQTTSN_PUBREL:
    case MQTTSN_PUBCOMP:
        handle_pubxxx(record, conn, &header);
        break;
    case MQTTSN_SUBSCRIBE:
        handle_subscribe(record, conn, &header);
        break;
    case MQTTSN_UNSUBSCRIBE: {
        log_write(LOG_DEBUG, ">MQTTSN_UNSUBSCRIBE\n");
        mqttsn_subscribe unsubscribe{};
        // The lists refuse an empty name and topic id 0; neither names a
        // subscription, so there is nothing to remove.
        if (mqttsn_unsubscribe_decode(&header, &unsubscribe) == MQTTSN_ACCEPTED) {
            if (unsubscribe.topic_name_length)
                list_sub_remove_name(&conn->subs, unsubscribe.topic_name, unsubscribe.topic_name_length);
            else if (unsubscribe.topic_id)
                list_sub_remove_topic_id(&conn->subs, unsubscribe.topic_id);
        }
        reply_pubxxx(&record->addr, MQTTSN_UNSUBACK, unsubscribe.msg_id, "<MQTTSN_UNSUBACK\n");
        break;
    }
    default:
        break;
    }
}

void mqttsn_conn_close(mqttsn_conn* conn)
{
    if (!conn->will.name)
        return;
    // The departing client does not receive its own will.
    list<sub_item> subs = conn->subs;
    conn->subs.head = nullptr;
    broker_publish(PUBLICATION_WILL, conn->will.name, conn->will.name_len, conn->will.data, conn->will.data_len,
                   conn->will.retain);
    conn->subs = subs;
}
