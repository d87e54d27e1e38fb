// The game protocol's variable-length integer: groups of 7 bits, least
// significant first, bit 7 set when another byte follows, at most five bytes.
#pragma once

#include <cstdint>

inline constexpr std::int32_t varint_max_bytes = 5;

struct varint_result {
    std::uint8_t ok;       // 1 when a complete VarInt was read
    std::int32_t value;
    std::int32_t length;   // bytes taken, 1 to 5; written only when ok
};

// Reads a VarInt from at most available bytes.
void varint_decode(varint_result* result, const std::uint8_t* bytes, std::int32_t available);

// Writes value into at most capacity bytes. Returns the count written, or -1
// when it does not fit or value is negative (bytes may have been written).
std::int32_t varint_encode(std::uint8_t* bytes, std::int32_t capacity, std::int32_t value);

// Puts the VarInt of value in front of the first *count bytes and grows
// *count. A value of 0 inserts nothing. The buffer must have room for
// *count + 6 bytes. Returns 1 on failure (negative value), 0 when done.
std::uint8_t varint_insert_prefix(std::uint8_t* bytes, std::int32_t* count, std::int32_t value);

// Bytes the encoder needs for value: 1 to 5, or 6 for a negative value.
constexpr std::int32_t varint_size(std::int32_t value)
{
    std::uint32_t v = static_cast<std::uint32_t>(value);
    if (v <= 0x7F)
        return 1;
    if (v <= 0x3FFF)
        return 2;
    if (v <= 0x1FFFFF)
        return 3;
    if (v <= 0xFFFFFFF)
        return 4;
    if (v <= 0x7FFFFFFF)
        return 5;
    return 6;
}
