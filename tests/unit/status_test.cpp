#include "game/status.h"

#include <gtest/gtest.h>

#include <string>

// The standby texts are the end-to-end suite's to check, the truncation for
// any size the fuzz target's. This one was checked once with JSON.parse: a raw
// line feed, an unescaped quote or a byte that is not UTF-8 would make it no
// JSON.
TEST(RoomStatusFormat, EscapesEachNameUpToItsWidthOrNulAndAddsTheNote)
{
    auto data = [](std::string_view text) { return reinterpret_cast<const std::uint8_t*>(text.data()); };
    const char room[] = "tab\there\nnew\x01\x1F\r\b\f\xC2\xA7\xFF\0tail";
    char out[16384];
    std::int32_t length = room_status_format(reinterpret_cast<std::uint8_t*>(out), sizeof out, 16,
                                             data("a\"b\\cdefghijklmnXYZ"), 21, data(room), 3, data("\"\\\""),
                                             {data("No \"route\""), 10});
    const std::string bar = R"({"text":"","extra":[{"color":"white","obfuscated":true,"text":"||"}]})";
    EXPECT_EQ(
        std::string(out, static_cast<std::size_t>(length) + 1),
        R"({"version":{"name":"§fa\"b\\cdefghijklmn","protocol":1},"description":[)" + bar +
            R"(," ",{"color":"green","text":"","extra":[{"color":"#00CC66","bold":true,"text":"Nimbrel Client"}]},{"color":"white","text":".\n"},)" +
            bar +
            R"(," ",{"color":"white","underlined":true,"text":"tab\there\nnew\u0001\u001f\r\b\f§�"},{"color":"white","text":" by \"\\\""},{"color":"red","text":"\nThe room's server cannot be reached: No \"route\""}],"favicon":"data:image/png;base64,)" +
            logo_base64 + "\"}" + '\0');
}
