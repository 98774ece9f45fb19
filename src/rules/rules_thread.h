// The rules thread: runs one rule chain at a time, for each trigger message
// on the trigger_rules channel, in queue order. It owns the node and
// function lists; a rules file's node set reaches it on the same channel
// and replaces its nodes between two chains.
#pragma once

#include <cstdint>

#include "channels/trigger_rules.h"
#include "rules/rules.h"

// Registers the node functions and starts the thread; the thread-creation
// result, or -1 when the thread has not stopped since its last start.
int thread_rules_start();
// Asks the thread to stop between chains and waits until it has emptied
// its lists; the triggers behind stay queued for a later start.
void thread_rules_stop();
// Any thread: hands the thread a new node set (built with rules_node_add,
// the nodes owning their parameters), which the chains queued from now on
// run on.
void thread_rules_nodes_swap(list<rules_node> nodes);
// Runs the chain a trigger message names, or takes the node set it carries.
void msg_trigger_rules_handle(trigger_rules_msg* msg);

// The engine as a whole (rules and cron threads) for main and for rules
// reloads on the broker thread. Reloads are accepted only while the engine
// is up: after main started it and before main's shut-down began.
//
// Main, start-up: starts the rules thread, then the cron thread; 0, or -1
// (nothing left running) when either could not start or the engine was
// started before.
int rules_engine_start();
// Main, shut-down, before the broker stops: no reload is accepted from
// here on, and a waiting fetch is released (the broker that would answer
// it stops first).
void rules_engine_shutdown();
// Broker thread: whether a reload may begin now.
bool rules_engine_up();
