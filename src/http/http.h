// HTTP file server for the web user interface: one listener on `http_port`
// serving the files of `http_files_path`, GET only, one request per
// connection. Its thread owns the listener and every connection; it shares
// nothing with the other threads and posts to no channel.
#pragma once

#include <openssl/ssl.h>

#include "conf_records.h"

// Configuration reader's record, handed over by main: the module owns it.
void thread_http_serv_setup(http_conf* conf);
// Main thread, before the start: the hub's settings the dashboard asks for
// (HTTP_HUB_INFO_PATH), from the running configuration: the WebSocket
// ports without and with TLS (0: none).
void thread_http_hub_setup(int32_t mqtt_ws_port, int32_t mqtt_ws_tls_port);
// Main thread, after the setup: the context of the HTTPS listener
// (http_tls_port), of which the module takes a reference; null leaves it
// closed.
void thread_http_tls_setup(SSL_CTX* ctx);
// Main thread, before any other thread starts: opens the listener (none
// for port 0) and starts the thread. 0, or -1 when the listener cannot be
// opened (the record is then freed).
int thread_http_start();
// Main thread: asks the thread to stop, waits until it has closed every
// socket and file, frees the configuration record.
void thread_http_stop();
