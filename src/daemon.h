// Small routines of the daemon process: the address servers bind to and
// the descriptor limit. (The thread lifecycle is thread_module.h.)
#pragma once

#include <netinet/in.h>

// Address a server binds to. The interface name is only used in log lines:
// every server listens on all interfaces (INADDR_ANY). Returns 0.
int get_device_ipaddress(const char* iface, in_addr* address);

// Raises the soft limit on open descriptors to the hard limit: every client
// connection holds one. Returns the limit now in force.
long descriptor_limit_raise();
