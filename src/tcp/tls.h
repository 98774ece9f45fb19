// SHA-1 (FIPS 180-1) and base64 (RFC 4648), used only to compute the
// WebSocket handshake's accept key.
#pragma once

#include <cstddef>
#include <cstdint>

struct SHA1_CTX {
    uint32_t state[5];
    uint32_t count[2]; // message length in bits: low word, high word
    uint8_t buffer[64];
};

void SHA1_Init(SHA1_CTX* ctx);
void SHA1_Update(SHA1_CTX* ctx, const uint8_t* data, size_t len);
// Writes the 20-byte digest and wipes the context.
void SHA1_Final(uint8_t digest[20], SHA1_CTX* ctx);

// Standard alphabet with "=" padding; `out` receives 4 * ((len + 2) / 3)
// characters and a terminating zero byte.
void base64_encode(const uint8_t* in, size_t len, char* out);
