#include "proxy/rewriter.h"

#include "game/varint.h"
#include "host/log.h"

#include <cstring>

out_slice to_client;
out_slice to_server;

std::int32_t next_state;
std::uint8_t nick_replaced;
std::uint32_t relayed_bytes;
const char* room_server_error;

packet_reader c2s_reader;
packet_reader s2c_reader;

read_step reader_take(packet_reader& reader, std::uint8_t byte, out_slice& pass, const char* pop_line)
{
    if (reader.in_body == 0) {
        // Unsigned, so that the fifth byte's bits may reach the sign bit.
        std::uint32_t group = static_cast<std::uint32_t>(byte & 0x7F) << (7 * reader.len_shift);
        reader.remaining = static_cast<std::int32_t>(static_cast<std::uint32_t>(reader.remaining) | group);
        reader.len_shift++;
        if ((byte & 0x80) != 0)
            return reader.len_shift < varint_max_bytes ? read_step::more : read_step::stop;
        reader.in_body = 1;
        return reader.remaining > 0 ? read_step::more : read_step::stop;
    }

    if (reader.received < packet_buf_size) {
        reader.buf[reader.received] = byte;
    } else if (reader.received == packet_buf_size) {
        log_line(tag_mitm, "%s", pop_line);
        pass = {reader.buf, packet_buf_size};
        if (varint_insert_prefix(reader.buf, &pass.length, reader.received + reader.remaining) != 0)
            return read_step::stop;
        reader.buf[pass.length++] = byte;
    } else {
        reader.buf[0] = byte;
        pass = {reader.buf, 1};
    }
    reader.received++;
    reader.remaining--;
    if (reader.remaining > 0)
        return read_step::more;
    if (reader.received > packet_buf_size) {
        // Already passed on in pieces.
        reader_clear(reader);
        return read_step::more;
    }
    return read_step::complete;
}

namespace {

std::int32_t take_run(packet_reader& reader, std::uint8_t* bytes, std::int32_t count, out_slice& pass)
{
    if (reader.in_body == 0 || reader.remaining <= 1 || reader.received == packet_buf_size)
        return 0;
    std::int32_t run = count < reader.remaining - 1 ? count : reader.remaining - 1;
    if (reader.received < packet_buf_size) {
        std::int32_t room = packet_buf_size - reader.received;
        run = run < room ? run : room;
        std::memcpy(reader.buf + reader.received, bytes, static_cast<std::size_t>(run));
    } else {
        // Past the buffer every byte goes on as it comes.
        pass = {bytes, run};
    }
    reader.received += run;
    reader.remaining -= run;
    return run;
}

std::int32_t whole_packet(const packet_reader& reader, const std::uint8_t* bytes, std::int32_t count,
                          bool check_id)
{
    if (reader.in_body != 0 || reader.len_shift != 0)
        return 0;
    // The length, read here for speed: up to packet_buf_size takes at most
    // three bytes.
    std::int32_t length = 0;
    std::int32_t prefix = 0;
    for (std::uint8_t byte = 0x80; byte >= 0x80; prefix++) {
        if (prefix == count || prefix == 3)
            return 0;
        byte = bytes[prefix];
        length |= (byte & 0x7F) << (7 * prefix);
    }
    if (length < 1 || length > packet_buf_size || prefix != varint_size(length) || length > count - prefix)
        return 0;
    if (check_id) {
        // The id parses when one of its first five bytes ends it.
        std::int32_t id_end = length < varint_max_bytes ? length : varint_max_bytes;
        std::int32_t i = 0;
        while (i < id_end && bytes[prefix + i] >= 0x80)
            i++;
        if (i == id_end)
            return 0;
    }
    return prefix + length;
}

} // namespace

std::int32_t reader_run(packet_reader& reader, std::uint8_t* bytes, std::int32_t count, bool whole_allowed,
                        bool check_id, out_slice& pass, bool* whole)
{
    to_client = {reader.buf, 0};
    to_server = {reader.buf, 0};
    std::int32_t run = whole_allowed ? whole_packet(reader, bytes, count, check_id) : 0;
    *whole = run > 0;
    if (*whole)
        pass = {bytes, run};
    else
        run = take_run(reader, bytes, count, pass);
    relayed_bytes += static_cast<std::uint32_t>(run);
    return run;
}

void reader_clear(packet_reader& reader)
{
    reader.received = 0;
    reader.remaining = 0;
    reader.len_shift = 0;
    reader.in_body = 0;
}

bool reader_packet_id(const packet_reader& reader, std::int32_t* id, std::int32_t* id_length)
{
    varint_result result{};
    varint_decode(&result, reader.buf, reader.received);
    if (result.ok == 0)
        return false;
    *id = result.value;
    *id_length = result.length;
    return true;
}

void mitm_reset()
{
    reader_clear(c2s_reader);
    reader_clear(s2c_reader);
    next_state = 0;
    nick_replaced = 0;
    relayed_bytes = 0;
    room_server_error = nullptr;
    to_client = {c2s_reader.buf, 0};
    to_server = {c2s_reader.buf, 0};
}
