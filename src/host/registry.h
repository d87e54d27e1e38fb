// The registry of open connections: browser slots, the one game-client
// handler, and the receive buffer that every read shares.
#pragma once

#include "platform/platform.h"

#include <cstdint>

inline constexpr std::uint16_t ws_master_port = 48026;
inline constexpr std::uint16_t mc_master_port = 25565;
inline constexpr int listen_backlog = 3;
inline constexpr unsigned listener_retry_pause_ms = 3000;
inline constexpr unsigned ws_master_max_failures = 3; // a fourth failure ends the program

inline constexpr int ws_slot_count = 16;
// Every read takes at most recv_buf_size bytes, except the relay's: a proxy
// reads up to relay_read_size at once and takes each recv_buf_size bytes of
// it as one read of its own.
inline constexpr std::int32_t recv_buf_size = 16384;
inline constexpr std::int32_t relay_read_size = 4 * recv_buf_size;

// A room-server socket that stays full this long ends the proxy: the game's own
// time-out would end the session anyway.
inline constexpr int send_block_limit_ms = 30000;

enum : std::uint8_t {
    handle_none = 0,
    handle_proxy = 1,
    handle_no_room = 2,
};

struct ws_slot {
    sock_t sock;            // 0 marks a free slot
    std::uint32_t state;    // 0 handshake pending, 1 open
    std::uint8_t origin_ok; // an accepted Origin was seen
};

extern ws_slot ws_slots[ws_slot_count];

extern std::uint8_t handle_kind;
extern sock_t client_sock;
extern sock_t server_sock;
// A game client that connected and stayed silent while a second one came to
// ping; it waits, unwatched, for the handler to end. invalid_sock when none.
extern sock_t held_sock;

extern std::uint8_t recv_buf[relay_read_size];
extern std::int32_t recv_len;

// Sends the whole range. True on failure, after "send fails" and the error
// text. A socket that would block is waited on until writable, for at most
// send_block_limit_ms.
bool send_all(sock_t sock, const std::uint8_t* bytes, std::int32_t length);
// The same for count non-empty ranges sent as one, with as few sends as the
// system allows. The ranges are used up in the process.
bool send_all_pieces(sock_t sock, net_piece* pieces, int count);

// Ends the current game-client handler, whatever its kind. Gently after a
// last packet to the game client: its connection then ends without a reset
// that could overtake that packet.
void close_handler(bool gently = false);

// Empties the registry as at start-up; for tests.
void registry_reset();
