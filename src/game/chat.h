// Chat texts for the game client: a plain message joined from pieces, some of
// them other players' names, written as a JSON or an NBT text component.
#pragma once

#include <cstdint>

// Writes with snprintf's conventions: bytes past size - 1 are only counted.
struct bounded_writer {
    std::uint8_t* out;
    std::uint32_t size;
    std::uint32_t length;

    void put(std::uint8_t c)
    {
        if (length + 1 < size)
            out[length] = c;
        length++;
    }
};

// Writes text, up to length bytes or its first NUL, as the inside of a JSON
// string: the names come from other players and may hold anything. Bytes
// that are not UTF-8 become U+FFFD, so that the JSON stays well formed.
void put_json_string(bounded_writer& w, std::int32_t length, const std::uint8_t* text);

// A piece of a message: its bytes up to length or the first NUL.
struct text_piece {
    const std::uint8_t* bytes;
    std::int32_t length;
};

// The message as a JSON text component ({"text":...}) behind its string
// length VarInt, as a string field of a packet. Returns the bytes written,
// or -1 when they do not fit in capacity.
std::int32_t chat_json_field(std::uint8_t* out, std::int32_t capacity, const text_piece* pieces, int count);

// The message as an NBT text component: a nameless string tag in modified
// UTF-8, where bytes that are not UTF-8 become U+FFFD. Returns the bytes
// written, or -1 when they do not fit in capacity.
std::int32_t chat_nbt(std::uint8_t* out, std::int32_t capacity, const text_piece* pieces, int count);
