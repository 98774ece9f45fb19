// One WebSocket connection fed arbitrary bytes in segments, as receives may
// deliver them, through the upgrade request and then frames. Its socket is
// one end of a socketpair, so the 101 answer and pongs have somewhere to go
// once they are written.
// First input byte: bit 7 set starts past the handshake; bit 6 sets
// mqtt_standard; bits 0-5 give the segment size, 0 meaning everything at
// once.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "tcp/tcp_internal.h"
#include "channels/tcp_mqtt.h"

static void drain(int fd)
{
    char buf[4096];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
    while (tcp_mqtt_msg* msg = msg_tcp_mqtt_get_first())
        msg_tcp_mqtt_remove(msg);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    [[maybe_unused]] static bool channel_ready = (msg_tcp_mqtt_init(), true);
    int pair[2];
    if (size == 0 || socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        return 0;
    static tcp_conf conf{};
    conf.mqtt_standard = (data[0] & 0x40) ? 1 : 0;
    tcp::thread_options = &conf;
    // The server's end never blocks: a full pipe just loses the bytes.
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    sockaddr_in addr{};
    tcp_conn* conn = list_tcp_conn_add_new(&tcp::conns, &addr);
    conn->sock = pair[0];
    conn->state = (data[0] & 0x80) ? CONN_STATE_WS_FRAME : CONN_STATE_HTTP_HEADER;
    size_t segment = (data[0] & 0x3F) ? data[0] & 0x3F : tcp::TCP_BUF_SIZE;
    // A close removes the record: the list then is empty.
    for (size_t pos = 1; pos < size && tcp::conns.head;) {
        uint32_t n = static_cast<uint32_t>(std::min({size - pos, segment, size_t{tcp::TCP_BUF_SIZE}}));
        std::memcpy(tcp::sock_buf, data + pos, n);
        pos += n;
        if (conn->state == CONN_STATE_HTTP_HEADER)
            tcp::http_header_collect(conn, tcp::sock_buf, n);
        else
            tcp::ws_frame_collect(conn, tcp::sock_buf, n);
        drain(pair[1]);
    }
    if (tcp::conns.head)
        tcp::conn_close(tcp::conns.head);
    tcp::conn_reap();
    close(pair[1]);
    drain(-1);
    return 0;
}
