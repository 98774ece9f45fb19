// CONNECT decoding: protocol forms, client identifier, will, credentials
// and authentication against the user list.
#include "mqtt_packet.h"

namespace {

constexpr uint8_t USER = 0x80;
constexpr uint8_t PASS = 0x40;
constexpr uint8_t WILL_RETAIN = 0x20;
constexpr uint8_t WILL_QOS2 = 0x10;
constexpr uint8_t WILL_QOS1 = 0x08;
constexpr uint8_t WILL = 0x04;
constexpr uint8_t CLEAN = 0x02;

const Bytes MQTT311 = str("MQTT") + Bytes{4};
const Bytes MQTT31 = str("MQIsdp") + Bytes{3};

// Protocol header, flags, keep-alive 60 and the rest of the payload.
Bytes connect_body(const Bytes& protocol, uint8_t flags, const Bytes& payload)
{
    return protocol + Bytes{flags} + u16(60) + payload;
}

std::string repeat(const std::string& unit, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += unit;
    return out;
}

struct MqttConnect : ::testing::Test {
    list<mqtt_user> users{};
    // The decoded record points into the packet, which must outlive it.
    Packet last;

    void TearDown() override { list_mqtt_user_remove_all(&users); }

    int decode(const Bytes& body, mqtt_connect* connect)
    {
        last = packet(0x10, body);
        *connect = {};
        connect->users = &users;
        return mqtt_connect_decode(&last.fixhdr, connect);
    }

