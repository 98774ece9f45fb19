#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "utf8.h"

namespace {

TEST(Utf8, StrlenCountsCharactersNotBytes)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        uint32_t chars;
    };
    const Case cases[] = {
        {"empty", {}, 0},
        {"ascii", {'a', 'b', 'c'}, 3},
        {"two-byte e acute", {'h', 0xC3, 0xA9, 'l', 'l', 'o'}, 5},
        {"three-byte euro sign", {0xE2, 0x82, 0xAC}, 1},
        {"four-byte emoji", {0xF0, 0x9F, 0x98, 0x80, 'x'}, 2},
        {"continuation bytes alone", {0x80, 0xBF, 0x9F}, 0},
        {"lead bytes without continuation", {0xC3, 0xE2, 0xF0}, 3},
        {"NUL is a character", {0x00, 0x00}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // An exact heap copy, so a read past the end is caught by ASan.
        std::vector<uint8_t> exact(c.bytes);
        exact.shrink_to_fit();
        EXPECT_EQ(utf8_strlen(exact.data(), static_cast<uint32_t>(exact.size())), c.chars);
    }
}

TEST(Utf8, StrlenStopsAtTheGivenLength)
{
    const uint8_t bytes[] = {'a', 0xC3, 0xA9, 'b'};
    // The last byte is outside the given length and must not be counted.
    EXPECT_EQ(utf8_strlen(bytes, 3), 2u);
    EXPECT_EQ(utf8_strlen(bytes, 0), 0u);
}

} // namespace
