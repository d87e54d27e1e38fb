// The standby responder: a minimal game server for while no room is joined.
#pragma once

// Starts serving the game client just put in client_sock.
void no_room_reset();

// One read on client_sock and its handling.
void no_room_receive();
