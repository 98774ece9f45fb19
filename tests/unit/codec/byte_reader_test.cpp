// The byte reader: each read either lies wholly within the bytes and moves
// the cursor past them, or fails and leaves the cursor where it was.
// Read from exact-size heap copies so that ASan reports a read past the end.
#include <gtest/gtest.h>

#include <functional>

#include "codec/byte_reader.h"
#include "../test_bytes.h"

namespace {

TEST(ByteReader, ReadsCheckTheEndFirst)
{
    using Read = std::function<bool(byte_reader*)>;
    const Read u8 = [](byte_reader* r) {
        uint8_t v = 0;
        return read_u8(r, &v) && v == 0x01;
    };
    const Read u16_read = [](byte_reader* r) {
        uint16_t v = 0;
        return read_u16(r, &v) && v == 0x0102;
    };
    const Read bytes3 = [](byte_reader* r) {
        const uint8_t* p = nullptr;
        return read_bytes(r, 3, &p) && p == r->bytes && p[2] == 0x03;
    };
    const Read bytes0 = [](byte_reader* r) {
        const uint8_t* p = b("x");
        return read_bytes(r, 0, &p) && p == nullptr;
    };
    const Read string = [](byte_reader* r) {
        const uint8_t* p = nullptr;
        uint16_t len = 0;
        return read_string(r, &p, &len) && len == 2 && str(p, len) == "ab";
    };
    // What is left after the first byte, then nothing.
    const Read rest = [](byte_reader* r) {
        uint8_t first = 0;
        const uint8_t* p = nullptr;
        uint32_t len = 0;
        bool ok = read_u8(r, &first) && (read_rest(r, &p, &len), str(p, len) == "hi");
        read_rest(r, &p, &len);
        return ok && p == nullptr && len == 0;
    };
    struct Case {
        const char* name;
        Bytes bytes;
        Read read;
        bool ok;
        uint32_t pos_after;
    };
    const Case cases[] = {
        {"u8", {0x01}, u8, true, 1},
        {"u8 of nothing", {}, u8, false, 0},
        {"u16", {0x01, 0x02}, u16_read, true, 2},
        {"u16 of one byte", {0x01}, u16_read, false, 0},
        {"3 bytes", {0x01, 0x02, 0x03, 0x04}, bytes3, true, 3},
        {"3 bytes of 2", {0x01, 0x02}, bytes3, false, 0},
        {"0 bytes of nothing", {}, bytes0, true, 0},
        {"string", u16(2) + raw("ab") + raw("c"), string, true, 4},
        {"string cut short", u16(3) + raw("ab"), string, false, 0},
        {"string length cut short", {0x00}, string, false, 0},
        {"rest", {0x01, 'h', 'i'}, rest, true, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes bytes = c.bytes;
        byte_reader r = byte_reader_make(bytes.data(), static_cast<uint32_t>(bytes.size()));
        EXPECT_EQ(c.read(&r), c.ok);
        EXPECT_EQ(r.pos, c.pos_after);
        EXPECT_EQ(byte_reader_remaining(&r), bytes.size() - c.pos_after);
    }
}

} // namespace
