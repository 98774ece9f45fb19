// UDP server of the MQTT-SN gateway: one datagram socket, owned by the UDP
// thread. Received datagrams go to the broker (udp_mqtt) unchanged, tagged
// with the sender's address; what the broker posts (mqtt_udp) is sent.
#pragma once

#include "conf_records.h"

// Configuration reader's record, handed over by main: the module owns it.
void thread_udp_serv_setup(udp_conf* conf);
// Main thread: opens the socket and starts the thread. 0, or -1 when the
// socket cannot be opened (the record is then freed).
[[nodiscard]] int thread_udp_start();
// Main thread: asks the thread to stop, waits until it has closed the
// socket, frees the configuration record.
void thread_udp_stop();
