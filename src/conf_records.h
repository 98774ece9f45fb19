// The records the configuration file fills, one per server thread. The
// configuration reader allocates them and main hands each to its thread
// module, which keeps it as its `thread_options` and frees it.
#pragma once

#include <cstdint>
#include <type_traits>

// Strings hold at most 64 characters and are NUL-terminated. Ports are
// 32-bit as read; servers use the low 16 bits. Omitted keys stay zero; a
// bound that is zero or negative takes its default (the servers' *_DEFAULT
// constants, documented in README.md).
struct http_conf {
    int32_t http_port;
    char http_files_path[65];
    char http_iface[65];
    int32_t http_max_connections; // open HTTP connections, at most
    int32_t http_tls_port;        // the same files over HTTPS; 0: closed
};

struct tcp_conf {
    int32_t mqtt_port;
    int32_t mqtt_tls_port;
    int32_t mqtt_ws_port;
    int32_t mqtt_ws_tls_port;
    char mqtt_iface[65];
    int32_t max_connections;           // open MQTT and WebSocket connections together, at most
    int32_t mqtt_output_soft_limit;    // unsent bytes past which a reading consumer pauses the publishers
    int32_t mqtt_output_hard_limit;    // unsent bytes past which a consumer's QoS 0 deliveries are dropped
    int32_t mqtt_output_total_limit;   // unsent bytes of all connections together, at most
    int32_t mqtt_output_stall_timeout; // seconds without output taken before a consumer is closed
    // Largest MQTT packet a client may send, in bytes; parse_conf_file
    // resolves it (the default follows mqtt_standard, at most
    // CONF_MAX_PACKET_SIZE_LIMIT).
    int32_t mqtt_max_packet_size;
    int32_t mqtt_standard; // the broker's mqtt_standard, copied: WebSocket as RFC 6455 has it
};

// Longest file path a key takes (the TLS files).
constexpr int CONF_PATH_MAX = 255;

// The certificate the TLS listeners present and how they check clients'.
// Without a certificate and a key no TLS listener opens.
struct tls_conf {
    char tls_cert_file[CONF_PATH_MAX + 1]; // PEM: the certificate, then any chain
    char tls_key_file[CONF_PATH_MAX + 1];  // PEM private key
    char tls_ca_file[CONF_PATH_MAX + 1];   // PEM authorities for client certificates; empty: none asked for
    int32_t tls_require_certificate;       // 1: a client without a certificate from tls_ca_file is refused
};

struct udp_conf {
    int32_t mqttsn_port;
    char mqttsn_iface[65];
};

struct mysql_conf {
    char mysql_server[65];
    char mysql_user[65];
    char mysql_password[65];
    char mysql_database[65];
    int32_t mysql_port;
};

// Bounds of the broker's tables. parse_conf_file starts them at their
// defaults; a value below 1 keeps the default.
struct broker_conf {
    int32_t max_topics;          // topics of all clients together
    int32_t mqttsn_max_sessions; // MQTT-SN sessions
    // 1 (the default): MQTT-SN nodes may publish; any other value makes
    // every node read-only.
    int32_t mqttsn_publish_enable;
    // 1: MQTT 3.1.1 semantics for MQTT clients (retained messages apart from
    // last values, no will after DISCONNECT, session take-over, kept
    // sessions...); anything else keeps the hub's own semantics.
    int32_t mqtt_standard;
    // Publications queued for one absent clean-session-0 client, at most.
    int32_t mqtt_max_queued_messages;
};

// Sized for a Raspberry Pi: 100,000 short topics take about 35 MB.
constexpr int32_t CONF_MAX_TOPICS_DEFAULT = 100000;
constexpr int32_t CONF_MQTTSN_MAX_SESSIONS_DEFAULT = 1000;
constexpr int32_t CONF_MAX_QUEUED_MESSAGES_DEFAULT = 1000;
// Packet size bounds: the hub's own nodes send small packets; MQTT 3.1.1
// clients (Zigbee2MQTT's device list) send large ones.
constexpr int32_t CONF_MAX_PACKET_SIZE_DEFAULT = 32768;
constexpr int32_t CONF_MAX_PACKET_SIZE_STANDARD_DEFAULT = 1 << 20;
constexpr int32_t CONF_MAX_PACKET_SIZE_LIMIT = 256 << 20;

// The store of the hub's state and of the numeric history. An empty
// persistence_file turns both off; a bound below 1 takes its default.
struct store_conf {
    char persistence_file[65];
    int32_t persistence_interval;     // seconds between writes, at most one write each
    int32_t history_days;             // points older than this are deleted
    int32_t history_max_points;       // per topic; beyond it the oldest half is thinned
    int32_t history_max_points_total; // all topics together; beyond it the oldest go
    char history_topics[65];          // comma-separated filters; empty: "#"
};

constexpr int32_t CONF_PERSISTENCE_INTERVAL_DEFAULT = 60;
constexpr int32_t CONF_HISTORY_DAYS_DEFAULT = 7;
constexpr int32_t CONF_HISTORY_MAX_POINTS_DEFAULT = 10000;
// About 40 bytes a point on disk: some 40 MB on an SD card.
constexpr int32_t CONF_HISTORY_MAX_POINTS_TOTAL_DEFAULT = 1000000;

// The bridge to an upstream MQTT broker; off while bridge_address is empty.
// Filters beyond CONF_BRIDGE_FILTERS_MAX of a kind are ignored with a warning.
constexpr int CONF_BRIDGE_FILTERS_MAX = 32;
struct bridge_conf {
    char bridge_address[65]; // host name, IPv4 or IPv6 address
    int32_t bridge_port;     // 0: 1883, or 8883 with TLS
    char bridge_client_id[65]; // empty: "halyx-<host name>"
    char bridge_user[65];
    char bridge_password[65];
    char bridge_out[CONF_BRIDGE_FILTERS_MAX][65]; // local publications that go up
    int32_t bridge_out_count;
    char bridge_in[CONF_BRIDGE_FILTERS_MAX][65]; // upstream publications that come down
    int32_t bridge_in_count;
    char bridge_remote_prefix[65]; // put before a topic going up, taken off one coming down
    int32_t bridge_qos;            // 0 or 1 upstream
    int32_t bridge_keepalive;      // seconds
    int32_t bridge_queue_max;      // publications held for the upstream, at most
    int32_t bridge_queue_max_bytes; // bytes of their topics and payloads, at most
    char bridge_tls_ca_file[CONF_PATH_MAX + 1]; // set: TLS to the upstream, verified with these authorities
    char bridge_tls_cert_file[CONF_PATH_MAX + 1]; // a client certificate, when the upstream asks for one
    char bridge_tls_key_file[CONF_PATH_MAX + 1];
};

constexpr int32_t CONF_BRIDGE_PORT_DEFAULT = 1883;
constexpr int32_t CONF_BRIDGE_TLS_PORT_DEFAULT = 8883;
constexpr int32_t CONF_BRIDGE_QOS_DEFAULT = 1;
constexpr int32_t CONF_BRIDGE_KEEPALIVE_DEFAULT = 60;
constexpr int32_t CONF_BRIDGE_QUEUE_MAX_DEFAULT = 10000;
// What a small board can spare for an upstream that is away.
constexpr int32_t CONF_BRIDGE_QUEUE_MAX_BYTES_DEFAULT = 64 << 20;

static_assert(std::is_standard_layout_v<tcp_conf> && std::is_trivial_v<tcp_conf>);
static_assert(std::is_standard_layout_v<mysql_conf> && std::is_trivial_v<mysql_conf>);
