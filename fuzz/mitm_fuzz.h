// Shared by the two rewriter targets: a room record chosen by the input, and
// the comparison of the one-byte step with the fast path on the same stream.
#pragma once

#include "control/room.h"
#include "host/log.h"
#include "proxy/rewriter.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace mitm_fuzz {

inline void discard(const char*, std::int32_t) {}

// Takes the room from the front of the input: one byte picks the command's
// length (none, IPv4 or IPv6), then up to 98 record bytes.
inline std::size_t take_room(const std::uint8_t* data, std::size_t size)
{
    room_reset();
    if (size == 0)
        return 0;
    const std::uint32_t lengths[] = {room_length_none, room_length_ipv4, room_length_ipv6};
    room_length = lengths[data[0] % 3];
    std::size_t record = size - 1 < room_record_size ? size - 1 : room_record_size;
    std::memcpy(room_record, data + 1, record);
    return 1 + record;
}

inline bool inside(const out_slice& slice, const std::uint8_t* begin, const std::uint8_t* end)
{
    return slice.length == 0 ||
           (slice.length > 0 && slice.bytes >= begin && slice.bytes + slice.length <= end);
}

struct trace {
    std::vector<std::uint8_t> client;
    std::vector<std::uint8_t> server;
    std::string log;
    std::size_t stopped_at = 0;
    bool stopped = false;
};

inline trace* tracing;

inline void capture(const char* line, std::int32_t length)
{
    tracing->log.append(line, static_cast<std::size_t>(length));
}

// Feeds the stream to one rewriter until it stops, as the relay does: with a
// fast path, each read (of a length the seed picks) goes to it first and byte
// by byte only where it declines. Every output slice must lie within the
// rewriter's buffer or the input, and is kept.
inline trace feed(rewriter step, rewriter_run fast, const packet_reader& reader,
                  std::vector<std::uint8_t> bytes, std::uint32_t seed)
{
    trace out;
    tracing = &out;
    log_set_sink(capture);
    const std::uint8_t* buf_end = reader.buf + sizeof reader.buf;
    auto keep = [&]() {
        if (!inside(to_client, reader.buf, buf_end) &&
            !inside(to_client, bytes.data(), bytes.data() + bytes.size()))
            __builtin_trap();
        if (!inside(to_server, reader.buf, buf_end) &&
            !inside(to_server, bytes.data(), bytes.data() + bytes.size()))
            __builtin_trap();
        out.client.insert(out.client.end(), to_client.bytes, to_client.bytes + to_client.length);
        out.server.insert(out.server.end(), to_server.bytes, to_server.bytes + to_server.length);
    };
    std::size_t read_end = 0;
    for (std::size_t i = 0; i < bytes.size();) {
        if (i == read_end) {
            seed = seed * 1664525u + 1013904223u;
            read_end = i + 1 + (seed >> 16) % 65536;
        }
        std::size_t limit = std::min(read_end, bytes.size());
        bool whole = false;
        std::int32_t taken =
            fast != nullptr ? fast(bytes.data() + i, static_cast<std::int32_t>(limit - i), &whole) : 0;
        if (taken < 0 || static_cast<std::size_t>(taken) > limit - i)
            __builtin_trap();
        if (taken > 0) {
            // Bytes passed on one by one are the run's own: the pump counts them so.
            for (const out_slice* slice : {&to_client, &to_server}) {
                if (!whole && slice->length != 0 &&
                    (slice->bytes != bytes.data() + i || slice->length != taken))
                    __builtin_trap();
            }
            keep();
            i += static_cast<std::size_t>(taken);
            continue;
        }
        if (!step(bytes[i])) {
            out.stopped = true;
            out.stopped_at = i;
            break;
        }
        keep();
        i++;
    }
    log_set_sink(discard);
    return out;
}

// The stream through the one-byte step alone and through the fast path in
// reads of random lengths: bytes, stop and log must be the same.
template <typename Setup>
void compare(rewriter step, rewriter_run fast, const packet_reader& reader, Setup setup,
             const std::uint8_t* bytes, std::size_t count)
{
    std::uint32_t seed = count > 0 ? bytes[0] * 2654435761u : 0;
    std::vector<std::uint8_t> stream(bytes, bytes + count);
    if (count > 0 && (seed >> 8) % 4 == 0) {
        // A long packet made of the input's own bytes, somewhere in the stream:
        // between packets or inside one.
        std::uint32_t length = 16000 + (seed >> 12) % 65536;
        std::vector<std::uint8_t> big;
        for (std::uint32_t rest = length; rest >= 0x80; rest >>= 7)
            big.push_back(static_cast<std::uint8_t>(rest | 0x80));
        big.push_back(static_cast<std::uint8_t>(length >> (7 * big.size())));
        for (std::uint32_t i = 0; i < length; i++)
            big.push_back(bytes[i % count]);
        stream.insert(stream.begin() + (seed >> 3) % (count + 1), big.begin(), big.end());
    }
    setup();
    trace slow = feed(step, nullptr, reader, stream, seed);
    std::uint32_t slow_relayed = relayed_bytes;
    setup();
    trace quick = feed(step, fast, reader, stream, seed);
    if (slow.client != quick.client || slow.server != quick.server || slow.log != quick.log ||
        slow.stopped != quick.stopped || slow.stopped_at != quick.stopped_at || slow_relayed != relayed_bytes)
        __builtin_trap();
}

} // namespace mitm_fuzz
