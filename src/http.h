// HTTP file server for the web user interface. Until the server itself
// arrives the module only keeps its configuration record.
#pragma once

#include "conf_records.h"

// Takes ownership of the record made by the configuration reader.
void thread_http_serv_setup(http_conf* conf);
