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

}  // namespace

TEST(RoomText, EndsAtTheFirstNulOrFillsTheWholeField)
{
    room_reset();
    room_length = room_length_ipv4;
    std::memcpy(room_record + room_name_offset, "Hello", 5);
    std::memset(room_record + room_nick_offset, 'n', room_nick_size);
    std::memset(room_record + room_owner_offset, 'o', room_owner_size);
    room_record[room_owner_offset + 3] = 0;
    room_record[room_nick_offset + room_nick_size] = 'x';  // the address's first byte is not part of the nick

    EXPECT_EQ(text_of(room_field::room_name), "Hello");
    EXPECT_EQ(text_of(room_field::owner_name), "ooo");
    EXPECT_EQ(text_of(room_field::nick), std::string(16, 'n'));

    std::memset(room_record + room_name_offset, 'r', room_name_size);
    EXPECT_EQ(text_of(room_field::room_name), std::string(32, 'r'));
}

TEST(RoomAddress, DescramblesPortAndAddressOfBothFamilies)
{
    room_reset();
    const std::uint8_t plain_v4[] = {0x63, 0xDD, 10, 0, 0, 1};
    for (size_t i = 0; i < sizeof plain_v4; i++)
        room_record[room_address_offset + i] = plain_v4[i] ^ room_address_scramble;
    room_length = room_length_ipv4;
    room_address_result v4 = room_address();
    EXPECT_FALSE(v4.ipv6);
    EXPECT_EQ((v4.port[0] << 8) | v4.port[1], 25565);
    EXPECT_EQ(std::memcmp(v4.address, plain_v4 + 2, 4), 0);
    EXPECT_EQ(room_record[room_address_offset], 0x63 ^ room_address_scramble) << "the record keeps its scrambled bytes";

    std::uint8_t plain_v6[18] = {0x1F, 0x90};
    plain_v6[17] = 1;  // ::1
    for (size_t i = 0; i < sizeof plain_v6; i++)
        room_record[room_address_offset + i] = plain_v6[i] ^ room_address_scramble;
    room_length = room_length_ipv6;
    room_address_result v6 = room_address();
    EXPECT_TRUE(v6.ipv6);
    EXPECT_EQ((v6.port[0] << 8) | v6.port[1], 8080);
    EXPECT_EQ(std::memcmp(v6.address, plain_v6 + 2, 16), 0);
}
