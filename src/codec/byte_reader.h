// The one cursor through which the MQTT and MQTT-SN decoders read a packet.
// Every read checks that its bytes lie before the end before it touches
// one; a read that would run past the end returns false and leaves the
// cursor where it was, so a decoder cannot read outside its packet.
#pragma once

#include <cstdint>

struct byte_reader {
    const uint8_t* bytes;
    uint32_t pos;
    uint32_t end; // bytes[pos..end) are still to be read
};

[[nodiscard]] inline byte_reader byte_reader_make(const uint8_t* bytes, uint32_t length)
{
    return byte_reader{bytes, 0, length};
}

[[nodiscard]] inline uint32_t byte_reader_remaining(const byte_reader* r)
{
    return r->end - r->pos;
}

[[nodiscard]] inline bool read_u8(byte_reader* r, uint8_t* out)
{
    if (byte_reader_remaining(r) < 1)
        return false;
    *out = r->bytes[r->pos++];
    return true;
}

// Big-endian, as both protocols send it.
[[nodiscard]] inline bool read_u16(byte_reader* r, uint16_t* out)
{
    if (byte_reader_remaining(r) < 2)
        return false;
    *out = static_cast<uint16_t>(r->bytes[r->pos] << 8 | r->bytes[r->pos + 1]);
    r->pos += 2;
    return true;
}

// Points *out at the next n bytes (null when n is 0).
[[nodiscard]] inline bool read_bytes(byte_reader* r, uint32_t n, const uint8_t** out)
{
    if (byte_reader_remaining(r) < n)
        return false;
    *out = n ? r->bytes + r->pos : nullptr;
    r->pos += n;
    return true;
}

// A field with a 16-bit length prefix; the cursor does not move when the
// length or the bytes it announces run past the end.
[[nodiscard]] inline bool read_string(byte_reader* r, const uint8_t** out, uint16_t* length)
{
    const uint32_t start = r->pos;
    uint16_t n = 0;
    if (!read_u16(r, &n) || !read_bytes(r, n, out)) {
        r->pos = start;
        return false;
    }
    *length = n;
    return true;
}

// Everything up to the end (null when nothing is left).
inline void read_rest(byte_reader* r, const uint8_t** out, uint32_t* length)
{
    *length = byte_reader_remaining(r);
    *out = *length ? r->bytes + r->pos : nullptr;
    r->pos = r->end;
}
