// UDP server of the MQTT-SN gateway. Until the server itself arrives the
// module only keeps its configuration record.
#pragma once

#include "conf_records.h"

// Takes ownership of the record made by the configuration reader.
void thread_udp_serv_setup(udp_conf* conf);
