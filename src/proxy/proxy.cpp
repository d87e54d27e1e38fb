#include "proxy/proxy.h"

#include "build_config.h"
#include "control/room.h"
#include "host/log.h"
#include "host/registry.h"
#include "proxy/farewell.h"
#include "proxy/follow.h"
#include "proxy/pump.h"
#include "proxy/rewriter.h"

#include <cstring>

namespace {

// The room this proxy was made for: a room command replaces the record, and
// the farewell still names the room the player leaves.
std::uint8_t proxy_room[room_record_size];
std::uint32_t proxy_room_length;
// Once the room server has sent or taken bytes, a failure is no longer a
// failure to reach it.
bool server_heard;
// While the room server cannot be reached, the game client is answered by
// the proxy alone; this is the error's text.
char server_error[256];
std::uint8_t farewell_buf[farewell_buf_size];

text_piece piece(const char* text)
{
    return {reinterpret_cast<const std::uint8_t*>(text), static_cast<std::int32_t>(std::strlen(text))};
}

text_piece piece(room_text_result text)
{
    return {text.text, text.length};
}

// Sends what farewell_buf holds, if anything, and ends the proxy.
void end_with_farewell(std::int32_t length, const char* what)
{
    bool gently = length > 0;
    if (length > 0) {
        log_line(tag_proxy, "sent %s", what);
        gently = !send_all(client_sock, farewell_buf, length);
    }
    close_handler(gently);
}

// The room server could not be reached: its socket goes, and from now on
// the game client is answered by the proxy alone.
void room_unreachable()
{
    int error = net_last_error();
    net_perror("SOCK_CHECK_ERR");
    net_error_text(error, server_error, sizeof server_error);
    if (server_sock != invalid_sock)
        net_close(server_sock);
    server_sock = invalid_sock;
    room_server_error = server_error;
    to_server_clear();
}

// Once the game client asked to log in to a room that cannot be reached, it
// is told so, and the proxy ends. True when it ended.
bool refuse_login()
{
    if (room_server_error == nullptr || nick_replaced == 0)
        return false;
    char address[64];
    room_address_text(room_address_of(proxy_room, proxy_room_length), address, sizeof address);
    const text_piece pieces[] = {
        piece(unreachable_parts[0]), piece(room_text_of(proxy_room, room_field::room_name)),
        piece(unreachable_parts[1]), piece(room_text_of(proxy_room, room_field::owner_name)),
        piece(unreachable_parts[2]), piece(address),
        piece(unreachable_parts[3]), piece(server_error),
        piece(unreachable_parts[4])};
    std::int32_t length = write_disconnect(farewell_buf, follow_form(), pieces, 9);
    log_line(tag_proxy, "s2c killed %d", 0);
    end_with_farewell(length, "login disconnect");
    return true;
}

// Until the room server has been heard from, a failed connection attempt
// may wait on its socket; it then counts as unreachable.
void check_connect()
{
    if (!server_heard && room_server_error == nullptr && net_socket_error(server_sock) != 0)
        room_unreachable();
}

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
    if (server == invalid_sock || !net_set_nonblocking(server) || !net_set_nodelay(server)) {
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
    follow_reset();
    std::memcpy(proxy_room, room_record, room_record_size);
    proxy_room_length = room_length;
    server_heard = false;
    // The connect completes in the background; a failure shows on the socket
    // as readable (the receive reports it) or, with bytes waiting, as writable.
    if (!net_connect(server, address.ipv6, address.port, address.address))
        room_unreachable();
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
    if (server_sock != invalid_sock)
        check_connect();
    int kill = relay_from(true);
    if (kill < 0) {
        std::int32_t waiting = to_server_fill;
        if (room_server_error != nullptr)
            to_server_clear(); // nobody to take them
        else
            offer_to_server(server_sock);
        server_heard = server_heard || to_server_fill < waiting;
        refuse_login();
        return;
    }
    log_line(tag_proxy, "c2s killed %d", kill);
    close_handler();
}

void proxy_server_readable()
{
    int kill = relay_from(false);
    if (kill < 0) {
        server_heard = true;
        return;
    }
    if (recv_len < 0 && !server_heard) {
        room_unreachable();
        refuse_login();
        return;
    }
    log_line(tag_proxy, "s2c killed %d", kill);
    close_handler();
}

void proxy_server_writable()
{
    check_connect();
    if (room_server_error != nullptr) {
        refuse_login();
        return;
    }
    if (flush_to_server(server_sock))
        close_handler();
    else
        server_heard = true;
    to_server_clear();
}

void game_client_room_changed()
{
    if (handle_kind != handle_proxy) {
        close_handler();
        return;
    }
    // A game that can follow goes to the new room by itself; any other is
    // told where it stands.
    client_form form = follow_form();
    if (room_length != room_length_none) {
        std::int32_t length = write_transfer(farewell_buf, form);
        if (length > 0) {
            end_with_farewell(length, "transfer");
            return;
        }
    }
    text_piece pieces[9] = {piece(left_parts[0]), piece(room_text_of(proxy_room, room_field::room_name)),
                            piece(left_parts[1]), piece(room_text_of(proxy_room, room_field::owner_name))};
    int count = 4;
    if (room_length != room_length_none) {
        pieces[count++] = piece(switch_parts[0]);
        pieces[count++] = piece(room_text(room_field::room_name));
        pieces[count++] = piece(switch_parts[1]);
        pieces[count++] = piece(room_text(room_field::owner_name));
        pieces[count++] = piece(switch_parts[2]);
    } else {
        pieces[count++] = piece(leave_parts[0]);
        pieces[count++] = piece(site_domain);
        pieces[count++] = piece(leave_parts[1]);
    }
    end_with_farewell(write_disconnect(farewell_buf, form, pieces, count), "disconnect");
}
