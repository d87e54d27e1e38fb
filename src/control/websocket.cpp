#include "control/websocket.h"

#include "control/frame.h"
#include "control/handshake.h"
#include "control/room.h"
#include "control/room_command.h"
#include "host/log.h"
#include "host/registry.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint8_t greeting[] = {'1'};

int sock_number(int slot)
{
    return static_cast<int>(ws_slots[slot].sock);
}

// Formats a reply into recv_buf with snprintf's conventions and returns its
// length; the replies are short and fixed, far below recv_buf_size.
std::int32_t format_reply(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::int32_t format_reply(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(reinterpret_cast<char*>(recv_buf), recv_buf_size, format, args);
    va_end(args);
    return length < 0 ? 0 : length < recv_buf_size ? length : recv_buf_size - 1;
}

// Handles the unit in recv_buf (the whole opening request, or one frame, or
// bytes that cannot be one) as one read.
ws_unit_result handle_unit(int slot)
{
    ws_slot& page = ws_slots[slot];
    log_line(tag_ws, "packet, sock %d, state %d", sock_number(slot), static_cast<int>(page.state));

    if (page.state == ws_state_handshake) {
        if (ws_scan_headers(recv_buf, recv_len))
            page.origin_ok = true;
        if (!page.origin_ok) {
            log_line(tag_ws, "origin error");
            ws_close(slot);
            return ws_unit_result::closed;
        }
    }
    log_line(tag_ws, "state %d, sock %d", static_cast<int>(page.state), sock_number(slot));

    ws_unit_result result;
    if (page.state == ws_state_open) {
        result = ws_read_frame(slot);
    } else if (page.state == ws_state_handshake) {
        result = ws_handshake(slot, recv_buf, recv_len) ? ws_unit_result::closed : ws_unit_result::open;
    } else {
        log_line(tag_ws, "unknown state");
        ws_close(slot);
        result = ws_unit_result::closed;
    }
    // A failed room echo may have freed this very slot; the line then shows 0.
    if (result != ws_unit_result::closed)
        log_line(tag_ws, "packet finish, sock %d", sock_number(slot));
    return result;
}

// Moves the first length gathered bytes into recv_buf, as one read.
void take_unit(int slot, std::int32_t length)
{
    ws_slot& page = ws_slots[slot];
    std::memcpy(recv_buf, ws_in[slot], static_cast<std::size_t>(length));
    recv_len = length;
    page.in_len -= length;
    std::memmove(ws_in[slot], ws_in[slot] + length, static_cast<std::size_t>(page.in_len));
}

// The length of the opening request up to its blank line; 0 while that has
// not arrived.
std::int32_t request_length(const std::uint8_t* bytes, std::int32_t count)
{
    for (std::int32_t i = 0; i + 3 < count; i++) {
        if (bytes[i] == '\r' && bytes[i + 1] == '\n' && bytes[i + 2] == '\r' && bytes[i + 3] == '\n')
            return i + 4;
    }
    return 0;
}

} // namespace

bool ws_received(int slot, std::int32_t count)
{
    ws_slot& page = ws_slots[slot];
    page.in_len += count;
    bool room_changed = false;
    // True when the slot is gone, after a close or a failed room echo.
    auto handle = [&] {
        ws_unit_result result = handle_unit(slot);
        room_changed = room_changed || result == ws_unit_result::room_changed;
        return result == ws_unit_result::closed || ws_slots[slot].sock == 0;
    };

    if (page.state == ws_state_handshake) {
        std::int32_t length = request_length(ws_in[slot], page.in_len);
        if (length == 0) {
            // A request longer than a read can never be answered.
            if (page.in_len == recv_buf_size)
                ws_close(slot);
            return false;
        }
        take_unit(slot, length);
        if (handle())
            return room_changed;
    }
    // Frames are handled one by one, however the reads cut them.
    while (page.in_len > 0) {
        std::int32_t size = ws_frame_size(ws_in[slot], page.in_len);
        if (size == 0 || size > page.in_len)
            break;
        take_unit(slot, size < 0 ? page.in_len : size);
        if (handle())
            break;
    }
    return room_changed;
}

bool ws_handshake(int slot, const std::uint8_t* bytes, std::int32_t count)
{
    ws_request request = ws_parse_request(bytes, count);

    if (request.version != ws_version) {
        recv_len = format_reply("HTTP/1.1 400 Bad Request\r\n%s: %d\r\n\r\nBad request", ws_name_version,
                                ws_version);
        out_send(ws_out[slot], recv_buf, recv_len);
        ws_close(slot);
        return true;
    }

    char accept[ws_accept_length + 1];
    ws_accept_key(request.key, request.key_length, accept);
    recv_len = format_reply("HTTP/1.1 101 Switching Protocols\r\n%s: %s\r\n%s: %s\r\n%s: %s\r\n\r\n",
                            "UPGRADE", "websocket", "CONNECTION", "UPGRADE", "SEC-WEBSOCKET-ACCEPT", accept);
    out_buffer& out = ws_out[slot];
    bool failed = out_send(out, recv_buf, recv_len) != out_result::ok;
    if (!failed) {
        ws_write_frame(ws_opcode_text, greeting, sizeof greeting);
        failed = out_send(out, recv_buf, recv_len) != out_result::ok;
    }
    if (!failed) {
        ws_write_frame(ws_opcode_binary, room_record, room_length);
        failed = out_send(out, recv_buf, recv_len) != out_result::ok;
    }
    if (failed) {
        ws_close(slot);
        return true;
    }
    ws_slots[slot].state = ws_state_open;
    log_line(tag_ws, "open, sock = %d", sock_number(slot));
    return false;
}

ws_unit_result ws_read_frame(int slot)
{
    ws_frame frame = ws_parse_frame(recv_buf, recv_len);
    if (frame.kind == ws_frame_kind::refused) {
        ws_close(slot);
        return ws_unit_result::closed;
    }
    if (frame.kind == ws_frame_kind::binary && room_command(frame.payload, frame.length))
        return ws_unit_result::room_changed;
    return ws_unit_result::open;
}
