#include "game/status.h"

namespace {

constexpr std::string_view conversion = "%.*s";

// True when every % of text starts a "%.*s" and there are exactly count of them.
constexpr bool has_only_conversions(std::string_view text, int count)
{
    int found = 0;
    for (std::size_t at = 0; at < text.size(); at++) {
        if (text[at] != '%')
            continue;
        if (text.substr(at, conversion.size()) != conversion)
            return false;
        found++;
    }
    return found == count;
}

static_assert(has_only_conversions(room_status_template.view(), 3));

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

constexpr char hex_digits[] = "0123456789abcdef";

// Writes text, up to length bytes or its first NUL, as the inside of a JSON
// string: the names come from other players and may hold anything.
void put_json_string(bounded_writer& w, std::int32_t length, const std::uint8_t* text)
{
    for (std::int32_t i = 0; i < length && text[i] != 0; i++) {
        std::uint8_t c = text[i];
        if (c == '"' || c == '\\') {
            w.put('\\');
            w.put(c);
        } else if (c >= 0x20) {
            w.put(c);
        } else {
            w.put('\\');
            switch (c) {
            case '\b':
                w.put('b');
                break;
            case '\f':
                w.put('f');
                break;
            case '\n':
                w.put('n');
                break;
            case '\r':
                w.put('r');
                break;
            case '\t':
                w.put('t');
                break;
            default:
                w.put('u');
                w.put('0');
                w.put('0');
                w.put(static_cast<std::uint8_t>(hex_digits[c >> 4]));
                w.put(static_cast<std::uint8_t>(hex_digits[c & 0x0F]));
            }
        }
    }
}

} // namespace

std::int32_t room_status_format(std::uint8_t* out, std::uint32_t size, std::int32_t nick_length,
                                const std::uint8_t* nick, std::int32_t room_name_length,
                                const std::uint8_t* room_name, std::int32_t owner_length,
                                const std::uint8_t* owner)
{
    const std::int32_t lengths[] = {nick_length, room_name_length, owner_length};
    const std::uint8_t* texts[] = {nick, room_name, owner};
    bounded_writer w{out, size, 0};
    int field = 0;
    std::string_view rest = room_status_template.view();
    while (!rest.empty()) {
        if (rest.starts_with(conversion)) {
            put_json_string(w, lengths[field], texts[field]);
            field++;
            rest.remove_prefix(conversion.size());
        } else {
            w.put(static_cast<std::uint8_t>(rest.front()));
            rest.remove_prefix(1);
        }
    }
    if (size > 0)
        out[w.length < size ? w.length : size - 1] = 0;
    return static_cast<std::int32_t>(w.length);
}
