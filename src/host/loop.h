// Start-up, the listeners and the one event loop.
#pragma once

#include "platform/platform.h"

#include <cstdint>

// Opens a listener on 127.0.0.1:port. Returns invalid_sock with the failure
// left as the last error; the caller reports it.
sock_t open_listener(std::uint16_t port);

// Runs the loop until the readiness wait fails; returns the exit status, 1.
// While mc_master is invalid_sock the game port is tried again every
// listener_retry_pause_ms, and pages are served meanwhile.
int run_loop(sock_t ws_master, sock_t mc_master);

// One pass of the loop, waiting at most max_wait_ms (-1: until something is
// ready or due). False when the readiness wait failed, after "select broke".
bool loop_pass(sock_t ws_master, sock_t mc_master, int max_wait_ms);

// The loop's one read of a ready connection, handed to the connection's
// handler with what it took, and what the handler asks for done; a page or a
// standby client that closed or failed is closed. read_page returns true when
// a room command changed the room. A proxy's read takes no more than its
// output has room for at the moment of the read, and none when there is none.
bool read_page(int slot);
void read_game_client();
void read_room_server();

// Takes a page connection into the given slot, closing the unopened page
// that waited there; refuses it when the slot is -2 (every slot holds an open
// page). False when no connection was pending.
bool ws_accept(sock_t ws_master, int slot);

// Takes a game client and decides who serves it. False when no connection
// was pending.
bool accept_game_client(sock_t mc_master);

// Gives a game client that no handler serves to the standby responder or, with
// a room joined, to a new proxy.
void admit_game_client(sock_t newcomer);

// The whole program: start-up, then the loop. Returns the exit status.
int host_main();
