// SHA-1 against the FIPS 180-1 example messages and the padding
// boundaries; base64 against the RFC 4648 section 10 vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tls.h"

namespace {

std::string hex(const uint8_t* bytes, size_t len)
{
    std::string out;
    char buf[3];
    for (size_t i = 0; i < len; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
        out += buf;
    }
    return out;
}

std::string sha1(const std::vector<uint8_t>& data)
{
    SHA1_CTX ctx;
    uint8_t digest[20];
    SHA1_Init(&ctx);
    SHA1_Update(&ctx, data.data(), data.size());
    SHA1_Final(digest, &ctx);
    return hex(digest, sizeof digest);
}

std::string sha1(const std::string& text)
{
    return sha1(std::vector<uint8_t>(text.begin(), text.end()));
}

std::string base64(const std::string& text)
{
    std::vector<char> out(4 * ((text.size() + 2) / 3) + 1 + 8, '#');
    base64_encode(reinterpret_cast<const uint8_t*>(text.data()), text.size(), out.data());
    size_t len = std::strlen(out.data());
    EXPECT_EQ(len, 4 * ((text.size() + 2) / 3));
    // Nothing written past the terminator.
    for (size_t i = len + 1; i < out.size(); ++i)
        EXPECT_EQ(out[i], '#');
    return out.data();
}

TEST(Sha1, FipsExampleMessages)
{
    EXPECT_EQ(sha1("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Sha1, MillionAsFedInOddSizedUpdates)
{
    std::vector<uint8_t> a(1000000, 'a');
    SHA1_CTX ctx;
    SHA1_Init(&ctx);
    size_t done = 0;
    size_t step = 1;
    while (done < a.size()) {
        size_t take = std::min(step, a.size() - done);
        SHA1_Update(&ctx, a.data() + done, take);
        done += take;
        step = step * 3 % 1013 + 1; // 1, 4, 13, 40, 121, 364, 81, ...: uneven, across block ends
    }
    uint8_t digest[20];
    SHA1_Final(digest, &ctx);
    EXPECT_EQ(hex(digest, sizeof digest), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// Lengths around the 56-byte point where the length field no longer fits
// in the last block, and around block ends.
TEST(Sha1, PaddingBoundaries)
{
    struct Case {
        size_t len;
        const char* digest;
    };
    const Case cases[] = {
        {55, "749bbefb28edc4638b28b2b9a9e03ab9a4032b90"},  {56, "a5b6e9c29d201c774753ff8e7fb64931656f5e63"},
        {63, "d1a454409359fc372b4d22b3cea6488d6ba1be00"},  {64, "39a0d8b645ad85f1f976731ed112ac9455e28b78"},
        {65, "d0c96e18890114a14716e9686528d2e3fdba8d9e"},  {119, "562ecf8a430f8e1056e3619bae33628e9a1d0a4e"},
        {120, "353f6d2bf0e91aa91b74a2e0b3f297510f7d825f"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> data(c.len);
        for (size_t i = 0; i < c.len; ++i)
            data[i] = static_cast<uint8_t>(i * 31 + 7);
        EXPECT_EQ(sha1(data), c.digest) << c.len << " bytes";
    }
}

TEST(Sha1, FinalWipesTheContext)
{
    SHA1_CTX ctx;
    SHA1_Init(&ctx);
    SHA1_Update(&ctx, reinterpret_cast<const uint8_t*>("secret key"), 10);
    uint8_t digest[20];
    SHA1_Final(digest, &ctx);
    SHA1_CTX zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
}

TEST(Base64, Rfc4648Vectors)
{
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("f"), "Zg==");
    EXPECT_EQ(base64("fo"), "Zm8=");
    EXPECT_EQ(base64("foo"), "Zm9v");
    EXPECT_EQ(base64("foob"), "Zm9vYg==");
    EXPECT_EQ(base64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
}

TEST(Base64, LastTwoLettersOfTheAlphabet)
{
    EXPECT_EQ(base64("\xfb\xff\xbf"), "+/+/");
    EXPECT_EQ(base64(std::string("\x00\x10\x83", 3)), "ABCD");
}

} // namespace
