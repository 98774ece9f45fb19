// MQTT sessions: the broker's reaction to each packet or close notice that
// the TCP thread delivers, and the will published when a session ends.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "broker/broker_internal.h"
#include "channels/mqtt_tcp.h"
#include "codec/mqtt.h"
#include "list/id_index.h"
#include "logging.h"

namespace {

id_index<mqtt_conn> conn_index;

void send_packet(uint64_t conn_id, uint8_t* buffer, uint32_t length, const char* trace)
{
    log_write(LOG_DEBUG, "%s", trace);
    msg_mqtt_tcp_add_packet(conn_id, buffer, length);
}

void send_pubxxx(uint64_t conn_id, uint32_t type, uint16_t msg_id, const char* trace)
{
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqtt_pubxxx_encode(type, &buffer, &length, msg_id);
    send_packet(conn_id, buffer, length, trace);
}

// A packet that breaks the codec's layout rules gets no reply: the client
// is dropped and the rest of its record is not looked at.
void refuse_malformed(tcp_mqtt_msg* record, mqtt_conn* conn)
{
    log_write(LOG_DEBUG, "mqtt: malformed packet, closing connection\n");
    broker_conn_close_request(conn);
    record->offset = record->packet_len;
}

// The CONNACK code for the credentials of a well-formed CONNECT: 0, and
// the client's publish right, or 4. Without configured users anyone may
// connect and publish.
int connect_authenticate(const mqtt_connect* connect, uint8_t* publish_enable)
{
    if (!list_head(&mqtt_users)) {
        *publish_enable = 1;
        return 0;
    }
    // The lookup asserts on empty credentials, so they are refused here.
    if (connect->user_name_length == 0 || connect->password_length == 0)
        return 4;
    const mqtt_user* user = list_mqtt_user_find_user(&mqtt_users, connect->user_name, connect->user_name_length,
                                                     connect->password, connect->password_length);
    if (!user)
        return 4;
    *publish_enable = user->publish_enable;
    return 0;
}

// MQTT 3.1.1 on client identifiers: any length is accepted, and an empty
// one with clean session 1 is given one (unique for the process's life).
// The id is kept on the record. The CONNACK code: 0 or 2.
int client_id_standard(mqtt_conn* conn, const mqtt_connect* connect, int code)
{
    if (code != 0 && code != 2)
        return code;
    if (connect->client_id_length == 0) {
        if (!connect->clean_session)
            return 2;
        char id[32];
        int n = std::snprintf(id, sizeof id, "halyx-%llx", static_cast<unsigned long long>(conn->conn_id));
        conn->client_id = new uint8_t[n];
        std::memcpy(conn->client_id, id, static_cast<size_t>(n));
        conn->client_id_len = static_cast<uint16_t>(n);
    } else {
        conn->client_id = new uint8_t[connect->client_id_length];
        std::memcpy(conn->client_id, connect->client_id, connect->client_id_length);
        conn->client_id_len = connect->client_id_length;
    }
    conn->clean_session = connect->clean_session;
    return 0;
}

void handle_connect(tcp_mqtt_msg* record, mqtt_conn* conn, const mqtt_fixed_header* fixhdr)
{
    log_write(LOG_DEBUG, ">MQTT_CONNECT\n");
    mqtt_connect connect{};
    uint8_t publish_enable = 0;
    int code;
    if (conn) {
        // A second CONNECT on one connection.
        code = 1;
    } else {
        conn = broker_conn_add(record->conn_id, &record->addr);
        code = mqtt_connect_decode(fixhdr, &connect);
        if (broker_mqtt_standard)
            code = client_id_standard(conn, &connect, code);
        if (code == 0)
            code = connect_authenticate(&connect, &publish_enable);
        // A refused client has no session to keep.
        if (code != 0)
            conn->clean_session = 1;
    }
    if (code == MQTT_MALFORMED) {
        refuse_malformed(record, conn);
        return;
    }

    if (code == 0) {
        // The keep-alive count starts now, as the CONNACK goes out.
        conn->keepalivesec = connect.keepalive;
        conn->remainsec = connect.keepalive;
        conn->publish_enable = publish_enable;
        // A will is a publication: a client that may not publish has none.
        if (connect.will_flag == 1 && publish_enable) {
            will_replace(&conn->will, connect.will_topic, connect.will_topic_length, connect.will_message,
                         connect.will_message_length, connect.will_retain);
            conn->will.qos = connect.will_qos;
        }
    }
    bool resumed = code == 0 && broker_mqtt_standard && mqtt_session_start(conn);
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqtt_connack_encode(&buffer, &length, static_cast<uint8_t>(code), resumed && connect.protocol_level == 4);
    send_packet(record->conn_id, buffer, length, "<MQTT_CONNACK\n");
    if (resumed)
        mqtt_session_resume(conn);
    if (code == 0)
        return;
    // Refused: nothing the connection sends from here on is answered.
    broker_conn_close_request(conn);
}

void handle_publish(tcp_mqtt_msg* record, mqtt_conn* conn, const mqtt_fixed_header* fixhdr)
{
    log_write(LOG_DEBUG, ">MQTT_PUBLISH\n");
    if (conn->publish_enable == 0) {
        broker_conn_close_request(conn);
        return;
    }
    mqtt_publish publish{};
    if (mqtt_publish_decode(fixhdr, &publish) != 0) {
        refuse_malformed(record, conn);
        return;
    }

    if (publish.qos == 1)
        send_pubxxx(record->conn_id, MQTT_PUBACK, publish.msg_id, "<MQTT_PUBACK\n");
    else if (publish.qos != 0)
        send_pubxxx(record->conn_id, MQTT_PUBREC, publish.msg_id, "<MQTT_PUBREC\n");
    // A new rules file replaces the old one and is published by the reload,
    // not as this client's publication.
    if (mqtt_save_rules(publish.topic, publish.topic_len, publish.payload, publish.payload_len) != 0)
        return;
    // A new topic past max_topics: acknowledged, and dropped.
    broker_publish(PUBLICATION_MQTT, publish.topic, publish.topic_len, publish.payload, publish.payload_len,
                   publish.retain, 0, publish.qos);
}

void handle_subscribe(tcp_mqtt_msg* record, mqtt_conn* conn, const mqtt_fixed_header* fixhdr)
{
    log_write(LOG_DEBUG, ">MQTT_SUBSCRIBE\n");
    mqtt_subscribe subscribe{};
    if (mqtt_subscribe_decode(fixhdr, &subscribe) != 0) {
        refuse_malformed(record, conn);
        return;
    }
    // Granted as requested, one code per filter of the request. The same
    // filter twice keeps its first place and takes the later QoS.
    auto* codes = new uint8_t[subscribe.filters.count];
    uint32_t count = 0;
    list<sub_item> new_subs{};
    mqtt_filter filter{};
    while (mqtt_filter_next(&subscribe.filters, &filter)) {
        list_sub_add_replace(&conn->subs, filter.name, filter.name_len, filter.qos);
        list_sub_add_replace(&new_subs, filter.name, filter.name_len, filter.qos);
        codes[count++] = filter.qos;
    }
    broker_subs_changed();
    if (broker_mqtt_standard && !conn->clean_session)
        broker_store_session_mark(conn);

    mqtt_suback suback{subscribe.msg_id, codes, count};
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    mqtt_suback_encode(&buffer, &length, &suback);
    send_packet(record->conn_id, buffer, length, "<MQTT_SUBACK\n");
    delete[] codes;

    // Retained values follow the SUBACK, each at the QoS of the filter
    // that collected it (with mqtt_standard = 1, at most the QoS it was
    // published with), on the path of every other delivery.
    for (sub_item* sub = new_subs.head; sub; sub = list_next(sub)) {
        list<link_item> links{};
        list_sub_pub_matches(sub, &pub_list, &links, broker_mqtt_standard);
        for (link_item* link = links.head; link; link = link->next) {
            uint8_t qos = broker_mqtt_standard ? std::min(sub->qos, link->pub_item->retained_qos) : sub->qos;
            mqtt_publish_to(conn, qos, link->pub_item, true);
        }
        list_reg_remove_all(&links);
    }
    list_name_remove_all(&new_subs);
}

void handle_unsubscribe(tcp_mqtt_msg* record, mqtt_conn* conn, const mqtt_fixed_header* fixhdr)
{
    log_write(LOG_DEBUG, ">MQTT_UNSUBSCRIBE\n");
    mqtt_unsubscribe unsubscribe{};
    if (mqtt_unsubscribe_decode(fixhdr, &unsubscribe) != 0) {
        refuse_malformed(record, conn);
        return;
    }
    mqtt_filter filter{};
    while (mqtt_filter_next(&unsubscribe.filters, &filter))
        list_sub_remove_name(&conn->subs, filter.name, filter.name_len);
    broker_subs_changed();
    if (broker_mqtt_standard && !conn->clean_session)
        broker_store_session_mark(conn);
    send_pubxxx(record->conn_id, MQTT_UNSUBACK, unsubscribe.msg_id, "<MQTT_UNSUBACK\n");
}

// PUBREC is answered with PUBREL, PUBREL with PUBCOMP; nothing is stored
// but, with mqtt_standard = 1, the outbox's note of a PUBREC.
void handle_pubrec_pubrel(tcp_mqtt_msg* record, mqtt_conn* conn, const mqtt_fixed_header* fixhdr)
{
    bool pubrec = fixhdr->msg_type == MQTT_PUBREC;
    log_write(LOG_DEBUG, pubrec ? ">MQTT_PUBREC\n" : ">MQTT_PUBREL\n");
    int msg_id = mqtt_pubxxx_decode(fixhdr);
    if (msg_id < 0) {
        refuse_malformed(record, conn);
        return;
    }
    if (pubrec && broker_mqtt_standard)
        mqtt_outbox_ack(conn, MQTT_PUBREC, static_cast<uint16_t>(msg_id));
    if (pubrec)
        send_pubxxx(record->conn_id, MQTT_PUBREL, static_cast<uint16_t>(msg_id), "<MQTT_PUBREL\n");
    else
        send_pubxxx(record->conn_id, MQTT_PUBCOMP, static_cast<uint16_t>(msg_id), "<MQTT_PUBCOMP\n");
}

} // namespace

