// The browser connections once they sit in a slot, from the opening handshake
// to the open channel. Their bytes are gathered per slot and handled in units:
// the opening request up to its blank line, then each frame.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t ws_state_handshake = 0;
inline constexpr std::uint32_t ws_state_open = 1;

// One read on the slot's connection and every unit it completes.
void ws_on_readable(int slot);

// Answers the request in bytes (101 with the opening frames, or 400) and opens
// the connection. True when it was closed with ws_close instead.
bool ws_handshake(int slot, const std::uint8_t* bytes, std::int32_t count);

// Logs, closes the connection and frees its slot. What the page takes at once
// of its waiting output still leaves.
void ws_close(int slot);
