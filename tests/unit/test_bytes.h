// Unit-test helpers: text as list bytes and back, IPv4 peer addresses, and
// MQTT and MQTT-SN packets built by hand, never with the codec's encoders.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes raw(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

inline Bytes u16(uint16_t value)
{
    return {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

// A length-prefixed MQTT string.
inline Bytes field(std::string_view text)
{
    return u16(static_cast<uint16_t>(text.size())) + raw(text);
}

// First byte, Remaining Length in its shortest form, body.
inline Bytes packet(uint8_t first, const Bytes& body)
{
    Bytes out{first};
    for (size_t length = body.size();; length /= 128) {
        out.push_back(static_cast<uint8_t>(length % 128 | (length >= 128 ? 0x80 : 0)));
        if (length < 128)
            return out + body;
    }
}

// An MQTT-SN message in the one-octet length form.
inline Bytes sn(uint8_t type, const Bytes& body)
{
    return Bytes{static_cast<uint8_t>(2 + body.size()), type} + body;
}

// Takes over an encoder's buffer.
inline Bytes take(uint8_t* buffer, uint32_t length)
{
    Bytes out(buffer, buffer + length);
    delete[] buffer;
    return out;
}

inline const uint8_t* b(std::string_view s)
{
    return reinterpret_cast<const uint8_t*>(s.data());
}

inline uint16_t n(std::string_view s)
{
    return static_cast<uint16_t>(s.size());
}

inline std::string str(const uint8_t* bytes, uint32_t len)
{
    return bytes ? std::string(reinterpret_cast<const char*>(bytes), len) : "<none>";
}

inline sockaddr_in peer(const char* ip, uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, ip, &addr.sin_addr);
    return addr;
}
