#include "proxy/farewell.h"

#include "game_bytes.h"

#include <gtest/gtest.h>

namespace {

client_form form(game_stage stage, std::int32_t protocol, bool compressed = true)
{
    return {stage, protocol, packet_ids_for(protocol), compressed};
}

bytes transfer(const client_form& f)
{
    std::uint8_t out[farewell_buf_size];
    return bytes(out, out + write_transfer(out, f));
}

bytes disconnect(const client_form& f, std::string_view message)
{
    std::uint8_t out[farewell_buf_size];
    const text_piece pieces[] = {
        {reinterpret_cast<const std::uint8_t*>(message.data()), static_cast<std::int32_t>(message.size())}};
    return bytes(out, out + write_disconnect(out, f, pieces, 1));
}

} // namespace

TEST(Farewell, TransferGoesToTheGamePortWhereTheStageHasOne)
{
    const bytes fields = cat({varint(9), text("127.0.0.1"), varint(25565)});
    EXPECT_EQ(transfer(form(game_stage::play, 769)), frame(cat({{0x00, 0x7A}, fields})));
    EXPECT_EQ(transfer(form(game_stage::configuration, 766, false)), frame(cat({{0x0B}, fields})));
    for (const client_form& none : {form(game_stage::play, 765), form(game_stage::login, 769),
                                    form(game_stage::unknown, 769), form(game_stage::play, 9999)})
        EXPECT_TRUE(transfer(none).empty());
}

TEST(Farewell, DisconnectTakesTheStagesFormAndCarriesAnyTextSafely)
{
    // JSON as a string field, from the login stage and before 1.20.3.
    const std::string message = "Left \"A\\B\"\n by \x01 \xFF\xC0\xAF ok";
    const bytes json = text(R"({"text":"Left \"A\\B\"\n by \u0001 ��� ok"})");
    const bytes field = cat({varint(static_cast<std::int32_t>(json.size())), json});
    EXPECT_EQ(disconnect(form(game_stage::login, 769), message), frame(cat({{0x00, 0x00}, field})));
    EXPECT_EQ(disconnect(form(game_stage::play, 47, false), message), frame(cat({{0x40}, field})));
    EXPECT_EQ(disconnect(form(game_stage::configuration, 764), message), frame(cat({{0x00, 0x01}, field})));

    // An NBT string tag in modified UTF-8 from 1.20.3 on: bytes that are not
    // UTF-8 become U+FFFD, a character past U+FFFF a surrogate pair.
    bytes nbt = disconnect(form(game_stage::play, 769), "a\xFF\xF0\x9F\x98\x80\xC3\xA9\"");
    const bytes text = {'a', 0xEF, 0xBF, 0xBD, 0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80, 0xC3, 0xA9, '"'};
    EXPECT_EQ(nbt, frame(cat({{0x00, 0x1D, 0x08, 0x00, static_cast<std::uint8_t>(text.size())}, text})));
    EXPECT_EQ(disconnect(form(game_stage::configuration, 766), "x")[2], 0x02);

    for (const client_form& none : {form(game_stage::status, 769), form(game_stage::handshake, 769),
                                    form(game_stage::unknown, 769), form(game_stage::play, 9999)})
        EXPECT_TRUE(disconnect(none, "x").empty());
    EXPECT_FALSE(disconnect(form(game_stage::login, 9999), "x").empty())
        << "the login's form is known always";
}
