#include "proxy/proxy.h"

#include "host/registry.h"

std::int32_t to_server_fill;

bool create_proxy(sock_t client)
{
    net_close(client);
    server_sock = invalid_sock;
    return false;
}

void proxy_client_readable()
{
}

void proxy_server_readable()
{
}

void proxy_server_writable()
{
    to_server_fill = 0;
}
