#include "control/room.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
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

TEST(RoomRecord, WritesAddressesInTheirShortFormIPv6AsRfc5952Asks)
{
    const std::pair<const char*, const char*> cases[] = {
        {"::1", "[::1]"},
        {"::", "[::]"},
        {"2001:DB8:0:0:0:0:0:7", "[2001:db8::7]"},
        {"2001:db8:0:1:1:1:1:1", "[2001:db8:0:1:1:1:1:1]"}, // one zero group stays
        {"2001:0:0:1:0:0:0:0", "[2001:0:0:1::]"},           // the longest run
        {"2001:db8:0:0:1:0:0:1", "[2001:db8::1:0:0:1]"},    // the first of equals
        {"fe80:0abc:0:0:0:ffff:0:1", "[fe80:abc::ffff:0:1]"},
        {"::ffff:10.0.0.1", "[::ffff:10.0.0.1]"}};
    for (const auto& [given, written] : cases) {
        std::uint8_t record[room_record_size] = {};
        record[room_address_offset] = 0x63; // port 25565
        record[room_address_offset + 1] = 0xDD;
        inet_pton(AF_INET6, given, record + room_address_offset + 2);
        for (std::uint32_t i = room_address_offset; i < room_length_ipv6; i++)
            record[i] ^= room_address_scramble;
        char text[64];
        std::int32_t length = room_address_text(room_address_of(record, room_length_ipv6), text, sizeof text);
        EXPECT_EQ(std::string(text, static_cast<std::size_t>(length)), std::string(written) + ":25565");
    }
}
