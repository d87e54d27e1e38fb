// Fuzz target: the room status document with any names and any output size.
// A document that fits must hold only sound JSON strings, as many as the
// template has, with the plain ASCII names as given.
#include "game/status.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

// True when text is UTF-8 whose strings hold no raw control byte and no
// quote or backslash that is not escaped; counts the strings.
bool sound_strings(const std::uint8_t* text, std::size_t length, int* strings)
{
    bool inside = false;
    for (std::size_t i = 0; i < length; i++) {
        std::uint8_t c = text[i];
        int extra = c < 0x80                ? 0
                    : c >= 0xC2 && c < 0xE0 ? 1
                    : c >= 0xE0 && c < 0xF0 ? 2
                    : c >= 0xF0 && c < 0xF5 ? 3
                                            : -1;
        if (extra < 0 || (extra > 0 && i + static_cast<std::size_t>(extra) >= length))
            return false;
        for (; extra > 0; extra--)
            if ((text[++i] & 0xC0) != 0x80)
                return false;
        if (c == '"') {
            inside = !inside;
            *strings += inside ? 1 : 0;
        } else if (inside && c < 0x20) {
            return false;
        } else if (inside && c == '\\' && (++i == length || std::strchr("\"\\/bfnrtu", text[i]) == nullptr)) {
            return false;
        }
    }
    return !inside;
}

} // namespace

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

    // The strings of the document with empty names, counted once.
    static const int template_strings = [] {
        std::uint8_t empty[8192];
        std::int32_t empty_length =
            room_status_format(empty, sizeof empty, 0, nullptr, 0, nullptr, 0, nullptr);
        int count = 0;
        if (!sound_strings(empty, static_cast<std::size_t>(empty_length), &count))
            __builtin_trap();
        return count;
    }();
    int strings = 0;
    if (!sound_strings(full.data(), static_cast<std::size_t>(length), &strings) ||
        strings != template_strings)
        __builtin_trap();
    std::string_view document(reinterpret_cast<const char*>(full.data()), static_cast<std::size_t>(length));
    for (const auto& field : fields) {
        std::string text(field.begin(), std::find(field.begin(), field.end(), 0));
        bool plain = std::all_of(text.begin(), text.end(),
                                 [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; });
        if (plain && document.find(text) == std::string_view::npos)
            __builtin_trap();
    }
    return 0;
}
