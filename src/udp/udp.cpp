// The UDP thread: receives MQTT-SN datagrams for the broker and sends the
// broker's. It sleeps until a datagram arrives or the broker posts one.
#include "udp/udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "channels/mqtt_udp.h"
#include "channels/udp_mqtt.h"
#include "logging.h"
#include "net.h"
#include "thread_module.h"

namespace {

// The largest datagram the gateway takes in; a longer one is cut to this
// and then refused by the broker for its length field.
constexpr size_t UDP_BUF_SIZE = 110;
// Datagrams received, and broker datagrams sent, per pass at most, so that
// neither direction starves the other.
constexpr int RECV_BATCH = 256;
constexpr uint32_t SEND_BATCH = 1024;
// Datagrams waiting for the broker, at most. UDP has no flow control, so
// beyond this a flooding node's datagrams are dropped, not queued, until
// the broker is down to UDP_MQTT_RESUME again.
constexpr uint32_t UDP_MQTT_MAX = 1024;
constexpr uint32_t UDP_MQTT_RESUME = 512;
// Room in the kernel for bursts while the thread is busy; the kernel may
// grant less.
constexpr int UDP_RCVBUF = 1 << 20;

struct udp_serv {
    uint16_t port; // host order
    int32_t sock;  // -1 while not open
};

udp_conf* thread_options = nullptr;
udp_serv serv{0, -1};
uint8_t sock_buf[UDP_BUF_SIZE];
bool thread_udp_open();
void thread_udp_loop();
void thread_udp_release();
// Its waker is signalled by the mqtt_udp channel and by a stop request.
thread_module module{thread_udp_open, thread_udp_loop, thread_udp_release};
// Dropping while the broker is behind, and how many in this episode.
bool dropping = false;
uint32_t dropped = 0;

void serv_close()
{
    if (serv.sock != -1)
        close(serv.sock);
    serv.sock = -1;
}

int serv_init(in_addr address)
{
    serv.sock = net_socket_open(SOCK_DGRAM, address, serv.port, 0);
    if (serv.sock < 0)
        return -1;
    setsockopt(serv.sock, SOL_SOCKET, SO_RCVBUF, &UDP_RCVBUF, sizeof UDP_RCVBUF);
    return 0;
}

void drop_episode_end()
{
    if (dropped)
        log_write(LOG_WARNING, "MQTT-SN: %u datagrams dropped while the broker was behind\n", dropped);
    dropping = false;
    dropped = 0;
}

// Whether a datagram received now must be dropped; one log line per
// episode, when it ends.
bool broker_behind()
{
    uint32_t waiting = msg_udp_mqtt_length();
    if (dropping && waiting < UDP_MQTT_RESUME)
        drop_episode_end();
    else if (!dropping && waiting >= UDP_MQTT_MAX)
        dropping = true;
    return dropping;
}

// The datagrams waiting in the socket, up to RECV_BATCH.
void datagrams_receive()
{
    for (int i = 0; i < RECV_BATCH; ++i) {
        sockaddr_in addr{};
        socklen_t addr_len = sizeof addr;
        ssize_t n = recvfrom(serv.sock, sock_buf, sizeof sock_buf, 0, reinterpret_cast<sockaddr*>(&addr), &addr_len);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                log_socket_error(__LINE__, errno);
            return;
        }
        if (n == 0)
            continue;
        if (broker_behind()) {
            ++dropped;
            continue;
        }
        msg_udp_mqtt_add_packet(&addr, sock_buf, static_cast<uint32_t>(n));
    }
}

void datagram_send(mqtt_udp_msg* msg)
{
    if (sendto(serv.sock, msg->packet, msg->packet_len, 0, reinterpret_cast<const sockaddr*>(&msg->addr),
               sizeof msg->addr) < 0)
        log_socket_error(__LINE__, errno);
}

void thread_udp_loop()
{
    pollfd fds[2] = {{serv.sock, POLLIN, 0}, {module.waker.fd, POLLIN, 0}};
    while (!thread_module_stopping(&module)) {
        int timeout = msg_mqtt_udp_length() > 0 ? 0 : THREAD_IDLE_WAIT_MS;
        int ready = poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            log_socket_error(__LINE__, errno);
            break;
        }
        if (fds[1].revents & POLLIN)
            msg_waker_clear(&module.waker);
        if (fds[0].revents & POLLIN)
            datagrams_receive();
        msg_mqtt_udp_drain(SEND_BATCH, datagram_send);
    }
    drop_episode_end();
    serv_close();
}

bool thread_udp_open()
{
    if (!thread_options)
        return false;
    in_addr address = get_device_ipaddress(thread_options->mqttsn_iface);
    if (serv_init(address) != 0)
        return false;
    net_log_listening("UDP: ", thread_options->mqttsn_iface, address, serv.port);
    msg_mqtt_udp_set_waker(&module.waker);
    return true;
}

// Also frees the configuration record: a start needs a new setup.
void thread_udp_release()
{
    msg_mqtt_udp_set_waker(nullptr);
    serv_close();
    delete thread_options;
    thread_options = nullptr;
}

} // namespace

void thread_udp_serv_setup(udp_conf* conf)
{
    delete thread_options;
    thread_options = conf;
    serv = {static_cast<uint16_t>(conf ? conf->mqttsn_port : 0), -1};
}

int thread_udp_start()
{
    return thread_module_start(&module);
}

void thread_udp_stop()
{
    thread_module_stop(&module);
}
