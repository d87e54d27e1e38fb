#include "game/standby.h"

#include "game/protocol.h"
#include "game/status.h"
#include "game/varint.h"
#include "host/log.h"
#include "host/registry.h"

#include <cstring>

std::uint8_t no_room_packet[no_room_packet_size];
std::int32_t no_room_count;
std::int32_t no_room_remaining;
std::uint8_t no_room_next_state;

namespace {

// The bytes in front of a reply that carries a text as its one string: packet
// length, packet id, string length. Fixed when the program is built, since the
// texts are.
struct text_reply_head {
    std::uint8_t bytes[2 * varint_max_bytes + 1];
    std::int32_t length;
};

constexpr text_reply_head head_for(std::int32_t text_length)
{
    // The status response and the login disconnect share their id.
    static_assert(packet_id_status_response == packet_id_login_disconnect);
    text_reply_head head{};
    head.length = varint_encode(head.bytes, varint_max_bytes, 1 + varint_size(text_length) + text_length);
    head.bytes[head.length++] = packet_id_status_response;
    head.length += varint_encode(head.bytes + head.length, varint_max_bytes, text_length);
    return head;
}

constexpr text_reply_head status_head = head_for(standby_status.length);
constexpr text_reply_head disconnect_head = head_for(standby_disconnect.length);

static_assert(status_head.length + standby_status.length <= no_room_packet_size,
              "the standby status document must fit the reply buffer");
static_assert(disconnect_head.length + standby_disconnect.length <= no_room_packet_size,
              "the standby disconnect text must fit the reply buffer");

// Builds the reply at the start of no_room_packet. Returns its size.
std::int32_t build_text_reply(const text_reply_head& head, const char* text, std::int32_t text_length)
{
    std::memcpy(no_room_packet, head.bytes, static_cast<std::size_t>(head.length));
    std::memcpy(no_room_packet + head.length, text, static_cast<std::size_t>(text_length));
    return head.length + text_length;
}

constexpr no_room_outcome keep_reading{no_room_action::next_byte, 0};
constexpr no_room_outcome drop_now{no_room_action::drop, 0};

no_room_outcome reply(std::int32_t length)
{
    return {no_room_action::reply_then_drop, length};
}

no_room_outcome packet_complete()
{
    log_line(tag_proxy, "no room packet");
    std::uint8_t id = no_room_packet[0];
    std::uint8_t last = no_room_packet[no_room_count - 1];

    if (no_room_next_state == 0 && id == packet_id_handshake) {
        // next_state is the handshake's last field; as a one-byte VarInt it
        // is the last byte.
        if (last == next_state_status || last == next_state_login || last == next_state_transfer) {
            log_line(tag_proxy, "handshake");
            no_room_next_state = last == next_state_transfer ? next_state_login : last;
            no_room_count = 0;
            return keep_reading;
        }
        log_line(tag_proxy, "unexpected interaction");
        return drop_now;
    }
    if (no_room_next_state == next_state_status && id == packet_id_status_request) {
        log_line(tag_proxy, "status request");
        return reply(build_text_reply(status_head, standby_status.bytes, standby_status.length));
    }
    if (no_room_next_state == next_state_status && id == packet_id_ping) {
        log_line(tag_proxy, "ping request");
        log_line(tag_proxy, "ping len: %d", no_room_count);
        if (no_room_count != ping_body_length)
            return drop_now;
        // The pong is the request itself behind its length byte.
        std::memmove(no_room_packet + 1, no_room_packet, ping_body_length);
        no_room_packet[0] = ping_body_length;
        return reply(1 + ping_body_length);
    }
    if (no_room_next_state == next_state_login && id == packet_id_login_start) {
        log_line(tag_proxy, "login start");
        return reply(build_text_reply(disconnect_head, standby_disconnect.bytes, standby_disconnect.length));
    }
    log_line(tag_proxy, "unexpected interaction");
    return drop_now;
}

} // namespace

void no_room_reset()
{
    no_room_count = 0;
    no_room_remaining = 0;
    no_room_next_state = 0;
}

no_room_outcome no_room_step(std::uint8_t byte)
{
    if (no_room_remaining == 0) {
        // Only one-byte lengths are accepted: no packet here needs more.
        varint_reader length{};
        if (varint_take(length, byte) != varint_step::done)
            return drop_now;
        no_room_remaining = static_cast<std::int32_t>(length.value);
        return keep_reading;
    }
    no_room_packet[no_room_count++] = byte;
    if (--no_room_remaining > 0)
        return keep_reading;
    return packet_complete();
}

handler_step no_room_received(const std::uint8_t* bytes, std::int32_t count)
{
    for (std::int32_t i = 0; i < count; i++) {
        no_room_outcome outcome = no_room_step(bytes[i]);
        if (outcome.action == no_room_action::next_byte)
            continue;
        // Every reply ends the connection once it has left, and a failed send
        // at once.
        if (outcome.action == no_room_action::reply_then_drop &&
            out_send(client_out, no_room_packet, outcome.reply_length) == out_result::ok)
            return handler_step::end_after_output;
        return handler_step::end_now;
    }
    return handler_step::going_on;
}

void no_room_kill()
{
    log_line(tag_proxy, "no room handler killed");
    close_handler();
}

void standby_reset()
{
    std::memset(no_room_packet, 0, sizeof no_room_packet);
    no_room_reset();
}
