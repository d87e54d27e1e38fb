#include "host/outbuf.h"

#include "host/log.h"

#include <cstring>

namespace {

void report_failure()
{
    log_line(tag_misc, "send fails");
    net_perror("");
}

// Room for length more bytes at the end, moving what waits to the front when
// that makes it.
bool make_room(out_buffer& out, std::int32_t length)
{
    if (out.capacity - out.end >= length)
        return true;
    std::int32_t waiting = out_pending(out);
    if (out.capacity - waiting < length)
        return false;
    std::memmove(out.bytes, out.bytes + out.start, static_cast<std::size_t>(waiting));
    out.start = 0;
    out.end = waiting;
    return true;
}

} // namespace

void out_reset(out_buffer& out, sock_t sock, std::uint8_t* storage, std::int32_t capacity)
{
    out = {sock, storage, capacity, 0, 0, 0};
}

bool out_append(out_buffer& out, const std::uint8_t* bytes, std::int32_t length)
{
    if (length <= 0)
        return true;
    if (!make_room(out, length))
        return false;
    if (out.start == out.end)
        out.since = net_now_ms();
    std::memcpy(out.bytes + out.end, bytes, static_cast<std::size_t>(length));
    out.end += length;
    return true;
}

out_result out_send(out_buffer& out, const net_piece* pieces, int count)
{
    std::int32_t sent = 0;
    if (out.start == out.end && count > 0) {
        sent = net_send_pieces(out.sock, pieces, count);
        if (sent < 0 && !net_would_block()) {
            report_failure();
            return out_result::failed;
        }
        if (sent < 0)
            sent = 0;
    }
    std::int32_t rest = 0;
    for (int i = 0; i < count; i++)
        rest += pieces[i].length;
    rest -= sent;
    if (rest == 0)
        return out_result::ok;
    if (!make_room(out, rest))
        return out_result::full;
    if (out.start == out.end)
        out.since = net_now_ms();
    for (int i = 0; i < count; i++) {
        std::int32_t skip = sent < pieces[i].length ? sent : pieces[i].length;
        sent -= skip;
        std::memcpy(out.bytes + out.end, pieces[i].bytes + skip,
                    static_cast<std::size_t>(pieces[i].length - skip));
        out.end += pieces[i].length - skip;
    }
    return out_result::ok;
}

out_result out_send(out_buffer& out, const std::uint8_t* bytes, std::int32_t length)
{
    net_piece piece{bytes, length};
    return length > 0 ? out_send(out, &piece, 1) : out_result::ok;
}

bool out_write(out_buffer& out, bool quiet)
{
    while (out.start < out.end) {
        std::int32_t length = out_pending(out) < out_send_max ? out_pending(out) : out_send_max;
        int sent = net_send(out.sock, out.bytes + out.start, length);
        if (sent < 0 && net_would_block())
            return true;
        if (sent <= 0) {
            if (!quiet)
                report_failure();
            return false;
        }
        out.start += sent;
        out.since = net_now_ms();
    }
    out_clear(out);
    return true;
}

bool out_stalled(const out_buffer& out, std::int64_t now, int limit_ms)
{
    std::int64_t deadline = out_deadline(out, limit_ms);
    return deadline >= 0 && now >= deadline;
}

std::int64_t out_deadline(const out_buffer& out, int limit_ms)
{
    return out.start < out.end ? out.since + limit_ms : -1;
}
