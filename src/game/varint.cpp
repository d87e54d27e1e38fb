#include "game/varint.h"

#include <cstring>

void varint_decode(varint_result* result, const std::uint8_t* bytes, std::int32_t available)
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

bool varint_insert_prefix(std::uint8_t* bytes, std::int32_t* count, std::int32_t value)
{
    if (value < 0)
        return false;
    if (value == 0)
        return true;
    std::int32_t size = varint_size(value);
    if (*count > 0)
        std::memmove(bytes + size, bytes, static_cast<std::size_t>(*count));
    *count += size;
    varint_encode(bytes, size, value);
    return true;
}
