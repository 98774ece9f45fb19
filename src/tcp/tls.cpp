// SHA-1 (FIPS 180-1) and base64 (RFC 4648 section 4). Words are assembled
// from bytes with shifts, so the result does not depend on the host's byte
// order.
#include "tcp/tls.h"

#include <cstring>

namespace {

uint32_t rol(uint32_t value, unsigned bits)
{
    return (value << bits) | (value >> (32 - bits));
}

void sha1_transform(uint32_t state[5], const uint8_t block[64])
{
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = static_cast<uint32_t>(block[4 * i]) << 24 | static_cast<uint32_t>(block[4 * i + 1]) << 16 |
               static_cast<uint32_t>(block[4 * i + 2]) << 8 | static_cast<uint32_t>(block[4 * i + 3]);
    for (int i = 16; i < 80; ++i)
        w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t temp = rol(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rol(b, 30);
        b = a;
        a = temp;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

} // namespace

void SHA1_Init(SHA1_CTX* ctx)
{
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xEFCDAB89;
    ctx->state[2] = 0x98BADCFE;
    ctx->state[3] = 0x10325476;
    ctx->state[4] = 0xC3D2E1F0;
    ctx->count[0] = 0;
    ctx->count[1] = 0;
    std::memset(ctx->buffer, 0, sizeof ctx->buffer);
}

void SHA1_Update(SHA1_CTX* ctx, const uint8_t* data, size_t len)
{
    uint32_t used = (ctx->count[0] >> 3) & 63;
    // Carry between the two count words: len * 8 may not fit in 32 bits.
    uint64_t bits = (static_cast<uint64_t>(ctx->count[1]) << 32 | ctx->count[0]) + (static_cast<uint64_t>(len) << 3);
    ctx->count[0] = static_cast<uint32_t>(bits);
    ctx->count[1] = static_cast<uint32_t>(bits >> 32);

    while (len > 0) {
        size_t take = 64 - used;
        if (take > len)
            take = len;
        std::memcpy(ctx->buffer + used, data, take);
        used += static_cast<uint32_t>(take);
        data += take;
        len -= take;
        if (used == 64) {
            sha1_transform(ctx->state, ctx->buffer);
            used = 0;
        }
    }
}

void SHA1_Final(uint8_t digest[20], SHA1_CTX* ctx)
{
    uint8_t length[8];
    for (int i = 0; i < 4; ++i) {
        length[i] = static_cast<uint8_t>(ctx->count[1] >> (24 - 8 * i));
        length[4 + i] = static_cast<uint8_t>(ctx->count[0] >> (24 - 8 * i));
    }
    static const uint8_t one = 0x80;
    static const uint8_t zero = 0;
    SHA1_Update(ctx, &one, 1);
    while (((ctx->count[0] >> 3) & 63) != 56)
        SHA1_Update(ctx, &zero, 1);
    SHA1_Update(ctx, length, 8);
    for (int i = 0; i < 20; ++i)
        digest[i] = static_cast<uint8_t>(ctx->state[i / 4] >> (24 - 8 * (i % 4)));
    std::memset(ctx, 0, sizeof *ctx);
}

void base64_encode(const uint8_t* in, size_t len, char* out)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t o = 0;
    size_t i = 0;
    for (; i + 3 <= len; i += 3) {
        uint32_t group = static_cast<uint32_t>(in[i]) << 16 | static_cast<uint32_t>(in[i + 1]) << 8 | in[i + 2];
        out[o++] = alphabet[(group >> 18) & 63];
        out[o++] = alphabet[(group >> 12) & 63];
        out[o++] = alphabet[(group >> 6) & 63];
        out[o++] = alphabet[group & 63];
    }
    if (len - i == 1) {
        uint32_t group = static_cast<uint32_t>(in[i]) << 16;
        out[o++] = alphabet[(group >> 18) & 63];
        out[o++] = alphabet[(group >> 12) & 63];
        out[o++] = '=';
        out[o++] = '=';
    } else if (len - i == 2) {
        uint32_t group = static_cast<uint32_t>(in[i]) << 16 | static_cast<uint32_t>(in[i + 1]) << 8;
        out[o++] = alphabet[(group >> 18) & 63];
        out[o++] = alphabet[(group >> 12) & 63];
        out[o++] = alphabet[(group >> 6) & 63];
        out[o++] = '=';
    }
    out[o] = '\0';
}
