// The room proxy: relays the game client to the joined room's server.
#pragma once

#include "host/registry.h"
#include "platform/platform.h"

#include <cstdint>

// Starts a proxy for the new game-client connection. False when the room-server
// connection could not be made; the game client has then been closed.
bool create_proxy(sock_t client);

// Whether the loop should read from the game client and from the room server:
// not while the output either read could add to waits beyond its bound.
bool proxy_wants_client();
bool proxy_wants_server();

// True once the proxy has served a status exchange (a server-list ping) to
// its end: the status response and the pong have been handed on, no part of
// a request is held, so a new game client may take its place.
bool proxy_status_done();

// True once the handshake asked for a status exchange.
bool proxy_in_status();

// True while a status request waits for the outcome of the room server's
// connection.
bool proxy_status_waits();

// True once Login Start has gone on with the room's nick: a game session.
bool proxy_in_session();

// When the connection to the room server counts as failed if it has not been
// made by then (sooner while a status request waits for it); -1 once it has
// been, or has failed.
std::int64_t proxy_connect_deadline();
// The connection took too long: the room cannot be reached.
handler_step proxy_connect_timed_out();

// True while nothing has passed through the proxy in either direction.
bool proxy_untouched();

// The most the next read from the game client (from_client) or the room
// server may take: no more than the output it can produce is sure to find
// room for.
std::int32_t proxy_read_size(bool from_client);

// Takes the loop's read from the game client or the room server: got bytes
// in recv_buf, 0 when the peer closed the connection, less than 0 when the
// read failed.
handler_step proxy_client_received(std::int32_t got);
handler_step proxy_server_received(std::int32_t got);

// Whether the loop should learn when the room server's connection can take
// bytes: while it is being made, and while output waits for it.
bool proxy_wants_server_writable();
// Learns the connection's outcome and hands over what waits for the room
// server.
handler_step proxy_server_writable();
// Hands over what waits for the game client; a failed send ends the proxy.
handler_step proxy_client_writable();

// When a farewell's wait for the packet in flight gives up, -1 while no
// farewell waits.
std::int64_t proxy_farewell_deadline();
// The wait gave up: the proxy ends plainly, without its farewell.
handler_step proxy_farewell_timed_out();

// The farewell of a proxy after a room command. A proxied game that can
// follow is sent on to the new room with a Transfer packet; any other is
// told in a disconnect which room it left and what to do next. Inside a
// packet toward the game client, the rest of it is passed on first, for at
// most short_wait_limit_ms; the farewell then names the room current then.
// Ends any other handler at once.
handler_step game_client_room_changed();
