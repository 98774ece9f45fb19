// One logging path for the whole daemon: every line is formatted once and
// sent to syslog and, when HALYX_LOG_FILE is set, appended to that file.
// Safe to call from any thread.
#pragma once

#include <syslog.h>

// Opens syslog with ident "halyx", LOG_PID, LOG_DAEMON and the optional
// log file named by HALYX_LOG_FILE. Called once by main after the detach.
void log_open();
void log_close();

// Appends to the log file only when one is set; used by tests and tools
// that never open syslog.
void log_set_file(const char* path);

void log_write(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
