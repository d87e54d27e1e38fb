// Fuzz target: the VarInt decoder over any bytes, and the encoder and the
// prefix insertion over what it decodes.
#include "game/varint.h"

#include <cstddef>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 64)
        return 0;
    std::vector<std::uint8_t> read(data, data + size);
    varint_result result{};
    varint_decode(&result, read.data(), static_cast<std::int32_t>(size));
    if (!result.ok)
        return 0;
    if (result.length < 1 || result.length > varint_max_bytes ||
        result.length > static_cast<std::int32_t>(size))
        __builtin_trap();

    std::uint8_t encoded[varint_max_bytes];
    std::int32_t written = varint_encode(encoded, varint_max_bytes, result.value);
    if (result.value < 0) {
        if (written != -1)
            __builtin_trap();
        return 0;
    }
    if (written != varint_size(result.value) || written > result.length)
        __builtin_trap();
    varint_result again{};
    varint_decode(&again, encoded, written);
    if (!again.ok || again.value != result.value || again.length != written)
        __builtin_trap();

    // The rest of the input framed by its own length, as the rewriters do it.
    std::int32_t count = static_cast<std::int32_t>(size) - result.length;
    std::vector<std::uint8_t> framed(static_cast<std::size_t>(count) + 6);
    std::memcpy(framed.data(), read.data() + result.length, static_cast<std::size_t>(count));
    std::int32_t framed_count = count;
    if (!varint_insert_prefix(framed.data(), &framed_count, count))
        __builtin_trap();
    if (count == 0)
        return 0;
    varint_decode(&again, framed.data(), framed_count);
    if (!again.ok || again.value != count || again.length + count != framed_count ||
        std::memcmp(framed.data() + again.length, read.data() + result.length,
                    static_cast<std::size_t>(count)) != 0)
        __builtin_trap();
    return 0;
}
