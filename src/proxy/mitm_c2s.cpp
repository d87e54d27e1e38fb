// The game client's stream on its way to the room server: the handshake's
// next state is noted, the status exchange is answered here with the room's
// own document, and Login Start carries the room's nick instead of the
// player's name. Everything else is reframed and passed on.
#include "proxy/rewriter.h"

#include "control/room.h"
#include "game/protocol.h"
#include "game/status.h"
#include "host/log.h"
#include "proxy/proxy.h"

#include <cstring>

namespace {

// Leaves the packet to go on unchanged. False when it is no handshake.
bool on_handshake(packet_reader& r)
{
    std::int32_t id;
    std::int32_t at;
    if (!reader_field(r, 0, &id, &at) || id != packet_id_handshake)
        return false;
    std::int32_t value;
    std::int32_t length;
    if (!reader_field(r, at, &value, &length)) // protocol version, not used
        return false;
    at += length;
    std::int32_t address_length;
    if (!reader_field(r, at, &address_length, &length) || address_length < 0)
        return false;
    at += length;
    if (address_length > r.received - at - handshake_port_size)
        return false;
    at += address_length + handshake_port_size;
    if (!reader_field(r, at, &value, &length))
        return false;
    log_line(tag_mitm, "next_state = %d", value);
    next_state = value;
    if (value == next_state_transfer) {
        // Room servers refuse transfers unless told otherwise, so the room
        // server sees a plain login. The low bits sit in the first byte; any
        // further ones are zero.
        r.buf[at] = static_cast<std::uint8_t>((r.buf[at] & 0x80) | next_state_login);
        next_state = next_state_login;
    }
    return true;
}

// Writes the status response's body (id and document) into buf. Returns its
// length, or -1 when the document does not fit.
std::int32_t status_body(std::uint8_t* buf, std::int32_t capacity)
{
    room_text_result nick = room_text(room_field::nick);
    room_text_result name = room_text(room_field::room_name);
    room_text_result owner = room_text(room_field::owner_name);
    text_piece note{reinterpret_cast<const std::uint8_t*>(room_server_error),
                    room_server_error != nullptr ? static_cast<std::int32_t>(std::strlen(room_server_error))
                                                 : 0};
    std::int32_t document_length =
        room_status_format(buf, static_cast<std::uint32_t>(capacity), nick.length, nick.text, name.length,
                           name.text, owner.length, owner.text, note);
    buf[0] = packet_id_status_response;
    std::int32_t prefix = varint_encode(buf + 1, capacity - 1, document_length);
    if (prefix < 0)
        return -1;
    std::int32_t room = capacity - 1 - prefix;
    std::int32_t written =
        room_status_format(buf + 1 + prefix, static_cast<std::uint32_t>(room), nick.length, nick.text,
                           name.length, name.text, owner.length, owner.text, note);
    // A document of exactly the room left would lose its last byte to the NUL.
    if (written != document_length || written >= room)
        return -1;
    return 1 + prefix + document_length;
}

// A status request and a ping that came while the room server's connection
// was still being made: they are answered once it is known whether the room
// can be reached, so that the server list shows the truth.
bool status_deferred;
std::uint8_t deferred_ping[ping_body_length + 2];
std::int32_t deferred_ping_length;
std::uint8_t deferred_buf[packet_buf_size + packet_head_room];

// Answers the status request and the ping here. False when the id does not
// parse or the document does not fit.
bool on_status(packet_reader& r)
{
    std::int32_t id;
    std::int32_t id_length;
    if (!reader_field(r, 0, &id, &id_length))
        return false;
    if (id == packet_id_ping) {
        to_server.length = 0;
        if (status_deferred) {
            // The ping waits behind the answer it follows; a second is dropped.
            if (deferred_ping_length == 0 &&
                r.received <= static_cast<std::int32_t>(sizeof deferred_ping) - 1) {
                deferred_ping[0] = static_cast<std::uint8_t>(r.received);
                std::memcpy(deferred_ping + 1, r.buf, static_cast<std::size_t>(r.received));
                deferred_ping_length = r.received + 1;
            }
            return true;
        }
        to_client = {r.buf, r.received};
        status_pong_sent = true;
        return true;
    }
    if (id != packet_id_status_request)
        return true;
    to_server.length = 0;
    if (room_server_pending) {
        status_deferred = true;
        return true;
    }
    std::int32_t length = status_body(r.buf, packet_buf_size);
    if (length < 0)
        return false;
    to_client = {r.buf, length};
    return true;
}

// Before the replacement only a Login Start that parses may come.
bool on_login(packet_reader& r)
{
    if (nick_replaced)
        return true;
    std::int32_t id;
    std::int32_t at;
    if (!reader_field(r, 0, &id, &at) || id != packet_id_login_start)
        return false;
    std::int32_t old_length;
    std::int32_t old_prefix;
    if (!reader_field(r, at, &old_length, &old_prefix) || old_length < 0 ||
        old_length > r.received - at - old_prefix)
        return false;
    log_text(tag_mitm, "og nick = ", r.buf + at + old_prefix, old_length, "");
    nick_replaced = true;
    room_text_result nick = room_text(room_field::nick);
    log_text(tag_mitm, "as nick: ", nick.text, nick.length, "");

    std::int32_t new_prefix = varint_size(nick.length);
    std::int32_t old_end = at + old_prefix + old_length;
    std::int32_t new_end = at + new_prefix + nick.length;
    // Whatever follows the name (a UUID, signature data) stays intact.
    std::memmove(r.buf + new_end, r.buf + old_end, static_cast<std::size_t>(r.received - old_end));
    to_server.length += new_end - old_end;
    if (varint_encode(r.buf + at, new_prefix, nick.length) != new_prefix)
        return false;
    std::memcpy(r.buf + at + new_prefix, nick.text, static_cast<std::size_t>(nick.length));
    log_line(tag_mitm, "nick replace done");
    return true;
}

bool on_packet(packet_reader& r)
{
    if (!nick_replaced && next_state != next_state_status && relayed_bytes > login_gate_bytes)
        return false;
    if (next_state == 0)
        return on_handshake(r);
    if (next_state == next_state_status)
        return on_status(r);
    if (next_state == next_state_login)
        return on_login(r);
    return false;
}

} // namespace

bool proxy_status_waits()
{
    return status_deferred;
}

void status_reset()
{
    status_deferred = false;
    deferred_ping_length = 0;
}

bool mitm_c2s(std::uint8_t byte)
{
    return rewrite_byte(c2s_reader, byte, to_server, on_packet);
}

std::int32_t status_take_deferred(const std::uint8_t** bytes)
{
    if (!status_deferred)
        return 0;
    status_deferred = false;
    std::int32_t length = status_body(deferred_buf, packet_buf_size);
    if (length < 0 || !varint_insert_prefix(deferred_buf, &length, length))
        return -1;
    if (deferred_ping_length > 0 &&
        length + deferred_ping_length <= static_cast<std::int32_t>(sizeof deferred_buf)) {
        std::memcpy(deferred_buf + length, deferred_ping, static_cast<std::size_t>(deferred_ping_length));
        length += deferred_ping_length;
        status_pong_sent = true;
    }
    deferred_ping_length = 0;
    *bytes = deferred_buf;
    return length;
}

std::int32_t mitm_c2s_run(std::uint8_t* bytes, std::int32_t count, bool* whole)
{
    // Once the login carries the room's nick, a well-framed packet goes on as
    // it came; a long one does in any stage, uninspected.
    bool whole_allowed = next_state == next_state_login && nick_replaced;
    return rewrite_run(c2s_reader, bytes, count, whole_allowed, false, to_server, whole);
}
