#include "udp.h"

namespace {
udp_conf* thread_options = nullptr;
}

void thread_udp_serv_setup(udp_conf* conf)
{
    delete thread_options;
    thread_options = conf;
}
