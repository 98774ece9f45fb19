// Small routines of the daemon process. (The thread lifecycle is
// thread_module.h, the servers' socket routines net.h.)
#pragma once

// Raises the soft limit on open descriptors to the hard limit: every client
// connection holds one. Returns the limit now in force.
long descriptor_limit_raise();
