#include "control/websocket.h"

#include "host/log.h"
#include "host/registry.h"

void ws_on_readable(int slot)
{
    recv_len = net_recv(ws_slots[slot].sock, recv_buf, recv_buf_size);
    if (recv_len <= 0)
        ws_close(slot);
}

void ws_close(int slot)
{
    log_line(tag_ws, "close, sock %d", static_cast<int>(ws_slots[slot].sock));
    net_close(ws_slots[slot].sock);
    ws_slots[slot] = {};
}
