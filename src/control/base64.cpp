#include "control/base64.h"

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

void base64_encode(const std::uint8_t* bytes, std::uint32_t count, char* out)
{
    std::uint32_t i = 0;
    for (; i + 3 <= count; i += 3) {
        *out++ = alphabet[bytes[i] >> 2];
        *out++ = alphabet[(bytes[i] & 3) << 4 | bytes[i + 1] >> 4];
        *out++ = alphabet[(bytes[i + 1] & 15) << 2 | bytes[i + 2] >> 6];
        *out++ = alphabet[bytes[i + 2] & 63];
    }
    if (count - i == 2) {
        *out++ = alphabet[bytes[i] >> 2];
        *out++ = alphabet[(bytes[i] & 3) << 4 | bytes[i + 1] >> 4];
        *out++ = alphabet[(bytes[i + 1] & 15) << 2];
        *out++ = '=';
    } else if (count - i == 1) {
        *out++ = alphabet[bytes[i] >> 2];
        *out++ = alphabet[(bytes[i] & 3) << 4];
        *out++ = '=';
        *out++ = '=';
    }
    *out = '\0';
}
