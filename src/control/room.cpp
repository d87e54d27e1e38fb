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
        result.mapped = true;
        std::memmove(result.address, result.address + sizeof ipv4_mapped_prefix, 4);
    }
    return result;
}

std::int32_t room_address_text(const room_address_result& address, char* out, std::int32_t capacity)
{
    unsigned port = address.port[0] << 8 | address.port[1];
    const std::uint8_t* a = address.address;
    if (!address.ipv6) {
        int length = std::snprintf(out, static_cast<size_t>(capacity), "%s%u.%u.%u.%u%s:%u",
                                   address.mapped ? "[::ffff:" : "", a[0], a[1], a[2], a[3],
                                   address.mapped ? "]" : "", port);
        return length < 0 ? 0 : length < capacity ? length : capacity - 1;
    }
    // The longest run of two or more zero groups, the first of equals, is
    // written "::"; every group in lower-case hex without leading zeros.
    unsigned groups[8];
    int run_start = 8;
    int run_length = 1;
    for (int i = 0; i < 8; i++)
        groups[i] = static_cast<unsigned>(a[2 * i] << 8 | a[2 * i + 1]);
    for (int i = 0, zeros = 0; i < 8; i++) {
        zeros = groups[i] == 0 ? zeros + 1 : 0;
        if (zeros > run_length) {
            run_length = zeros;
            run_start = i + 1 - zeros;
        }
    }
    char text[48] = "[";
    std::size_t at = 1;
    for (int i = 0; i < 8; i++) {
        if (i == run_start) {
            at += static_cast<std::size_t>(std::snprintf(text + at, sizeof text - at, "::"));
            i += run_length - 1;
            continue;
        }
        bool after_run = i == run_start + run_length;
        at += static_cast<std::size_t>(
            std::snprintf(text + at, sizeof text - at, "%s%x", i == 0 || after_run ? "" : ":", groups[i]));
    }
    int length = std::snprintf(out, static_cast<size_t>(capacity), "%s]:%u", text, port);
    return length < 0 ? 0 : length < capacity ? length : capacity - 1;
}

void room_reset()
{
    std::memset(room_record, 0, sizeof room_record);
    room_length = room_length_none;
}