mqtt_conn* broker_conn_find(uint64_t conn_id)
{
    return id_index_find(&conn_index, conn_id);
}

mqtt_conn* broker_conn_add(uint64_t conn_id, const sockaddr_in* addr)
{
    mqtt_conn* conn = list_mqtt_conn_add_new(&mqtt_conns, addr);
    conn->conn_id = conn_id;
    id_index_add(&conn_index, conn);
    return conn;
}

void broker_conn_unlink(mqtt_conn* conn)
{
    id_index_remove(&conn_index, conn->conn_id);
    list_remove(&mqtt_conns, conn);
}

void broker_conn_remove(mqtt_conn* conn)
{
    broker_subs_changed();
    mqtt_outbox_free(conn);
    id_index_remove(&conn_index, conn->conn_id);
    list_mqtt_conn_remove(&mqtt_conns, conn);
}

void broker_conn_remove_all()
{
    broker_subs_changed();
    broker_subs_forget();
    id_index_clear(&conn_index);
    for (list<mqtt_conn>* conns : {&mqtt_conns, &mqtt_away}) {
        for (mqtt_conn* conn = conns->head; conn; conn = conn->next)
            mqtt_outbox_free(conn);
        list_mqtt_conn_remove_all(conns);
    }
}

void broker_conn_close_request(mqtt_conn* conn)
{
    if (conn->closing)
        return;
    conn->closing = 1;
    msg_mqtt_tcp_add_close_conn(conn->conn_id);
}

