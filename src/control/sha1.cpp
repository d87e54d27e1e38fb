#include "control/sha1.h"

#include <cstring>

namespace {

constexpr std::uint32_t initial_hash[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
constexpr std::uint32_t round_constants[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};
constexpr int length_field_offset = 56;

std::uint32_t rotate_left(std::uint32_t word, int bits)
{
    return (word << bits) | (word >> (32 - bits));
}

} // namespace

void sha1_reset(sha1_context& context)
{
    std::memcpy(context.intermediate_hash, initial_hash, sizeof initial_hash);
    context.length_low = 0;
    context.length_high = 0;
    context.block_index = 0;
    context.computed = false;
    context.corrupted = false;
}

void sha1_input(sha1_context& context, const std::uint8_t* bytes, std::uint32_t count)
{
    for (std::uint32_t i = 0; i < count && !context.corrupted; i++) {
        context.block[context.block_index++] = bytes[i];
        context.length_low += 8;
        if (context.length_low == 0) {
            context.length_high++;
            if (context.length_high == 0)
                context.corrupted = true;
        }
        if (context.block_index == sha1_block_size)
            sha1_process_block(context);
    }
}

void sha1_process_block(sha1_context& context)
{
    std::uint32_t w[80];
    for (int t = 0; t < 16; t++) {
        const std::uint8_t* b = context.block + 4 * t;
        w[t] = static_cast<std::uint32_t>(b[0]) << 24 | static_cast<std::uint32_t>(b[1]) << 16 |
               static_cast<std::uint32_t>(b[2]) << 8 | b[3];
    }
    for (int t = 16; t < 80; t++)
        w[t] = rotate_left(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    std::uint32_t a = context.intermediate_hash[0];
    std::uint32_t b = context.intermediate_hash[1];
    std::uint32_t c = context.intermediate_hash[2];
    std::uint32_t d = context.intermediate_hash[3];
    std::uint32_t e = context.intermediate_hash[4];
    for (int t = 0; t < 80; t++) {
        std::uint32_t f;
        if (t < 20)
            f = (b & c) | (~b & d);
        else if (t < 40 || t >= 60)
            f = b ^ c ^ d;
        else
            f = (b & c) | (b & d) | (c & d);
        std::uint32_t temp = rotate_left(a, 5) + f + e + w[t] + round_constants[t / 20];
        e = d;
        d = c;
        c = rotate_left(b, 30);
        b = a;
        a = temp;
    }
    context.intermediate_hash[0] += a;
    context.intermediate_hash[1] += b;
    context.intermediate_hash[2] += c;
    context.intermediate_hash[3] += d;
    context.intermediate_hash[4] += e;
    context.block_index = 0;
}

void sha1_pad_message(sha1_context& context)
{
    context.block[context.block_index++] = 0x80;
    if (context.block_index > length_field_offset) {
        while (context.block_index < sha1_block_size)
            context.block[context.block_index++] = 0;
        sha1_process_block(context);
    }
    while (context.block_index < length_field_offset)
        context.block[context.block_index++] = 0;
    for (int i = 0; i < 4; i++) {
        context.block[56 + i] = static_cast<std::uint8_t>(context.length_high >> (24 - 8 * i));
        context.block[60 + i] = static_cast<std::uint8_t>(context.length_low >> (24 - 8 * i));
    }
    sha1_process_block(context);
}

void sha1_result(sha1_context& context, std::uint8_t digest[sha1_digest_size])
{
    if (!context.computed) {
        sha1_pad_message(context);
        std::memset(context.block, 0, sizeof context.block);
        context.length_low = 0;
        context.length_high = 0;
        context.computed = true;
    }
    for (int i = 0; i < sha1_digest_size; i++)
        digest[i] = static_cast<std::uint8_t>(context.intermediate_hash[i / 4] >> (24 - 8 * (i % 4)));
}
