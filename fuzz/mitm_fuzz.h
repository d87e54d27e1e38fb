// Shared by the two rewriter targets: a room record chosen by the input, and
// the checks made on each step's output slices.
#pragma once

#include "control/room.h"
#include "host/log.h"
#include "proxy/rewriter.h"

#include <cstddef>
#include <cstring>

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

inline bool inside(const out_slice& slice, const packet_reader& reader)
{
    if (slice.length == 0)
        return true;
    const std::uint8_t* end = reader.buf + sizeof reader.buf;
    return slice.length > 0 && slice.bytes >= reader.buf && slice.bytes + slice.length <= end;
}

// Touches every output byte, so that the sanitizer sees a slice that strays.
inline std::uint32_t sum(const out_slice& slice)
{
    std::uint32_t total = 0;
    for (std::int32_t i = 0; i < slice.length; i++)
        total += slice.bytes[i];
    return total;
}

// Feeds the stream to one rewriter as the pump does, until it stops.
inline void feed(rewriter step, const packet_reader& reader, const std::uint8_t* bytes, std::size_t count)
{
    volatile std::uint32_t sink = 0;
    for (std::size_t i = 0; i < count; i++) {
        bool stop = step(bytes[i]);
        if (!inside(to_client, reader) || !inside(to_server, reader))
            __builtin_trap();
        sink = sink + sum(to_client) + sum(to_server);
        if (stop)
            break;
    }
}

} // namespace mitm_fuzz
