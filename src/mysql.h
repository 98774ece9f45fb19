// Database writer. Until the writer thread arrives the module only keeps
// its configuration record (handed over only when mysql_enable is 1).
#pragma once

#include "conf_records.h"

// Takes ownership of the record made by the configuration reader.
void thread_mysql_setup(mysql_conf* conf);
