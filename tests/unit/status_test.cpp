#include "game/status.h"

#include "json_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string base64_encode(const std::vector<std::uint8_t>& bytes)
{
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = std::uint32_t{bytes[i]} << 16;
        if (i + 1 < bytes.size())
            group |= std::uint32_t{bytes[i + 1]} << 8;
        if (i + 2 < bytes.size())
            group |= bytes[i + 2];
        for (std::size_t k = 0; k < 4; k++)
            out += i + k <= bytes.size() ? alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return out;
}

std::uint32_t big_endian(const std::vector<std::uint8_t>& bytes, std::size_t at)
{
    return std::uint32_t{bytes[at]} << 24 | std::uint32_t{bytes[at + 1]} << 16 |
           std::uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
}

std::string favicon_of(std::string_view document)
{
    const std::string_view key = "\"favicon\":\"data:image/png;base64,";
    std::size_t start = document.find(key);
    if (start == std::string_view::npos)
        return {};
    start += key.size();
    return std::string(document.substr(start, document.find('"', start) - start));
}

std::string format_room(std::uint32_t size, std::string_view nick, std::string_view room,
                        std::string_view owner, std::int32_t* result)
{
    std::string out(size + 8, '#');
    *result = room_status_format(
        reinterpret_cast<std::uint8_t*>(out.data()), size, static_cast<std::int32_t>(nick.size()),
        reinterpret_cast<const std::uint8_t*>(nick.data()), static_cast<std::int32_t>(room.size()),
        reinterpret_cast<const std::uint8_t*>(room.data()), static_cast<std::int32_t>(owner.size()),
        reinterpret_cast<const std::uint8_t*>(owner.data()));
    return out;
}

bool contains(const std::vector<std::string>& strings, const std::string& text)
{
    return std::find(strings.begin(), strings.end(), text) != strings.end();
}

} // namespace

TEST(StatusDocuments, AreStrictJsonWithTheirTexts)
{
    json_reader status(standby_status.view());
    ASSERT_TRUE(status.valid()) << standby_status.bytes;
    EXPECT_TRUE(contains(status.strings, "\xC2\xA7"
                                         "fv1"));
    EXPECT_TRUE(contains(status.strings, std::string(status_tagline)));
    EXPECT_TRUE(contains(status.strings, ".\n"));
    EXPECT_TRUE(contains(status.strings, site_domain));

    json_reader disconnect(standby_disconnect.view());
    ASSERT_TRUE(disconnect.valid()) << standby_disconnect.bytes;
    EXPECT_TRUE(contains(disconnect.strings, " is in standby mode, "));
    EXPECT_TRUE(contains(disconnect.strings, "\n"));

    std::int32_t length = 0;
    std::string room = format_room(16384, "", "", "", &length);
    json_reader room_reader(std::string_view(room.data(), static_cast<std::size_t>(length)));
    ASSERT_TRUE(room_reader.valid()) << room;
    EXPECT_TRUE(contains(room_reader.strings, "\xC2\xA7"
                                              "f"));
    EXPECT_TRUE(contains(room_reader.strings, " by "));
}

TEST(StatusDocuments, CarryTheLogoPngAsFavicon)
{
    std::ifstream file(NIMBREL_SOURCE_DIR "/assets/logo.png", std::ios::binary);
    ASSERT_TRUE(file) << "assets/logo.png is missing";
    std::vector<std::uint8_t> png{std::istreambuf_iterator<char>(file), {}};

    for (std::string_view document : {standby_status.view(), room_status_template.view()})
        ASSERT_EQ(favicon_of(document), base64_encode(png))
            << "the favicon is not assets/logo.png; run node assets/draw-logo.mjs";
    const std::vector<std::uint8_t> signature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    ASSERT_GT(png.size(), 33u);
    EXPECT_EQ(std::vector<std::uint8_t>(png.begin(), png.begin() + 8), signature);
    EXPECT_EQ(big_endian(png, 8), 13u) << "IHDR length";
    EXPECT_EQ(std::string(png.begin() + 12, png.begin() + 16), "IHDR");
    EXPECT_EQ(big_endian(png, 16), 64u) << "width";
    EXPECT_EQ(big_endian(png, 20), 64u) << "height";
    EXPECT_EQ(png[24], 8) << "bits per channel";
    EXPECT_EQ(png[25], 6) << "colour type RGBA";
}

