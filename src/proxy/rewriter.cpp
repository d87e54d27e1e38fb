#include "proxy/rewriter.h"

out_slice to_client;
out_slice to_server;

std::int32_t next_state;
bool nick_replaced;
std::uint32_t relayed_bytes;
const char* room_server_error;
bool room_server_pending;
bool status_pong_sent;

packet_reader c2s_reader{"popped mitm_c2s buffer"};
packet_reader s2c_reader{"popped mitm_s2c buffer"};

bool rewrite_byte(packet_reader& reader, std::uint8_t byte, out_slice& pass,
                  bool (*on_packet)(packet_reader&))
{
    relayed_bytes++;
    to_client = {reader.buf, 0};
    to_server = {reader.buf, 0};
    read_step step = reader_take(reader, byte, pass);
    if (step != read_step::complete)
        return step == read_step::more;
    pass = {reader.buf, reader.received};
    if (!on_packet(reader) || !varint_insert_prefix(to_server.bytes, &to_server.length, to_server.length) ||
        !varint_insert_prefix(to_client.bytes, &to_client.length, to_client.length))
        return false;
    reader_clear(reader);
    return true;
}

std::int32_t rewrite_run(packet_reader& reader, std::uint8_t* bytes, std::int32_t count, bool whole_allowed,
                         bool check_id, out_slice& pass, bool* whole)
{
    to_client = {reader.buf, 0};
    to_server = {reader.buf, 0};
    std::int32_t run = reader_run(reader, bytes, count, whole_allowed, check_id, pass, whole);
    relayed_bytes += static_cast<std::uint32_t>(run);
    return run;
}

void mitm_reset()
{
    reader_clear(c2s_reader);
    reader_clear(s2c_reader);
    next_state = 0;
    nick_replaced = false;
    relayed_bytes = 0;
    room_server_error = nullptr;
    room_server_pending = false;
    status_pong_sent = false;
    status_reset();
    to_client = {c2s_reader.buf, 0};
    to_server = {c2s_reader.buf, 0};
}
