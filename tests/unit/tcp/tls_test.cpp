// SHA-1 against the FIPS 180-1 example messages; base64 against the
// RFC 4648 section 10 vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <iterator>

#include "tcp/tls.h"

namespace {

// Digest in hex of `text` fed in updates of at most `step` bytes.
std::string sha1(const std::string& text, size_t step = SIZE_MAX)
{
    SHA1_CTX ctx;
    SHA1_Init(&ctx);
    for (size_t done = 0; done < text.size(); step = step % 1013 * 3 + 1) {
        size_t take = std::min(step, text.size() - done);
        SHA1_Update(&ctx, reinterpret_cast<const uint8_t*>(text.data()) + done, take);
        done += take;
    }
    uint8_t digest[20];
    SHA1_Final(digest, &ctx);
    char out[41];
    for (int i = 0; i < 20; ++i)
        std::snprintf(out + 2 * i, 3, "%02x", digest[i]);
    return out;
}

TEST(Sha1, FipsExampleMessages)
{
    EXPECT_EQ(sha1("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    // Odd-sized updates (1, 4, 13, 40, 121, ...) that straddle block ends.
    EXPECT_EQ(sha1(std::string(1000000, 'a'), 1), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// The vectors encode the first 0 to 6 bytes of "foobar".
TEST(Base64, Rfc4648Vectors)
{
    const char* expected[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (size_t n = 0; n < std::size(expected); ++n) {
        char encoded[16];
        base64_encode(reinterpret_cast<const uint8_t*>("foobar"), n, encoded);
        EXPECT_STREQ(encoded, expected[n]);
    }
}

} // namespace
