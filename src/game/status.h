// The status documents: what the game client's server list shows, and the
// text of a refused login.
#pragma once

#include <cstdint>

// Formats the joined room's status document into out with snprintf's
// conventions (at most size - 1 bytes and a NUL; nothing with size 0). Each
// text is taken up to its length or its first NUL. Returns the full length.
std::int32_t room_status_format(std::uint8_t* out, std::uint32_t size, std::int32_t nick_length,
                                const std::uint8_t* nick, std::int32_t room_name_length,
                                const std::uint8_t* room_name, std::int32_t owner_length,
                                const std::uint8_t* owner);
