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
    if (reader.in_body == 0 || reader.remaining <= 0 || reader.received == packet_buf_size)
        return 0;
    if (reader.received > packet_buf_size) {
        // Past the buffer every byte goes on as it comes, and the last one
        // only ends the packet.
        std::int32_t run = count < reader.remaining ? count : reader.remaining;
        pass = {bytes, run};
        reader.received += run;
        reader.remaining -= run;
        if (reader.remaining == 0)
            reader_clear(reader);
        return run;
    }
    if (reader.remaining == 1)
        return 0;
    std::int32_t run = count < reader.remaining - 1 ? count : reader.remaining - 1;
    std::int32_t room = packet_buf_size - reader.received;
    run = run < room ? run : room;
    std::memcpy(reader.buf + reader.received, bytes, static_cast<std::size_t>(run));
    reader.received += run;
    reader.remaining -= run;
    return run;
}

// The start of a packet that the one-byte steps would give back as it came,
// in one piece: a packet of up to packet_buf_size bytes whole (when
// short_allowed, and with an id that parses when check_id), or a longer one up
// to the byte at which they pop it. Its length prefix must be minimal and at
// most four bytes long. Returns the piece's length, 0 for none; *length is the
// packet's declared length.
std::int32_t unchanged_piece(const packet_reader& reader, const std::uint8_t* bytes, std::int32_t count,
                             bool short_allowed, bool check_id, std::int32_t* length)
{
    // Only at a packet's start: no length byte read yet.
    if (reader.len_shift != 0)
        return 0;
    // The length, read here for speed. Four bytes hold lengths up to 2^28 - 1,
    // always positive; a longer prefix goes through the one-byte step.
    std::int32_t value = 0;
    std::int32_t prefix = 0;
    for (std::uint8_t byte = 0x80; byte >= 0x80; prefix++) {
        if (prefix == count || prefix == varint_max_bytes - 1)
            return 0;
        byte = bytes[prefix];
        value |= (byte & 0x7F) << (7 * prefix);
    }
    *length = value;
    if (value < 1 || prefix != varint_size(value))
        return 0;
    if (value > packet_buf_size) {
        // Nothing inspects a long packet: the pop passes the length, the
        // buffered bytes and the byte that overflows them.
        std::int32_t pop = prefix + packet_buf_size + 1;
        return pop <= count ? pop : 0;
    }
    if (!short_allowed || value > count - prefix)
        return 0;
    if (check_id) {
        // The id parses when one of its first five bytes ends it.
        std::int32_t id_end = value < varint_max_bytes ? value : varint_max_bytes;
        std::int32_t i = 0;
        while (i < id_end && bytes[prefix + i] >= 0x80)
            i++;
        if (i == id_end)
            return 0;
    }
    return prefix + value;
}

} // namespace

std::int32_t reader_run(packet_reader& reader, std::uint8_t* bytes, std::int32_t count, bool whole_allowed,
                        bool check_id, out_slice& pass, bool* whole, const char* pop_line)
{
    to_client = {reader.buf, 0};
    to_server = {reader.buf, 0};
    std::int32_t length = 0;
    std::int32_t run = unchanged_piece(reader, bytes, count, whole_allowed, check_id, &length);
    *whole = run > 0;
    if (*whole) {
        pass = {bytes, run};
        if (length > packet_buf_size) {
            log_line(tag_mitm, "%s", pop_line);
            reader.in_body = 1;
            reader.len_shift = static_cast<std::uint8_t>(run - packet_buf_size - 1);
            reader.received = packet_buf_size + 1;
            reader.remaining = length - reader.received;
            if (reader.remaining == 0)
                reader_clear(reader);
        }
    } else {
        run = take_run(reader, bytes, count, pass);
    }
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
