#include "http.h"

namespace {
http_conf* thread_options = nullptr;
}

void thread_http_serv_setup(http_conf* conf)
{
    delete thread_options;
    thread_options = conf;
}
