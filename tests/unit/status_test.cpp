#include "build_config.h"
#include "control/base64.h"
#include "game/status.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

// assets/logo.png in base64, once checked to be a PNG of 64 x 64 RGBA pixels.
std::string logo_png_in_base64()
{
    std::ifstream file(NIMBREL_SOURCE_DIR "/assets/logo.png", std::ios::binary);
    std::vector<std::uint8_t> png{std::istreambuf_iterator<char>(file), {}};
    // Signature, IHDR, width 64, height 64, 8 bits per channel, colour type 6.
    const std::vector<std::uint8_t> header = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0,  13, 'I',
                                              'H',  'D', 'R', 0,   0,    0,    64,   0,    0, 0, 64, 8,  6};
    EXPECT_TRUE(png.size() > header.size() && std::equal(header.begin(), header.end(), png.begin()));
    std::string encoded(base64_length(static_cast<std::uint32_t>(png.size())) + 1, '\0');
    base64_encode(png.data(), static_cast<std::uint32_t>(png.size()), encoded.data());
    encoded.pop_back();
    return encoded;
}

} // namespace

// Checked once with JSON.parse: each is strict JSON (a raw line feed, an
// unescaped quote or a byte that is not UTF-8 would not be).
TEST(StatusDocuments, AreTheirExactTextsWithEveryNameEscapedAndTheLogoAsFavicon)
{
    const std::string bar = R"({"text":"","extra":[{"color":"white","obfuscated":true,"text":"||"}]})";
    const std::string head = R"(","protocol":1},"description":[)" + bar +
                             R"(," ",{"color":"green","text":"","extra":[{"color":"#00CC66","bold":true,"text":"Nimbrel Client"}]},{"color":"white","text":".\n"},)" +
                             bar;
    const std::string site =
        R"({"color":"green","text":"","extra":[{"color":"#00CC66","underlined":true,"text":")" +
        std::string(site_domain) + R"("}]})";
    const std::string favicon = R"("favicon":"data:image/png;base64,)" + logo_png_in_base64() + R"("})";
    EXPECT_EQ(standby_status.view(), R"({"version":{"name":"§fv1)" + head +
                                         R"(,{"color":"white","text":" select a room in "},)" + site +
                                         R"(,{"color":"white","text":"."}],)" + favicon);
    EXPECT_EQ(standby_disconnect.view(),
              "[" + bar +
                  R"(,{"color":"green","text":"","extra":[{"color":"#00CC66","bold":true,"text":" Nimbrel Client"}]},{"color":"white","text":" is in standby mode, "},)" +
                  bar + R"(,"\n",)" + bar + R"(,{"color":"white","text":" select a room in "},)" + site +
                  R"(,{"color":"white","text":". "},)" + bar + "]");

    // Each name up to its width or its first NUL; a byte that is not UTF-8 becomes U+FFFD.
    std::int32_t length = 0;
    std::string room = format_room(16384, std::string_view("a\"b\\cdefghijklmnXYZ", 16),
                                   std::string_view("tab\there\nnew\x01\x1F\r\b\f\xC2\xA7\xFF\0tail", 21),
                                   "\"\\\"", &length, "No \"route\"");
    EXPECT_EQ(room.substr(0, static_cast<std::size_t>(length) + 1),
              R"({"version":{"name":"§fa\"b\\cdefghijklmn)" + head +
                  R"(," ",{"color":"white","underlined":true,"text":"tab\there\nnew\u0001\u001f\r\b\f§�"},{"color":"white","text":" by \"\\\""},{"color":"red","text":"\nThe room's server cannot be reached: No \"route\""}],)" +
                  favicon + '\0');
    room = format_room(16384, "", "", "", &length);
    EXPECT_EQ(room.substr(0, static_cast<std::size_t>(length)),
              R"({"version":{"name":"§f)" + head +
                  R"(," ",{"color":"white","underlined":true,"text":""},{"color":"white","text":" by "}],)" +
                  favicon);
}

TEST(RoomStatusFormat, CountsTheEscapesAndTruncatesLikeSnprintf)
{
    std::int32_t full = 0;
    std::string whole = format_room(16384, "\"\\", "\n", "x", &full);
    for (std::uint32_t size :
         {0u, 1u, 10u, static_cast<std::uint32_t>(full), static_cast<std::uint32_t>(full) + 1}) {
        std::int32_t length = 0;
        std::string out = format_room(size, "\"\\", "\n", "x", &length);
        EXPECT_EQ(length, full) << "size " << size;
        std::size_t kept = std::min<std::size_t>(size - 1, static_cast<std::size_t>(full));
        EXPECT_EQ(out, size == 0 ? std::string(8, '#')
                                 : whole.substr(0, kept) + '\0' + std::string(out.size() - kept - 1, '#'))
            << "size " << size;
    }
}
