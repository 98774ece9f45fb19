#include "codec/utf8.h"

uint32_t utf8_strlen(const uint8_t* bytes, uint32_t length)
{
    uint32_t count = 0;
    for (uint32_t i = 0; i < length; ++i)
        if ((bytes[i] & 0xC0) != 0x80)
            ++count;
    return count;
}
