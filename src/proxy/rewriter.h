// The two byte-stream rewriters between the game client and the room server,
// and the contract the relay pump drives them by: one byte in, a stop flag
// out, and whatever should be sent left in the slices to_client and to_server.
#pragma once

#include <cstdint>

// Bytes to send, pointing into the calling rewriter's packet buffer; valid
// only until that rewriter's next call.
struct out_slice {
    std::uint8_t* bytes;
    std::int32_t length;
};

extern out_slice to_client;
extern out_slice to_server;

// Takes one byte of its direction's stream. True means the proxy must end.
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

// A packet longer than this passes on in pieces, uninspected.
inline constexpr std::int32_t packet_buf_size = 16384;
// Room behind a packet for what is added in place: up to 16 bytes of growth of
// the Login Start name, and the length prefix, whose insertion needs 6 bytes
// beyond what it frames. The byte appended after a pop fits here too.
inline constexpr std::int32_t packet_head_room = 22;

// Before the name is replaced, a login may not take more than this many bytes
// through the proxy (both directions counted); the status exchange is exempt.
inline constexpr std::uint32_t login_gate_bytes = 1024;

inline constexpr std::int32_t next_state_status = 1;
inline constexpr std::int32_t next_state_login = 2;

// The framing state of one direction: a VarInt length, then the body.
struct packet_reader {
    std::uint8_t buf[packet_buf_size + packet_head_room];
    std::int32_t received;  // body bytes taken so far
    std::int32_t remaining; // body bytes still expected; the length while it is read
    std::uint8_t len_shift; // length bytes read
    std::uint8_t in_body;   // 0 while the length is read
};

enum class read_step {
    more,     // the packet is not complete yet; the call may have passed a piece
    complete, // a packet of 1 to packet_buf_size bytes is in buf
    stop,     // framing that cannot be trusted
};

// Takes one byte of the stream into the reader. A length of more than five
// bytes, or of 0 or less, stops at once. The body of a packet longer than the
// buffer is left in pass as it arrives: first the declared length, the
// buffered bytes and this byte, then each further byte alone.
read_step reader_take(packet_reader& reader, std::uint8_t byte, out_slice& pass, const char* pop_line);

// The fast path of a rewriter over its reader: a packet at the start of
// bytes with a minimal length prefix of up to four bytes goes to pass as it
// is, with *whole set, when the one-byte steps would give it back as it came:
// a packet of 1 to packet_buf_size bytes that lies within count, when
// whole_allowed and, if check_id is set, its packet id parses within the
// body; or a longer one whose pop byte lies within count, up to that byte,
// with pop_line logged as the steps log it. Otherwise the body bytes that
// reader_take would only store or pass on, at most up to the buffer's end.
// Clears both output slices first and counts what it took in relayed_bytes.
// Returns the length taken, 0 for none.
std::int32_t reader_run(packet_reader& reader, std::uint8_t* bytes, std::int32_t count, bool whole_allowed,
                        bool check_id, out_slice& pass, bool* whole, const char* pop_line);

void reader_clear(packet_reader& reader);

// Reads the packet id at the start of a complete packet; false when it does
// not parse within the body.
bool reader_packet_id(const packet_reader& reader, std::int32_t* id, std::int32_t* id_length);

// State of the one proxy, shared by both directions.
extern std::int32_t next_state;     // 0 until the handshake is read
extern std::uint8_t nick_replaced;  // 1 once Login Start carries the room's nick
extern std::uint32_t relayed_bytes; // bytes given to either rewriter
// The text of the error with which the room server could not be reached;
// nullptr while it may be. The status document then says so.
extern const char* room_server_error;

extern packet_reader c2s_reader;
extern packet_reader s2c_reader;

bool mitm_c2s(std::uint8_t byte);
bool mitm_s2c(std::uint8_t byte);
std::int32_t mitm_c2s_run(std::uint8_t* bytes, std::int32_t count, bool* whole);
std::int32_t mitm_s2c_run(std::uint8_t* bytes, std::int32_t count, bool* whole);

// Clears both readers and the shared state, as for a new proxy.
void mitm_reset();
