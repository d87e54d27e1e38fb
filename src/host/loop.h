// Start-up, the listeners and the one event loop.
#pragma once

#include "platform/platform.h"

#include <cstdint>

// Opens a listener on 127.0.0.1:port. Returns invalid_sock after the error
// line on standard error; the caller logs.
sock_t open_listener(std::uint16_t port);

// Runs the loop until the readiness wait fails; returns the exit status, 1.
int run_loop(sock_t ws_master, sock_t mc_master);

// One pass of the loop, waiting at most max_wait_ms (-1: until something is
// ready or due). False when the readiness wait failed, after "select broke".
bool loop_pass(sock_t ws_master, sock_t mc_master, int max_wait_ms);

// The loop's one read of a ready connection, handed to the connection's
// handler with what it took; a page or a standby client that closed or failed
// is closed, while a proxy learns how its peer's read ended.
void read_page(int slot);
void read_game_client();
void read_room_server();

// Ends the game-client handler once the output waiting for its peers has left,
// or has waited short_wait_limit_ms without progress; nothing more is read
// meanwhile. With nothing waiting it ends at once. The standby responder ends
// through no_room_kill, a proxy through close_handler. A game client that
// arrives meanwhile ends it at once.
void end_handler_after_output();

// Takes a browser connection into the lowest free slot.
void ws_accept(sock_t ws_master);

// Takes a game client and decides who serves it.
void accept_game_client(sock_t mc_master);

// Gives a game client that no handler serves to the standby responder or, with
// a room joined, to a new proxy.
void admit_game_client(sock_t newcomer);

// The whole program: start-up, then the loop. Returns the exit status.
int host_main();
