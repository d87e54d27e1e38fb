#include "control/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

const std::uint8_t key[4] = {0x37, 0xFA, 0x21, 0x3D};

// A masked client frame with its length in the given form (0: 7-bit, 2 or 8 bytes).
bytes frame(std::uint8_t first, const std::string& payload, int form = 0)
{
    std::uint8_t length = form == 0   ? static_cast<std::uint8_t>(payload.size())
                          : form == 2 ? ws_length_16
                                      : ws_length_64;
    bytes out{first, static_cast<std::uint8_t>(ws_mask_bit | length)};
    for (int i = form - 1; i >= 0; i--)
        out.push_back(static_cast<std::uint8_t>(payload.size() >> (8 * i)));
    for (std::uint8_t b : key)
        out.push_back(b);
    for (size_t i = 0; i < payload.size(); i++)
        out.push_back(static_cast<std::uint8_t>(payload[i] ^ key[i % 4]));
    return out;
}

// Parses from a buffer of exactly the read's size, so that the sanitizers
// catch any byte read beyond it; the buffer lives until the next parse.
ws_frame parse(const bytes& read)
{
    static bytes held;
    held = bytes(read);
    return ws_parse_frame(held.data(), static_cast<std::int32_t>(held.size()));
}

} // namespace

TEST(WsParseFrame, UnmasksDataFramesInEveryLengthFormAndRefusesAllOthers)
{
    const std::tuple<std::uint8_t, std::string, int, ws_frame_kind> cases[] = {
        {0x81, "hello", 0, ws_frame_kind::text},
        {0x82, "", 0, ws_frame_kind::binary},
        {0x82, std::string(125, 'r'), 0, ws_frame_kind::binary},
        {0x82, "short in the long form", 2, ws_frame_kind::binary},
        {0x82, std::string(300, 'x'), 2, ws_frame_kind::binary},
        {0x81, "eight-byte form", 8, ws_frame_kind::text},
        {0x02, std::string(98, 'y'), 0, ws_frame_kind::binary}, // FIN clear: still a whole message
        {0xF1, "rsv bits set", 0, ws_frame_kind::text},
    };
    for (const auto& [first, payload, form, kind] : cases) {
        ws_frame parsed = parse(frame(first, payload, form));
        EXPECT_EQ(
            std::pair(parsed.kind, std::string(reinterpret_cast<const char*>(parsed.payload), parsed.length)),
            std::pair(kind, payload))
            << payload.size() << " bytes, form " << form;
    }
    // Continuation, control and reserved opcodes.
    for (std::uint8_t first : {0x80, 0x88, 0x89, 0x8A, 0x83, 0x87, 0x8B, 0x8F})
        EXPECT_EQ(parse(frame(first, "x")).kind, ws_frame_kind::refused) << "byte 0 = " << int(first);
    // Unmasked, though sized as if it had a key.
    bytes unmasked = frame(0x82, std::string(86, 'u'));
    unmasked[1] &= ~ws_mask_bit;
    EXPECT_EQ(parse(unmasked).kind, ws_frame_kind::refused);
}
