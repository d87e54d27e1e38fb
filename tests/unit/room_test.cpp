#include "control/room.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

// The addresses are read end to end, by proxies to IPv4, IPv6 and mapped rooms.
TEST(RoomRecord, GivesNamesUpToTheFirstNulOrTheirFullWidth)
{
    room_reset();
    room_length = room_length_ipv4;
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
