// The relay pump: received bytes go through a rewriter, and its output is
// handed to the peers' output buffers in few sends.
#pragma once

#include "host/registry.h"
#include "platform/platform.h"
#include "proxy/rewriter.h"

#include <cstdint>

// Output toward the game client behaves as if it waited in a batch of this
// many bytes during each read: a piece that does not fit behind what waits
// goes at once, the batch goes at the end of the read, and a stop withholds
// what the batch holds. The bytes themselves are gathered for the whole call
// in a larger buffer and leave in as few sends as fit in it.
inline constexpr std::int32_t client_batch_size = 1024;
inline constexpr std::int32_t client_gather_size = 2 * recv_buf_size;
// Output toward the room server behaves as if it waited in a buffer of
// server_batch_size bytes, which a piece that does not fit behind what waits
// sends at once, which the end of each read hands over, and which a stop
// leaves unsent.
inline constexpr std::int32_t server_batch_size = 16384;

// Feeds the first count bytes of recv_buf to the rewriter: runs that need no
// decision through its fast path (when given), every other byte through its
// one-byte step. Each recv_buf_size bytes count as one read, with what the
// loop does between reads: whatever a batch holds at their end counts as sent.
// The game client's output goes to client_out, the room server's to
// server_out. True when the rewriter stopped or a send failed; the proxy must
// then end.
bool proxy_pump(std::int32_t count, rewriter step, rewriter_run run = nullptr);
