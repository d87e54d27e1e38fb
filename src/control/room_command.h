// Room commands: binary frames that join a room or leave it.
#pragma once

#include <cstdint>

// Takes the unmasked payload of a binary frame. A payload of 0, 86 or 98 bytes
// becomes the room record, is echoed to every open page and drops the game
// client; any other length is ignored.
void room_command(const std::uint8_t* payload, std::uint32_t length);
