// The cron thread: at the start of every minute it queues a trigger message
// for each cron trigger that selects that minute. It owns the trigger list;
// other threads change it only while it is stopped.
#pragma once

#include <cstdint>

// The thread-creation result, or -1 when the thread has not stopped since
// its last start.
int thread_cron_start();
void thread_cron_stop();
void thread_cron_trigger_add(const char* text, uint32_t next_id);
void thread_cron_remove_all();
