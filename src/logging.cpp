#include "logging.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

std::mutex file_mutex;
FILE* log_file = nullptr;
std::string log_file_path;
bool log_stderr = false;
bool syslog_open = false;
std::atomic<int> log_level{LOG_DEBUG};

const char* priority_name(int priority)
{
    static const char* const names[] = {"emerg", "alert", "crit",   "err",
                                        "warning", "notice", "info", "debug"};
    return names[LOG_PRI(priority)];
}

// The file (and standard error) sink keeps one record per line: trailing newlines go, other
// control bytes (a payload may hold anything) are written as \xNN.
void file_write(int priority, const char* text)
{
    std::string line = priority_name(priority);
    line += ' ';
    std::string body = text;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
        body.pop_back();
    for (unsigned char c : body) {
        if (c < 0x20 || c == 0x7f) {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            line += esc;
        } else {
            line += static_cast<char>(c);
        }
    }
    line += '\n';
    std::lock_guard<std::mutex> guard(file_mutex);
    if (log_file) {
        std::fwrite(line.data(), 1, line.size(), log_file);
        std::fflush(log_file);
    }
    if (log_stderr)
        std::fwrite(line.data(), 1, line.size(), stderr);
}

void file_open_locked()
{
    if (log_file) {
        std::fclose(log_file);
        log_file = nullptr;
    }
    if (!log_file_path.empty())
        log_file = std::fopen(log_file_path.c_str(), "ae");
}

} // namespace

void log_set_file(const char* path)
{
    std::lock_guard<std::mutex> guard(file_mutex);
    log_file_path = path ? path : "";
    file_open_locked();
}

void log_reopen()
{
    std::lock_guard<std::mutex> guard(file_mutex);
    file_open_locked();
}

void log_set_stderr(bool on)
{
    std::lock_guard<std::mutex> guard(file_mutex);
    log_stderr = on;
}

void log_open()
{
    openlog("halyx", LOG_PID, LOG_DAEMON);
    syslog_open = true;
    log_set_file(std::getenv("HALYX_LOG_FILE"));
}

void log_close()
{
    if (syslog_open)
        closelog();
    syslog_open = false;
    log_set_file(nullptr);
}

void log_set_level(int level)
{
    log_level.store(level, std::memory_order_relaxed);
}

bool log_enabled(int priority)
{
    return LOG_PRI(priority) <= log_level.load(std::memory_order_relaxed);
}

void log_write(int priority, const char* format, ...)
{
    if (!log_enabled(priority))
        return;
    char buf[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n < 0)
        return;
    if (syslog_open)
        syslog(priority, "%s", buf);
    file_write(priority, buf);
}

void log_conn(int priority, const char* kind, const sockaddr_in* addr, const char* format, ...)
{
    if (!log_enabled(priority))
        return;
    char rest[900];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(rest, sizeof rest, format, args);
    va_end(args);
    if (n < 0)
        return;
    char text[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &addr->sin_addr, text, sizeof text))
        text[0] = '\0';
    log_write(priority, "%s conn:%s:%d%s", kind, text, ntohs(addr->sin_port), rest);
}

void log_socket_error(int line, int err)
{
    log_write(LOG_DEBUG, "Socket Error on line %d: %s\n", line, std::strerror(err));
}
