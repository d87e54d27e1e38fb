// Output that a peer has not taken yet. Every connection the loop holds is
// non-blocking; what a send leaves over waits here, in order, and leaves when
// the loop finds the connection writable.
#pragma once

#include "platform/platform.h"

#include <cstdint>

struct out_buffer {
    sock_t sock;
    std::uint8_t* bytes;
    std::int32_t capacity;
    std::int32_t start; // first byte the peer has not taken
    std::int32_t end;   // one past the last byte waiting
    // When the peer last took bytes, or when output began to wait.
    std::int64_t since;
};

enum class out_result : std::uint8_t {
    ok,
    failed, // the send failed, after "send fails" and the error text
    full,   // the bytes do not fit behind what waits
};

// Empties the buffer and ties it to sock and its storage.
void out_reset(out_buffer& out, sock_t sock, std::uint8_t* storage, std::int32_t capacity);

inline std::int32_t out_pending(const out_buffer& out)
{
    return out.end - out.start;
}

// Drops whatever waits.
inline void out_clear(out_buffer& out)
{
    out.start = 0;
    out.end = 0;
}

// Hands the pieces to the peer: straight to the socket while nothing waits,
// and whatever it does not take at once into the buffer.
out_result out_send(out_buffer& out, const net_piece* pieces, int count);
out_result out_send(out_buffer& out, const std::uint8_t* bytes, std::int32_t length);

// Puts the bytes behind what waits without trying the socket. False when they
// do not fit.
bool out_append(out_buffer& out, const std::uint8_t* bytes, std::int32_t length);

// The most one send hands the socket. Over loopback, 64 KiB of relayed bytes
// cost the relay less time and CPU in two sends of 32 KiB than in one: the
// peer starts reading the first half while the second is sent.
inline constexpr std::int32_t out_send_max = 32768;

// Sends what waits as far as the socket takes it, out_send_max at a time.
// False when a send failed, after "send fails" and the error text unless quiet.
bool out_write(out_buffer& out, bool quiet = false);

// True when output has waited limit_ms without the peer taking any of it.
bool out_stalled(const out_buffer& out, std::int64_t now, int limit_ms);

// When a stall would be declared: -1 while nothing waits.
std::int64_t out_deadline(const out_buffer& out, int limit_ms);
