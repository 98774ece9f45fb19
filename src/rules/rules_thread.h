// The rules thread: runs one rule chain at a time, for each trigger message
// on the trigger_rules channel, in queue order. It owns the node and
// function lists; other threads change the node list only while it is
// stopped (start-up, rules reload).
#pragma once

#include <cstdint>

#include "channels/trigger_rules.h"
#include "rules/rules.h"

// Registers the node functions and starts the thread; the thread-creation
// result, or -1 when the thread has not stopped since its last start.
int thread_rules_start();
// Asks the thread to stop between chains and waits until it has emptied
// its lists.
void thread_rules_stop();
// Only while the thread is stopped. The node takes ownership of `param`.
void thread_rules_add_node(uint32_t id, uint32_t type, void* param);
void thread_rules_remove_all();
// Runs the chain a trigger message names.
void msg_trigger_rules_handle(trigger_rules_msg* msg);

// The engine as a whole (rules and cron threads) for main and for a rules
// reload on the broker thread. Reloads are accepted only while the engine
// is up: after main started it and before main's shut-down began.
//
// Main, start-up: starts the rules thread, then the cron thread; 0, or -1
// (nothing left running) when either could not start or the engine was
// started before.
int rules_engine_start();
// Main, shut-down, before the broker stops: no reload restarts a thread or
// reopens the rendezvous from here on, and a waiting fetch is released.
void rules_engine_shutdown();
// Broker thread: whether a reload may begin now.
bool rules_engine_up();
// Broker thread, at the end of a reload: reopens the rendezvous and starts
// the rules and cron threads again, unless shut-down began meanwhile.
void rules_engine_restart();
