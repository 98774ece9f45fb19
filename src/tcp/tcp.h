// TCP server: the plain MQTT listener, the MQTT-over-WebSocket listener and
// every accepted connection, all owned by the TCP thread. It hands whole
// MQTT packets and close notices to the broker (tcp_mqtt) and sends or
// closes what the broker posts (mqtt_tcp).
#pragma once

#include <openssl/ssl.h>

#include "conf_records.h"

// Configuration reader, main thread: takes ownership of the record.
void thread_tcp_serv_setup(tcp_conf* conf);
// Main thread, after the setup: the context of the TLS listeners, of which
// the module takes a reference; null leaves them closed.
void thread_tcp_tls_setup(SSL_CTX* ctx);
// Main thread: opens the listeners and starts the thread. 0, or -1 when a
// listener cannot be opened (the record is then freed).
[[nodiscard]] int thread_tcp_start();
// Main thread: asks the thread to stop and waits until it has closed every
// socket; frees the configuration record.
void thread_tcp_stop();
