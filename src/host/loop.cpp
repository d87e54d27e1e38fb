#include "host/loop.h"

#include "control/websocket.h"
#include "control/room.h"
#include "game/standby.h"
#include "host/log.h"
#include "host/registry.h"
#include "proxy/proxy.h"

namespace {

// Accepts on a listener and sets no-delay; invalid_sock after the error line.
sock_t accept_connection(sock_t listener)
{
    sock_t newcomer = net_accept(listener);
    if (newcomer == invalid_sock) {
        net_perror("SOCK_CHECK_ERR");
        return invalid_sock;
    }
    if (!net_set_nodelay(newcomer)) {
        net_perror("SOCK_CHECK_ERR");
        net_close(newcomer);
        return invalid_sock;
    }
    return newcomer;
}

}  // namespace

sock_t open_listener(std::uint16_t port)
{
    sock_t s = net_tcp_socket(false);
    if (s != invalid_sock && net_set_listener_options(s) && net_bind_loopback(s, port) &&
        net_listen(s, listen_backlog))
        return s;
    net_perror("SOCK_CHECK_ERR");
    // Each retry would otherwise leak a socket.
    if (s != invalid_sock)
        net_close(s);
    return invalid_sock;
}

void ws_accept(sock_t ws_master)
{
    sock_t newcomer = accept_connection(ws_master);
    int slot = 0;
    while (slot < ws_slot_count && ws_slots[slot].sock != 0)
        slot++;
    if (slot == ws_slot_count) {
        log_line(tag_ws, "no space to put");
        if (newcomer != invalid_sock)
            net_close(newcomer);
        return;
    }
    if (newcomer == invalid_sock) {
        log_line(tag_ws, "invalid new server sock");
        return;
    }
    ws_slots[slot].sock = newcomer;
    log_line(tag_ws, "putted, sock %d in %d", static_cast<int>(newcomer), slot);
}

void accept_game_client(sock_t mc_master)
{
    sock_t newcomer = accept_connection(mc_master);
    log_line(tag_proxy, "incoming mc master");
    if (handle_kind == handle_no_room) {
        log_line(tag_proxy, "no room replaced");
        close_handler();
    }
    if (newcomer == invalid_sock) {
        log_line(tag_proxy, "new mc server is invalid");
        return;
    }
    // Tools that learn the server's version first (minecraft-protocol among
    // them) open the login connection, keep it silent and ping on a second
    // one: the ping takes the untouched proxy and the login waits its turn.
    if (handle_kind == handle_proxy && proxy_untouched() && held_sock == invalid_sock) {
        held_sock = client_sock;
        client_sock = newcomer;
        log_line(tag_proxy, "silent client held");
        return;
    }
    // A client that pings and then connects at once to log in finds its
    // finished ping still open; the login takes its place.
    if (handle_kind == handle_proxy && !proxy_status_done()) {
        net_close(newcomer);
        log_line(tag_proxy, "rejected client");
        return;
    }
    if (handle_kind == handle_proxy) {
        log_line(tag_proxy, "status proxy replaced");
        close_handler();
    }
    admit_game_client(newcomer);
}

void admit_game_client(sock_t newcomer)
{
    if (room_length == room_length_none) {
        handle_kind = handle_no_room;
        client_sock = newcomer;
        no_room_reset();
        log_line(tag_proxy, "no room handle reset");
        return;
    }
    log_line(tag_proxy, "creating proxy");
    if (create_proxy(newcomer))
        log_line(tag_proxy, "created proxy");
    else
        log_line(tag_proxy, "proxy is invalid");
}

int run_loop(sock_t ws_master, sock_t mc_master)
{
    // The slots' sockets as they were watched in this pass: a connection
    // accepted during the pass may reuse a value that was ready, and must
    // first be watched in the next pass.
    sock_t watched[ws_slot_count];

    for (;;) {
        if (handle_kind == handle_none && held_sock != invalid_sock) {
            sock_t held = held_sock;
            held_sock = invalid_sock;
            log_line(tag_proxy, "held client admitted");
            admit_game_client(held);
        }
        wait_clear();
        wait_add_read(ws_master);
        wait_add_read(mc_master);
        if (handle_kind == handle_no_room)
            wait_add_read(client_sock);
        // A proxy whose room server cannot be reached has only its game client.
        bool server_watched = handle_kind == handle_proxy && server_sock != invalid_sock;
        if (server_watched) {
            wait_add_read(server_sock);
            if (to_server_fill != 0)
                wait_add_write(server_sock);
        }
        if (handle_kind == handle_proxy)
            wait_add_read(client_sock);
        for (int slot = 0; slot < ws_slot_count; slot++) {
            watched[slot] = ws_slots[slot].sock;
            if (watched[slot] != 0)
                wait_add_read(watched[slot]);
        }

        if (wait_run() <= 0) {
            log_line(tag_misc, "select broke");
            return 1;
        }

        if (server_watched && handle_kind == handle_proxy && wait_writable(server_sock))
            proxy_server_writable();
        bool client_ready = handle_kind != handle_none && wait_readable(client_sock);
        if (handle_kind == handle_no_room && client_ready)
            no_room_receive();
        bool client_step_ended = false;
        if (handle_kind == handle_proxy && client_ready) {
            proxy_client_readable();
            client_step_ended = handle_kind != handle_proxy;
        }
        if (!client_step_ended && server_watched && handle_kind == handle_proxy && server_sock != invalid_sock &&
            wait_readable(server_sock))
            proxy_server_readable();
        if (wait_readable(ws_master))
            ws_accept(ws_master);
        if (wait_readable(mc_master))
            accept_game_client(mc_master);
        for (int slot = 0; slot < ws_slot_count; slot++) {
            sock_t sock = ws_slots[slot].sock;
            if (sock != 0 && sock == watched[slot] && wait_readable(sock))
                ws_on_readable(slot);
        }
    }
}

int host_main()
{
    console_setup();
    if (!net_startup()) {
        log_line(tag_misc, "WSAStartup failed");
        return 1;
    }

    log_line(tag_misc, "assigning websocket master");
    unsigned failures = 0;
    sock_t ws_master = open_listener(ws_master_port);
    while (ws_master == invalid_sock) {
        failures++;
        log_line(tag_misc, "error assigning websocket master");
        if (failures > ws_master_max_failures)
            return 1;
        net_sleep_ms(listener_retry_pause_ms);
        ws_master = open_listener(ws_master_port);
    }
    log_line(tag_misc, "websocket master assigned: %d", static_cast<int>(ws_master));

    log_line(tag_misc, "assigning minecraft master");
    sock_t mc_master = open_listener(mc_master_port);
    while (mc_master == invalid_sock) {
        log_line(tag_misc, "error assigning minecraft master");
        net_sleep_ms(listener_retry_pause_ms);
        mc_master = open_listener(mc_master_port);
    }
    log_line(tag_misc, "minecraft master assigned: %d", static_cast<int>(mc_master));

    return run_loop(ws_master, mc_master);
}
