#include "control/frame.h"
#include "host/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

const std::uint8_t key[4] = {0x37, 0xFA, 0x21, 0x3D};

// A client frame with the length written in the given form (0: 7-bit,
// 2 or 8: extended) and a declared length that may differ from the payload.
bytes frame(std::uint8_t first, const std::string& payload, int form, std::uint64_t declared,
            bool masked = true)
{
    bytes out{first};
    std::uint8_t mask_bit = masked ? ws_mask_bit : 0;
    if (form == 0) {
        out.push_back(static_cast<std::uint8_t>(mask_bit | declared));
    } else {
        out.push_back(static_cast<std::uint8_t>(mask_bit | (form == 2 ? ws_length_16 : ws_length_64)));
        for (int i = form - 1; i >= 0; i--)
            out.push_back(static_cast<std::uint8_t>(declared >> (8 * i)));
    }
    for (int i = 0; masked && i < 4; i++)
        out.push_back(key[i]);
    for (size_t i = 0; i < payload.size(); i++)
        out.push_back(static_cast<std::uint8_t>(payload[i] ^ (masked ? key[i % 4] : 0)));
    return out;
}

bytes frame(std::uint8_t first, const std::string& payload, int form = 0)
{
    return frame(first, payload, form, payload.size());
}

// Parses from a buffer of exactly the read's size, so that the sanitizers
// catch any byte read beyond it.
ws_frame parse(bytes& read)
{
    return ws_parse_frame(read.data(), static_cast<std::int32_t>(read.size()));
}

std::string text_of(const ws_frame& parsed)
{
    return std::string(reinterpret_cast<const char*>(parsed.payload), parsed.length);
}

} // namespace

TEST(WsParseFrame, UnmasksTextAndBinaryFramesInEveryLengthForm)
{
    struct {
        std::uint8_t first;
        std::string payload;
        int form;
        ws_frame_kind kind;
    } cases[] = {
        {0x81, "hello", 0, ws_frame_kind::text},
        {0x82, "", 0, ws_frame_kind::binary},
        {0x82, std::string(86, 'r'), 0, ws_frame_kind::binary},
        {0x82, std::string(125, 'r'), 0, ws_frame_kind::binary},
        {0x82, "short in the long form", 2, ws_frame_kind::binary},
        {0x82, std::string(300, 'x'), 2, ws_frame_kind::binary},
        {0x81, "eight-byte form", 8, ws_frame_kind::text},
        {0x02, std::string(98, 'y'), 0, ws_frame_kind::binary}, // FIN clear: still a whole message
        {0xF1, "rsv bits set", 0, ws_frame_kind::text},
    };
    for (const auto& c : cases) {
        bytes read = frame(c.first, c.payload, c.form);
        ws_frame parsed = parse(read);
        EXPECT_EQ(parsed.kind, c.kind) << c.payload.size() << " bytes, form " << c.form;
        EXPECT_EQ(text_of(parsed), c.payload) << c.payload.size() << " bytes, form " << c.form;
    }
}

TEST(WsParseFrame, RefusesControlContinuationReservedAndUnmaskedFrames)
{
    for (std::uint8_t first : {0x80, 0x88, 0x89, 0x8A, 0x83, 0x87, 0x8B, 0x8F}) {
        bytes read = frame(first, "x");
        EXPECT_EQ(parse(read).kind, ws_frame_kind::refused) << "byte 0 = " << int(first);
    }
    bytes unmasked = frame(0x82, std::string(86, 'u'), 0, 86, false);
    EXPECT_EQ(parse(unmasked).kind, ws_frame_kind::refused);
    // Unmasked, yet sized as if it had a key: the old size rule would take it.
    bytes padded = frame(0x82, std::string(90, 'u'), 0, 86, false);
    EXPECT_EQ(parse(padded).kind, ws_frame_kind::refused);
}

TEST(WsParseFrame, RefusesDeclaredLengthsThatWouldWrapOrTruncateToTheReadSize)
{
    std::string payload(20, 'p');
    // Each would match the read size once cut to 32 bits or added up in a
    // signed or 32-bit sum.
    std::uint64_t cases[] = {
        ~0ull,
        ~0ull - 13,
        (1ull << 32) + payload.size(),
        (1ull << 63) + payload.size(),
        payload.size() + 1,
        payload.size() - 1,
    };
    for (std::uint64_t declared : cases) {
        bytes read = frame(0x82, payload, 8, declared);
        EXPECT_EQ(parse(read).kind, ws_frame_kind::refused) << "declared " << declared;
    }
}

TEST(WsParseFrame, RefusesEveryPartOfAFrameAndAFrameWithMoreBehindIt)
{
    for (int form : {0, 2, 8}) {
        bytes whole = frame(0x82, std::string(86, 'j'), form);
        for (size_t cut = 0; cut < whole.size(); cut++) {
            bytes part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
            EXPECT_EQ(parse(part).kind, ws_frame_kind::refused)
                << "form " << form << ", first " << cut << " bytes";
        }
        bytes two = whole;
        bytes second = frame(0x81, "x");
        two.insert(two.end(), second.begin(), second.end());
        EXPECT_EQ(parse(two).kind, ws_frame_kind::refused) << "form " << form;
    }
}

TEST(WsWriteFrame, WritesUnmaskedFramesWithTheShortestLengthForm)
{
    struct {
        std::uint8_t opcode;
        std::uint32_t length;
        std::string header;
    } cases[] = {
        {ws_opcode_text, 1, std::string("\x81\x01", 2)},
        {ws_opcode_binary, 0, std::string("\x82\x00", 2)},
        {ws_opcode_binary, 86, "\x82\x56"},
        {ws_opcode_binary, 125, "\x82\x7D"},
        {ws_opcode_binary, 126, std::string("\x82\x7E\x00\x7E", 4)},
        {ws_opcode_binary, 300, "\x82\x7E\x01\x2C"},
    };
    for (const auto& c : cases) {
        bytes payload(c.length);
        for (std::uint32_t i = 0; i < c.length; i++)
            payload[i] = static_cast<std::uint8_t>(i * 7);
        ws_write_frame(c.opcode, payload.data(), c.length);
        bytes expected(c.header.begin(), c.header.end());
        expected.insert(expected.end(), payload.begin(), payload.end());
        EXPECT_EQ(bytes(recv_buf, recv_buf + recv_len), expected) << c.length << " bytes";
    }
}

TEST(WsWriteFrame, TakesAPayloadThatLiesInTheReceiveBuffer)
{
    for (int i = 0; i < 86; i++)
        recv_buf[6 + i] = static_cast<std::uint8_t>(i);
    ws_write_frame(ws_opcode_binary, recv_buf + 6, 86);
    ASSERT_EQ(recv_len, 88);
    for (int i = 0; i < 86; i++)
        ASSERT_EQ(recv_buf[2 + i], i);
}
