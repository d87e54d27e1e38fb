// The stage follower: what the proxy knows of its game client's connection,
// learnt from the packets that pass through it in both directions, so that
// the proxy can send the client a packet of its own in a form it reads.
#pragma once

#include "game/packet_ids.h"

#include <cstdint>

enum class game_stage : std::uint8_t {
    handshake,
    status,
    login,
    configuration,
    play,
    // Encrypted, framed past reading, or a stage change that could not be
    // seen: nothing may be sent to the game client any more.
    unknown,
};

// What a packet sent to the game client now must look like.
struct client_form {
    game_stage stage;
    std::int32_t protocol;
    const packet_ids* ids; // nullptr for a version the table lacks
    bool compressed;       // the framing carries an uncompressed length
};

// The table's row for a protocol version, or nullptr.
const packet_ids* packet_ids_for(std::int32_t protocol);

// Forgets everything, as for a new proxy.
void follow_reset();

// Takes one byte that passed toward the game client (to_client set) or
// toward the room server. Pure: no I/O, no log.
void follow_step(bool to_client, std::uint8_t byte);

// Takes count bytes as count steps would, skipping through bodies at once.
// The bytes toward the game client are those it is sure to get (handed to
// its connection), never ones that may yet be withheld.
void follow_bytes(bool to_client, const std::uint8_t* bytes, std::int32_t count);

// The form for a packet of the proxy's own toward the game client. Its stage
// is unknown while the stream toward the client stands inside a packet.
client_form follow_form();

// Body bytes still to come of the packet that the stream toward the game
// client stands inside, once its length is known; 0 between packets, and
// while that stream is not followed.
std::int32_t follow_client_packet_left();
