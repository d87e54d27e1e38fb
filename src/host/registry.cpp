#include "host/registry.h"

#include "host/log.h"

#include <cstring>

ws_slot ws_slots[ws_slot_count];

handler_kind handle_kind;
sock_t client_sock;
sock_t server_sock;
sock_t held_sock = invalid_sock;

std::uint8_t recv_buf[relay_read_size];
std::int32_t recv_len;

std::uint8_t ws_in[ws_slot_count][recv_buf_size];
out_buffer ws_out[ws_slot_count];

out_buffer client_out;
out_buffer server_out;
bool handler_draining;
bool client_farewell;
std::int64_t handler_heard_at;
std::int64_t held_since;
linger_entry lingering[linger_count];

namespace {

std::uint8_t ws_out_storage[ws_slot_count][ws_out_size];
std::uint8_t client_out_storage[relay_out_size];
std::uint8_t server_out_storage[relay_out_size];

} // namespace

void handler_outputs_reset()
{
    out_reset(client_out, client_sock, client_out_storage, relay_out_size);
    out_reset(server_out, server_sock, server_out_storage, relay_out_size);
    handler_draining = false;
    client_farewell = false;
}

void ws_close(int slot, bool quiet)
{
    if (!quiet)
        log_line(tag_ws, "close, sock %d", static_cast<int>(ws_slots[slot].sock));
    out_write(ws_out[slot], true);
    net_close(ws_slots[slot].sock);
    ws_slots[slot] = {};
}

void ws_out_reset(int slot)
{
    out_reset(ws_out[slot], ws_slots[slot].sock, ws_out_storage[slot], ws_out_size);
}

void close_handler()
{
    log_line(tag_proxy, "close, handle_kind %d", static_cast<int>(handle_kind));
    if (handle_kind == handle_proxy && server_sock != invalid_sock) {
        out_write(server_out, true);
        net_close(server_sock);
    }
    if (handle_kind == handle_proxy || handle_kind == handle_no_room) {
        out_write(client_out, true);
        if (client_farewell)
            linger_start(client_sock);
        else
            net_close(client_sock);
    }
    handle_kind = handle_none;
    client_farewell = false;
    out_clear(client_out);
    out_clear(server_out);
    handler_draining = false;
}

void linger_start(sock_t s)
{
    int slot = 0;
    for (int i = 1; i < linger_count && lingering[slot].sock != 0; i++) {
        if (lingering[i].sock == 0 || lingering[i].until < lingering[slot].until)
            slot = i;
    }
    if (lingering[slot].sock != 0)
        net_close(lingering[slot].sock);
    net_shutdown_send(s);
    lingering[slot] = {s, net_now_ms() + linger_limit_ms};
}

void registry_reset()
{
    std::memset(ws_slots, 0, sizeof ws_slots);
    for (int slot = 0; slot < ws_slot_count; slot++)
        ws_out_reset(slot);
    handle_kind = handle_none;
    client_sock = 0;
    server_sock = 0;
    held_sock = invalid_sock;
    recv_len = 0;
    for (linger_entry& entry : lingering) {
        if (entry.sock != 0)
            net_close(entry.sock);
        entry = {};
    }
    handler_outputs_reset();
}
