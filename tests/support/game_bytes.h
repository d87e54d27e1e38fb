// Builders of game-protocol byte streams, random streams for the split
// tests, and a drain for what a socket's peer received.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <string_view>
#include <sys/socket.h>
#include <vector>

using bytes = std::vector<std::uint8_t>;

// With padded_to, an over-long but valid form: continuation bits on zero groups.
inline bytes varint(std::int32_t value, std::int32_t padded_to = 0)
{
    bytes v;
    std::uint32_t rest = static_cast<std::uint32_t>(value);
    do {
        v.push_back(static_cast<std::uint8_t>((rest & 0x7F) | (rest > 0x7F ? 0x80 : 0)));
        rest >>= 7;
    } while (rest != 0);
    while (static_cast<std::int32_t>(v.size()) < padded_to) {
        v.back() |= 0x80;
        v.push_back(0x00);
    }
    return v;
}

inline bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline bytes text(std::string_view s)
{
    return bytes(s.begin(), s.end());
}

inline bytes frame(const bytes& body, std::int32_t prefix_bytes = 0)
{
    return cat({varint(static_cast<std::int32_t>(body.size()), prefix_bytes), body});
}

// A string field: its length, then its bytes.
inline bytes field(std::string_view s)
{
    return cat({varint(static_cast<std::int32_t>(s.size())), text(s)});
}

// Port 25565; with protocol 767, the body is the address's length plus 7 bytes.
inline bytes handshake(std::int32_t next, std::int32_t prefix_bytes = 0,
                       std::string_view address = "localhost", std::int32_t protocol = 767)
{
    return frame(cat({{0x00}, varint(protocol), field(address), {0x63, 0xDD}, varint(next)}), prefix_bytes);
}

inline bytes login_start(std::string_view name, const bytes& after = {}, std::int32_t prefix_bytes = 0)
{
    return frame(cat({{0x00}, field(name), after}), prefix_bytes);
}

// What the socket holds now, up to most bytes.
inline bytes drain(int fd, std::size_t most = SIZE_MAX)
{
    bytes got;
    static std::uint8_t chunk[65536];
    for (ssize_t n; got.size() < most &&
                    (n = recv(fd, chunk, std::min(sizeof chunk, most - got.size()), MSG_DONTWAIT)) > 0;)
        got.insert(got.end(), chunk, chunk + n);
    return got;
}

// Streams that look like the game protocol often enough to get past the
// framing: packets of any size, many of them the status stage's ids 0 and 1,
// over-long length prefixes, and now and then garbage.
inline bytes random_stream(std::mt19937& random, std::size_t max_size)
{
    bytes out;
    while (out.size() < max_size) {
        bytes body(1 + random() % (random() % 6 == 0 ? 17000 : 300));
        for (auto& b : body)
            b = static_cast<std::uint8_t>(random());
        if (random() % 4 != 0)
            body[0] = static_cast<std::uint8_t>(random() % 3);
        if (random() % 8 == 0)
            body.resize(random() % 4); // garbage, unframed
        else
            body = frame(body, random() % 8 == 0 ? 4 : 0);
        out = cat({out, body});
    }
    return out;
}
