#include "game/varint.h"

#include <cstring>

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
