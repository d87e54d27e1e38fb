#include "build_config.h"
#include "control/base64.h"
#include "game/status.h"

#include "json_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Parses the document as strict JSON and checks that it holds each text and,
// as its favicon, assets/logo.png: a PNG of 64 x 64 RGBA pixels.
void expect_document(std::string_view document, std::initializer_list<std::string> texts, bool favicon)
{
    json_reader reader(document);
    ASSERT_TRUE(reader.valid()) << document;
    for (const std::string& text : texts)
        EXPECT_NE(std::find(reader.strings.begin(), reader.strings.end(), text), reader.strings.end())
            << text;
    if (!favicon)
        return;
    std::ifstream file(NIMBREL_SOURCE_DIR "/assets/logo.png", std::ios::binary);
    std::vector<std::uint8_t> png{std::istreambuf_iterator<char>(file), {}};
    // Signature, IHDR, width 64, height 64, 8 bits per channel, colour type 6.
    const std::vector<std::uint8_t> header = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0,  13, 'I',
                                              'H',  'D', 'R', 0,   0,    0,    64,   0,    0, 0, 64, 8,  6};
    ASSERT_GT(png.size(), header.size());
    EXPECT_TRUE(std::equal(header.begin(), header.end(), png.begin()));
    std::string encoded(base64_length(static_cast<std::uint32_t>(png.size())) + 1, '\0');
    base64_encode(png.data(), static_cast<std::uint32_t>(png.size()), encoded.data());
    encoded.pop_back();
    EXPECT_NE(document.find("\"favicon\":\"data:image/png;base64," + encoded + "\""), std::string_view::npos)
        << "the favicon is not assets/logo.png; run node assets/draw-logo.mjs";
}

} // namespace

TEST(StatusDocuments, AreStrictJsonWithTheirTextsAndTheLogoAsFavicon)
{
    expect_document(standby_status.view(),
                    {"\xC2\xA7"
                     "fv1",
                     std::string(status_tagline), ".\n", site_domain},
                    true);
    expect_document(standby_disconnect.view(), {" is in standby mode, "}, false);
    std::int32_t length = 0;
    std::string room = format_room(16384, "", "", "", &length);
    expect_document(std::string_view(room.data(), static_cast<std::size_t>(length)), {" by "}, true);
    room = format_room(16384, "", "", "", &length, "No \"route\"");
    expect_document(std::string_view(room.data(), static_cast<std::size_t>(length)),
                    {" by ", "\nThe room's server cannot be reached: No \"route\""}, true);
}

TEST(RoomStatusFormat, EscapesEachNameUpToItsWidthOrNulAndTruncatesLikeSnprintf)
{
    const std::string_view nick("a\"b\\cdefghijklmnXYZ", 16);
    const std::string_view room("tab\there\nnew\x01\x1F\r\b\f\xC2\xA7\0tail", 20);
    std::int32_t full = 0;
    std::string whole = format_room(16384, nick, room, "\"\\\"", &full);
    expect_document(std::string_view(whole.data(), static_cast<std::size_t>(full)),
                    {"\xC2\xA7"
                     "fa\"b\\cdefghijklmn",
                     "tab\there\nnew\x01\x1F\r\b\f\xC2\xA7", " by \"\\\""},
                    false);
    EXPECT_NE(whole.find(R"("tab\there\nnew\u0001\u001f\r\b\f)"), std::string::npos);

    // The escapes count towards the returned length and the truncation.
    for (std::uint32_t size :
         {0u, 1u, 10u, static_cast<std::uint32_t>(full), static_cast<std::uint32_t>(full) + 1}) {
        std::int32_t length = 0;
        std::string out = format_room(size, nick, room, "\"\\\"", &length);
        EXPECT_EQ(length, full) << "size " << size;
        std::size_t kept = std::min<std::size_t>(size - 1, static_cast<std::size_t>(full));
        EXPECT_EQ(out, size == 0 ? std::string(8, '#')
                                 : whole.substr(0, kept) + '\0' + std::string(out.size() - kept - 1, '#'))
            << "size " << size;
    }
}
