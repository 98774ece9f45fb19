// Entry point: reads the command line, becomes a daemon (unless told to
// stay in the foreground), reads the configuration, creates the channels,
// starts the threads, handles signals until SIGTERM or SIGINT and stops
// everything in order.

#include <arpa/inet.h>
#include <cJSON.h>
#include <crypt.h>
#include <getopt.h>
#include <pthread.h>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "bridge/bridge.h"
#include "broker/broker.h"
#include "channels/bridge.h"
#include "channels/mqtt_cron.h"
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
#include "logging.h"
#include "memory.h"
#include "mysql/mysql.h"
#include "net.h"
#include "paths.h"
#include "rules/json.h"
#include "rules/rules_thread.h"
#include "store/store.h"
#include "tcp/tcp.h"
#include "tls.h"
#include "udp/udp.h"

namespace {

constexpr char USAGE[] = "usage: halyx [-c FILE] [-r FILE] [-f] [-h|--help] [--version] [--hash-password]\n"
                         "  -c FILE          configuration file (over HALYX_CONF)\n"
                         "  -r FILE          rules file (over HALYX_RULES)\n"
                         "  -f               stay in the foreground and log to standard error as well\n"
                         "  -h, --help       print this help\n"
                         "  --version        print the version\n"
                         "  --hash-password  read a password on standard input and print its hash\n"
                         "                   for user_password\n";

bool foreground = false;
// Write end of the pipe to the parent waiting for the start-up's outcome;
// -1 in the foreground and once the outcome is told.
int report_fd = -1;

// What has been started, so that a failed start-up and the stop undo
// exactly that, in order.
struct started_parts {
    bool channels, http, tcp, udp, mqtt, mysql, cron, rules, store, bridge;
};
started_parts started{};

// The listeners' ports as the servers use them (the low 16 bits), kept for
// the start-up summary and failure lines: the records belong to the
// modules once handed over.
struct listener_ports {
    uint16_t mqtt, ws, mqttsn, http;
    uint16_t mqtt_tls, ws_tls, http_tls; // 0 also when no certificate is configured
};
listener_ports ports{};
std::string mysql_server;
// mqtt_standard = 1: restored retained messages also become the topics'
// separate retained messages.
bool mqtt_standard_mode = false;

// Signals main takes with sigwaitinfo. Every thread blocks them, so no
// handler runs in the middle of another thread's work and no worker's
// system call is interrupted.
sigset_t handled_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM})
        sigaddset(&set, sig);
    return set;
}

const char* signal_name(int sig)
{
    switch (sig) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    case SIGUSR1: return "SIGUSR1";
    case SIGUSR2: return "SIGUSR2";
    case SIGALRM: return "SIGALRM";
    }
    return "unknown";
}

// After the detach nothing may land on descriptors 0-2 by accident.
void point_std_descriptors_at_null()
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

// Under systemd standard error may be the journal, which already has every
// line through syslog.
bool stderr_is_journal()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long dev = 0;
    unsigned long long ino = 0;
    struct stat st {};
    return stream && std::sscanf(stream, "%llu:%llu", &dev, &ino) == 2 && fstat(2, &st) == 0 &&
           st.st_dev == dev && st.st_ino == ino;
}

