#include "host/loop.h"

#include "control/room.h"
#include "control/websocket.h"
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

// The one read of a ready connection, into capacity bytes at into. False when
// there was nothing to read after all; otherwise got is the count, 0 when the
// peer closed the connection, less than 0 when the read failed.
bool read_ready(sock_t s, std::uint8_t* into, std::int32_t capacity, std::int32_t& got)
{
    got = net_recv(s, into, capacity);
    return got >= 0 || !net_would_block();
}

// Ends a handler that drained, through the way its kind ends.
void end_drained_handler()
{
    if (handle_kind == handle_no_room)
        no_room_kill();
    else
        close_handler();
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
    ws_slots[slot].opened_at = net_now_ms();
    ws_out_reset(slot);
    log_line(tag_ws, "putted, sock %d in %d", static_cast<int>(newcomer), slot);
}

void accept_game_client(sock_t mc_master)
{
    sock_t newcomer = accept_connection(mc_master);
    log_line(tag_proxy, "incoming mc master");
    // A handler that only finishes its output gives way to the newcomer.
    if (handler_draining)
        end_drained_handler();
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
        // Nothing has passed, so nothing waits for the client set aside.
        client_out.sock = newcomer;
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
        handler_outputs_reset();
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

namespace {

// The earlier of two deadlines, -1 standing for none.
std::int64_t earlier(std::int64_t a, std::int64_t b)
{
    return a < 0 || (b >= 0 && b < a) ? b : a;
}

// Ends handlers and pages that have waited too long; returns the next deadline
// still ahead, -1 for none.
std::int64_t check_deadlines(std::int64_t now)
{
    std::int64_t next = handle_kind == handle_proxy ? proxy_deadline(now) : -1;
    int limit = handler_draining ? short_wait_limit_ms : relay_stall_limit_ms;
    if (handle_kind != handle_none) {
        if (handler_draining && (out_stalled(client_out, now, limit) || out_stalled(server_out, now, limit))) {
            end_drained_handler();
        } else if (out_stalled(client_out, now, limit)) {
            log_line(tag_proxy, "game client stalled");
            close_handler();
        } else if (out_stalled(server_out, now, limit)) {
            log_line(tag_proxy, "room server stalled");
            close_handler();
        }
    }
    if (handle_kind != handle_none) {
        next = earlier(out_deadline(client_out, limit), next);
        next = earlier(out_deadline(server_out, limit), next);
    }
    for (int slot = 0; slot < ws_slot_count; slot++) {
        ws_slot& page = ws_slots[slot];
        if (page.sock == 0)
            continue;
        bool unopened = page.state == ws_state_handshake;
        if ((unopened && now - page.opened_at >= short_wait_limit_ms) ||
            out_stalled(ws_out[slot], now, short_wait_limit_ms)) {
            ws_close(slot);
            continue;
        }
        if (unopened)
            next = earlier(page.opened_at + short_wait_limit_ms, next);
        next = earlier(out_deadline(ws_out[slot], short_wait_limit_ms), next);
    }
    return next;
}

} // namespace

bool loop_pass(sock_t ws_master, sock_t mc_master, int max_wait_ms)
{
    // The slots' sockets as they were watched in this pass: a connection
    // accepted during the pass may reuse a value that was ready, and must
    // first be watched in the next pass.
    sock_t watched[ws_slot_count];
    std::int64_t now = net_now_ms();
    std::int64_t deadline = check_deadlines(now);
    // A game client set aside while another was served gets its turn once
    // the handler has ended, after any output it was finishing (the check
    // above may just have ended it).
    if (handle_kind == handle_none && held_sock != invalid_sock) {
        sock_t held = held_sock;
        held_sock = invalid_sock;
        log_line(tag_proxy, "held client admitted");
        admit_game_client(held);
    }

    wait_clear();
    wait_add_read(ws_master);
    wait_add_read(mc_master);
    if (handle_kind == handle_no_room && !handler_draining)
        wait_add_read(client_sock);
    // A proxy whose room server cannot be reached has only its game client.
    bool server_watched = handle_kind == handle_proxy && server_sock != invalid_sock;
    if (server_watched && proxy_wants_server())
        wait_add_read(server_sock);
    if (server_watched && out_pending(server_out) != 0)
        wait_add_write(server_sock);
    if (handle_kind == handle_proxy && proxy_wants_client())
        wait_add_read(client_sock);
    if (handle_kind != handle_none && out_pending(client_out) != 0)
        wait_add_write(client_sock);
    for (int slot = 0; slot < ws_slot_count; slot++) {
        watched[slot] = ws_slots[slot].sock;
        if (watched[slot] == 0)
            continue;
        wait_add_read(watched[slot]);
        if (out_pending(ws_out[slot]) != 0)
            wait_add_write(watched[slot]);
    }

    int timeout = max_wait_ms;
    if (deadline >= 0 && (timeout < 0 || deadline - now < timeout))
        timeout = deadline <= now ? 0 : static_cast<int>(deadline - now);
    if (wait_run(timeout) < 0) {
        log_line(tag_misc, "select broke");
        return false;
    }

    if (server_watched && handle_kind == handle_proxy && wait_writable(server_sock))
        proxy_server_writable();
    if (handle_kind == handle_proxy && wait_writable(client_sock))
        proxy_client_writable();
    else if (handle_kind != handle_none && wait_writable(client_sock) && !out_write(client_out, handler_draining)) {
        if (handler_draining)
            end_drained_handler();
        else
            close_handler();
    }
    if (handler_draining)
        end_handler_after_output();
    if (handle_kind != handle_none && wait_readable(client_sock))
        read_game_client();
    // A proxy that the client's read ended, or set draining, reads no more.
    if (handle_kind == handle_proxy && !handler_draining && server_sock != invalid_sock &&
        wait_readable(server_sock))
        read_room_server();
    if (wait_readable(ws_master))
        ws_accept(ws_master);
    if (wait_readable(mc_master))
        accept_game_client(mc_master);
    for (int slot = 0; slot < ws_slot_count; slot++) {
        sock_t sock = ws_slots[slot].sock;
        if (sock == 0 || sock != watched[slot])
            continue;
        if (wait_writable(sock) && !out_write(ws_out[slot])) {
            ws_close(slot);
            continue;
        }
        if (wait_readable(sock))
            read_page(slot);
    }
    return true;
}

void read_page(int slot)
{
    ws_slot& page = ws_slots[slot];
    std::int32_t got;
    if (!read_ready(page.sock, ws_in[slot] + page.in_len, recv_buf_size - page.in_len, got))
        return;
    if (got > 0)
        ws_received(slot, got);
    else
        ws_close(slot);
}

void read_game_client()
{
    if (handle_kind == handle_proxy) {
        if (read_ready(client_sock, recv_buf, proxy_read_size(true), recv_len))
            proxy_client_received(recv_len);
        return;
    }
    if (handle_kind != handle_no_room || !read_ready(client_sock, recv_buf, recv_buf_size, recv_len))
        return;
    if (recv_len > 0)
        no_room_received(recv_buf, recv_len);
    else
        close_handler();
}

void read_room_server()
{
    if (read_ready(server_sock, recv_buf, proxy_read_size(false), recv_len))
        proxy_server_received(recv_len);
}

void end_handler_after_output()
{
    if (out_pending(client_out) == 0 && out_pending(server_out) == 0)
        end_drained_handler();
    else
        handler_draining = true;
}

int run_loop(sock_t ws_master, sock_t mc_master)
{
    while (loop_pass(ws_master, mc_master, -1)) {
    }
    return 1;
}

int host_main()
{
    console_setup();
    log_program_start();
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
