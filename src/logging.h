// One logging path for the whole daemon: every line is formatted once and
// sent to syslog and, when HALYX_LOG_FILE is set, appended to that file
// (and to standard error in the foreground). Safe to call from any thread.
#pragma once

#include <syslog.h>

// Opens syslog with ident "halyx", LOG_PID, LOG_DAEMON and the optional
// log file named by HALYX_LOG_FILE. Called once by main after the detach.
void log_open();
void log_close();
// Closes and opens the log file again (logrotate moves it and sends SIGHUP).
void log_reopen();
// Also writes every line to standard error, as the log file has it.
void log_set_stderr(bool on);

// Appends to the log file only when one is set; used by tests and tools
// that never open syslog.
void log_set_file(const char* path);

// Lines whose priority is above `level` (0-7) are dropped before anything
// is formatted; 7, the default, keeps every line.
void log_set_level(int level);
// Whether a line of this priority would be written: callers that build
// arguments for a trace line (an address in text) ask first.
bool log_enabled(int priority);

struct sockaddr_in;

// "<kind> conn:<address>:<port>" followed by the formatted rest, built only
// when the priority is logged: the per-client trace lines of the broker and
// the transports.
void log_conn(int priority, const char* kind, const sockaddr_in* addr, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// "Socket Error on line %d: %s" at debug level: `line` names the failing
// call site, `err` is its errno.
void log_socket_error(int line, int err);

void log_write(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
