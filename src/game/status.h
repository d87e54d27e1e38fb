// The status documents: what the game client's server list shows, and the
// text of a refused login.
#pragma once

#include "build_config.h"
#include "game/chat.h"
#include "game/logo.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// A text joined from pieces at compile time, so that its length is a constant
// from which the replies' framing can be derived.
template <std::size_t N> struct joined_text {
    static constexpr std::int32_t length = static_cast<std::int32_t>(N);
    char bytes[N + 1]; // NUL-terminated; the NUL is never sent

    constexpr std::string_view view() const
    {
        return {bytes, N};
    }
};

template <std::size_t Count> constexpr std::size_t joined_length(const std::string_view (&pieces)[Count])
{
    std::size_t total = 0;
    for (std::string_view piece : pieces)
        total += piece.size();
    return total;
}

template <std::size_t N, std::size_t Count>
constexpr joined_text<N> join_text(const std::string_view (&pieces)[Count])
{
    joined_text<N> out{};
    std::size_t at = 0;
    for (std::string_view piece : pieces)
        for (char c : piece)
            out.bytes[at++] = c;
    out.bytes[N] = '\0';
    return out;
}

// True when text can stand inside a JSON string as it is.
constexpr bool json_safe(std::string_view text)
{
    for (char c : text)
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
            return false;
    return true;
}

inline constexpr std::string_view status_tagline = "Nimbrel Client";
static_assert(json_safe(site_domain), "the site domain is written into JSON strings as it is");

namespace status_pieces {

inline constexpr std::string_view bar =
    R"({"text":"","extra":[{"color":"white","obfuscated":true,"text":"||"}]})";

inline constexpr std::string_view tagline_parts[] = {
    R"({"color":"green","text":"","extra":[{"color":"#00CC66","bold":true,"text":")", status_tagline,
    R"("}]})"};
inline constexpr auto tagline = join_text<joined_length(tagline_parts)>(tagline_parts);

inline constexpr std::string_view disconnect_tagline_parts[] = {
    R"({"color":"green","text":"","extra":[{"color":"#00CC66","bold":true,"text":" )", status_tagline,
    R"("}]})"};
inline constexpr auto disconnect_tagline =
    join_text<joined_length(disconnect_tagline_parts)>(disconnect_tagline_parts);

inline constexpr std::string_view site_parts[] = {
    R"({"color":"green","text":"","extra":[{"color":"#00CC66","underlined":true,"text":")", site_domain,
    R"("}]})"};
inline constexpr auto site = join_text<joined_length(site_parts)>(site_parts);

// The line break is written as the escape \n: a raw line feed inside a
// string is not JSON, and strict parsers (Node's among them) refuse it.
inline constexpr std::string_view first_line_end = R"({"color":"white","text":".\n"})";

// The status documents' first line, and their end: the logo as favicon.
inline constexpr std::string_view first_line_parts[] = {
    bar, ",", R"(" ",)", tagline.view(), ",", first_line_end, ",", bar, ","};
inline constexpr auto first_line = join_text<joined_length(first_line_parts)>(first_line_parts);

inline constexpr std::string_view favicon_parts[] = {R"("favicon":"data:image/png;base64,)", logo_base64,
                                                     R"("})"};
inline constexpr auto favicon = join_text<joined_length(favicon_parts)>(favicon_parts);

inline constexpr std::string_view standby_status_parts[] = {
    R"({"version":{"name":"§fv1","protocol":1},"description":[)",
    first_line.view(),
    R"({"color":"white","text":" select a room in "},)",
    site.view(),
    ",",
    R"({"color":"white","text":"."}],)",
    favicon.view()};

inline constexpr std::string_view standby_disconnect_parts[] = {
    "[",
    bar,
    ",",
    disconnect_tagline.view(),
    ",",
    R"({"color":"white","text":" is in standby mode, "},)",
    bar,
    ",",
    R"("\n",)",
    bar,
    ",",
    R"({"color":"white","text":" select a room in "},)",
    site.view(),
    ",",
    R"({"color":"white","text":". "},)",
    bar,
    "]"};

inline constexpr std::string_view room_status_template_parts[] = {
    R"({"version":{"name":"§f%.*s","protocol":1},"description":[)",
    first_line.view(),
    R"(" ",)",
    R"({"color":"white","underlined":true,"text":"%.*s"},)",
    R"({"color":"white","text":" by %.*s"}%.*s],)",
    favicon.view()};

} // namespace status_pieces

// The status document of the standby server.
inline constexpr auto standby_status =
    join_text<joined_length(status_pieces::standby_status_parts)>(status_pieces::standby_status_parts);

// The chat text with which the standby server refuses a login.
inline constexpr auto standby_disconnect = join_text<joined_length(status_pieces::standby_disconnect_parts)>(
    status_pieces::standby_disconnect_parts);

// The joined room's status document, with four "%.*s": the version name (the
// nick), the room name, the owner and a note line, in that order.
inline constexpr auto room_status_template =
    join_text<joined_length(status_pieces::room_status_template_parts)>(
        status_pieces::room_status_template_parts);

// Formats the joined room's status document into out with snprintf's
// conventions (at most size - 1 bytes and a NUL; nothing with size 0). Each
// text is taken up to its length or its first NUL and escaped for a JSON
// string. A note that is not empty adds a red line that says the room's
// server cannot be reached, with the note. Returns the full length.
std::int32_t room_status_format(std::uint8_t* out, std::uint32_t size, std::int32_t nick_length,
                                const std::uint8_t* nick, std::int32_t room_name_length,
                                const std::uint8_t* room_name, std::int32_t owner_length,
                                const std::uint8_t* owner, text_piece note = {nullptr, 0});