void mqtt_packet_handle(tcp_mqtt_msg* record)
{
    mqtt_conn* conn = broker_conn_find(record->conn_id);

    if (record->close) {
        if (conn) {
            mqtt_conn_close(conn);
            if (!(broker_mqtt_standard && mqtt_session_park(conn)))
                broker_conn_remove(conn);
        }
        return;
    }
    if (conn && conn->closing) {
        // Bytes that were on their way when the close was ordered.
        record->offset = record->packet_len;
        return;
    }

    mqtt_fixed_header fixhdr{};
    uint32_t consumed = record->offset;
    if (record->offset >= record->packet_len ||
        mqtt_fixed_header_decode(&fixhdr, record->packet + record->offset, record->packet_len - record->offset,
                                 &consumed) != 0) {
        // Not a whole packet: drop the rest so the loop over this record ends.
        record->offset = record->packet_len;
        return;
    }
    record->offset = consumed;

    if (!conn && fixhdr.msg_type != MQTT_CONNECT)
        return;

    if (fixhdr.msg_type == MQTT_CONNECT) {
        handle_connect(record, conn, &fixhdr);
        return;
    }
    if (mqtt_remaining_length_check(&fixhdr) != 0) {
        refuse_malformed(record, conn);
        return;
    }
    list_mqtt_conn_reset_remainsec(conn);

    switch (fixhdr.msg_type) {
    case MQTT_PUBLISH:
        handle_publish(record, conn, &fixhdr);
        break;
    case MQTT_PUBACK:
    case MQTT_PUBCOMP: {
        log_write(LOG_DEBUG, fixhdr.msg_type == MQTT_PUBACK ? ">MQTT_PUBACK\n" : ">MQTT_PUBCOMP\n");
        int msg_id = mqtt_pubxxx_decode(&fixhdr);
        if (broker_mqtt_standard && msg_id >= 0)
            mqtt_outbox_ack(conn, fixhdr.msg_type, static_cast<uint16_t>(msg_id));
        break;
    }
    case MQTT_PUBREC:
    case MQTT_PUBREL:
        handle_pubrec_pubrel(record, conn, &fixhdr);
        break;
    case MQTT_SUBSCRIBE:
        handle_subscribe(record, conn, &fixhdr);
        break;
    case MQTT_UNSUBSCRIBE:
        handle_unsubscribe(record, conn, &fixhdr);
        break;
    case MQTT_PINGREQ: {
        log_write(LOG_DEBUG, ">MQTT_PINGREQ\n");
        uint8_t* buffer = nullptr;
        uint32_t length = 0;
        mqtt_pingresp_encode(&buffer, &length);
        send_packet(record->conn_id, buffer, length, "<MQTT_PINGRESP\n");
        break;
    }
    case MQTT_DISCONNECT:
        log_write(LOG_DEBUG, ">MQTT_DISCONNECT\n");
        // MQTT 3.1.1: a clean DISCONNECT discards the will.
        if (broker_mqtt_standard)
            will_remove_all(&conn->will);
        broker_conn_close_request(conn);
        break;
    case MQTT_CONNACK:
        log_write(LOG_DEBUG, ">MQTT_CONNACK\n");
        break;
    case MQTT_SUBACK:
        log_write(LOG_DEBUG, ">MQTT_SUBACK\n");
        break;
    case MQTT_UNSUBACK:
        log_write(LOG_DEBUG, ">MQTT_UNSUBACK\n");
        break;
    case MQTT_PINGRESP:
        log_write(LOG_DEBUG, ">MQTT_PINGRESP\n");
        break;
    default:
        break;
    }
}

void mqtt_conn_close(mqtt_conn* conn)
{
    if (!conn->will.name)
        return;
    // The client does not receive its own will.
    list<sub_item> subs = conn->subs;
    conn->subs.head = nullptr;
    broker_subs_changed();

    broker_publish(PUBLICATION_WILL, conn->will.name, conn->will.name_len, conn->will.data, conn->will.data_len,
                   conn->will.retain, 0, conn->will.qos);

    conn->subs = subs;
    broker_subs_changed();
}
