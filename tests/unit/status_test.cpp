#include "build_config.h"
#include "game/status.h"

#include "json_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

std::string format_room(std::uint32_t size, std::string_view nick, std::string_view room,
                        std::string_view owner, std::int32_t* result)
{
    std::string out(size + 8, '#');
    auto data = [](std::string_view text) { return reinterpret_cast<const std::uint8_t*>(text.data()); };
    auto length = [](std::string_view text) { return static_cast<std::int32_t>(text.size()); };
    *result = room_status_format(reinterpret_cast<std::uint8_t*>(out.data()), size, length(nick), data(nick),
                                 length(room), data(room), length(owner), data(owner));
    return out;
}

bool holds(const json_reader& reader, const std::string& text)
{
    return std::find(reader.strings.begin(), reader.strings.end(), text) != reader.strings.end();
}

// Checks that the document's favicon is assets/logo.png, a PNG of 64 x 64 RGBA
// pixels.
void expect_logo_favicon(std::string_view document)
{
    const std::string_view key = "\"favicon\":\"data:image/png;base64,";
    std::size_t start = document.find(key);
    ASSERT_NE(start, std::string_view::npos);
    start += key.size();
    std::string_view text = document.substr(start, document.find('"', start) - start);
    ASSERT_EQ(text.size() % 4, 0u);
    const std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    bytes png;
    std::uint32_t bits = 0;
    for (std::size_t i = 0, count = 0; i < text.size() && text[i] != '='; i++) {
        std::size_t digit = alphabet.find(text[i]);
        ASSERT_NE(digit, std::string_view::npos) << "at " << i;
        bits = bits << 6 | static_cast<std::uint32_t>(digit);
        if ((count += 6) >= 8)
            png.push_back(static_cast<std::uint8_t>(bits >> (count -= 8)));
    }
    // Signature, IHDR, width 64, height 64, 8 bits per channel, colour type 6 (RGBA).
    const bytes header = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0,  13, 'I',
                          'H',  'D', 'R', 0,   0,    0,    64,   0,    0, 0, 64, 8,  6};
    ASSERT_GT(png.size(), header.size());
    EXPECT_EQ(bytes(png.begin(), png.begin() + 26), header);
    std::ifstream file(NIMBREL_SOURCE_DIR "/assets/logo.png", std::ios::binary);
    EXPECT_TRUE(png == bytes(std::istreambuf_iterator<char>(file), {}))
        << "the favicon is not assets/logo.png; run node assets/draw-logo.mjs";
}

} // namespace

TEST(StatusDocuments, AreStrictJsonWithTheirTextsAndTheLogoAsFavicon)
{
    json_reader status(standby_status.view());
    ASSERT_TRUE(status.valid()) << standby_status.bytes;
    EXPECT_TRUE(holds(status, "\xC2\xA7"
                              "fv1"));
    EXPECT_TRUE(holds(status, std::string(status_tagline)));
    EXPECT_TRUE(holds(status, ".\n"));
    EXPECT_TRUE(holds(status, site_domain));
    expect_logo_favicon(standby_status.view());

    json_reader disconnect(standby_disconnect.view());
    ASSERT_TRUE(disconnect.valid()) << standby_disconnect.bytes;
    EXPECT_TRUE(holds(disconnect, " is in standby mode, "));

    std::int32_t length = 0;
    std::string room = format_room(16384, "", "", "", &length);
    json_reader room_reader(std::string_view(room.data(), static_cast<std::size_t>(length)));
    ASSERT_TRUE(room_reader.valid()) << room;
    EXPECT_TRUE(holds(room_reader, " by "));
    expect_logo_favicon(room);
}

TEST(RoomStatusFormat, EscapesEachNameUpToItsWidthOrNulAndTruncatesLikeSnprintf)
{
    const std::string_view nick("a\"b\\cdefghijklmnXYZ", 16);
    const std::string_view room("tab\there\nnew\x01\x1F\r\b\f\xC2\xA7\0tail", 20);
    const std::string_view owner = "\"\\\"";
    std::int32_t full = 0;
    std::string whole = format_room(16384, nick, room, owner, &full);
    json_reader reader(std::string_view(whole.data(), static_cast<std::size_t>(full)));
    ASSERT_TRUE(reader.valid()) << whole.substr(0, static_cast<std::size_t>(full));
    EXPECT_TRUE(holds(reader, "\xC2\xA7"
                              "fa\"b\\cdefghijklmn"));
    EXPECT_TRUE(holds(reader, "tab\there\nnew\x01\x1F\r\b\f\xC2\xA7"));
    EXPECT_TRUE(holds(reader, " by \"\\\""));
    EXPECT_NE(whole.find(R"("tab\there\nnew\u0001\u001f\r\b\f)"), std::string::npos);

    // The escapes count towards the returned length and the truncation.
    for (std::uint32_t size :
         {0u, 1u, 10u, static_cast<std::uint32_t>(full), static_cast<std::uint32_t>(full) + 1}) {
        std::int32_t length = 0;
        std::string out = format_room(size, nick, room, owner, &length);
        EXPECT_EQ(length, full) << "size " << size;
        if (size == 0) {
            EXPECT_EQ(out, std::string(8, '#')) << "size 0 must write nothing";
            continue;
        }
        std::size_t kept = std::min<std::size_t>(size - 1, static_cast<std::size_t>(full));
        EXPECT_EQ(out.substr(0, kept), whole.substr(0, kept)) << "size " << size;
        EXPECT_EQ(out[kept], '\0') << "size " << size;
        EXPECT_EQ(out[kept + 1], '#') << "size " << size << ": wrote past the NUL";
    }
}
