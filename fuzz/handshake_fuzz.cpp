// Fuzz target: the header scan and the request parse of a handshake read,
// then (on POSIX) the same bytes as the first two reads of a browser connection.
#include "control/handshake.h"
#include "control/room.h"
#include "control/websocket.h"
#include "host/log.h"
#include "host/loop.h"
#include "host/registry.h"

#include <cstring>
#include <vector>

#if !defined(_WIN32)
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

constexpr std::int32_t request_log_max = 4096;
std::int32_t request_log;

// Every line ends at its line feed, holds no other control byte, and the
// lines of one request, or of one frame, stay within request_log_max.
void check_line(const char* line, std::int32_t length)
{
    constexpr char unit_start[] = "[WS] packet, sock ";
    constexpr std::int32_t unit_start_length = sizeof unit_start - 1;
    if (length >= unit_start_length && std::memcmp(line, unit_start, unit_start_length) == 0)
        request_log = 0;
    for (std::int32_t i = 0; i + 1 < length; i++)
        if (static_cast<std::uint8_t>(line[i]) < 0x20 || line[i] == 0x7F)
            __builtin_trap();
    if (length < 1 || line[length - 1] != '\n')
        __builtin_trap();
    request_log += length;
    if (request_log > request_log_max)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    if (size > 16384)
        return 0;
    log_set_sink(check_line);
    request_log = 0;
    // A buffer of exactly the read's size, so that any byte read beyond it is caught.
    std::vector<std::uint8_t> read(data, data + size);
    auto count = static_cast<std::int32_t>(size);
    ws_scan_headers(read.data(), count);
    ws_request request = ws_parse_request(read.data(), count);
    char accept[ws_accept_length + 1];
    ws_accept_key(request.key, request.key_length, accept);
    if (std::strlen(accept) != 0 && std::strlen(accept) != ws_accept_length)
        __builtin_trap();

#if !defined(_WIN32)
    // The same bytes on a new page's connection, replies and closes included.
    if (size == 0)
        return 0;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        __builtin_trap();
    int buffer = 1 << 20;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    registry_reset();
    room_reset();
    request_log = 0;
    ws_slots[0] = {pair[0], ws_state_handshake, 0, 0, 0};
    ws_out_reset(0);
    // In two reads, cut where the first byte says: the request is gathered
    // up to its blank line however it arrives.
    std::size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    for (std::size_t from = 0, to = cut; from < size && ws_slots[0].sock != 0; from = to, to = size) {
        if (to == from)
            continue;
        if (send(pair[1], data + from, to - from, MSG_NOSIGNAL) != static_cast<ssize_t>(to - from))
            __builtin_trap();
        read_page(0);
        if (ws_slots[0].in_len < 0 || ws_slots[0].in_len >= recv_buf_size)
            __builtin_trap();
    }
    // A request is answered or refused once its blank line is in; until then
    // it is only gathered.
    if (ws_slots[0].sock != 0 && ws_slots[0].state != ws_state_open && ws_slots[0].in_len == 0)
        __builtin_trap();
    if (ws_slots[0].sock != 0)
        ws_close(0);
    close(pair[1]);
#endif
    return 0;
}
