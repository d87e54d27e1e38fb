// The room record: the payload of the last accepted room command, kept byte for
// byte. It alone says whether a room is joined, where, and under which names.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t room_record_size = 98;
inline constexpr std::uint32_t room_length_none = 0;
inline constexpr std::uint32_t room_length_ipv4 = 86;
inline constexpr std::uint32_t room_length_ipv6 = 98;

inline constexpr std::uint32_t room_site_data_offset = 0;
inline constexpr std::uint32_t room_site_data_size = 16;
inline constexpr std::uint32_t room_name_offset = 16;
inline constexpr std::uint32_t room_name_size = 32;
inline constexpr std::uint32_t room_owner_offset = 48;
inline constexpr std::uint32_t room_owner_size = 16;
inline constexpr std::uint32_t room_nick_offset = 64;
inline constexpr std::uint32_t room_nick_size = 16;
inline constexpr std::uint32_t room_address_offset = 80;

// Every address byte, the port's included, travels XORed with this value.
inline constexpr std::uint8_t room_address_scramble = 0xC7;

extern std::uint8_t room_record[room_record_size];
extern std::uint32_t room_length;

enum class room_field { room_name, owner_name, nick };

struct room_text_result {
    std::int32_t length;      // bytes before the first NUL, or the field's width
    const std::uint8_t* text; // the field's first byte in room_record
};

room_text_result room_text(room_field field);
// The same in a kept copy of a record.
room_text_result room_text_of(const std::uint8_t* record, room_field field);

struct room_address_result {
    bool ipv6;
    bool mapped;              // given as an IPv4-mapped IPv6 address
    std::uint8_t port[2];     // network order
    std::uint8_t address[16]; // network order; 4 bytes used for IPv4
};

// The descrambled address of the joined room; valid while room_length is 86 or
// 98. An IPv4-mapped IPv6 address comes back as the IPv4 address it holds,
// marked mapped.
room_address_result room_address();
// The same in a kept copy of a record of length 86 or 98.
room_address_result room_address_of(const std::uint8_t* record, std::uint32_t length);

// The address as a person writes it: "10.0.0.1:25565", "[2001:db8::1]:25565"
// (the short form of RFC 5952) or "[::ffff:10.0.0.1]:25565" for a mapped one.
// NUL-terminated within capacity (64 suffices); returns the length.
std::int32_t room_address_text(const room_address_result& address, char* out, std::int32_t capacity);

// No room joined, as at start-up; for tests.
void room_reset();
