// UTF-8 helpers of the MQTT codec.
#pragma once

#include <cstdint>

// Number of characters: bytes that are not continuation bytes (10xxxxxx).
[[nodiscard]] uint32_t utf8_strlen(const uint8_t* bytes, uint32_t length);