// --hash-password: one line from standard input, newline stripped, hashed
// with a new random salt (yescrypt, or SHA-512 where libcrypt lacks it).
// On a terminal the typed password is not echoed. Returns the exit status.
int hash_password()
{
    bool tty = isatty(0) == 1;
    termios saved{};
    if (tty && tcgetattr(0, &saved) == 0) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(0, TCSAFLUSH, &quiet);
        std::fputs("password: ", stderr);
    } else {
        tty = false;
    }
    std::string password;
    int c;
    while ((c = std::getchar()) != EOF && c != '\n')
        password.push_back(static_cast<char>(c));
    if (tty) {
        tcsetattr(0, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    // An empty password never logs in: CONNECT refuses it.
    if (password.empty() || password.find('\0') != std::string::npos) {
        std::fputs("halyx: the password is empty or holds a NUL byte\n", stderr);
        return 1;
    }
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, salt, sizeof salt) &&
        !crypt_gensalt_rn("$6$", 0, nullptr, 0, salt, sizeof salt)) {
        std::fprintf(stderr, "halyx: no salt for a hash: %s\n", std::strerror(errno));
        return 1;
    }
    auto data = std::make_unique<crypt_data>();
    const char* hashed = crypt_rn(password.c_str(), salt, data.get(), sizeof *data);
    explicit_bzero(password.data(), password.size());
    if (!hashed || hashed[0] == '*') {
        std::fprintf(stderr, "halyx: the password could not be hashed: %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", hashed);
    return 0;
}

// Reads the command line: -1 to go on, else the exit status.
int options_read(int argc, char** argv)
{
    enum { OPT_VERSION = 256, OPT_HASH_PASSWORD };
    static const option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, OPT_VERSION},
                                          {"hash-password", no_argument, nullptr, OPT_HASH_PASSWORD},
                                          {nullptr, 0, nullptr, 0}};
    bool hash = false;
    int opt;
    while ((opt = getopt_long(argc, argv, "c:r:fh", long_options, nullptr)) != -1) {
        switch (opt) {
        case 'c':
        case 'r':
            if (!*optarg) {
                std::fprintf(stderr, "halyx: -%c needs a file name\n%s", opt, USAGE);
                return 2;
            }
            // The environment variables are where the paths are looked up.
            setenv(opt == 'c' ? "HALYX_CONF" : "HALYX_RULES", optarg, 1);
            break;
        case 'f':
            foreground = true;
            break;
        case 'h':
            std::fputs(USAGE, stdout);
            return 0;
        case OPT_VERSION:
            std::printf("halyx %s\n", HALYX_VERSION);
            return 0;
        case OPT_HASH_PASSWORD:
            hash = true;
            break;
        default:
            std::fputs(USAGE, stderr);
            return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "halyx: unexpected argument %s\n%s", argv[optind], USAGE);
        return 2;
    }
    if (hash)
        return hash_password();
    return -1;
}

// The parent of the daemon: waits until the child serves ("ok") or tells
// why it could not, and returns the exit status.
int parent_wait(int fd, pid_t child)
{
    std::string text;
    char buf[512];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    if (text == "ok\n") {
        std::printf("process id of child process %d \n", child);
        return 0;
    }
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (text.empty())
        text = "the daemon ended during start-up";
    std::fprintf(stderr, "halyx: %s\n", text.c_str());
    return 1;
}

// Tells the waiting parent how start-up ended: "ok", or the reason.
void report(const std::string& line)
{
    if (report_fd < 0)
        return;
    std::string text = line + "\n";
    // One write below PIPE_BUF reaches the parent whole.
    if (write(report_fd, text.data(), text.size()) < 0)
        log_write(LOG_DEBUG, "start-up report not sent: %s\n", std::strerror(errno));
    close(report_fd);
    report_fd = -1;
}

