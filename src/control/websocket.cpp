#include "control/websocket.h"

#include "control/frame.h"
#include "control/handshake.h"
#include "control/room.h"
#include "host/log.h"
#include "host/registry.h"

namespace {

constexpr std::uint8_t greeting[] = {'1'};

int sock_number(int slot)
{
    return static_cast<int>(ws_slots[slot].sock);
}

} // namespace

void ws_on_readable(int slot)
{
    ws_slot& page = ws_slots[slot];
    recv_len = net_recv(page.sock, recv_buf, recv_buf_size);
    if (recv_len <= 0) {
        ws_close(slot);
        return;
    }
    log_line(tag_ws, "packet, sock %d, state %d", sock_number(slot), static_cast<int>(page.state));

    if (page.state == ws_state_handshake) {
        if (ws_scan_headers(recv_buf, recv_len))
            page.origin_ok = 1;
        if (page.origin_ok == 0) {
            log_line(tag_ws, "origin error");
            ws_close(slot);
            return;
        }
    }
    log_line(tag_ws, "state %d, sock %d", static_cast<int>(page.state), sock_number(slot));

    bool closed;
    if (page.state == ws_state_open) {
        closed = ws_read_frame(slot);
    } else if (page.state == ws_state_handshake) {
        closed = ws_handshake(slot, recv_buf, recv_len);
    } else {
        log_line(tag_ws, "unknown state");
        ws_close(slot);
        closed = true;
    }
    // A failed room echo may have freed this very slot; the line then shows 0.
    if (!closed)
        log_line(tag_ws, "packet finish, sock %d", sock_number(slot));
}

bool ws_handshake(int slot, const std::uint8_t* bytes, std::int32_t count)
{
    ws_request request = ws_parse_request(bytes, count);
    sock_t sock = ws_slots[slot].sock;

    if (request.version != ws_version) {
        recv_len = format_reply(recv_buf_size, "HTTP/1.1 400 Bad Request\r\n%s: %d\r\n\r\nBad request",
                                ws_name_version, ws_version);
        send_all(sock, recv_buf, recv_len);
        ws_close(slot);
        return true;
    }

    char accept[ws_accept_length + 1];
    ws_accept_key(request.key, request.key_length, accept);
    recv_len =
        format_reply(recv_buf_size, "HTTP/1.1 101 Switching Protocols\r\n%s: %s\r\n%s: %s\r\n%s: %s\r\n\r\n",
                     "UPGRADE", "websocket", "CONNECTION", "UPGRADE", "SEC-WEBSOCKET-ACCEPT", accept);
    bool failed = send_all(sock, recv_buf, recv_len);
    if (!failed) {
        ws_write_frame(ws_opcode_text, greeting, sizeof greeting);
        failed = send_all(sock, recv_buf, recv_len);
    }
    if (!failed) {
        ws_write_frame(ws_opcode_binary, room_record, room_length);
        failed = send_all(sock, recv_buf, recv_len);
    }
    if (failed) {
        ws_close(slot);
        return true;
    }
    ws_slots[slot].state = ws_state_open;
    log_line(tag_ws, "open, sock = %d", sock_number(slot));
    return false;
}

void ws_close(int slot)
{
    log_line(tag_ws, "close, sock %d", sock_number(slot));
    net_close(ws_slots[slot].sock);
    ws_slots[slot] = {};
}
