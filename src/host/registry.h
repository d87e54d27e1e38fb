// The registry of open connections: browser slots, the one game-client
// handler, and the receive buffer that every read shares.
#pragma once

#include "host/outbuf.h"
#include "platform/platform.h"

#include <cstdint>

inline constexpr std::uint16_t ws_master_port = 48026;
inline constexpr std::uint16_t mc_master_port = 25565;
// Deep enough for a burst of page openings: the loop takes every pending
// connection in a pass.
inline constexpr int listen_backlog = 64;
inline constexpr unsigned listener_retry_pause_ms = 3000;
inline constexpr unsigned ws_master_max_failures = 3; // a fourth failure ends the program

inline constexpr int ws_slot_count = 16;
// Every read takes at most recv_buf_size bytes, except the relay's: a proxy
// reads up to relay_read_size at once and takes each recv_buf_size bytes of
// it as one read of its own. Large reads drain what a fast peer has sent in
// one call, so that the relay and its peers wake each other less often.
inline constexpr std::int32_t recv_buf_size = 16384;
inline constexpr std::int32_t relay_read_size = 16 * recv_buf_size;

// A proxy peer that takes none of the output waiting for it this long ends
// the proxy: the game's own time-out would end the session anyway.
inline constexpr int relay_stall_limit_ms = 30000;
// A page or a standby client whose output waits this long is closed, and so
// is a page that has not finished its opening handshake after this long.
inline constexpr int short_wait_limit_ms = 10000;

// While more than relay_out_bound bytes wait for one peer of a proxy, nothing
// is read that would add to them. A read then takes no more than leaves room
// for all it can produce: its own bytes and the packet its rewriter holds from
// before (at most relay_out_carry), so that at the bound at least
// relay_min_read bytes can be read.
inline constexpr std::int32_t relay_out_bound = relay_read_size;
inline constexpr std::int32_t relay_out_carry = 16384 + 64;
inline constexpr std::int32_t relay_min_read = 4096;
inline constexpr std::int32_t relay_out_size = relay_out_bound + relay_min_read + relay_out_carry;
// A game client that has made no progress this long, before its login (or
// in a standby exchange), gives way to a newcomer; after its login it needs
// parked_session_ms without a byte in either direction. The game sends
// something at least every second while it plays, and answers the server's
// keep-alives, so neither bound cuts a real session.
inline constexpr int parked_give_way_ms = 3000;
inline constexpr int parked_session_ms = 20000;
// Before its login a game client that has made no progress this long is
// closed, and so is a game client held while another was served.
inline constexpr int idle_limit_ms = 10000;
// A connection to a room server that has neither succeeded nor failed by
// then counts as failed: the room cannot be reached.
inline constexpr int connect_limit_ms = 10000;
// A status request (the server list) waits no longer than this for that
// connection: the room is then shown as not answering, well within the
// game's own wait.
inline constexpr int status_connect_limit_ms = 5000;

// A game client's connection after its farewell: the sending side is shut
// and what the client still sends is read, at most linger_read_max bytes a
// pass, until it closes or linger_limit_ms have passed. Reading it keeps the
// close from resetting the connection before the farewell is read.
inline constexpr int linger_count = 4;
inline constexpr int linger_limit_ms = 5000;
inline constexpr std::int32_t linger_read_max = 4096;

// Per page: the opening reply and frames, and the room echoes behind them.
inline constexpr std::int32_t ws_out_size = 4096;

// Who serves the game client: nobody, a proxy or the standby responder.
enum handler_kind : std::uint8_t {
    handle_none = 0,
    handle_proxy = 1,
    handle_no_room = 2,
};

enum ws_state : std::uint8_t {
    ws_state_handshake = 0,
    ws_state_open = 1,
};

struct ws_slot {
    sock_t sock; // 0 marks a free slot
    ws_state state;
    bool origin_ok;         // an accepted Origin was seen
    std::int32_t in_len;    // bytes gathered: the request so far, or frames not yet whole
    std::int64_t opened_at; // when the connection was accepted
};

extern ws_slot ws_slots[ws_slot_count];
// Each slot's gathered input, and its output waiting for the page.
extern std::uint8_t ws_in[ws_slot_count][recv_buf_size];
extern out_buffer ws_out[ws_slot_count];

extern handler_kind handle_kind;
extern sock_t client_sock;
extern sock_t server_sock;
// A game client that connected and stayed silent while a second one came to
// ping; it waits, unwatched, for the handler to end. invalid_sock when none.
extern sock_t held_sock;

extern std::uint8_t recv_buf[relay_read_size];
extern std::int32_t recv_len;

// Output waiting for the game client (either handler) and the room server.
extern out_buffer client_out;
extern out_buffer server_out;

// Set while the handler only waits for its output to the game client to
// leave: nothing more is read, and once the output has gone, or has waited
// short_wait_limit_ms, the loop ends the handler.
extern bool handler_draining;

// Ties the output buffers to a new handler's sockets.
void handler_outputs_reset();

// Logs "close, sock N" unless quiet, closes the page's connection and frees
// its slot. What the page takes at once of its waiting output still leaves.
// Quiet after a failed send, which has said why already.
void ws_close(int slot, bool quiet = false);

// Slot output: ties the slot's buffer to its socket.
void ws_out_reset(int slot);

// Ends the current game-client handler, whatever its kind. What the peers
// take at once of their waiting output still leaves; the rest is dropped.
void close_handler();

// Set while a last packet for the game client waits in client_out: its
// connection then ends without a reset that could overtake that packet.
extern bool client_farewell;

// What a handler asks of the loop after it took a step.
enum class handler_step : std::uint8_t {
    going_on,
    end_after_output, // end once what waits for the peers has left
    end_now,
};

// When the handler last heard from a peer (or began), and when the held
// client was set aside.
extern std::int64_t handler_heard_at;
extern std::int64_t held_since;

// Connections in their farewell, by socket; 0 marks a free entry.
struct linger_entry {
    sock_t sock;
    std::int64_t until;
};
extern linger_entry lingering[linger_count];

// Shuts the sending side of a connection whose last bytes are on their way
// and keeps it until the peer closes or the bound passes; with every entry
// taken the one nearest its end is closed at once.
void linger_start(sock_t s);

// Empties the registry as at start-up; for tests.
void registry_reset();