// Gives each thread module its configuration record and the broker its
// users; the records then belong to the modules.
void conf_hand_over(conf_records* conf)
{
    log_set_level(conf->log_level);
    ports = {static_cast<uint16_t>(conf->tcp->mqtt_port),
             static_cast<uint16_t>(conf->tcp->mqtt_ws_port),
             static_cast<uint16_t>(conf->udp->mqttsn_port),
             static_cast<uint16_t>(conf->http->http_port),
             static_cast<uint16_t>(conf->tcp->mqtt_tls_port),
             static_cast<uint16_t>(conf->tcp->mqtt_ws_tls_port),
             static_cast<uint16_t>(conf->http->http_tls_port)};
    mysql_server = std::string(conf->mysql->mysql_server) + " port " + std::to_string(conf->mysql->mysql_port);
    thread_http_serv_setup(conf->http);
    thread_http_hub_setup(conf->tcp->mqtt_ws_port, conf->tcp->mqtt_ws_tls_port);
    thread_tcp_serv_setup(conf->tcp);
    thread_udp_serv_setup(conf->udp);
    mqtt_standard_mode = conf->broker->mqtt_standard == 1;
    thread_mqtt_setup(conf->broker);
    thread_store_setup(conf->store);
    thread_bridge_setup(conf->bridge);
    if (mysql_enable == 1)
        thread_mysql_setup(conf->mysql);
    else
        delete conf->mysql;
    for (mqtt_user* user = conf->users.head; user; user = user->next) {
        std::string name(reinterpret_cast<const char*>(user->user_name), user->user_name_length);
        std::string password(reinterpret_cast<const char*>(user->password), user->password_length);
        if (mqtt_password_hash_unusable(password.c_str()))
            log_write(LOG_WARNING, "user %s: the password hash is not one this system's crypt(3) checks; "
                      "this entry never logs in\n", name.c_str());
        thread_mqtt_user_add(name.c_str(), password.c_str(), user->publish_enable);
    }
    list_mqtt_user_remove_all(&conf->users);
}

void channels_create()
{
    msg_tcp_mqtt_init();
    msg_mqtt_tcp_init();
    msg_udp_mqtt_init();
    msg_mqtt_udp_init();
    if (mysql_enable == 1)
        msg_mqtt_mysql_init();
    msg_trigger_rules_init();
    msg_mqtt_cron_init();
    msggap_rules_mqtt_init();
    msg_rules_mqtt_init();
    msg_mqtt_bridge_init();
    msg_bridge_mqtt_init();
    started.channels = true;
}

void channels_destroy()
{
    msg_tcp_mqtt_destroy();
    msg_udp_mqtt_destroy();
    msg_mqtt_tcp_destroy();
    msg_mqtt_udp_destroy();
    if (mysql_enable == 1)
        msg_mqtt_mysql_destroy();
    msg_trigger_rules_destroy();
    msg_mqtt_cron_destroy();
    msggap_rules_mqtt_destroy();
    msg_rules_mqtt_destroy();
    // No thread runs: what is still queued is only freed.
    msg_mqtt_bridge_drain(UINT32_MAX, [](bridge_msg*) {});
    msg_bridge_mqtt_drain(UINT32_MAX, [](bridge_msg*) {});
    msg_mqtt_bridge_destroy();
    msg_bridge_mqtt_destroy();
}

// Stops what has started, in order, then releases the channels: no thread
// runs once it returns.
void stop_started()
{
    sd_notify(0, "STOPPING=1");
    // Before the broker stops: no reload is accepted from here on, and a
    // rules thread waiting for a topic value is let go.
    if (started.channels)
        rules_engine_shutdown();
    // Stop order: HTTP, UDP, TCP, broker, bridge, store, database, cron, rules.
    if (started.http)
        thread_http_stop();
    if (started.udp)
        thread_udp_stop();
    if (started.tcp)
        thread_tcp_stop();
    if (started.mqtt)
        thread_mqtt_stop();
    // After the broker: every publication it acknowledged and passed on is
    // held, and goes to the store.
    if (started.bridge)
        thread_bridge_stop();
    // After the broker and the bridge, whose last changes it writes.
    if (started.store)
        thread_store_stop();
    if (started.mysql)
        thread_mysql_stop();
    if (started.cron)
        thread_cron_stop();
    if (started.rules)
        thread_rules_stop();
    if (started.channels)
        channels_destroy();
    started = {};
}

