// The cron thread: at the start of every minute it queues a trigger message
// for each cron trigger that selects that minute. It owns the trigger list,
// which a rules file's entries replace through the mqtt_cron channel.
#pragma once

#include <cstdint>

#include "cron/cron_trigger.h"

// The thread-creation result, or -1 when the thread has not stopped since
// its last start.
int thread_cron_start();
void thread_cron_stop();
// Any thread: hands the thread a new entry list (built with
// cron_trigger_add_new), which replaces its entries before its next
// evaluation.
void thread_cron_triggers_swap(list<cron_trigger> entries);