TEST(RoomStatusFormat, GivesTheTemplatesExpansionForPlainNames)
{
    const char room_field[32] = "Lobby"; // five letters, then NULs
    const char nick_field[16] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h',
                                 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p'};
    std::int32_t length = 0;
    std::string out = format_room(16384, std::string_view(nick_field, 16), std::string_view(room_field, 32),
                                  "owner", &length);

    char expected[16384];
    int expected_length = std::snprintf(expected, sizeof expected, room_status_template.bytes, 16, nick_field,
                                        32, room_field, 5, "owner");
    EXPECT_EQ(length, expected_length);
    EXPECT_EQ(out.substr(0, static_cast<std::size_t>(length) + 1), std::string(expected, length + 1));
    EXPECT_NE(out.find("\"name\":\"\xC2\xA7"
                       "fabcdefghijklmnop\""),
              std::string::npos);
}

TEST(RoomStatusFormat, TruncatesLikeSnprintfAndReturnsTheFullLength)
{
    std::int32_t full = 0;
    std::string whole = format_room(16384, "nick", "room", "owner", &full);
    ASSERT_GT(full, 100);

    struct case_t {
        std::uint32_t size;
        std::size_t written; // bytes of the document before the NUL
    };
    const case_t cases[] = {
        {1, 0},
        {10, 9},
        {static_cast<std::uint32_t>(full), static_cast<std::size_t>(full) - 1},
        {static_cast<std::uint32_t>(full) + 1, static_cast<std::size_t>(full)},
    };
    for (const case_t& c : cases) {
        std::int32_t length = 0;
        std::string out = format_room(c.size, "nick", "room", "owner", &length);
        EXPECT_EQ(length, full) << "size " << c.size;
        EXPECT_EQ(out.substr(0, c.written), whole.substr(0, c.written)) << "size " << c.size;
        EXPECT_EQ(out[c.written], '\0') << "size " << c.size;
        EXPECT_EQ(out[c.written + 1], '#') << "size " << c.size << ": wrote past the NUL";
    }

    std::int32_t length = 0;
    std::string untouched = format_room(0, "nick", "room", "owner", &length);
    EXPECT_EQ(length, full);
    EXPECT_EQ(untouched, std::string(8, '#')) << "size 0 must write nothing";
}

TEST(RoomStatusFormat, EscapesNamesIntoValidJsonWithTheExactText)
{
    const std::string nasty_nick = "a\"b\\c";
    const std::string nasty_room = std::string("tab\there\nnew\x01\x1F\r\b\f") + "\xC2\xA7";
    const std::string nasty_owner = "\"\\\"";

    std::int32_t length = 0;
    std::string out = format_room(16384, nasty_nick, nasty_room, nasty_owner, &length);
    json_reader reader(std::string_view(out.data(), static_cast<std::size_t>(length)));
    ASSERT_TRUE(reader.valid()) << out.substr(0, static_cast<std::size_t>(length));
    EXPECT_TRUE(contains(reader.strings, "\xC2\xA7"
                                         "f" +
                                             nasty_nick));
    EXPECT_TRUE(contains(reader.strings, nasty_room));
    EXPECT_TRUE(contains(reader.strings, " by " + nasty_owner));
    EXPECT_NE(out.find(R"("tab\there\nnew\u0001\u001f\r\b\f)"), std::string::npos);

    // The escapes count towards the returned length and the truncation.
    std::int32_t cut_length = 0;
    std::string cut =
        format_room(static_cast<std::uint32_t>(length), nasty_nick, nasty_room, nasty_owner, &cut_length);
    EXPECT_EQ(cut_length, length);
    EXPECT_EQ(cut.substr(0, static_cast<std::size_t>(length) - 1),
              out.substr(0, static_cast<std::size_t>(length) - 1));
}
