// The relay pump: received bytes go through a rewriter, and its output is
// gathered into few sends.
#pragma once

#include "host/registry.h"
#include "platform/platform.h"
#include "proxy/rewriter.h"

#include <cstdint>

// Output toward the game client behaves as if it waited in a batch of this
// many bytes during each pump call: a piece that does not fit behind what
// waits goes at once, the batch goes at the end of the call, and a stop
// withholds what the batch holds. The bytes themselves are gathered for the
// whole call in a larger buffer and leave in as few sends as fit in it.
inline constexpr std::int32_t client_batch_size = 1024;
inline constexpr std::int32_t client_out_size = 2 * recv_buf_size;
// Output toward the room server waits until its connection is writable. It
// behaves as if it waited in a buffer of server_batch_size bytes, which a
// piece that does not fit behind what waits sends at once, and which a stop
// leaves unsent; the bytes themselves wait in a larger one.
inline constexpr std::int32_t server_batch_size = 16384;
inline constexpr std::int32_t to_server_buf_size = 2 * server_batch_size;

extern std::uint8_t to_server_buf[to_server_buf_size];
extern std::int32_t to_server_fill;

// Empties the to-server buffer, as for a new proxy or after a flush.
void to_server_clear();

// Feeds the first count bytes of recv_buf to the rewriter: runs that need no
// decision through its fast path (when given), every other byte through its
// one-byte step. Each recv_buf_size bytes count as one read: what a batch
// holds at their end counts as sent, though the bytes leave together. The
// game client gets to_client output, the room server to_server output. True
// when the rewriter stopped or a send failed; the proxy must then end.
bool proxy_pump(sock_t client, sock_t server, std::int32_t count, rewriter step, rewriter_run run = nullptr);

// Sends everything waiting for the room server. True on failure. The caller
// empties the buffer either way.
bool flush_to_server(sock_t server);

// Hands the room server at once what its connection takes without waiting,
// so that a game client's packet does not wait a pass of the loop. Whatever
// is left, and any failure, stay for the writable step, which reports it;
// while the connection is still being made nothing leaves.
void offer_to_server(sock_t server);
