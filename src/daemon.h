// Small routines every thread module uses.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <atomic>

struct msg_waker;

// Starts a detached thread running start_routine(arg); stores its id
// through thread_id when that is not null. Returns pthread_create's result.
int thread_begin(void* (*start_routine)(void*), void* arg, pthread_t* thread_id);

// The stop handshake of every thread module, whose `thread_state` is 0
// (running), 1 (stop requested) or 2 (stopped): asks a running thread to
// stop, wakes it through its waker and waits until it has released what it
// owns. Returns at once for a thread that has already stopped.
void thread_stop_wait(std::atomic<int>* thread_state, msg_waker* waker);

// Address a server binds to: the one bind_address_set gave, all interfaces
// (INADDR_ANY) before that. The interface name is only used in log lines.
// Returns 0.
int get_device_ipaddress(const char* iface, in_addr* address);

// Main thread, before any server starts: the address every listener binds
// (bind_address).
void bind_address_set(in_addr address);

// Dotted IPv4 text of a peer address, for log lines; `buf` holds at least
// INET_ADDRSTRLEN bytes.
const char* addr_text(const sockaddr_in* addr, char* buf);

// Raises the soft limit on open descriptors to the hard limit: every client
// connection holds one. Returns the limit now in force.
long descriptor_limit_raise();
