#include "game/varint.h"

#include <cstring>

void varint_decode(varint_result* result, const std::uint8_t* bytes, std::int32_t available)
{
    result->value = 0;
    if (available <= 0) {
        result->ok = 0;
        return;
    }
    std::uint32_t value = 0;
    for (std::int32_t i = 0; i < varint_max_bytes; i++) {
        if (i == available) {
            result->ok = 0;
            return;
        }
        std::uint8_t b = bytes[i];
        // The fifth byte contributes only its low four bits.
        value |= (i < 4 ? static_cast<std::uint32_t>(b & 0x7F) : static_cast<std::uint32_t>(b)) << (7 * i);
        result->value = static_cast<std::int32_t>(value);
        if (b < 0x80) {
            result->ok = 1;
            result->length = i + 1;
            return;
        }
    }
    result->ok = 0;
}

std::int32_t varint_encode(std::uint8_t* bytes, std::int32_t capacity, std::int32_t value)
{
    if (capacity <= 0)
        return -1;
    std::int32_t size = varint_size(value);
    for (std::int32_t k = 0; k < varint_max_bytes; k++) {
        std::uint8_t group = static_cast<std::uint8_t>(value >> (7 * k));
        if (size == k + 1) {
            bytes[k] = group & 0x7F;
            return k + 1;
        }
        bytes[k] = group | 0x80;
        if (k + 1 == capacity)
            return -1;
    }
    return -1;
}

std::uint8_t varint_insert_prefix(std::uint8_t* bytes, std::int32_t* count, std::int32_t value)
{
    if (value == 0)
        return 0;
    std::int32_t size = varint_size(value);
    std::int32_t n = *count;
    *count = n + size;
    if (n > 0)
        std::memmove(bytes + size, bytes, static_cast<size_t>(n));
    return varint_encode(bytes, size, value) < 0 ? 1 : 0;
}
