#include "control/room.h"

#include <cstring>

namespace {

constexpr std::uint8_t ipv4_mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

} // namespace

std::uint8_t room_record[room_record_size];
std::uint32_t room_length;

room_text_result room_text(room_field field)
{
    std::uint32_t offset = room_nick_offset;
    std::uint32_t width = room_nick_size;
    if (field == room_field::room_name) {
        offset = room_name_offset;
        width = room_name_size;
    } else if (field == room_field::owner_name) {
        offset = room_owner_offset;
        width = room_owner_size;
    }
    const std::uint8_t* text = room_record + offset;
    const void* nul = std::memchr(text, 0, width);
    std::int32_t length = nul != nullptr ? static_cast<const std::uint8_t*>(nul) - text : width;
    return {length, text};
}

room_address_result room_address()
{
    room_address_result result{};
    result.ipv6 = room_length == room_length_ipv6;
    const std::uint8_t* scrambled = room_record + room_address_offset;
    result.port[0] = scrambled[0] ^ room_address_scramble;
    result.port[1] = scrambled[1] ^ room_address_scramble;
    std::uint32_t address_size = result.ipv6 ? 16 : 4;
    for (std::uint32_t i = 0; i < address_size; i++)
        result.address[i] = scrambled[2 + i] ^ room_address_scramble;
    // An IPv4 address in IPv6 form (::ffff:a.b.c.d, as Node reports IPv4
    // peers) is reached over IPv4: Windows keeps IPv6 sockets IPv6-only.
    if (result.ipv6 && std::memcmp(result.address, ipv4_mapped_prefix, sizeof ipv4_mapped_prefix) == 0) {
        result.ipv6 = false;
        std::memmove(result.address, result.address + sizeof ipv4_mapped_prefix, 4);
    }
    return result;
}

void room_reset()
{
    std::memset(room_record, 0, sizeof room_record);
    room_length = room_length_none;
}
