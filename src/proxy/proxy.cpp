#include "proxy/proxy.h"

#include "control/room.h"
#include "host/log.h"
#include "host/loop.h"
#include "host/registry.h"
#include "proxy/pump.h"
#include "proxy/rewriter.h"

namespace {

// One read from the game client (from_client) or the room server through its
// rewriter. Returns the kill value that ends the proxy: 0 when the read found
// the peer gone, 1 when a rewriter or a send stopped it; -1 to go on.
int relay_from(bool from_client)
{
    // A read takes no more than its output is sure to find room for: its own
    // bytes, and the packet its rewriter holds from before with a new prefix.
    const packet_reader& reader = from_client ? c2s_reader : s2c_reader;
    std::int32_t pending = out_pending(client_out);
    if (from_client && out_pending(server_out) > pending)
        pending = out_pending(server_out);
    // Past its buffer a packet's bytes go on as they come, and none are held.
    std::int32_t held = reader.received <= packet_buf_size ? reader.received : 0;
    std::int32_t room = relay_out_size - pending - held - packet_head_room - 8;
    recv_len = net_recv(from_client ? client_sock : server_sock, recv_buf,
                        room < relay_read_size ? room : relay_read_size);
    if (recv_len < 0 && net_would_block())
        return -1;
    if (recv_len <= 0)
        return 0;
    bool stopped = from_client ? proxy_pump(recv_len, mitm_c2s, mitm_c2s_run)
                               : proxy_pump(recv_len, mitm_s2c, mitm_s2c_run);
    return stopped ? 1 : -1;
}

// Reads happen only at or below the bound, where this leaves relay_min_read.
static_assert(relay_out_carry >= packet_buf_size + packet_head_room + 8);

// Set while reading is held back for the output toward the game client and
// the room server.
bool client_held;
bool server_held;

// Reading stops while more than relay_out_bound bytes wait, and starts again
// once no more than half of that does, so that the reads stay large.
bool below_bound(const out_buffer& out, bool& held)
{
    if (out_pending(out) > relay_out_bound)
        held = true;
    else if (out_pending(out) <= relay_out_bound / 2)
        held = false;
    return !held;
}

// Ends the proxy after a failed send of waiting output.
void write_or_close(out_buffer& out)
{
    if (out_write(out))
        close_handler();
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
    handler_outputs_reset();
    client_held = false;
    server_held = false;
    mitm_reset();
    return true;
}

bool proxy_status_done()
{
    return next_state == next_state_status && c2s_reader.len_shift == 0 && c2s_reader.in_body == 0 &&
           out_pending(client_out) == 0;
}

bool proxy_untouched()
{
    return relayed_bytes == 0;
}

void proxy_client_readable()
{
    int kill = relay_from(true);
    if (kill < 0)
        return;
    log_line(tag_proxy, "c2s killed %d", kill);
    end_handler_after_output();
}

void proxy_server_readable()
{
    int kill = relay_from(false);
    if (kill < 0)
        return;
    log_line(tag_proxy, "s2c killed %d", kill);
    end_handler_after_output();
}

bool proxy_wants_client()
{
    return !handler_draining && below_bound(client_out, client_held) && below_bound(server_out, server_held);
}

bool proxy_wants_server()
{
    return !handler_draining && below_bound(client_out, client_held);
}

void proxy_client_writable()
{
    write_or_close(client_out);
}

void proxy_server_writable()
{
    write_or_close(server_out);
}
