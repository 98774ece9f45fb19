#include "mysql.h"

namespace {
mysql_conf* thread_options = nullptr;
}

void thread_mysql_setup(mysql_conf* conf)
{
    delete thread_options;
    thread_options = conf;
}
