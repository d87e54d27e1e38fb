// The game client's stream on its way to the room server: the handshake's
// next state is noted, the status exchange is answered here with the room's
// own document, and Login Start carries the room's nick instead of the
// player's name. Everything else is reframed and passed on.
#include "proxy/rewriter.h"

#include "control/room.h"
#include "game/status.h"
#include "game/varint.h"
#include "host/log.h"

#include <cstring>

namespace {

constexpr std::int32_t packet_id_handshake = 0;
constexpr std::int32_t packet_id_status_request = 0;
constexpr std::int32_t packet_id_ping = 1;
constexpr std::int32_t packet_id_login_start = 0;
constexpr std::int32_t handshake_port_size = 2;
// A game sent on by a Transfer packet. Room servers refuse transfers unless
// told otherwise, so the room server sees a plain login.
constexpr std::int32_t next_state_transfer = 3;
constexpr char c2s_pop_line[] = "popped mitm_c2s buffer";

// Reads a VarInt at offset within the packet; false unless it is complete
// inside the body.
bool field_varint(const packet_reader& r, std::int32_t offset, std::int32_t* value, std::int32_t* length)
{
    varint_result result{};
    varint_decode(&result, r.buf + offset, r.received - offset);
    if (result.ok == 0)
        return false;
    *value = result.value;
    *length = result.length;
    return true;
}

// True to stop. Leaves the packet to go on unchanged.
bool on_handshake(packet_reader& r)
{
    std::int32_t id;
    std::int32_t at;
    if (!reader_packet_id(r, &id, &at) || id != packet_id_handshake || at >= r.received)
        return true;
    std::int32_t value;
    std::int32_t length;
    if (!field_varint(r, at, &value, &length)) // protocol version, not used
        return true;
    at += length;
    std::int32_t address_length;
    if (!field_varint(r, at, &address_length, &length) || address_length < 0)
        return true;
    at += length;
    if (address_length > r.received - at - handshake_port_size)
        return true;
    at += address_length + handshake_port_size;
    if (!field_varint(r, at, &value, &length))
        return true;
    log_line(tag_mitm, "next_state = %d", value);
    next_state = value;
    if (value == next_state_transfer) {
        // The low bits sit in the first byte; any further ones are zero.
        r.buf[at] = static_cast<std::uint8_t>((r.buf[at] & 0x80) | next_state_login);
        next_state = next_state_login;
    }
    return false;
}

// True to stop. Answers the status request and the ping here.
bool on_status(packet_reader& r)
{
    std::int32_t id;
    std::int32_t id_length;
    if (!reader_packet_id(r, &id, &id_length))
        return true;
    if (id == packet_id_ping) {
        to_server.length = 0;
        to_client = {r.buf, r.received};
        return false;
    }
    if (id != packet_id_status_request)
        return false;
    to_server.length = 0;
    room_text_result nick = room_text(room_field::nick);
    room_text_result name = room_text(room_field::room_name);
    room_text_result owner = room_text(room_field::owner_name);
    text_piece note{reinterpret_cast<const std::uint8_t*>(room_server_error),
                    room_server_error != nullptr ? static_cast<std::int32_t>(std::strlen(room_server_error)) : 0};
    std::int32_t document_length = room_status_format(r.buf, packet_buf_size, nick.length, nick.text,
                                                      name.length, name.text, owner.length, owner.text, note);
    r.buf[0] = 0x00; // status response
    std::int32_t prefix = varint_encode(r.buf + 1, packet_buf_size - 1, document_length);
    if (prefix < 0)
        return true;
    std::int32_t room = packet_buf_size - 1 - prefix;
    std::int32_t written =
        room_status_format(r.buf + 1 + prefix, static_cast<std::uint32_t>(room), nick.length, nick.text,
                           name.length, name.text, owner.length, owner.text, note);
    // A document of exactly the room left would lose its last byte to the NUL.
    if (written != document_length || written >= room)
        return true;
    to_client = {r.buf, 1 + prefix + document_length};
    return false;
}

// True to stop. Before the replacement only Login Start may come.
bool on_login(packet_reader& r)
{
    if (nick_replaced == 1)
        return false;
    std::int32_t id;
    std::int32_t at;
    if (!reader_packet_id(r, &id, &at) || id != packet_id_login_start)
        return true;
    std::int32_t old_length;
    std::int32_t old_prefix;
    if (!field_varint(r, at, &old_length, &old_prefix) || old_length < 0 ||
        old_length > r.received - at - old_prefix)
        return true;
    log_text(tag_mitm, "og nick = ", r.buf + at + old_prefix, old_length, "");
    nick_replaced = 1;
    room_text_result nick = room_text(room_field::nick);
    log_text(tag_mitm, "as nick: ", nick.text, nick.length, "");

    std::int32_t new_prefix = varint_size(nick.length);
    std::int32_t old_end = at + old_prefix + old_length;
    std::int32_t new_end = at + new_prefix + nick.length;
    // Whatever follows the name (a UUID, signature data) stays intact.
    std::memmove(r.buf + new_end, r.buf + old_end, static_cast<std::size_t>(r.received - old_end));
    to_server.length += new_end - old_end;
    if (varint_encode(r.buf + at, new_prefix, nick.length) != new_prefix)
        return true;
    std::memcpy(r.buf + at + new_prefix, nick.text, static_cast<std::size_t>(nick.length));
    log_line(tag_mitm, "nick replace done");
    return false;
}

} // namespace

bool mitm_c2s(std::uint8_t byte)
{
    packet_reader& r = c2s_reader;
    relayed_bytes++;
    to_client = {r.buf, 0};
    to_server = {r.buf, 0};
    read_step step = reader_take(r, byte, to_server, c2s_pop_line);
    if (step == read_step::stop)
        return true;
    if (step == read_step::more)
        return false;

    if (nick_replaced == 0 && next_state != next_state_status && relayed_bytes > login_gate_bytes)
        return true;
    to_server = {r.buf, r.received};
    bool stop;
    if (next_state == 0)
        stop = on_handshake(r);
    else if (next_state == next_state_status)
        stop = on_status(r);
    else if (next_state == next_state_login)
        stop = on_login(r);
    else
        stop = true;
    if (stop)
        return true;
    if (varint_insert_prefix(to_server.bytes, &to_server.length, to_server.length) != 0 ||
        varint_insert_prefix(to_client.bytes, &to_client.length, to_client.length) != 0)
        return true;
    reader_clear(r);
    return false;
}

std::int32_t mitm_c2s_run(std::uint8_t* bytes, std::int32_t count, bool* whole)
{
    // Once the login carries the room's nick, a well-framed packet goes on as
    // it came; a long one does in any stage, uninspected.
    bool whole_allowed = next_state == next_state_login && nick_replaced == 1;
    return reader_run(c2s_reader, bytes, count, whole_allowed, false, to_server, whole, c2s_pop_line);
}
