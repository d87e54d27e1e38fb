#include "control/room.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(RoomRecord, GivesNamesUpToTheirWidthOrFirstNulAndTheDescrambledAddress)
{
    const std::uint8_t v4[] = {0x63, 0xDD, 10, 0, 0, 1};
    std::uint8_t v6[18] = {0x1F, 0x90, 0x20, 0x01};
    v6[17] = 1;
    for (std::uint32_t length : {room_length_ipv4, room_length_ipv6}) {
        room_reset();
        room_length = length;
        const std::uint8_t* plain = length == room_length_ipv4 ? v4 : v6;
        size_t size = length == room_length_ipv4 ? 6 : 18;
        for (size_t i = 0; i < size; i++)
            room_record[room_address_offset + i] = plain[i] ^ room_address_scramble;
        room_address_result address = room_address();
        EXPECT_EQ(address.ipv6, length == room_length_ipv6);
        EXPECT_EQ((address.port[0] << 8) | address.port[1], length == room_length_ipv4 ? 25565 : 8080);
        EXPECT_EQ(std::memcmp(address.address, plain + 2, size - 2), 0) << length;
        EXPECT_EQ(room_record[room_address_offset], plain[0] ^ room_address_scramble)
            << "the record stays scrambled";
    }

    std::memset(room_record + room_name_offset, 'r', room_name_size);
    std::memcpy(room_record + room_owner_offset, "own\0er", 6);
    std::memset(room_record + room_nick_offset, 'n', room_nick_size); // then the address's first byte
    auto text_of = [](room_field field) {
        room_text_result result = room_text(field);
        return std::string(reinterpret_cast<const char*>(result.text), static_cast<size_t>(result.length));
    };
    EXPECT_EQ(text_of(room_field::room_name), std::string(32, 'r'));
    EXPECT_EQ(text_of(room_field::owner_name), "own");
    EXPECT_EQ(text_of(room_field::nick), std::string(16, 'n'));
}
