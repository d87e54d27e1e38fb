// SHA-1 (FIPS 180-1) in the streaming form of RFC 3174: reset, input, result.
// The WebSocket accept value is its only user.
#pragma once

#include <cstdint>

inline constexpr int sha1_digest_size = 20;
inline constexpr int sha1_block_size = 64;

struct sha1_context {
    std::uint32_t intermediate_hash[5];
    std::uint32_t length_low;  // message length in bits, low half
    std::uint32_t length_high; // and high half
    std::int16_t block_index;  // bytes held in block
    std::uint8_t block[sha1_block_size];
    bool computed;  // the digest is final
    bool corrupted; // the bit length overflowed; input is ignored
};

void sha1_reset(sha1_context& context);
void sha1_input(sha1_context& context, const std::uint8_t* bytes, std::uint32_t count);
// Finalizes once; later calls write the same digest again.
void sha1_result(sha1_context& context, std::uint8_t digest[sha1_digest_size]);
// Compresses the full block into the chaining value and empties the block.
void sha1_process_block(sha1_context& context);
// The final padding with the bit length; used by sha1_result.
void sha1_pad_message(sha1_context& context);
