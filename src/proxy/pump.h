// The relay pump: received bytes go through a rewriter one at a time, and its
// output is gathered into few sends.
#pragma once

#include "platform/platform.h"
#include "proxy/rewriter.h"

#include <cstdint>

// Output toward the game client leaves in sends of up to this many bytes, at
// the end of each pump call.
inline constexpr std::int32_t client_batch_size = 1024;
// Output toward the room server waits here until its connection is writable.
inline constexpr std::int32_t to_server_buf_size = 16384;

extern std::uint8_t to_server_buf[to_server_buf_size];
extern std::int32_t to_server_fill;

// Feeds the first count bytes of recv_buf to the rewriter: runs that need no
// decision through its fast path (when given), every other byte through its
// one-byte step. The game client gets to_client output, the room server
// to_server output. True when the rewriter stopped or a send failed; the proxy
// must then end.
bool proxy_pump(sock_t client, sock_t server, std::int32_t count, rewriter step, rewriter_run run = nullptr);

// Sends everything waiting for the room server. True on failure. The caller
// empties the buffer either way.
bool flush_to_server(sock_t server);
