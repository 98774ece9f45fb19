// Unit-test helpers: text as list bytes and back, and IPv4 peer addresses.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <string>
#include <string_view>

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
