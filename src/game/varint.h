// The game protocol's variable-length integer: groups of 7 bits, least
// significant first, bit 7 set when another byte follows, at most five bytes.
#pragma once

#include <cstdint>

inline constexpr std::int32_t varint_max_bytes = 5;

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

// A VarInt read one byte at a time, however its bytes arrive. Every reader
// in the program decodes through varint_take.
struct varint_reader {
    std::uint32_t value; // the groups taken so far
    std::int32_t length; // bytes taken
};

enum class varint_step : std::uint8_t {
    more,     // another byte follows
    done,     // value is complete
    too_long, // a fifth byte still asks for another; take no more
};

// Takes the next byte. Only the fifth byte's low four bits fit in 32 bits;
// the rest of it falls off the top.
constexpr varint_step varint_take(varint_reader& reader, std::uint8_t byte)
{
    reader.value |= static_cast<std::uint32_t>(byte & 0x7F) << (7 * reader.length);
    reader.length++;
    if (byte < 0x80)
        return varint_step::done;
    return reader.length < varint_max_bytes ? varint_step::more : varint_step::too_long;
}

struct varint_result {
    bool ok;             // a complete VarInt was read
    std::int32_t value;  // the groups read, also when not ok
    std::int32_t length; // bytes taken, 1 to 5; written only when ok
};

// Reads a VarInt from at most available bytes.
constexpr void varint_decode(varint_result* result, const std::uint8_t* bytes, std::int32_t available)
{
    varint_reader reader{};
    varint_step step = varint_step::more;
    for (std::int32_t i = 0; i < available && step == varint_step::more; i++)
        step = varint_take(reader, bytes[i]);
    result->value = static_cast<std::int32_t>(reader.value);
    result->ok = step == varint_step::done;
    if (result->ok)
        result->length = reader.length;
}

// Writes value into at most capacity bytes. Returns the count written, or -1
// when it does not fit or value is negative (bytes may have been written).
constexpr std::int32_t varint_encode(std::uint8_t* bytes, std::int32_t capacity, std::int32_t value)
{
    std::int32_t size = varint_size(value);
    for (std::int32_t k = 0; k < capacity && k < varint_max_bytes; k++) {
        std::uint8_t group = static_cast<std::uint8_t>(value >> (7 * k));
        if (size == k + 1) {
            bytes[k] = group & 0x7F;
            return k + 1;
        }
        bytes[k] = group | 0x80;
    }
    return -1;
}

// Puts the VarInt of value in front of the first *count bytes and grows
// *count. A value of 0 inserts nothing. The buffer must have room for
// *count + 5 bytes. False for a negative value, which changes nothing.
bool varint_insert_prefix(std::uint8_t* bytes, std::int32_t* count, std::int32_t value);
