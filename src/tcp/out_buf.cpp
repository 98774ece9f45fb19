#include "tcp/out_buf.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tls.h"

namespace {

// A buffer that has drained and grew past this is given back, so that
// thousands of quiet connections hold no large buffers.
constexpr uint32_t KEEP_CAP = 4096;
constexpr uint32_t MIN_CAP = 256;

// After a write: a drained buffer starts over, and gives back a large area.
ssize_t out_buf_written(out_buf* buf)
{
    if (buf->start == buf->end) {
        buf->start = buf->end = 0;
        if (buf->cap > KEEP_CAP)
            out_buf_free(buf);
    }
    return out_buf_pending(buf);
}

} // namespace

int out_buf_append(out_buf* buf, const uint8_t* bytes, uint32_t len)
{
    if (len == 0)
        return 0;
    uint32_t pending = out_buf_pending(buf);
    if (buf->cap - buf->end < len) {
        if (pending + len <= buf->cap && buf->start >= buf->cap / 2) {
            // Enough room once the written bytes are dropped.
            std::memmove(buf->data, buf->data + buf->start, pending);
        } else {
            uint64_t want = std::max<uint64_t>(MIN_CAP, buf->cap);
            while (want < static_cast<uint64_t>(pending) + len)
                want *= 2;
            if (want > UINT32_MAX)
                return -1;
            auto* data = new uint8_t[want];
            if (pending)
                std::memcpy(data, buf->data + buf->start, pending);
            delete[] buf->data;
            buf->data = data;
            buf->cap = static_cast<uint32_t>(want);
        }
        buf->start = 0;
        buf->end = pending;
    }
    std::memcpy(buf->data + buf->end, bytes, len);
    buf->end += len;
    return 0;
}

ssize_t out_buf_write(out_buf* buf, int sock)
{
    while (buf->start < buf->end) {
        ssize_t n = send(sock, buf->data + buf->start, buf->end - buf->start, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            return -1;
        }
        buf->start += static_cast<uint32_t>(n);
    }
    return out_buf_written(buf);
}

ssize_t out_buf_write_tls(out_buf* buf, ssl_st* ssl, bool* wants_read)
{
    *wants_read = false;
    // Only ever appended to until written, so a retry offers at least the
    // bytes the session was offered before.
    while (buf->start < buf->end) {
        int n = tls_write(ssl, buf->data + buf->start, buf->end - buf->start);
        if (n > 0) {
            buf->start += static_cast<uint32_t>(n);
            continue;
        }
        if (n == TLS_WANT_WRITE)
            break;
        if (n == TLS_WANT_READ) {
            *wants_read = true;
            break;
        }
        return -1;
    }
    return out_buf_written(buf);
}

void out_buf_free(out_buf* buf)
{
    delete[] buf->data;
    *buf = out_buf{};
}
