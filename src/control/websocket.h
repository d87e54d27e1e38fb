// The browser connections once they sit in a slot, from the opening handshake
// to the open channel. Their bytes are gathered per slot and handled in units:
// the opening request up to its blank line, then each frame.
#pragma once

#include <cstdint>

// What handling a unit did to the connection and the room.
enum class ws_unit_result : std::uint8_t {
    open,
    closed,       // closed with ws_close
    room_changed, // a room command was taken; the connection stays
};

// Takes count bytes that a read put behind the slot's gathered input in ws_in,
// and handles every unit they complete. True when a room command among them
// changed the room.
bool ws_received(int slot, std::int32_t count);

// Answers the request in bytes (101 with the opening frames, or 400) and opens
// the connection. True when it was closed with ws_close instead.
bool ws_handshake(int slot, const std::uint8_t* bytes, std::int32_t count);

// Handles the frame in recv_buf of an open connection: a text frame is
// ignored, a binary frame is a room command, anything else closes it.
ws_unit_result ws_read_frame(int slot);
