#include "control/room.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string text_of(room_field field)
{
    room_text_result result = room_text(field);
    return std::string(reinterpret_cast<const char*>(result.text), static_cast<size_t>(result.length));
}

} // namespace

TEST(RoomText, EndsAtTheFirstNulOrFillsTheWholeField)
{
    room_reset();
    room_length = room_length_ipv4;
    std::memcpy(room_record + room_name_offset, "Hello", 5);
    std::memset(room_record + room_nick_offset, 'n', room_nick_size);
    std::memset(room_record + room_owner_offset, 'o', room_owner_size);
    room_record[room_owner_offset + 3] = 0;
    room_record[room_nick_offset + room_nick_size] = 'x'; // the address's first byte is not part of the nick
    EXPECT_EQ(text_of(room_field::room_name), "Hello");
    EXPECT_EQ(text_of(room_field::owner_name), "ooo");
    EXPECT_EQ(text_of(room_field::nick), std::string(16, 'n'));
}

TEST(RoomAddress, DescramblesPortAndAddressOfBothFamilies)
{
    const std::uint8_t v4[] = {0x63, 0xDD, 10, 0, 0, 1};
    std::uint8_t v6[18] = {0x1F, 0x90, 0x20, 0x01};
    v6[17] = 1;
    struct {
        const std::uint8_t* plain;
        std::uint32_t length;
        int port;
    } cases[] = {{v4, room_length_ipv4, 25565}, {v6, room_length_ipv6, 8080}};
    for (const auto& c : cases) {
        room_reset();
        room_length = c.length;
        size_t size = c.length == room_length_ipv6 ? 18 : 6;
        for (size_t i = 0; i < size; i++)
            room_record[room_address_offset + i] = c.plain[i] ^ room_address_scramble;
        room_address_result result = room_address();
        EXPECT_EQ(result.ipv6, c.length == room_length_ipv6);
        EXPECT_EQ((result.port[0] << 8) | result.port[1], c.port);
        EXPECT_EQ(std::memcmp(result.address, c.plain + 2, size - 2), 0) << c.length;
        EXPECT_EQ(room_record[room_address_offset], c.plain[0] ^ room_address_scramble)
            << "the record stays scrambled";
    }
}