// Ends a start-up that cannot go on: the reason is logged at err level and
// told to the waiting parent (or printed, in the foreground), and what has
// started is stopped before the exit, which runs global destructors.
[[noreturn]] void start_failed(const std::string& reason)
{
    log_write(LOG_ERR, "start-up failed: %s\n", reason.c_str());
    sd_notifyf(0, "STATUS=%s", reason.c_str());
    if (foreground)
        std::fprintf(stderr, "halyx: %s\n", reason.c_str());
    else
        report(reason);
    stop_started();
    log_close();
    std::exit(1);
}

// "MQTT port 1883: Address already in use" when the listener could not be
// opened, else what could not start.
std::string listener_failure(const char* label, const char* server)
{
    net_failure failure = net_last_failure();
    if (failure.err == 0)
        return std::string("the ") + server + " could not start";
    return std::string(label) + " port " + std::to_string(failure.port) + ": " + std::strerror(failure.err);
}

// bind_address: a dotted IPv4 address, or all interfaces when unset.
void bind_address_apply(const char* text)
{
    in_addr address{htonl(INADDR_ANY)};
    if (*text && inet_pton(AF_INET, text, &address) != 1)
        start_failed(std::string("bind_address = ") + text + ": not an IPv4 address (a.b.c.d)");
    bind_address_set(address);
}

void mark_started(bool* flag, int result, const char* what)
{
    if (result != 0)
        start_failed(std::string("the ") + what + " thread could not start");
    *flag = true;
}

// "12 nodes, 3 triggers" (the entries of the file's node list, and those
// of them that start a chain) from the rules topic's value, which holds the
// file the engine accepted; "not loaded" when it holds none.
std::string rules_summary()
{
    static const char RULES_TOPIC[] = "$SYS/rulesengine/rules";
    const pub_item* item = list_name_find_name(&pub_list, reinterpret_cast<const uint8_t*>(RULES_TOPIC),
                                               static_cast<uint16_t>(sizeof RULES_TOPIC - 1));
    if (!item || item->data_len == 0)
        return "not loaded";
    cJSON* root = cJSON_ParseWithLength(reinterpret_cast<const char*>(item->data), item->data_len);
    int nodes = 0;
    int triggers = 0;
    const cJSON* node = nullptr;
    cJSON_ArrayForEach(node, cJSON_GetObjectItem(root, "nodes"))
    {
        ++nodes;
        const char* type = cJSON_GetStringValue(cJSON_GetObjectItem(node, "type"));
        triggers += type && !std::strncmp(type, "trigger-", 8);
    }
    cJSON_Delete(root);
    return std::to_string(nodes) + (nodes == 1 ? " node, " : " nodes, ") + std::to_string(triggers) +
           (triggers == 1 ? " trigger" : " triggers");
}

std::string port_text(uint16_t port, const char* when_zero)
{
    return port ? std::to_string(port) : when_zero;
}

void log_start_summary(const std::string& rules)
{
    std::string tls;
    if (ports.mqtt_tls || ports.ws_tls || ports.http_tls)
        tls = "; TLS: MQTT port " + port_text(ports.mqtt_tls, "off") + ", WebSocket port " +
              port_text(ports.ws_tls, "off") + ", HTTPS port " + port_text(ports.http_tls, "off");
    log_write(LOG_NOTICE,
              "halyx %s serving: configuration %s; MQTT port %s, WebSocket port %s, MQTT-SN port %s, HTTP port %s%s; "
              "rules %s: %s\n",
              HALYX_VERSION, conf_file_path(), port_text(ports.mqtt, "off").c_str(),
              port_text(ports.ws, "off").c_str(), port_text(ports.mqttsn, "0 (chosen by the system)").c_str(),
              port_text(ports.http, "off").c_str(), tls.c_str(), rules_file_path(), rules.c_str());
}

