// The standby responder: a minimal game server for while no room is joined.
// It answers one status request or ping, or refuses one login, then closes.
#pragma once

#include "host/registry.h"

#include <cstdint>

inline constexpr std::int32_t no_room_packet_size = 8192;
// Packets are framed by a one-byte length, so a body never exceeds this.
inline constexpr std::int32_t no_room_max_body = 127;

// The state of the one standby connection, meaningful while handle_kind is
// handle_no_room. no_room_packet gathers the current packet's body and is
// then overwritten by the reply.
extern std::uint8_t no_room_packet[no_room_packet_size];
extern std::int32_t no_room_count;
extern std::int32_t no_room_remaining;  // 0 while the next byte is a length
extern std::uint8_t no_room_next_state; // 0 before a handshake, then 1 or 2

enum class no_room_action : std::uint8_t {
    next_byte,       // keep reading
    reply_then_drop, // send the reply_length bytes of no_room_packet, then drop
    drop,            // drop the connection without a reply
};

struct no_room_outcome {
    no_room_action action;
    std::int32_t reply_length;
};

// Starts serving the game client just put in client_sock.
void no_room_reset();

// Takes one byte of the game client's stream; no I/O, but it writes the
// packet log lines. A reply is built at the start of no_room_packet.
no_room_outcome no_room_step(std::uint8_t byte);

// Takes the bytes of one read from the game client. A reply asks to end the
// handler once it has left; a packet that cannot be answered, at once.
handler_step no_room_received(const std::uint8_t* bytes, std::int32_t count);

// Logs the drop and ends the handler.
void no_room_kill();

// Clears the responder's state and buffer as at start-up; for tests.
void standby_reset();
