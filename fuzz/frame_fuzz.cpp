// Fuzz target: one read of an open browser connection, through the frame
// reader to the room commands behind it, then the same bytes as a stream cut
// in two reads. The page's socket is one end of a
// socket pair, so that echoes and closes are real and harmless.
#include "control/frame.h"
#include "control/room.h"
#include "control/websocket.h"
#include "host/log.h"
#include "host/loop.h"
#include "host/registry.h"

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#if !defined(_WIN32)
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

void discard(const char*, std::int32_t) {}

// A socket for the page whose peer is drained after each input; on Windows a
// handle that names no socket, so that sends fail and are logged.
sock_t page_socket(int* peer)
{
#if defined(_WIN32)
    *peer = -1;
    return static_cast<sock_t>(0x7FF0);
#else
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        __builtin_trap();
    *peer = pair[1];
    return pair[0];
#endif
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > static_cast<std::size_t>(recv_buf_size))
        return 0;
    log_set_sink(discard);

    // The parser alone, over a buffer of exactly the read's size.
    std::vector<std::uint8_t> read(data, data + size);
    ws_frame frame = ws_parse_frame(read.data(), static_cast<std::int32_t>(size));
    if (frame.kind != ws_frame_kind::refused &&
        (frame.payload < read.data() || frame.payload + frame.length != read.data() + size))
        __builtin_trap();

    // The same read as the loop hands it over.
    registry_reset();
    room_reset();
    int peer;
    ws_slots[0] = {page_socket(&peer), ws_state_open, 1, 0, 0};
    ws_out_reset(0);
    std::memcpy(recv_buf, data, size);
    recv_len = static_cast<std::int32_t>(size);
    bool closed = ws_read_frame(0) == ws_unit_result::closed;
    if (closed && ws_slots[0].sock != 0)
        __builtin_trap();
    if (room_length != room_length_none && room_length != room_length_ipv4 && room_length != room_length_ipv6)
        __builtin_trap();
    // A failed echo has freed the slot already.
    if (ws_slots[0].sock != 0)
        ws_close(0);
#if !defined(_WIN32)
    close(peer);

    // The same bytes as the stream of an open connection, in two reads: the
    // frames in it are gathered and handled one by one, however they are cut.
    registry_reset();
    room_reset();
    ws_slots[0] = {page_socket(&peer), ws_state_open, 1, 0, 0};
    ws_out_reset(0);
    std::size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    for (auto [from, to] : {std::pair<std::size_t, std::size_t>{0, cut}, {cut, size}}) {
        if (to == from || ws_slots[0].sock == 0)
            continue;
        if (send(peer, data + from, to - from, MSG_NOSIGNAL) != static_cast<ssize_t>(to - from))
            __builtin_trap();
        read_page(0);
        if (ws_slots[0].in_len < 0 || ws_slots[0].in_len >= recv_buf_size)
            __builtin_trap();
    }
    if (ws_slots[0].sock != 0)
        ws_close(0);
    close(peer);
#endif
    return 0;
}