    int decode(const Bytes& body)
    {
        mqtt_connect connect{};
        return decode(body, &connect);
    }
};

TEST_F(MqttConnect, ProtocolNameAndLevel)
{
    struct Case {
        const char* name;
        Bytes body;
        int result;
    };
    const Case cases[] = {
        {"MQTT level 4", connect_body(MQTT311, CLEAN, str("c")), 0},
        {"MQIsdp level 3", connect_body(MQTT31, CLEAN, str("c")), 0},
        {"MQTT level 3", connect_body(str("MQTT") + Bytes{3}, CLEAN, str("c")), 1},
        {"MQIsdp level 4", connect_body(str("MQIsdp") + Bytes{4}, CLEAN, str("c")), 1},
        {"MQTT level 5", connect_body(str("MQTT") + Bytes{5}, CLEAN, str("c")), 1},
        {"lower-case name", connect_body(str("mqtt") + Bytes{4}, CLEAN, str("c")), 1},
        {"name length off by one", connect_body(u16(5) + raw("MQTT") + Bytes{4}, CLEAN, str("c")), 1},
        {"empty body", {}, 1},
        {"body shorter than the 3.1.1 header", u16(4) + raw("MQT"), 1},
        {"body shorter than the 3.1 header", u16(6) + raw("MQIsdp"), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decode(c.body), c.result);
    }
}

TEST_F(MqttConnect, ClientIdentifierLimitIsInCharacters)
{
    const std::string e_acute = "\xC3\xA9";
    struct Case {
        const char* name;
        std::string client_id;
        int result;
    };
    const Case cases[] = {
        {"empty", "", 2},
        {"23 ASCII", std::string(23, 'a'), 0},
        {"24 ASCII", std::string(24, 'a'), 2},
        {"23 two-byte characters (46 bytes)", repeat(e_acute, 23), 0},
        {"24 two-byte characters", repeat(e_acute, 24), 2},
        {"23 four-byte characters (92 bytes)", repeat("\xF0\x9F\x98\x80", 23), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const Bytes& protocol : {MQTT311, MQTT31}) {
            // An empty identifier is refused even with clean session set.
            EXPECT_EQ(decode(connect_body(protocol, CLEAN, str(c.client_id))), c.result);
        }
    }
}

TEST_F(MqttConnect, FieldsPointIntoThePacket)
{
    for (const Bytes& protocol : {MQTT311, MQTT31}) {
        SCOPED_TRACE(protocol.size());
        const Bytes body = protocol + Bytes{USER | PASS | WILL_RETAIN | WILL_QOS1 | WILL | CLEAN} + u16(0x1234) +
                           str("client-1") + str("will/topic") + str("gone") + str("alice") + str("secret");
        Packet p = packet(0x10, body);
        mqtt_connect c{};
        c.users = &users;
        ASSERT_EQ(mqtt_connect_decode(&p.fixhdr, &c), 0);
        EXPECT_EQ(c.user_name_flag, 1);
        EXPECT_EQ(c.password_flag, 1);
        EXPECT_EQ(c.will_retain, 1);
        EXPECT_EQ(c.will_qos, 1);
        EXPECT_EQ(c.will_flag, 1);
        EXPECT_EQ(c.clean_session, 1);
        EXPECT_EQ(c.keepalive, 0x1234);
        EXPECT_EQ(text(c.client_id, c.client_id_length), "client-1");
        EXPECT_EQ(text(c.will_topic, c.will_topic_length), "will/topic");
        EXPECT_EQ(text(c.will_message, c.will_message_length), "gone");
        EXPECT_EQ(text(c.user_name, c.user_name_length), "alice");
        EXPECT_EQ(text(c.password, c.password_length), "secret");
        // Zero-copy: the fields lie inside the packet.
        const uint8_t* begin = p.bytes.get();
        const uint8_t* end = begin + p.size;
        for (const uint8_t* field : {c.client_id, c.will_topic, c.will_message, c.user_name, c.password})
            EXPECT_TRUE(field >= begin && field < end);
        EXPECT_EQ(c.password + c.password_length, end);
        EXPECT_EQ(c.publish_enable, 1);
    }
}

TEST_F(MqttConnect, FlagsAreNotCheckedAgainstEachOther)
{
    mqtt_connect c{};
    // Will QoS 3 and a password without the user name flag are both taken.
    ASSERT_EQ(decode(connect_body(MQTT311, PASS | WILL_QOS2 | WILL_QOS1 | WILL, str("c") + str("w") + str("m") +
                                                                                    str("pw")),
                     &c),
              0);
    EXPECT_EQ(c.will_qos, 3);
    EXPECT_EQ(c.user_name_flag, 0);
    EXPECT_EQ(c.user_name, nullptr);
    EXPECT_EQ(text(c.password, c.password_length), "pw");

    // The reserved bit is ignored; without the will flag no will is read.
    ASSERT_EQ(decode(connect_body(MQTT311, 0x01, str("c")), &c), 0);
    EXPECT_EQ(c.will_flag, 0);
    EXPECT_EQ(c.will_topic, nullptr);
    EXPECT_EQ(c.clean_session, 0);
}

TEST_F(MqttConnect, EmptyWillMessageIsAccepted)
{
    mqtt_connect c{};
    ASSERT_EQ(decode(connect_body(MQTT311, WILL, str("c") + str("w/t") + str("")), &c), 0);
    EXPECT_EQ(text(c.will_topic, c.will_topic_length), "w/t");
    EXPECT_EQ(c.will_message_length, 0);
}

TEST_F(MqttConnect, CredentialsAreReadOnlyWhileBytesRemain)
{
    mqtt_connect c{};
    // Flags set, fields left out: nothing is read past the identifier.
    ASSERT_EQ(decode(connect_body(MQTT31, USER | PASS, str("c")), &c), 0);
    EXPECT_EQ(c.user_name, nullptr);
    EXPECT_EQ(c.user_name_length, 0);
    EXPECT_EQ(c.password, nullptr);
    EXPECT_EQ(c.password_length, 0);

    // A user name present, the password left out.
    ASSERT_EQ(decode(connect_body(MQTT311, USER | PASS, str("c") + str("u")), &c), 0);
    EXPECT_EQ(text(c.user_name, c.user_name_length), "u");
    EXPECT_EQ(c.password, nullptr);

    // A zero-length user name is absent.
    ASSERT_EQ(decode(connect_body(MQTT311, USER | PASS, str("c") + str("") + str("p")), &c), 0);
    EXPECT_EQ(c.user_name, nullptr);
    EXPECT_EQ(c.user_name_length, 0);
    EXPECT_EQ(text(c.password, c.password_length), "p");
}

TEST_F(MqttConnect, Authentication)
{
    list_mqtt_user_add_new(&users, "alice", "secret", 1);
    list_mqtt_user_add_new(&users, "bob", "pw", 0);
    list_mqtt_user_add_new(&users, "bob", "other", 1);
    struct Case {
        const char* name;
        uint8_t flags;
        Bytes credentials;
        int result;
        uint8_t publish_enable;
    };
    const Case cases[] = {
        {"publishing user", USER | PASS, str("alice") + str("secret"), 0, 1},
        {"user without publish right", USER | PASS, str("bob") + str("pw"), 0, 0},
        {"second entry of a shared name", USER | PASS, str("bob") + str("other"), 0, 1},
        {"no credentials at all", 0, {}, 4, 0},
        {"flags set, fields left out", USER | PASS, {}, 4, 0},
        {"user name without password", USER, str("alice"), 4, 0},
        {"password flag without user name", PASS, str("secret"), 4, 0},
        {"empty user name", USER | PASS, str("") + str("secret"), 4, 0},
        {"empty password", USER | PASS, str("alice") + str(""), 4, 0},
        {"wrong password", USER | PASS, str("alice") + str("wrong!"), 4, 0},
        {"password one byte short", USER | PASS, str("alice") + str("secre"), 4, 0},
        {"password one byte long", USER | PASS, str("alice") + str("secrets"), 4, 0},
        {"user name in other case", USER | PASS, str("Alice") + str("secret"), 4, 0},
        {"unknown user", USER | PASS, str("carol") + str("secret"), 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqtt_connect connect{};
        EXPECT_EQ(decode(connect_body(MQTT311, c.flags, str("c") + c.credentials), &connect), c.result);
        EXPECT_EQ(connect.publish_enable, c.publish_enable);
    }
}

TEST_F(MqttConnect, EmptyUserListAcceptsAnyoneAndAllowsPublishing)
{
    const Bytes credentials[] = {{}, str("anyone") + str("anything"), str("") + str("")};
    for (const Bytes& creds : credentials) {
        mqtt_connect c{};
        EXPECT_EQ(decode(connect_body(MQTT311, USER | PASS, str("c") + creds), &c), 0);
        EXPECT_EQ(c.publish_enable, 1);
    }
}

TEST_F(MqttConnect, MalformedPackets)
{
    struct Case {
        const char* name;
        Bytes body;
    };
    const Case cases[] = {
        {"protocol header only", MQTT311},
        {"no keep-alive", MQTT311 + Bytes{CLEAN}},
        {"half a client id length", MQTT311 + Bytes{CLEAN} + u16(60) + Bytes{0x00}},
        {"client id length, no client id", MQTT31 + Bytes{CLEAN} + u16(60) + u16(1)},
        {"client id one byte short", connect_body(MQTT311, CLEAN, u16(3) + raw("ab"))},
        {"will flag, no will topic", connect_body(MQTT311, WILL, str("c"))},
        {"half a will topic length", connect_body(MQTT311, WILL, str("c") + Bytes{0x00})},
        {"empty will topic", connect_body(MQTT311, WILL, str("c") + str("") + str("m"))},
        {"will topic one byte short", connect_body(MQTT311, WILL, str("c") + u16(3) + raw("w/"))},
        {"no will message", connect_body(MQTT311, WILL, str("c") + str("w"))},
        {"half a will message length", connect_body(MQTT311, WILL, str("c") + str("w") + Bytes{0x00})},
        {"will message one byte short", connect_body(MQTT311, WILL, str("c") + str("w") + u16(5) + raw("gone"))},
        {"half a user name length", connect_body(MQTT311, USER, str("c") + Bytes{0x00})},
        {"user name one byte short", connect_body(MQTT311, USER, str("c") + u16(6) + raw("alice"))},
        {"half a password length", connect_body(MQTT311, USER | PASS, str("c") + str("u") + Bytes{0x00})},
        {"password overruns the packet", connect_body(MQTT31, USER | PASS, str("c") + str("u") + u16(9) + raw("p"))},
        {"password length 65535", connect_body(MQTT311, PASS, str("c") + u16(0xFFFF) + raw("p"))},
        // The layout is checked before the identifier is judged.
        {"empty client id and a bad will", connect_body(MQTT311, WILL, str("") + u16(4) + raw("w"))},
    };
    for (bool with_users : {false, true}) {
        if (with_users)
            list_mqtt_user_add_new(&users, "u", "p", 1);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            Packet p = packet(0x10, c.body);
            mqtt_connect connect{};
            connect.users = &users;
            EXPECT_EQ(mqtt_connect_decode(&p.fixhdr, &connect), MQTT_MALFORMED);
            // Nothing of the packet reaches the record.
            EXPECT_EQ(connect.client_id, nullptr);
            EXPECT_EQ(connect.will_topic, nullptr);
            EXPECT_EQ(connect.keepalive, 0);
            EXPECT_EQ(connect.publish_enable, 0);
        }
    }
}

} // namespace
