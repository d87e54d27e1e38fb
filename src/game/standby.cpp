#include "game/standby.h"

#include "host/registry.h"

void no_room_reset()
{
}

void no_room_receive()
{
    recv_len = net_recv(client_sock, recv_buf, recv_buf_size);
    close_handler();
}
