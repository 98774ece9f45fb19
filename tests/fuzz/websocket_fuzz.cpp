// One WebSocket connection fed arbitrary bytes, cut into segments as
// receives may deliver them: the upgrade request is collected, parsed and
// answered, then frames are parsed, unmasked and processed, without reading
// or writing out of bounds and without leaking what a closed connection
// held. The connection's socket is one end of a socketpair, so the 101
// answer and pongs have somewhere to go.
//
// First input byte: bit 7 set starts past the handshake (frames only);
// bits 0-6 give the segment size, 0 meaning everything at once.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "list/tcp_conn.h"
#include "tcp/tcp_internal.h"
#include "tcp_mqtt.h"

namespace {

void drain_socket(int fd)
{
    char buf[4096];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

void drain_channel()
{
    while (tcp_mqtt_msg* msg = msg_tcp_mqtt_get_first())
        msg_tcp_mqtt_remove(msg);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool channel_ready = false;
    if (!channel_ready) {
        msg_tcp_mqtt_init();
        channel_ready = true;
    }
    if (size == 0)
        return 0;
    uint8_t control = data[0];
    ++data;
    --size;

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        return 0;
    // The server's end never blocks: a full pipe just loses the bytes.
    fcntl(pair[0], F_SETFL, O_NONBLOCK);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    tcp_conn* conn = list_tcp_conn_add_new(&tcp::conns, &addr);
    conn->sock = pair[0];
    conn->state = (control & 0x80) ? CONN_STATE_WS_FRAME : CONN_STATE_HTTP_HEADER;

    size_t segment = control & 0x7F;
    if (segment == 0 || segment > tcp::TCP_BUF_SIZE)
        segment = tcp::TCP_BUF_SIZE;
    size_t pos = 0;
    // A close removes the record: the list then is empty.
    while (pos < size && tcp::conns.head) {
        uint32_t n = static_cast<uint32_t>(size - pos < segment ? size - pos : segment);
        std::memcpy(tcp::sock_buf, data + pos, n);
        pos += n;
        if (conn->state == CONN_STATE_HTTP_HEADER)
            tcp::http_header_collect(conn, tcp::sock_buf, n);
        else
            tcp::ws_frame_collect(conn, tcp::sock_buf, n);
        drain_socket(pair[1]);
        drain_channel();
    }
    if (tcp::conns.head)
        tcp::conn_close(tcp::conns.head);
    close(pair[1]);
    drain_channel();
    return 0;
}
