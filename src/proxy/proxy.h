// The room proxy: relays the game client to the joined room's server.
#pragma once

#include "platform/platform.h"

#include <cstdint>

// Bytes waiting for the room server; the loop watches for writability while
// this is not 0.
extern std::int32_t to_server_fill;

// Starts a proxy for the new game-client connection. False when the room-server
// connection could not be made; the game client has then been closed.
bool create_proxy(sock_t client);

// True while the proxy serves a status exchange (a server-list ping) and holds
// no part of a request: the program has answered everything asked, so a new
// game client may take the proxy's place.
bool proxy_status_done();

// True while nothing has passed through the proxy in either direction.
bool proxy_untouched();

void proxy_client_readable();
void proxy_server_readable();
void proxy_server_writable();

// Ends the game-client handler after a room command. A proxied game that can
// follow is sent on to the new room with a Transfer packet; any other is
// told in a disconnect which room it left and what to do next.
void game_client_room_changed();
