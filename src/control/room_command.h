// Room commands: binary frames that join a room or leave it.
#pragma once

#include <cstdint>

// Takes the unmasked payload of a binary frame. A payload of 0, 86 or 98 bytes
// becomes the room record and is echoed to every open page; any other length
// is ignored. True when the record changed: the game client's connections are
// then to meet the new record.
bool room_command(const std::uint8_t* payload, std::uint32_t length);