// The TLS listeners' context for the threads that serve them. A
// certificate or key that cannot be used ends the start-up; TLS ports
// without a certificate and key stay closed, and the daemon serves the
// plain ones as before.
void tls_setup(conf_records* conf)
{
    std::string failure;
    SSL_CTX* ctx = tls_context_new(conf->tls, &failure);
    delete conf->tls;
    conf->tls = nullptr;
    if (!failure.empty())
        start_failed(failure);
    if (!ctx && (ports.mqtt_tls || ports.ws_tls || ports.http_tls))
        log_write(LOG_NOTICE, "TLS ports configured without tls_cert_file and tls_key_file: not opened\n");
    if (!ctx)
        ports.mqtt_tls = ports.ws_tls = ports.http_tls = 0;
    thread_tcp_tls_setup(ctx);
    thread_http_tls_setup(ctx);
    SSL_CTX_free(ctx);
    if (!thread_bridge_tls_setup(&failure))
        start_failed(failure);
}

// Fills the broker's topics from the store before the broker thread runs:
// values, retain flags, topic ids and the topic-id counter; with
// mqtt_standard = 1 also the clean-session-0 sessions.
void store_restore(store_loaded& loaded)
{
    for (const store_topic& topic : loaded.topics) {
        const auto* value = reinterpret_cast<const uint8_t*>(topic.value.data());
        auto value_len = static_cast<uint32_t>(topic.value.size());
        pub_item* item = list_pub_add_replace(&pub_list, reinterpret_cast<const uint8_t*>(topic.name.data()),
                                              static_cast<uint16_t>(topic.name.size()), value, value_len,
                                              topic.retain & 1);
        if (item && mqtt_standard_mode && (topic.retain & 1))
            list_pub_retained_set(item, value, value_len, static_cast<uint8_t>(topic.retain >> 1 & 3));
        if (item && topic.topic_id && !list_pub_find_topic_id(&pub_list, topic.topic_id))
            list_pub_set_topic_id(&pub_list, item, topic.topic_id);
    }
    if (loaded.next_topic_id)
        mqttsn_topic_id = loaded.next_topic_id;
    if (mqtt_standard_mode)
        thread_mqtt_sessions_restore(&loaded.sessions);
}

// A rules file unchanged since the store was written keeps the variable
// values set at run time: its variable-init values are not published over
// the restored ones. A changed file applies them.
void rules_variables_keep(rules_set* rules, const store_loaded& loaded)
{
    const std::string& text = rules->error.empty() ? rules->text : std::string();
    if (!rules->read || !loaded.has_rules_hash ||
        store_rules_hash(reinterpret_cast<const uint8_t*>(text.data()), text.size()) != loaded.rules_hash)
        return;
    std::erase_if(rules->variables, [](const rules_variable& variable) {
        const pub_item* item = list_name_find_name(&pub_list, reinterpret_cast<const uint8_t*>(variable.topic.data()),
                                                   static_cast<uint16_t>(variable.topic.size()));
        return item && item->retain;
    });
}

// Handles signals until one asks for the stop.
void serve_until_stopped()
{
    const sigset_t set = handled_signals();
    for (;;) {
        int sig = sigwaitinfo(&set, nullptr);
        if (sig < 0)
            continue;
        if (sig == SIGTERM || sig == SIGINT) {
            std::printf("signal_handler\n");
            log_write(LOG_WARNING, "Received %s signal.\n", signal_name(sig));
            return;
        }
        if (sig == SIGHUP) {
            // logrotate has moved the log file: the line goes to the new one.
            log_reopen();
            log_write(LOG_NOTICE, "Received SIGHUP signal: reading %s again, log file reopened\n",
                      rules_file_path());
            thread_mqtt_rules_reload_request();
            continue;
        }
        log_write(LOG_NOTICE, "Received %s signal: ignored\n", signal_name(sig));
    }
}

