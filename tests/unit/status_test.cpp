#include "game/status.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The document with the names, written into a buffer of the given size
// followed by eight '#' guards.
std::string format_room(std::uint32_t size, std::string_view nick, std::string_view room,
                        std::string_view owner, std::int32_t* result, std::string_view note = {})
{
    std::string out(size + 8, '#');
    auto data = [](std::string_view text) { return reinterpret_cast<const std::uint8_t*>(text.data()); };
    auto length = [](std::string_view text) { return static_cast<std::int32_t>(text.size()); };
    *result = room_status_format(reinterpret_cast<std::uint8_t*>(out.data()), size, length(nick), data(nick),
                                 length(room), data(room), length(owner), data(owner),
                                 {data(note), length(note)});
    return out;
}

} // namespace

// The standby texts are the end-to-end suite's to check, the truncation for
// any size the fuzz target's. This one was checked once with JSON.parse: a raw
// line feed, an unescaped quote or a byte that is not UTF-8 would make it no
// JSON.
TEST(RoomStatusFormat, EscapesEachNameUpToItsWidthOrNulAndAddsTheNote)
{
    const std::string bar = R"({"text":"","extra":[{"color":"white","obfuscated":true,"text":"||"}]})";
    std::int32_t length = 0;
    std::string room = format_room(16384, std::string_view("a\"b\\cdefghijklmnXYZ", 16),
                                   std::string_view("tab\there\nnew\x01\x1F\r\b\f\xC2\xA7\xFF\0tail", 21),
                                   "\"\\\"", &length, "No \"route\"");
    EXPECT_EQ(room.substr(0, static_cast<std::size_t>(length) + 1),
              R"({"version":{"name":"§fa\"b\\cdefghijklmn","protocol":1},"description":[)" + bar +
                  R"(," ",{"color":"green","text":"","extra":[{"color":"#00CC66","bold":true,"text":"Nimbrel Client"}]},{"color":"white","text":".\n"},)" +
                  bar +
                  R"(," ",{"color":"white","underlined":true,"text":"tab\there\nnew\u0001\u001f\r\b\f§�"},{"color":"white","text":" by \"\\\""},{"color":"red","text":"\nThe room's server cannot be reached: No \"route\""}],"favicon":"data:image/png;base64,)" +
                  logo_base64 + "\"}" + '\0');
}
