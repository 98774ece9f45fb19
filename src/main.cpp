// Entry point: becomes a daemon, reads the configuration, creates the
// channels, starts the threads, idles until SIGTERM and stops everything in
// order.

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "broker/broker.h"
#include "channels/mqtt_mysql.h"
#include "channels/mqtt_tcp.h"
#include "channels/mqtt_udp.h"
#include "channels/rules_mqtt.h"
#include "channels/tcp_mqtt.h"
#include "channels/trigger_rules.h"
#include "channels/udp_mqtt.h"
#include "conf.h"
#include "cron/cron.h"
#include "daemon.h"
#include "http/http.h"
#include "json.h"
#include "logging.h"
#include "mysql/mysql.h"
#include "paths.h"
#include "rules/rules_thread.h"
#include "tcp/tcp.h"
#include "udp/udp.h"

// Set by the SIGTERM handler, read by the main loop.
static std::atomic<int> signal_exit{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

// Only sets the flag: the main loop writes the handler's messages when it
// sees it, since neither stdio nor syslog may be used inside a handler.
static void signal_handler(int sig)
{
    if (sig == SIGTERM)
        signal_exit.store(1);
}

// After the detach nothing may land on descriptors 0-2 by accident.
static void point_std_descriptors_at_null()
{
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0)
        return;
    for (int target = 0; target <= 2; ++target)
        if (fd != target)
            dup2(fd, target);
    if (fd > 2)
        close(fd);
}

// Gives each thread module its configuration record and the broker its
// users; the records then belong to the modules.
static void conf_hand_over(conf_records* conf)
{
    log_set_level(conf->log_level);
    thread_http_serv_setup(conf->http);
    thread_http_hub_setup(conf->tcp->mqtt_ws_port);
    thread_tcp_serv_setup(conf->tcp);
    thread_udp_serv_setup(conf->udp);
    if (mysql_enable == 1)
        thread_mysql_setup(conf->mysql);
    else
        delete conf->mysql;
    for (mqtt_user* user = conf->users.head; user; user = user->next) {
        std::string name(reinterpret_cast<const char*>(user->user_name), user->user_name_length);
        std::string password(reinterpret_cast<const char*>(user->password), user->password_length);
        thread_mqtt_user_add(name.c_str(), password.c_str(), user->publish_enable);
    }
    list_mqtt_user_remove_all(&conf->users);
}

static void channels_create()
{
    msg_tcp_mqtt_init();
    msg_mqtt_tcp_init();
    msg_udp_mqtt_init();
    msg_mqtt_udp_init();
    if (mysql_enable == 1)
        msg_mqtt_mysql_init();
    msg_trigger_rules_init();
    msggap_rules_mqtt_init();
    msg_rules_mqtt_init();
}

static void channels_destroy()
{
    msg_tcp_mqtt_destroy();
    msg_udp_mqtt_destroy();
    msg_mqtt_tcp_destroy();
    msg_mqtt_udp_destroy();
    if (mysql_enable == 1)
        msg_mqtt_mysql_destroy();
    msg_trigger_rules_destroy();
    msggap_rules_mqtt_destroy();
    msg_rules_mqtt_destroy();
}

int main()
{
    paths_resolve();
    signal(SIGTERM, signal_handler);

    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "fork failed: %s\n", std::strerror(errno));
        std::exit(1);
    }
    if (pid > 0) {
        std::printf("process id of child process %d \n", pid);
        std::exit(0);
    }

    std::printf("process id of parent process %d \n", parent);
    umask(0);
    if (setsid() < 0) {
        std::fprintf(stderr, "setsid failed: %s\n", std::strerror(errno));
        std::exit(1);
    }
    if (chdir("/") < 0) {
        std::fprintf(stderr, "chdir failed: %s\n", std::strerror(errno));
        std::exit(1);
    }
    std::printf("process forked successfully, ready to receive messages\n");
    std::fflush(stdout);
    std::fflush(stderr);
    close(0);
    close(1);
    close(2);
    point_std_descriptors_at_null();

    log_open();

    conf_records conf{};
    if (parse_conf_file(&conf) < 0)
        std::exit(1);
    conf_hand_over(&conf);
    log_write(LOG_DEBUG, "open descriptors allowed: %ld\n", descriptor_limit_raise());

    channels_create();

    if (thread_http_start() < 0)
        std::exit(1);
    if (thread_tcp_start() < 0)
        std::exit(1);
    if (thread_udp_start() < 0)
        std::exit(1);
    // The rules file is read before the broker thread runs: its topic
    // triggers and the rules topic are broker state, which only the broker
    // thread may touch once it runs.
    parse_json_file();
    publish_rules_engine_version();
    thread_mqtt_start();
    if (mysql_enable == 1 && thread_mysql_start() < 0)
        std::exit(1);
    thread_rules_start();
    thread_cron_start();

    while (!signal_exit.load())
        usleep(500000);

    std::printf("signal_handler\n");
    log_write(LOG_WARNING, "Received SIGTERM signal.\n");

    msggap_rules_mqtt_close();
    // Stop order: HTTP, UDP, TCP, broker, database, cron, rules.
    thread_http_stop();
    thread_udp_stop();
    thread_tcp_stop();
    thread_mqtt_stop();
    if (mysql_enable == 1)
        thread_mysql_stop();
    thread_cron_stop();
    thread_rules_stop();

    channels_destroy();

    log_write(LOG_NOTICE, "exit\n");
    log_close();
    std::printf("We're done here! Goodbye!\n");
    std::exit(0);
}