// The daemon's detach: fork, the parent waits for the start-up's outcome;
// the child leads a session of its own in "/". Returns in the child only.
void detach()
{
    int report_pipe[2];
    if (pipe2(report_pipe, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "halyx: pipe failed: %s\n", std::strerror(errno));
        std::exit(1);
    }
    pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "fork failed: %s\n", std::strerror(errno));
        std::exit(1);
    }
    if (pid > 0) {
        close(report_pipe[1]);
        std::exit(parent_wait(report_pipe[0], pid));
    }
    close(report_pipe[0]);
    report_fd = report_pipe[1];
    umask(0);
    if (setsid() < 0)
        start_failed(std::string("setsid failed: ") + std::strerror(errno));
    if (chdir("/") < 0)
        start_failed(std::string("chdir failed: ") + std::strerror(errno));
}

} // namespace

int main(int argc, char** argv)
{
    memory_handler_install();
    int status = options_read(argc, argv);
    if (status >= 0)
        return status;
    paths_resolve();

    pid_t parent = getpid();
    if (!foreground)
        detach();
    // Before any thread exists, so that every thread inherits the mask.
    const sigset_t signals = handled_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    log_open();
    if (foreground && !stderr_is_journal())
        log_set_stderr(true);

    conf_records conf{};
    if (parse_conf_file(&conf) < 0)
        start_failed(std::string(conf_file_path()) + ": " + std::strerror(errno));
    conf_hand_over(&conf);
    bind_address_apply(conf.bind_address);
    tls_setup(&conf);
    log_write(LOG_DEBUG, "open descriptors allowed: %ld\n", descriptor_limit_raise());

    channels_create();

    if (thread_http_start() < 0)
        start_failed(listener_failure(net_last_failure().port == ports.http ? "HTTP" : "HTTPS", "HTTP server"));
    started.http = true;
    if (thread_tcp_start() < 0) {
        net_failure failure = net_last_failure();
        const char* label = "MQTT";
        if (failure.err != 0 && failure.port != ports.mqtt)
            label = failure.port == ports.ws         ? "WebSocket"
                    : failure.port == ports.mqtt_tls ? "MQTT TLS"
                                                     : "WebSocket TLS";
        start_failed(listener_failure(label, "MQTT server"));
    }
    started.tcp = true;
    if (thread_udp_start() < 0)
        start_failed(listener_failure("MQTT-SN", "MQTT-SN gateway"));
    started.udp = true;
    // The rules file is read and installed before the broker thread runs:
    // its topic triggers and the rules topic are broker state, which only
    // the broker thread may touch once it runs. The nodes and cron entries
    // wait on their channels for the threads that own them.
    // The store's state comes first, so that the rules see it.
    store_loaded loaded;
    store_load(&loaded);
    store_restore(loaded);
    thread_bridge_held_restore(&loaded.held);
    rules_set rules_read;
    bool rules_loaded = parse_json_file(&rules_read) == 0;
    rules_variables_keep(&rules_read, loaded);
    thread_mqtt_rules_install(&rules_read);
    std::string rules = rules_loaded ? rules_summary() : "not loaded";
    publish_rules_engine_version();
    mark_started(&started.store, thread_store_start(), "store");
    mark_started(&started.mqtt, thread_mqtt_start(), "broker");
    mark_started(&started.bridge, thread_bridge_start(), "bridge");
    if (mysql_enable == 1 && thread_mysql_start() < 0)
        start_failed("MariaDB server " + mysql_server + ": could not connect");
    started.mysql = mysql_enable == 1;
    mark_started(&started.rules, rules_engine_start(), "rules engine");
    started.cron = true;

    log_start_summary(rules);
    if (!foreground) {
        std::printf("process id of parent process %d \n", parent);
        std::printf("process forked successfully, ready to receive messages\n");
        std::fflush(stdout);
        std::fflush(stderr);
        point_std_descriptors_at_null();
    }
    report("ok");
    sd_notify(0, "READY=1");

    serve_until_stopped();

    stop_started();
    log_write(LOG_NOTICE, "exit\n");
    log_close();
    std::printf("We're done here! Goodbye!\n");
    return 0;
}
