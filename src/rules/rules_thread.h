// The rules thread: runs one rule chain at a time, for each trigger message
// on the trigger_rules channel, in queue order. It owns the node and
// function lists; other threads change the node list only while it is
// stopped (start-up, rules reload).
#pragma once

#include <cstdint>

#include "channels/trigger_rules.h"
#include "rules/rules.h"

// Registers the node functions and starts the thread; the thread-creation
// result.
int thread_rules_start();
// Asks the thread to stop between chains and waits until it has emptied
// its lists.
void thread_rules_stop();
// Only while the thread is stopped. The node takes ownership of `param`.
void thread_rules_add_node(uint32_t id, uint32_t type, void* param);
void thread_rules_remove_all();
// Runs the chain a trigger message names.
void msg_trigger_rules_handle(trigger_rules_msg* msg);
