// The two byte-stream rewriters between the game client and the room server,
// the state of the one proxy they share, and the contract the relay pump
// drives them by: one byte in, "go on" out, and whatever should be sent left
// in the slices to_client and to_server.
#pragma once

#include "proxy/packet_reader.h"

#include <cstdint>

// What a rewriter call leaves to send; valid only until the next call.
extern out_slice to_client;
extern out_slice to_server;

// Takes one byte of its direction's stream. False when the proxy must end.
using rewriter = bool (*)(std::uint8_t byte);

// The same rewriter's fast path: takes a run at the start of bytes (the rest
// of the read) that needs no decision and returns its length, 0 when the next
// byte must go through the one-byte step. What it takes leaves exactly the
// state, the output and the log of that many one-byte steps, and is one of
// two kinds:
// - a piece that goes on unchanged (*whole set): the steps would have left it
//   as one piece, at its last byte; a whole packet, or a long one up to where
//   the steps pop it;
// - body bytes (*whole clear) that the steps would have stored, short of a
//   packet's last, or passed on each alone, past a long packet's buffer; what
//   goes on is then the run's own bytes.
// A passed-on piece may point into bytes.
using rewriter_run = std::int32_t (*)(std::uint8_t* bytes, std::int32_t count, bool* whole);

// Before the name is replaced, a login may not take more than this many bytes
// through the proxy (both directions counted); the status exchange is exempt.
inline constexpr std::uint32_t login_gate_bytes = 1024;

// State of the one proxy, shared by both directions.
extern std::int32_t next_state;     // 0 until the handshake is read
extern bool nick_replaced;          // once Login Start carries the room's nick
extern std::uint32_t relayed_bytes; // bytes given to either rewriter
// The text of the error with which the room server could not be reached;
// nullptr while it may be. The status document then says so.
extern const char* room_server_error;
// True while the connection to the room server is being made: a status
// request then waits for its outcome.
extern bool room_server_pending;
// Once the pong of a status exchange has been handed on.
extern bool status_pong_sent;

extern packet_reader c2s_reader;
extern packet_reader s2c_reader;

bool mitm_c2s(std::uint8_t byte);
bool mitm_s2c(std::uint8_t byte);
std::int32_t mitm_c2s_run(std::uint8_t* bytes, std::int32_t count, bool* whole);
std::int32_t mitm_s2c_run(std::uint8_t* bytes, std::int32_t count, bool* whole);

// The answer to a status request (and the pong of a ping behind it) that
// waited for the room server's connection, framed, at *bytes: its length,
// 0 when nothing waited, -1 when the document did not fit. status_reset
// forgets what waited, as for a new proxy.
std::int32_t status_take_deferred(const std::uint8_t** bytes);
void status_reset();

// Clears both readers and the shared state, as for a new proxy.
void mitm_reset();

// The steps both rewriters share. A rewriter's byte step: the reader takes
// the byte, passing long packets on in pass; a complete packet goes to
// on_packet with pass holding it, and what that leaves in the slices is
// framed anew. False when the proxy must end.
bool rewrite_byte(packet_reader& reader, std::uint8_t byte, out_slice& pass,
                  bool (*on_packet)(packet_reader&));
// A rewriter's fast path over reader_run, with what goes on in pass.
std::int32_t rewrite_run(packet_reader& reader, std::uint8_t* bytes, std::int32_t count, bool whole_allowed,
                         bool check_id, out_slice& pass, bool* whole);
