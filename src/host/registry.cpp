#include "host/registry.h"

#include "host/log.h"

#include <cstring>

ws_slot ws_slots[ws_slot_count];

std::uint8_t handle_kind;
sock_t client_sock;
sock_t server_sock;
sock_t held_sock = invalid_sock;

std::uint8_t recv_buf[relay_read_size];
std::int32_t recv_len;

bool send_all(sock_t sock, const std::uint8_t* bytes, std::int32_t length)
{
    net_piece piece{bytes, length};
    return length > 0 && send_all_pieces(sock, &piece, 1);
}

bool send_all_pieces(sock_t sock, net_piece* pieces, int count)
{
    while (count > 0) {
        int sent = net_send_pieces(sock, pieces, count);
        if (sent < 0 && net_would_block() && net_wait_writable(sock, send_block_limit_ms))
            continue;
        if (sent <= 0) {
            log_line(tag_misc, "send fails");
            net_perror("");
            return true;
        }
        while (count > 0 && sent >= pieces->length) {
            sent -= pieces->length;
            pieces++;
            count--;
        }
        if (count > 0) {
            pieces->bytes += sent;
            pieces->length -= sent;
        }
    }
    return false;
}

void close_handler(bool gently)
{
    log_line(tag_proxy, "close, handle_kind %d", handle_kind);
    if (handle_kind == handle_proxy && server_sock != invalid_sock)
        net_close(server_sock);
    if ((handle_kind == handle_proxy || handle_kind == handle_no_room) && gently)
        net_close_gently(client_sock);
    else if (handle_kind == handle_proxy || handle_kind == handle_no_room)
        net_close(client_sock);
    handle_kind = handle_none;
}

void registry_reset()
{
    std::memset(ws_slots, 0, sizeof ws_slots);
    handle_kind = handle_none;
    client_sock = 0;
    server_sock = 0;
    held_sock = invalid_sock;
    recv_len = 0;
}
