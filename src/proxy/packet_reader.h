// The framing of one direction of the game protocol: a VarInt length, then
// the body. A reader owns its packet buffer and keeps no other state; what it
// passes on goes into the slice its caller names.
#pragma once

#include "game/varint.h"

#include <cstdint>

// Bytes to send, pointing into a reader's packet buffer or the received
// bytes; valid only until that reader takes more.
struct out_slice {
    std::uint8_t* bytes;
    std::int32_t length;
};

// A packet longer than this passes on in pieces, uninspected.
inline constexpr std::int32_t packet_buf_size = 16384;
// Room behind a packet for what is added in place: up to 16 bytes of growth of
// the Login Start name, the length prefix of up to 5 bytes, and the byte
// appended after a pop.
inline constexpr std::int32_t packet_head_room = 22;

struct packet_reader {
    const char* pop_line;       // logged when a long packet starts to pass on
    std::int32_t received = 0;  // body bytes taken so far
    std::int32_t remaining = 0; // body bytes still expected
    varint_reader prefix{};     // the length prefix, while it is read
    bool in_body = false;
    std::uint8_t buf[packet_buf_size + packet_head_room]{};
};

enum class read_step {
    more,     // the packet is not complete yet; the call may have passed a piece
    complete, // a packet of 1 to packet_buf_size bytes is in buf
    stop,     // framing that cannot be trusted
};

// Takes one byte of the stream. A length of more than five bytes, or of 0 or
// less, stops at once. The body of a packet longer than the buffer is left in
// pass as it arrives: first the declared length, the buffered bytes and this
// byte, then each further byte alone.
read_step reader_take(packet_reader& reader, std::uint8_t byte, out_slice& pass);

// The fast path over the reader: a packet at the start of bytes with a
// minimal length prefix of up to four bytes goes to pass as it is, with
// *whole set, when the one-byte steps would give it back as it came: a packet
// of 1 to packet_buf_size bytes that lies within count, when whole_allowed
// and, if check_id is set, its packet id parses within the body; or a longer
// one whose pop byte lies within count, up to that byte, with the pop line
// logged as the steps log it. Otherwise the body bytes that reader_take would
// only store or pass on, at most up to the buffer's end. Returns the length
// taken, 0 for none.
std::int32_t reader_run(packet_reader& reader, std::uint8_t* bytes, std::int32_t count, bool whole_allowed,
                        bool check_id, out_slice& pass, bool* whole);

// Readies the reader for the next packet.
void reader_clear(packet_reader& reader);

// True while no part of a packet has been taken.
bool reader_between_packets(const packet_reader& reader);

// Reads a VarInt field at offset within a complete packet (the packet id at
// 0); false unless it ends inside the body.
bool reader_field(const packet_reader& reader, std::int32_t offset, std::int32_t* value,
                  std::int32_t* length);
