// Base64 encoding with the standard alphabet and "=" padding (RFC 4648).
#pragma once

#include <cstdint>

// Characters needed for count bytes, without the terminating NUL.
constexpr std::uint32_t base64_length(std::uint32_t count)
{
    return (count + 2) / 3 * 4;
}

// Writes the text of the bytes and a NUL; out holds base64_length(count) + 1.
void base64_encode(const std::uint8_t* bytes, std::uint32_t count, char* out);
