#include "proxy/proxy.h"

#include "control/room.h"
#include "host/log.h"
#include "host/registry.h"
#include "proxy/pump.h"
#include "proxy/rewriter.h"

namespace {

// One read from the game client (from_client) or the room server through its
// rewriter. Returns the kill value that ends the proxy: 0 when the read found
// the peer gone, 1 when a rewriter or a send stopped it; -1 to go on.
int relay_from(bool from_client)
{
    recv_len = net_recv(from_client ? client_sock : server_sock, recv_buf, relay_read_size);
    if (recv_len <= 0)
        return 0;
    bool stopped = from_client ? proxy_pump(client_sock, server_sock, recv_len, mitm_c2s, mitm_c2s_run)
                               : proxy_pump(client_sock, server_sock, recv_len, mitm_s2c, mitm_s2c_run);
    return stopped ? 1 : -1;
}

} // namespace

bool create_proxy(sock_t client)
{
    room_address_result address = room_address();
    sock_t server = net_tcp_socket(address.ipv6);
    // The connect completes in the background; a failure shows on the socket
    // as readable (the receive reports it) or, with bytes waiting, as writable.
    if (server == invalid_sock || !net_set_nonblocking(server) || !net_set_nodelay(server) ||
        !net_connect(server, address.ipv6, address.port, address.address)) {
        net_perror("SOCK_CHECK_ERR");
        if (server != invalid_sock)
            net_close(server);
        server_sock = invalid_sock;
        net_close(client);
        return false;
    }
    server_sock = server;
    handle_kind = handle_proxy;
    client_sock = client;
    to_server_clear();
    mitm_reset();
    return true;
}

bool proxy_status_done()
{
    return next_state == next_state_status && c2s_reader.len_shift == 0 && c2s_reader.in_body == 0;
}

bool proxy_untouched()
{
    return relayed_bytes == 0;
}

void proxy_client_readable()
{
    int kill = relay_from(true);
    if (kill < 0) {
        offer_to_server(server_sock);
        return;
    }
    log_line(tag_proxy, "c2s killed %d", kill);
    close_handler();
}

void proxy_server_readable()
{
    int kill = relay_from(false);
    if (kill < 0)
        return;
    log_line(tag_proxy, "s2c killed %d", kill);
    close_handler();
}

void proxy_server_writable()
{
    if (flush_to_server(server_sock))
        close_handler();
    to_server_clear();
}
