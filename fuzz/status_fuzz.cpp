// Fuzz target: the room status document with any names and any output size.
// A document that fits must be strict JSON holding the (ASCII) names as given.
#include "game/status.h"

#include "json_reader.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Three field widths, two bytes of output size, then the fields' bytes.
    if (size < 5 || size > 4096)
        return 0;
    std::int32_t widths[3] = {data[0] % 40, data[1] % 40, data[2] % 40};
    std::uint32_t out_size = (std::uint32_t{data[3]} << 8 | data[4]) % 4096;
    const std::uint8_t* rest = data + 5;
    std::size_t left = size - 5;
    std::vector<std::uint8_t> fields[3];
    for (int i = 0; i < 3; i++) {
        std::size_t take = std::min<std::size_t>(left, static_cast<std::size_t>(widths[i]));
        fields[i].assign(rest, rest + take);
        fields[i].resize(static_cast<std::size_t>(widths[i]), 0);
        rest += take;
        left -= take;
    }

    std::vector<std::uint8_t> out(out_size);
    std::int32_t length = room_status_format(out.data(), out_size, widths[0], fields[0].data(), widths[1],
                                             fields[1].data(), widths[2], fields[2].data());
    std::vector<std::uint8_t> full(static_cast<std::size_t>(length) + 1);
    if (room_status_format(full.data(), static_cast<std::uint32_t>(full.size()), widths[0], fields[0].data(),
                           widths[1], fields[1].data(), widths[2], fields[2].data()) != length ||
        full[static_cast<std::size_t>(length)] != 0)
        __builtin_trap();
    if (out_size > 0) {
        std::size_t kept = std::min<std::size_t>(static_cast<std::size_t>(length), out_size - 1);
        if (out[kept] != 0 || std::memcmp(out.data(), full.data(), kept) != 0)
            __builtin_trap();
    }

    json_reader reader(
        std::string_view(reinterpret_cast<const char*>(full.data()), static_cast<std::size_t>(length)));
    if (!reader.valid())
        __builtin_trap();
    for (const auto& field : fields) {
        std::string text(field.begin(), std::find(field.begin(), field.end(), 0));
        // Bytes that are not UTF-8 are replaced, so only ASCII names are found as given.
        bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
        if (!text.empty() && ascii &&
            std::find(reader.strings.begin(), reader.strings.end(), text) == reader.strings.end() &&
            std::none_of(reader.strings.begin(), reader.strings.end(),
                         [&](const std::string& s) { return s.find(text) != std::string::npos; }))
            __builtin_trap();
    }
    return 0;
}
