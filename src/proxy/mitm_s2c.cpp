// The room server's stream on its way to the game client: reframed and passed
// on, except the status response and pong, which the client already had from
// the proxy itself.
#include "proxy/rewriter.h"

#include "game/protocol.h"

namespace {

// False when the packet id does not parse.
bool on_packet(packet_reader& r)
{
    std::int32_t id;
    std::int32_t id_length;
    if (!reader_field(r, 0, &id, &id_length))
        return false;
    if (next_state == next_state_status && (id == packet_id_status_response || id == packet_id_pong))
        to_client.length = 0;
    return true;
}

} // namespace

bool mitm_s2c(std::uint8_t byte)
{
    return rewrite_byte(s2c_reader, byte, to_client, on_packet);
}

std::int32_t mitm_s2c_run(std::uint8_t* bytes, std::int32_t count, bool* whole)
{
    // Outside the status stage nothing is dropped: a well-framed packet with
    // a readable id goes on as it came. Long packets are never dropped.
    return rewrite_run(s2c_reader, bytes, count, next_state != next_state_status, true, to_client, whole);
}
