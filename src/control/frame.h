// WebSocket frames: the strict reader (one unit holds exactly one masked text
// or binary frame), the measure that cuts a stream into such units, and the
// writer of the program's unmasked frames.
#pragma once

#include <cstdint>

inline constexpr std::uint8_t ws_opcode_text = 1;
inline constexpr std::uint8_t ws_opcode_binary = 2;
inline constexpr std::uint8_t ws_fin = 0x80;
inline constexpr std::uint8_t ws_mask_bit = 0x80;
inline constexpr std::uint8_t ws_length_16 = 126;
inline constexpr std::uint8_t ws_length_64 = 127;
inline constexpr int ws_mask_key_size = 4;
// The writer serves payloads up to this size with the 2-byte length form.
inline constexpr std::uint32_t ws_write_max_payload = 65535;

enum class ws_frame_kind {
    refused, // anything but one whole masked text or binary frame: close
    text,
    binary,
};

struct ws_frame {
    ws_frame_kind kind;
    std::uint8_t* payload; // unmasked in place, inside the read
    std::uint32_t length;
};

// Reads the frame that must fill the count bytes exactly and unmasks its
// payload in place. Never touches a byte at or beyond count.
ws_frame ws_parse_frame(std::uint8_t* bytes, std::int32_t count);

// The size of the frame at the start of a stream of count bytes: 0 while its
// header is not all there, -1 when the bytes cannot start a frame that the
// reader would accept within one read of recv_buf_size bytes.
std::int32_t ws_frame_size(const std::uint8_t* bytes, std::int32_t count);

// Builds one frame at the start of recv_buf and sets recv_len to its size.
// The payload may lie anywhere, recv_buf included; length is at most
// recv_buf_size - 4.
void ws_write_frame(std::uint8_t opcode, const std::uint8_t* payload, std::uint32_t length);
