// Packets of the proxy's own toward the game client, which end its
// connection in a way the player can read.
#pragma once

#include "game/chat.h"
#include "proxy/follow.h"

#include <cstdint>

// Room for the longest farewell: four room texts or an address and an error
// text, each byte of them escaped or widened as its form needs.
inline constexpr std::int32_t farewell_buf_size = 2048;

// Chat components are NBT from this protocol version (1.20.3) on, JSON before.
inline constexpr std::int32_t protocol_nbt_chat = 765;

// The player's texts, joined around the room texts: "You left Lobby by Ann."
// then either "Join again to enter Arena by Bob." or "Pick a room on site.";
// and for a room that cannot be reached, "The server of Lobby by Ann at
// 10.0.0.1:25565 cannot be reached: Connection refused."
inline constexpr const char* left_parts[] = {"You left ", " by "};
inline constexpr const char* switch_parts[] = {". Join again to enter ", " by ", "."};
inline constexpr const char* leave_parts[] = {". Pick a room on ", "."};
inline constexpr const char* unreachable_parts[] = {"The server of ", " by ", " at ",
                                                    " cannot be reached: ", "."};

// Writes a Transfer to 127.0.0.1 and the game port, as the client's stage
// reads it. Returns its length, 0 when the stage has none.
std::int32_t write_transfer(std::uint8_t* out, const client_form& form);

// Writes a disconnect whose text is the pieces joined, where a period that
// would follow another is left out. Returns its length, 0 when the stage has
// none or the message does not fit.
std::int32_t write_disconnect(std::uint8_t* out, const client_form& form, const text_piece* pieces,
                              int count);
