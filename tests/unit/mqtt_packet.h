// Byte builders for the MQTT codec tests. Packets are built here by hand,
// independently of the codec's own encoders, and held in exact-size heap
// buffers so that AddressSanitizer reports any read past a packet's end.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mqtt.h"

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes u16(uint16_t value)
{
    return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

inline Bytes raw(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

// A length-prefixed MQTT string.
inline Bytes str(std::string_view text)
{
    return u16(static_cast<uint16_t>(text.size())) + raw(text);
}

inline Bytes rem_len_bytes(uint32_t length)
{
    Bytes out;
    do {
        uint8_t byte = length % 128;
        length /= 128;
        if (length)
            byte |= 0x80;
        out.push_back(byte);
    } while (length);
    return out;
}

inline Bytes frame(uint8_t first, const Bytes& body)
{
    return Bytes{first} + rem_len_bytes(static_cast<uint32_t>(body.size())) + body;
}

inline std::string text(const uint8_t* bytes, uint32_t length)
{
    return bytes ? std::string(reinterpret_cast<const char*>(bytes), length) : std::string();
}

// One received packet: its bytes and its decoded fixed header.
struct Packet {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t size = 0;
    mqtt_fixed_header fixhdr{};
};

inline std::unique_ptr<uint8_t[]> exact_copy(const Bytes& bytes)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return copy;
}

inline Packet packet(uint8_t first, const Bytes& body)
{
    Bytes bytes = frame(first, body);
    Packet p;
    p.bytes = exact_copy(bytes);
    p.size = static_cast<uint32_t>(bytes.size());
    uint32_t consumed = 0;
    EXPECT_EQ(mqtt_fixed_header_decode(&p.fixhdr, p.bytes.get(), p.size, &consumed), 0);
    EXPECT_EQ(consumed, p.size);
    return p;
}

// Takes over an encoder's buffer.
inline Bytes take(uint8_t* buffer, uint32_t length)
{
    Bytes out(buffer, buffer + length);
    delete[] buffer;
    return out;
}
