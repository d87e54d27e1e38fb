#include "proxy/packet_reader.h"

#include "host/log.h"

#include <cstring>

read_step reader_take(packet_reader& reader, std::uint8_t byte, out_slice& pass)
{
    if (!reader.in_body) {
        varint_step step = varint_take(reader.prefix, byte);
        if (step != varint_step::done)
            return step == varint_step::more ? read_step::more : read_step::stop;
        reader.in_body = true;
        reader.remaining = static_cast<std::int32_t>(reader.prefix.value);
        return reader.remaining > 0 ? read_step::more : read_step::stop;
    }

    if (reader.received < packet_buf_size) {
        reader.buf[reader.received] = byte;
    } else if (reader.received == packet_buf_size) {
        log_line(tag_mitm, "%s", reader.pop_line);
        pass = {reader.buf, packet_buf_size};
        if (!varint_insert_prefix(reader.buf, &pass.length, reader.received + reader.remaining))
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
    if (!reader.in_body || reader.remaining <= 0 || reader.received == packet_buf_size)
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
// most four bytes long. Returns the piece's length, 0 for none; *prefix is
// the length prefix as read.
std::int32_t unchanged_piece(const packet_reader& reader, const std::uint8_t* bytes, std::int32_t count,
                             bool short_allowed, bool check_id, varint_result* prefix)
{
    // Only at a packet's start: no length byte read yet.
    if (!reader_between_packets(reader))
        return 0;
    // Four bytes hold lengths up to 2^28 - 1, always positive; a longer
    // prefix goes through the one-byte step.
    varint_decode(prefix, bytes, count < varint_max_bytes - 1 ? count : varint_max_bytes - 1);
    std::int32_t value = prefix->value;
    if (!prefix->ok || value < 1 || prefix->length != varint_size(value))
        return 0;
    if (value > packet_buf_size) {
        // Nothing inspects a long packet: the pop passes the length, the
        // buffered bytes and the byte that overflows them.
        std::int32_t pop = prefix->length + packet_buf_size + 1;
        return pop <= count ? pop : 0;
    }
    if (!short_allowed || value > count - prefix->length)
        return 0;
    if (check_id) {
        // The id parses when one of its first five bytes ends it.
        varint_result id{};
        varint_decode(&id, bytes + prefix->length, value);
        if (!id.ok)
            return 0;
    }
    return prefix->length + value;
}

} // namespace

std::int32_t reader_run(packet_reader& reader, std::uint8_t* bytes, std::int32_t count, bool whole_allowed,
                        bool check_id, out_slice& pass, bool* whole)
{
    varint_result prefix{};
    std::int32_t run = unchanged_piece(reader, bytes, count, whole_allowed, check_id, &prefix);
    *whole = run > 0;
    if (!*whole)
        return take_run(reader, bytes, count, pass);
    pass = {bytes, run};
    std::int32_t length = prefix.value;
    if (length > packet_buf_size) {
        // The state the steps leave after the pop.
        log_line(tag_mitm, "%s", reader.pop_line);
        reader.in_body = true;
        reader.prefix = {static_cast<std::uint32_t>(length), prefix.length};
        reader.received = packet_buf_size + 1;
        reader.remaining = length - reader.received;
        if (reader.remaining == 0)
            reader_clear(reader);
    }
    return run;
}

void reader_clear(packet_reader& reader)
{
    reader.received = 0;
    reader.remaining = 0;
    reader.prefix = {};
    reader.in_body = false;
}

bool reader_between_packets(const packet_reader& reader)
{
    return !reader.in_body && reader.prefix.length == 0;
}

bool reader_field(const packet_reader& reader, std::int32_t offset, std::int32_t* value, std::int32_t* length)
{
    varint_result result{};
    varint_decode(&result, reader.buf + offset, reader.received - offset);
    if (!result.ok)
        return false;
    *value = result.value;
    *length = result.length;
    return true;
}
