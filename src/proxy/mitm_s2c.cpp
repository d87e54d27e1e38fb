// The room server's stream on its way to the game client: reframed and passed
// on, except the status response and pong, which the client already had from
// the proxy itself.
#include "proxy/rewriter.h"

#include "game/varint.h"

namespace {

constexpr std::int32_t packet_id_status_response = 0;
constexpr std::int32_t packet_id_pong = 1;
constexpr char s2c_pop_line[] = "popped mitm_s2c buffer";

} // namespace

bool mitm_s2c(std::uint8_t byte)
{
    packet_reader& r = s2c_reader;
    relayed_bytes++;
    to_client = {r.buf, 0};
    to_server = {r.buf, 0};
    read_step step = reader_take(r, byte, to_client, s2c_pop_line);
    if (step == read_step::stop)
        return true;
    if (step == read_step::more)
        return false;

    to_client = {r.buf, r.received};
    std::int32_t id;
    std::int32_t id_length;
    if (!reader_packet_id(r, &id, &id_length))
        return true;
    if (next_state == next_state_status && (id == packet_id_status_response || id == packet_id_pong))
        to_client.length = 0;
    if (varint_insert_prefix(to_client.bytes, &to_client.length, to_client.length) != 0)
        return true;
    reader_clear(r);
    return false;
}

std::int32_t mitm_s2c_run(std::uint8_t* bytes, std::int32_t count, bool* whole)
{
    // Outside the status stage nothing is dropped: a well-framed packet with
    // a readable id goes on as it came. Long packets are never dropped.
    return reader_run(s2c_reader, bytes, count, next_state != next_state_status, true, to_client, whole,
                      s2c_pop_line);
}
