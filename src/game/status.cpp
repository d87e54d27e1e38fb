#include "game/status.h"

#include "game/chat.h"

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

static_assert(has_only_conversions(room_status_template.view(), 4));

constexpr char unreachable_head[] = R"(,{"color":"red","text":"\nThe room's server cannot be reached: )";
constexpr char unreachable_tail[] = R"("})";

void put_text(bounded_writer& w, const char* text)
{
    for (; *text != 0; text++)
        w.put(static_cast<std::uint8_t>(*text));
}

} // namespace

std::int32_t room_status_format(std::uint8_t* out, std::uint32_t size, std::int32_t nick_length,
                                const std::uint8_t* nick, std::int32_t room_name_length,
                                const std::uint8_t* room_name, std::int32_t owner_length,
                                const std::uint8_t* owner, text_piece note)
{
    const std::int32_t lengths[] = {nick_length, room_name_length, owner_length};
    const std::uint8_t* texts[] = {nick, room_name, owner};
    bounded_writer w{out, size, 0};
    int field = 0;
    std::string_view rest = room_status_template.view();
    while (!rest.empty()) {
        if (rest.starts_with(conversion) && field == 3) {
            if (note.length > 0) {
                put_text(w, unreachable_head);
                put_json_string(w, note.length, note.bytes);
                put_text(w, unreachable_tail);
            }
            rest.remove_prefix(conversion.size());
        } else if (rest.starts_with(conversion)) {
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
