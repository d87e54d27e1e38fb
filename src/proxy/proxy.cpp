#include "proxy/proxy.h"

#include "build_config.h"
#include "control/room.h"
#include "game/protocol.h"
#include "host/log.h"
#include "host/registry.h"
#include "proxy/farewell.h"
#include "proxy/follow.h"
#include "proxy/pump.h"
#include "proxy/rewriter.h"

#include <cstring>

namespace {

// How a read from one peer ended for the proxy.
enum class relay_result : std::uint8_t {
    going_on,
    peer_gone, // the read found the peer gone: kill value 0
    stopped,   // a rewriter or a send stopped the proxy: kill value 1
};

// Which read left the output that waits for the game client: the one whose
// pump a failed send to it would have stopped, had the bytes not waited.
bool client_waits_on_client_read;

// Hands what the read from the game client (from_client) or the room server
// took, got bytes in recv_buf or 0 or less for a peer gone, to its rewriter.
relay_result relay_from(bool from_client, std::int32_t got)
{
    if (got <= 0)
        return relay_result::peer_gone;
    bool waited = out_pending(client_out) != 0;
    bool stopped =
        from_client ? proxy_pump(got, mitm_c2s, mitm_c2s_run) : proxy_pump(got, mitm_s2c, mitm_s2c_run);
    if (!waited && out_pending(client_out) != 0)
        client_waits_on_client_read = from_client;
    return stopped ? relay_result::stopped : relay_result::going_on;
}

// The kill value that a proxy's last line shows.
int kill_value(relay_result result)
{
    return result == relay_result::stopped ? 1 : 0;
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

// While a farewell waits for the packet in flight toward the game client to
// end: when the wait gives up; -1 while no farewell waits.
std::int64_t farewell_due = -1;

// The room this proxy was made for: a room command replaces the record, and
// the farewell still names the room the player leaves.
std::uint8_t proxy_room[room_record_size];
std::uint32_t proxy_room_length;
// Once the room server has sent bytes, a failure is no longer a failure to
// reach it.
bool server_heard;
// When the connection to the room server was started.
std::int64_t connect_started;
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

void drop_server_output()
{
    out_clear(server_out);
}

// Hands the game client the farewell, if any, and ends the proxy once it has
// left, or the short bound has passed. A game client that does not take
// what already waits for it would not read the farewell soon either: it is
// closed at once, as without one; only the end of a packet that the proxy
// waited for (behind_output) may still wait before it.
handler_step end_with_farewell(std::int32_t length, const char* what, bool behind_output = false)
{
    drop_server_output();
    farewell_due = -1;
    if (length <= 0 || !out_write(client_out, true) || (!behind_output && out_pending(client_out) != 0) ||
        !out_append(client_out, farewell_buf, length))
        return handler_step::end_now;
    log_line(tag_proxy, "sent %s", what);
    client_farewell = true;
    return out_write(client_out, true) ? handler_step::end_after_output : handler_step::end_now;
}

// The room server could not be reached: its socket goes, and from now on
// the game client is answered by the proxy alone.
void room_unreachable(int error)
{
    net_perror("SOCK_CHECK_ERR");
    net_error_text(error, server_error, sizeof server_error);
    if (server_sock != invalid_sock)
        net_close(server_sock);
    server_sock = invalid_sock;
    server_out.sock = invalid_sock;
    drop_server_output();
    room_server_error = server_error;
    room_server_pending = false;
}

// A status request that waited for the connection's outcome is answered now.
handler_step answer_deferred_status()
{
    const std::uint8_t* bytes = nullptr;
    std::int32_t length = status_take_deferred(&bytes);
    if (length < 0)
        return handler_step::end_now;
    if (length > 0 && out_send(client_out, bytes, length) != out_result::ok)
        return handler_step::end_now;
    return handler_step::going_on;
}

// Once the game client asked to log in to a room that cannot be reached, it
// is told so, and the proxy ends.
handler_step refuse_login()
{
    if (room_server_error == nullptr)
        return handler_step::going_on;
    if (!nick_replaced)
        return answer_deferred_status();
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
    return end_with_farewell(length, "login disconnect");
}

// Until the room server has been heard from, a failed connection attempt
// may wait on its socket; it then counts as unreachable.
void check_connect()
{
    if (!server_heard && server_sock != invalid_sock) {
        int error = net_socket_error(server_sock);
        if (error != 0)
            room_unreachable(error);
    }
}

// Ends the proxy after a room command: a game that can follow goes to the
// new room by itself; any other is told where it stands. behind_output as
// for end_with_farewell.
handler_step send_room_farewell(bool behind_output)
{
    client_form form = follow_form();
    if (room_length != room_length_none) {
        std::int32_t length = write_transfer(farewell_buf, form);
        if (length > 0)
            return end_with_farewell(length, "transfer", behind_output);
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
    return end_with_farewell(write_disconnect(farewell_buf, form, pieces, count), "disconnect",
                             behind_output);
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
    handler_outputs_reset();
    client_held = false;
    server_held = false;
    farewell_due = -1;
    mitm_reset();
    status_reset();
    follow_reset();
    std::memcpy(proxy_room, room_record, room_record_size);
    proxy_room_length = room_length;
    server_heard = false;
    connect_started = net_now_ms();
    room_server_pending = true;
    // The connect completes in the background; the socket turns writable when
    // it has, and a failure shows on it as readable (the receive reports it)
    // or writable.
    if (!net_connect(server, address.ipv6, address.port, address.address))
        room_unreachable(net_last_error());
    return true;
}

bool proxy_status_done()
{
    return next_state == next_state_status && status_pong_sent && reader_between_packets(c2s_reader) &&
           out_pending(client_out) == 0;
}

bool proxy_in_status()
{
    return next_state == next_state_status;
}

bool proxy_in_session()
{
    return nick_replaced;
}

std::int64_t proxy_connect_deadline()
{
    if (!room_server_pending)
        return -1;
    return connect_started + (proxy_status_waits() ? status_connect_limit_ms : connect_limit_ms);
}

handler_step proxy_connect_timed_out()
{
    log_line(tag_proxy, "room server connect timed out");
    int error = net_timed_out_error();
    net_set_last_error(error);
    room_unreachable(error);
    return refuse_login();
}

bool proxy_untouched()
{
    return relayed_bytes == 0;
}

std::int32_t proxy_read_size(bool from_client)
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
    if (room < 0)
        return 0;
    if (room > relay_read_size)
        room = relay_read_size;
    // A farewell waits behind the packet in flight, and nothing after it may
    // reach the game client. Inside a packet toward it, the room server's
    // bytes go on one for one: only a long packet leaves in parts.
    if (!from_client && farewell_due >= 0 && follow_client_packet_left() < room)
        room = follow_client_packet_left();
    return room;
}

handler_step proxy_client_received(std::int32_t got)
{
    check_connect();
    relay_result result = relay_from(true, got);
    if (result == relay_result::going_on) {
        if (room_server_error != nullptr)
            drop_server_output(); // nobody to take it
        return refuse_login();
    }
    log_line(tag_proxy, "c2s killed %d", kill_value(result));
    return handler_step::end_after_output;
}

handler_step proxy_server_received(std::int32_t got)
{
    relay_result result = relay_from(false, got);
    if (result == relay_result::going_on) {
        server_heard = true;
        room_server_pending = false;
        if (farewell_due >= 0 && follow_client_packet_left() == 0)
            return send_room_farewell(true);
        return answer_deferred_status();
    }
    if (got < 0 && !server_heard) {
        room_unreachable(net_last_error());
        return refuse_login();
    }
    log_line(tag_proxy, "s2c killed %d", kill_value(result));
    // Inside the packet nothing stops the rewriter: a stop is a failed send
    // to the game client, which has said why.
    if (farewell_due >= 0 && result == relay_result::peer_gone)
        log_line(tag_proxy, "no farewell: the room server left inside a packet");
    farewell_due = -1;
    return handler_step::end_after_output;
}

std::int64_t proxy_farewell_deadline()
{
    return farewell_due;
}

handler_step proxy_farewell_timed_out()
{
    farewell_due = -1;
    log_line(tag_proxy, "no farewell: the packet in flight did not end within %d s",
             short_wait_limit_ms / 1000);
    return handler_step::end_now;
}

bool proxy_wants_client()
{
    // While a farewell waits, the game client's bytes would go nowhere.
    return !handler_draining && farewell_due < 0 && below_bound(client_out, client_held) &&
           below_bound(server_out, server_held);
}

bool proxy_wants_server()
{
    return !handler_draining && below_bound(client_out, client_held);
}

bool proxy_wants_server_writable()
{
    return room_server_pending || out_pending(server_out) != 0;
}

handler_step proxy_client_writable()
{
    if (out_write(client_out, handler_draining))
        return handler_step::going_on;
    // A proxy that still ran ends as it would had its pump's send failed.
    if (!handler_draining)
        log_line(tag_proxy, "%s killed %d", client_waits_on_client_read ? "c2s" : "s2c", 1);
    return handler_step::end_now;
}

handler_step proxy_server_writable()
{
    check_connect();
    // Before the room server has been heard from, a failed send is the
    // connection attempt's failure: a send may already have taken the error
    // from the socket.
    if (room_server_error == nullptr && !server_heard && !out_write(server_out, true))
        room_unreachable(net_last_error());
    if (room_server_error != nullptr)
        return refuse_login();
    if (room_server_pending) {
        // Writable without an error: the connection is made.
        room_server_pending = false;
        handler_step step = answer_deferred_status();
        if (step != handler_step::going_on)
            return step;
    }
    // A failed send of waiting output ends the proxy.
    return !server_heard || out_write(server_out) ? handler_step::going_on : handler_step::end_now;
}

handler_step game_client_room_changed()
{
    if (handle_kind != handle_proxy)
        return handler_step::end_now;
    // A farewell that waits names the room current when it leaves.
    if (farewell_due >= 0)
        return handler_step::going_on;
    // Inside a packet toward the game client no packet of the proxy's own can
    // go: the rest of that one is passed on first, while the room server
    // sends it.
    if (follow_client_packet_left() > 0 && !handler_draining && server_sock != invalid_sock) {
        drop_server_output();
        farewell_due = net_now_ms() + short_wait_limit_ms;
        log_line(tag_proxy, "farewell waits for the packet in flight");
        return handler_step::going_on;
    }
    return send_room_farewell(false);
}
