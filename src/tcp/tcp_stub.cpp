// Placeholder until the TCP server lands.
#include "tcp/tcp.h"

namespace {
tcp_conf* thread_options = nullptr;
}

void thread_tcp_serv_setup(tcp_conf* conf)
{
    delete thread_options;
    thread_options = conf;
}

int thread_tcp_start()
{
    return 0;
}

void thread_tcp_stop()
{
    delete thread_options;
    thread_options = nullptr;
}
