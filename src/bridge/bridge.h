// The bridge thread: an MQTT 3.1.1 client to an upstream broker. Local
// publications matching an out filter come from the broker on mqtt_bridge
// and go up with the remote prefix; upstream publications matching an in
// filter come down without it on bridge_mqtt. QoS 1 publications are held,
// in order, until the upstream acknowledges them, across outages, up to
// bridge_queue_max, and with the store on across restarts too. The state
// goes to "$SYS/bridge/state" and
// "$SYS/bridge/queued".
#pragma once

#include <string>
#include <vector>

#include "channels/bridge.h"
#include "conf_records.h"

// Main thread, before the broker starts: takes the record (and frees it)
// and gives the broker the out filters. False when the bridge is off.
bool thread_bridge_setup(bridge_conf* conf);
// Main thread, after the store is loaded and before the bridge starts: the
// publications held before the restart, oldest first (taken).
void thread_bridge_held_restore(std::vector<bridge_held>* loaded);
// Main thread: the client TLS context, when bridge_tls_ca_file is set. A
// file that cannot be used fills `failure`; false then.
[[nodiscard]] bool thread_bridge_tls_setup(std::string* failure);
// 0, or -1 when the thread could not start. A bridge that is off does not
// start and returns 0.
int thread_bridge_start();
void thread_bridge_stop();
