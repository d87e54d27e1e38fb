// Start-up, the listeners and the one event loop.
#pragma once

#include "platform/platform.h"

#include <cstdint>

// Opens a listener on 127.0.0.1:port. Returns invalid_sock after the error
// line on standard error; the caller logs.
sock_t open_listener(std::uint16_t port);

// Runs the loop until the readiness wait fails; returns the exit status, 1.
int run_loop(sock_t ws_master, sock_t mc_master);

// Takes a browser connection into the lowest free slot.
void ws_accept(sock_t ws_master);

// Takes a game client and decides who serves it.
void accept_game_client(sock_t mc_master);

// Gives a game client that no handler serves to the standby responder or, with
// a room joined, to a new proxy.
void admit_game_client(sock_t newcomer);

// The whole program: start-up, then the loop. Returns the exit status.
int host_main();
