// The storage thread: one connection to a MySQL/MariaDB server, over which
// the records of the mqtt_mysql channel become INSERT and UPDATE
// statements. Started only when mysql_enable is 1.
//
// A lost connection stops nothing: the record whose statement found the
// connection gone stays first in the channel, the thread asks the server
// again at most once a second (the client library reconnects), and then
// goes on with that record. A statement the server refuses for any other
// reason is logged and its record dropped.
#pragma once

#include "conf_records.h"

struct mqtt_mysql_msg;

// Main thread, before the start: takes ownership of the record made by the
// configuration reader.
void thread_mysql_setup(mysql_conf* conf);
// Main thread: connects and starts the thread. 0, or -1 when the server
// cannot be reached (the configuration record is then freed).
int thread_mysql_start();
// Main thread: asks the thread to stop, waits until it has ended, closes
// the connection and frees the configuration record.
void thread_mysql_stop();

// Storage thread: runs the statement of one record. 0 when the record is
// done with (stored, or refused and logged); -1 when the connection was
// lost, so that the record is to be run again once it is back.
int mysql_packet_handle(const mqtt_mysql_msg* record);
