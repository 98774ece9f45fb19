// The bytes a connection still has to send, with the position written so
// far. The TCP thread appends what the broker posts and writes as much as
// the non-blocking socket accepts; a partial write resumes where it
// stopped, so the peer receives every byte once and in order.
#pragma once

#include <sys/types.h>

#include <cstdint>

struct ssl_st;

struct out_buf {
    uint8_t* data;  // null while empty and unallocated
    uint32_t start; // first byte not yet written
    uint32_t end;   // one past the last byte appended
    uint32_t cap;
};

[[nodiscard]] inline uint32_t out_buf_pending(const out_buf* buf)
{
    return buf->end - buf->start;
}

// 0, or -1 when the pending bytes would pass 4 GiB (nothing appended).
[[nodiscard]] int out_buf_append(out_buf* buf, const uint8_t* bytes, uint32_t len);
// Writes what the socket takes. Returns the bytes still pending, or -1 on
// a write error other than a full socket (errno tells which).
[[nodiscard]] ssize_t out_buf_write(out_buf* buf, int sock);
// The same through a TLS session: *wants_read is set when the session must
// read from the peer before it can write again.
[[nodiscard]] ssize_t out_buf_write_tls(out_buf* buf, ssl_st* ssl, bool* wants_read);
void out_buf_free(out_buf* buf);
