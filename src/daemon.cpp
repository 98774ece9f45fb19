#include "daemon.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include "channels/msgs.h"

int thread_begin(void* (*start_routine)(void*), void* arg, pthread_t* thread_id)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_t id;
    int result = pthread_create(&id, &attr, start_routine, arg);
    pthread_attr_destroy(&attr);
    if (result != 0)
        return result;
    pthread_detach(id);
    if (thread_id)
        *thread_id = id;
    return result;
}

void thread_stop_wait(std::atomic<int>* thread_state, msg_waker* waker)
{
    int running = 0;
    if (thread_state->compare_exchange_strong(running, 1))
        msg_waker_signal(waker);
    while (thread_state->load() != 2)
        usleep(10000);
}

namespace {

// Set before the servers start, read by them as they open their listeners.
in_addr bind_address{htonl(INADDR_ANY)};

} // namespace

void bind_address_set(in_addr address)
{
    bind_address = address;
}

int get_device_ipaddress(const char* /*iface*/, in_addr* address)
{
    *address = bind_address;
    return 0;
}

const char* addr_text(const sockaddr_in* addr, char* buf)
{
    if (!inet_ntop(AF_INET, &addr->sin_addr, buf, INET_ADDRSTRLEN))
        buf[0] = '\0';
    return buf;
}

long descriptor_limit_raise()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised{limit.rlim_max, limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return static_cast<long>(limit.rlim_cur);
}
