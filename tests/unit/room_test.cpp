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

TEST(RoomRecord, WritesAddressesInTheirShortestForm)
{
    const struct {
        std::initializer_list<unsigned> groups; // eight for IPv6, else four bytes
        bool mapped;
        const char* text;
    } cases[] = {
        {{10, 0, 0, 1}, false, "10.0.0.1:25565"},
        {{127, 0, 0, 1}, true, "[::ffff:127.0.0.1]:25565"},
        {{0, 0, 0, 0, 0, 0, 0, 1}, false, "[::1]:25565"},
        {{0, 0, 0, 0, 0, 0, 0, 0}, false, "[::]:25565"},
        {{0x2001, 0xdb8, 0, 0, 0, 0, 0, 7}, false, "[2001:db8::7]:25565"},
        {{0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}, false, "[2001:db8:0:1:1:1:1:1]:25565"}, // one zero stays
        {{0x2001, 0, 0, 1, 0, 0, 0, 0}, false, "[2001:0:0:1::]:25565"},          // the longest run
        {{0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}, false, "[2001:db8::1:0:0:1]:25565"},  // the first of equals
        {{0xFE80, 0xABCD, 0x0BEE, 0xF, 0x10, 0xFFFF, 0, 0x100}, false, "[fe80:abcd:bee:f:10:ffff:0:100]:25565"},
    };
    for (const auto& c : cases) {
        room_address_result address{c.groups.size() == 8, c.mapped, {0x63, 0xDD}, {}};
        int i = 0;
        for (unsigned g : c.groups) {
            if (address.ipv6)
                address.address[i++] = static_cast<std::uint8_t>(g >> 8);
            address.address[i++] = static_cast<std::uint8_t>(g);
        }
        char text[64];
        std::int32_t length = room_address_text(address, text, sizeof text);
        EXPECT_EQ(std::string(text, static_cast<std::size_t>(length)), c.text);
    }
}
