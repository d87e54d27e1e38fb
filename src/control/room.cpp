#include "control/room.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint8_t ipv4_mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

} // namespace

std::uint8_t room_record[room_record_size];
std::uint32_t room_length;

room_text_result room_text(room_field field)
{
    return room_text_of(room_record, field);
}

room_text_result room_text_of(const std::uint8_t* record, room_field field)
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
    const std::uint8_t* text = record + offset;
    const void* nul = std::memchr(text, 0, width);
    std::int32_t length = nul != nullptr ? static_cast<const std::uint8_t*>(nul) - text : width;
    return {length, text};
}

room_address_result room_address()
{
    return room_address_of(room_record, room_length);
}

room_address_result room_address_of(const std::uint8_t* record, std::uint32_t length)
{
    room_address_result result{};
    result.ipv6 = length == room_length_ipv6;
    const std::uint8_t* scrambled = record + room_address_offset;
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

std::int32_t room_address_text(const room_address_result& address, char* out, std::int32_t capacity)
{
    unsigned port = address.port[0] << 8 | address.port[1];
    const std::uint8_t* a = address.address;
    int length;
    if (!address.ipv6) {
        length = std::snprintf(out, static_cast<size_t>(capacity), "%u.%u.%u.%u:%u", a[0], a[1], a[2], a[3], port);
    } else {
        length = std::snprintf(out, static_cast<size_t>(capacity), "[%x:%x:%x:%x:%x:%x:%x:%x]:%u",
                               a[0] << 8 | a[1], a[2] << 8 | a[3], a[4] << 8 | a[5], a[6] << 8 | a[7],
                               a[8] << 8 | a[9], a[10] << 8 | a[11], a[12] << 8 | a[13], a[14] << 8 | a[15], port);
    }
    return length < 0 ? 0 : length < capacity ? length : capacity - 1;
}

void room_reset()
{
    std::memset(room_record, 0, sizeof room_record);
    room_length = room_length_none;
}
