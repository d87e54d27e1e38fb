#include "host/loop.h"

#include "control/room.h"
#include "control/websocket.h"
#include "game/protocol.h"
#include "game/standby.h"
#include "host/log.h"
#include "host/registry.h"
#include "proxy/proxy.h"

namespace {

// The most connections taken from one listener in a pass: the rest wait in
// the back-log for the next pass, which also serves what came before them.
constexpr int accepts_per_pass = 32;

// Accepts on a listener and sets no-delay; invalid_sock after the error line,
// or quietly when no connection is pending.
sock_t accept_connection(sock_t listener)
{
    sock_t newcomer = net_accept(listener);
    if (newcomer == invalid_sock) {
        if (!net_would_block())
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

// Ends the game-client handler once the output waiting for its peers has
// left, or has waited short_wait_limit_ms without progress; nothing more is
// read meanwhile. With nothing waiting it ends at once.
void end_after_output()
{
    if (out_pending(client_out) == 0 && out_pending(server_out) == 0)
        end_drained_handler();
    else
        handler_draining = true;
}

// Does what a handler asked for after its step.
void act_on(handler_step step)
{
    if (handle_kind == handle_none || step == handler_step::going_on)
        return;
    if (step == handler_step::end_after_output)
        end_after_output();
    else
        close_handler();
}

void drop_held_client(const char* why)
{
    if (held_sock == invalid_sock)
        return;
    log_line(tag_proxy, "held client dropped, %s", why);
    net_close(held_sock);
    held_sock = invalid_sock;
}

// When the game client's handler has made no progress for so long that a
// newcomer takes its place; -1 for never. A status answer that waits for the
// room server's connection is the program's to give, within the
// connection's own bound.
std::int64_t handler_parked_at()
{
    if (handle_kind == handle_proxy && proxy_status_waits())
        return -1;
    bool session = handle_kind == handle_proxy && proxy_in_session();
    return handler_heard_at + (session ? parked_session_ms : parked_give_way_ms);
}

// Whether a deadline (-1 standing for none) has come.
bool passed(std::int64_t deadline, std::int64_t now)
{
    return deadline >= 0 && now >= deadline;
}

bool handler_parked(std::int64_t now)
{
    return passed(handler_parked_at(), now);
}

// A page newcomer goes to the lowest free slot or, with every slot taken, to
// the slot of the page that has waited longest, and at least
// page_patience_ms, without finishing its opening request. With every slot
// holding an open page, newcomers wait that long in the back-log (pages that
// were answered often close at once) and are then refused.
constexpr int page_patience_ms = 1000;
constexpr int slot_none = -1; // wait in the back-log
constexpr int slot_full = -2; // refuse
// Since when every slot has held an open page; -1 while not.
std::int64_t pages_full_since = -1;

// Where a page newcomer goes now, and otherwise (slot_none) when it may: at
// *when.
int slot_for_newcomer(std::int64_t now, std::int64_t* when = nullptr)
{
    int oldest = slot_none;
    for (int slot = 0; slot < ws_slot_count; slot++) {
        const ws_slot& page = ws_slots[slot];
        if (page.sock == 0)
            return slot;
        if (page.state != ws_state_open && (oldest < 0 || page.opened_at < ws_slots[oldest].opened_at))
            oldest = slot;
    }
    if (oldest >= 0) {
        pages_full_since = -1;
        if (now - ws_slots[oldest].opened_at >= page_patience_ms)
            return oldest;
        if (when != nullptr)
            *when = ws_slots[oldest].opened_at + page_patience_ms;
        return slot_none;
    }
    if (pages_full_since < 0)
        pages_full_since = now;
    if (now - pages_full_since >= page_patience_ms)
        return slot_full;
    if (when != nullptr)
        *when = pages_full_since + page_patience_ms;
    return slot_none;
}

// Takes the pending page connections that there is room for.
void accept_pages(sock_t ws_master, std::int64_t now)
{
    for (int i = 0; i < accepts_per_pass; i++) {
        int slot = slot_for_newcomer(now);
        if (slot == slot_none || !ws_accept(ws_master, slot))
            return;
    }
}

// True while the handler serves a status exchange or a login that has not
// reached Login Start, and is still making progress: a newcomer then waits
// its turn rather than cut it short.
bool handler_busy(std::int64_t now)
{
    if (handler_draining || handle_kind == handle_none || handler_parked(now))
        return false;
    if (handle_kind == handle_no_room)
        return no_room_next_state == next_state_status;
    return !proxy_in_session() && !proxy_status_done();
}

// The room changed: the game client's connections are to meet the new record.
void room_changed()
{
    drop_held_client("room changed");
    if (handle_kind == handle_proxy)
        act_on(game_client_room_changed());
    else
        close_handler();
}

// Takes what a connection in its farewell still sends, a bounded amount a
// pass, and closes it once the peer has closed too.
void read_lingering(linger_entry& entry)
{
    std::int32_t got = net_recv(entry.sock, recv_buf, linger_read_max);
    if (got > 0 || (got < 0 && net_would_block()))
        return;
    net_close(entry.sock);
    entry = {};
}

// The earlier of two deadlines, -1 standing for none.
std::int64_t earlier(std::int64_t a, std::int64_t b)
{
    return a < 0 || (b >= 0 && b < a) ? b : a;
}

// Ends the game-client handler when one of its bounds has passed. Returns the
// next of its deadlines still ahead, -1 for none.
std::int64_t check_handler(std::int64_t now)
{
    if (handle_kind == handle_none)
        return -1;
    // A farewell that waits for the packet in flight has a bound of its own.
    if (handle_kind == handle_proxy && passed(proxy_farewell_deadline(), now)) {
        act_on(proxy_farewell_timed_out());
        return -1;
    }
    int limit = handler_draining ? short_wait_limit_ms : relay_stall_limit_ms;
    if (handler_draining && (out_stalled(client_out, now, limit) || out_stalled(server_out, now, limit))) {
        end_drained_handler();
    } else if (out_stalled(client_out, now, limit)) {
        log_line(tag_proxy, "game client stalled");
        close_handler();
    } else if (out_stalled(server_out, now, limit)) {
        log_line(tag_proxy, "room server stalled");
        close_handler();
    }
    if (handle_kind == handle_proxy && passed(proxy_connect_deadline(), now))
        act_on(proxy_connect_timed_out());
    // Before a login nothing waits this long on a client that means to play.
    bool may_idle = handle_kind == handle_proxy && proxy_in_session();
    if (handle_kind != handle_none && !handler_draining && !may_idle &&
        now - handler_heard_at >= idle_limit_ms) {
        log_line(tag_proxy, "idle client closed");
        end_drained_handler();
    }
    if (handle_kind == handle_none)
        return -1;
    std::int64_t next = earlier(out_deadline(client_out, limit), out_deadline(server_out, limit));
    if (handle_kind == handle_proxy)
        next = earlier(proxy_farewell_deadline(), earlier(proxy_connect_deadline(), next));
    if (!handler_draining && !may_idle)
        next = earlier(handler_heard_at + idle_limit_ms, next);
    return next;
}

// Ends handlers, held clients, pages and farewells that have waited too long;
// returns the next deadline still ahead, -1 for none.
std::int64_t check_deadlines(std::int64_t now)
{
    std::int64_t next = check_handler(now);
    // A held client does not wait behind a handler that has stopped moving.
    if (held_sock != invalid_sock && handle_kind != handle_none && !handler_draining) {
        if (handler_parked(now)) {
            log_line(tag_proxy, "parked client replaced");
            close_handler();
        } else {
            next = earlier(handler_parked_at(), next);
        }
    }
    // With the handler gone the held client is served next, however long it waited.
    if (held_sock != invalid_sock && handle_kind != handle_none && now - held_since >= idle_limit_ms)
        drop_held_client("waited too long");
    if (held_sock != invalid_sock && net_peer_closed(held_sock))
        drop_held_client("closed");
    if (held_sock != invalid_sock)
        next = earlier(held_since + idle_limit_ms, next);
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
    for (linger_entry& entry : lingering) {
        if (entry.sock != 0 && now >= entry.until) {
            log_line(tag_proxy, "farewell closed after %d s", linger_limit_ms / 1000);
            net_close(entry.sock);
            entry = {};
        }
        if (entry.sock != 0)
            next = earlier(entry.until, next);
    }
    return next;
}

} // namespace

sock_t open_listener(std::uint16_t port)
{
    sock_t s = net_tcp_socket(false);
    if (s != invalid_sock && net_set_listener_options(s) && net_bind_loopback(s, port) &&
        net_listen(s, listen_backlog))
        return s;
    int error = net_last_error();
    // Each retry would otherwise leak a socket.
    if (s != invalid_sock)
        net_close(s);
    net_set_last_error(error);
    return invalid_sock;
}

bool ws_accept(sock_t ws_master, int slot)
{
    sock_t newcomer = accept_connection(ws_master);
    if (newcomer == invalid_sock && net_would_block())
        return false;
    if (slot == slot_full) {
        log_line(tag_ws, "no space to put");
        if (newcomer != invalid_sock)
            net_close(newcomer);
        return true;
    }
    if (newcomer == invalid_sock) {
        log_line(tag_ws, "invalid new server sock");
        return true;
    }
    if (ws_slots[slot].sock != 0) {
        log_line(tag_ws, "unopened page gives way, sock %d", static_cast<int>(ws_slots[slot].sock));
        ws_close(slot);
    }
    ws_slots[slot].sock = newcomer;
    ws_slots[slot].opened_at = net_now_ms();
    ws_out_reset(slot);
    log_line(tag_ws, "putted, sock %d in %d", static_cast<int>(newcomer), slot);
    return true;
}

bool accept_game_client(sock_t mc_master)
{
    sock_t newcomer = accept_connection(mc_master);
    if (newcomer == invalid_sock && net_would_block())
        return false;
    std::int64_t now = net_now_ms();
    log_line(tag_proxy, "incoming mc master");
    // A handler that only finishes its output gives way to the newcomer.
    if (handler_draining)
        end_drained_handler();
    if (newcomer == invalid_sock) {
        if (handle_kind == handle_no_room) {
            log_line(tag_proxy, "no room replaced");
            close_handler();
        }
        log_line(tag_proxy, "new mc server is invalid");
        return true;
    }
    // Tools that learn the server's version first (minecraft-protocol among
    // them) open the login connection, keep it silent and ping on a second
    // one: the ping takes the untouched proxy and the login waits its turn.
    if (handle_kind == handle_proxy && proxy_untouched() && held_sock == invalid_sock) {
        held_sock = client_sock;
        held_since = now;
        client_sock = newcomer;
        handler_heard_at = now;
        // Nothing has passed, so nothing waits for the client set aside.
        client_out.sock = newcomer;
        log_line(tag_proxy, "silent client held");
        return true;
    }
    // A second ping (two entries of the server list for this program), or a
    // login behind a connection that is still on its way, waits for the
    // first to end rather than cut it short.
    if (handler_busy(now) && held_sock == invalid_sock) {
        held_sock = newcomer;
        held_since = now;
        log_line(tag_proxy, "newcomer held");
        return true;
    }
    if (handle_kind == handle_no_room) {
        log_line(tag_proxy, "no room replaced");
        close_handler();
    }
    // A client that pings and then connects at once to log in finds its
    // finished ping still open; the login takes its place, as it takes the
    // place of a connection that has stopped making progress.
    if (handle_kind == handle_proxy && !proxy_status_done() && !handler_parked(now)) {
        net_close(newcomer);
        log_line(tag_proxy, "rejected client");
        return true;
    }
    if (handle_kind == handle_proxy) {
        log_line(tag_proxy, proxy_status_done() ? "status proxy replaced" : "parked client replaced");
        close_handler();
    }
    admit_game_client(newcomer);
    return true;
}

void admit_game_client(sock_t newcomer)
{
    handler_heard_at = net_now_ms();
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
        deadline = earlier(check_handler(now), deadline);
    }

    wait_clear();
    std::int64_t pages_at = now;
    if (slot_for_newcomer(now, &pages_at) != slot_none)
        wait_add_read(ws_master);
    else
        deadline = earlier(pages_at, deadline);
    // With the handler busy and a client held already, a newcomer waits in
    // the back-log until either moves on.
    bool game_full = handler_busy(now) && held_sock != invalid_sock;
    if (mc_master != invalid_sock && !game_full)
        wait_add_read(mc_master);
    if (game_full)
        deadline = earlier(handler_parked_at(), deadline);
    if (handle_kind == handle_no_room && !handler_draining)
        wait_add_read(client_sock);
    // A proxy whose room server cannot be reached has only its game client.
    bool server_watched = handle_kind == handle_proxy && server_sock != invalid_sock;
    if (server_watched && proxy_wants_server())
        wait_add_read(server_sock);
    if (server_watched && proxy_wants_server_writable())
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
    for (const linger_entry& entry : lingering) {
        if (entry.sock != 0)
            wait_add_read(entry.sock);
    }

    int timeout = max_wait_ms;
    if (deadline >= 0 && (timeout < 0 || deadline - now < timeout))
        timeout = deadline <= now ? 0 : static_cast<int>(deadline - now);
    if (wait_run(timeout) < 0) {
        log_line(tag_misc, "select broke");
        return false;
    }
    now = net_now_ms();

    if (server_watched && handle_kind == handle_proxy && wait_writable(server_sock))
        act_on(proxy_server_writable());
    if (handle_kind == handle_proxy && wait_writable(client_sock))
        act_on(proxy_client_writable());
    else if (handle_kind != handle_none && wait_writable(client_sock) &&
             !out_write(client_out, handler_draining)) {
        if (handler_draining)
            end_drained_handler();
        else
            close_handler();
    }
    if (handler_draining)
        end_after_output();
    if (handle_kind != handle_none && wait_readable(client_sock))
        read_game_client();
    // A proxy that the client's read ended, or set draining, reads no more.
    if (handle_kind == handle_proxy && !handler_draining && server_sock != invalid_sock &&
        wait_readable(server_sock))
        read_room_server();
    if (wait_readable(ws_master))
        accept_pages(ws_master, now);
    for (int i = 0; mc_master != invalid_sock && wait_readable(mc_master) && i < accepts_per_pass; i++) {
        if ((handler_busy(now) && held_sock != invalid_sock) || !accept_game_client(mc_master))
            break;
    }
    bool changed = false;
    for (int slot = 0; slot < ws_slot_count; slot++) {
        sock_t sock = ws_slots[slot].sock;
        if (sock == 0 || sock != watched[slot])
            continue;
        if (wait_writable(sock) && !out_write(ws_out[slot])) {
            ws_close(slot);
            continue;
        }
        if (wait_readable(sock) && read_page(slot))
            changed = true;
    }
    // Every page has its echoes by now; the game client meets the new room once.
    if (changed)
        room_changed();
    for (linger_entry& entry : lingering) {
        if (entry.sock != 0 && wait_readable(entry.sock))
            read_lingering(entry);
    }
    return true;
}

bool read_page(int slot)
{
    ws_slot& page = ws_slots[slot];
    std::int32_t got;
    if (!read_ready(page.sock, ws_in[slot] + page.in_len, recv_buf_size - page.in_len, got))
        return false;
    if (got > 0)
        return ws_received(slot, got);
    ws_close(slot);
    return false;
}

void read_game_client()
{
    if (handle_kind == handle_proxy) {
        // The room left for output is counted now, after whatever this pass
        // has added to it; with none left the read waits for the next pass.
        std::int32_t room = proxy_read_size(true);
        if (room > 0 && read_ready(client_sock, recv_buf, room, recv_len)) {
            if (recv_len > 0)
                handler_heard_at = net_now_ms();
            act_on(proxy_client_received(recv_len));
        }
        return;
    }
    if (handle_kind != handle_no_room || !read_ready(client_sock, recv_buf, recv_buf_size, recv_len))
        return;
    if (recv_len <= 0) {
        close_handler();
        return;
    }
    handler_heard_at = net_now_ms();
    handler_step step = no_room_received(recv_buf, recv_len);
    if (step == handler_step::end_now)
        no_room_kill();
    else
        act_on(step);
}

void read_room_server()
{
    std::int32_t room = proxy_read_size(false);
    if (room <= 0 || !read_ready(server_sock, recv_buf, room, recv_len))
        return;
    if (recv_len > 0)
        handler_heard_at = net_now_ms();
    act_on(proxy_server_received(recv_len));
}

int run_loop(sock_t ws_master, sock_t mc_master)
{
    // The game port may be held by another program (a server of the
    // player's own): pages are served meanwhile, and it is tried again every
    // listener_retry_pause_ms.
    std::int64_t next_try = net_now_ms() + listener_retry_pause_ms;
    for (;;) {
        int wait = -1;
        if (mc_master == invalid_sock) {
            std::int64_t now = net_now_ms();
            if (now >= next_try) {
                mc_master = open_listener(mc_master_port);
                next_try = now + listener_retry_pause_ms;
                if (mc_master != invalid_sock)
                    log_line(tag_misc, "minecraft master assigned: %d", static_cast<int>(mc_master));
            }
            if (mc_master == invalid_sock)
                wait = static_cast<int>(next_try > now ? next_try - now : 0);
        }
        if (!loop_pass(ws_master, mc_master, wait))
            return 1;
    }
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
        net_perror("SOCK_CHECK_ERR");
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
    if (mc_master == invalid_sock) {
        char cause[256];
        net_error_text(net_last_error(), cause, sizeof cause);
        net_perror("SOCK_CHECK_ERR");
        log_line(tag_misc, "error assigning minecraft master: %s; trying again every %u s", cause,
                 listener_retry_pause_ms / 1000);
    } else {
        log_line(tag_misc, "minecraft master assigned: %d", static_cast<int>(mc_master));
    }
    return run_loop(ws_master, mc_master);
}
