#include "proxy/pump.h"

#include <cstring>

std::uint8_t to_server_buf[to_server_buf_size];
std::int32_t to_server_fill;

namespace {

std::int32_t to_server_batched;
std::uint8_t client_out[client_out_size];

// Output toward one peer, gathered in buf and sent in as few sends as fit.
// `batched` counts the bytes at its end that a buffer of `batch` bytes would
// still hold: those are all a stop withholds. Everything before them may
// leave whenever buf fills up.
struct coalescer {
    sock_t sock;
    std::uint8_t* buf;
    std::int32_t size;
    std::int32_t batch;
    std::int32_t& fill;
    std::int32_t& batched;

    // A piece as a step leaves it: it joins the batch when it fits behind
    // what waits there, otherwise the batch and the piece leave.
    bool piece(out_slice slice)
    {
        return add(slice, batched + slice.length > batch ? 0 : batched + slice.length);
    }

    // A run the step would have passed on a byte at a time: every batch + 1
    // bytes leave together.
    bool run(out_slice slice)
    {
        return add(slice, (batched + slice.length) % (batch + 1));
    }

    bool flush_unbatched()
    {
        return fill > batched && send_all(sock, buf, fill - batched);
    }

    bool add(out_slice slice, std::int32_t next_batched)
    {
        if (fill + slice.length > size) {
            // Full: send what no batch holds any more and keep the rest, of
            // which only the piece's own end can be longer than a batch.
            std::int32_t keep = next_batched > slice.length ? next_batched - slice.length : 0;
            if (send_all(sock, buf, fill - keep))
                return true;
            std::memmove(buf, buf + fill - keep, static_cast<std::size_t>(keep));
            fill = keep;
            if (fill + slice.length > size) {
                std::int32_t tail = next_batched < slice.length ? next_batched : slice.length;
                if (send_all(sock, slice.bytes, slice.length - tail))
                    return true;
                slice = {slice.bytes + slice.length - tail, tail};
            }
        }
        std::memcpy(buf + fill, slice.bytes, static_cast<std::size_t>(slice.length));
        fill += slice.length;
        batched = next_batched;
        return false;
    }
};

} // namespace

bool proxy_pump(sock_t client, sock_t server, std::int32_t count, rewriter step, rewriter_run run)
{
    std::int32_t client_fill = 0;
    std::int32_t client_batched = 0;
    coalescer to_c{client, client_out, client_out_size, client_batch_size, client_fill, client_batched};
    coalescer to_s{server,         to_server_buf,    to_server_buf_size, server_batch_size,
                   to_server_fill, to_server_batched};
    for (std::int32_t i = 0; i < count;) {
        bool whole = false;
        std::int32_t taken = run != nullptr ? run(recv_buf + i, count - i, &whole) : 0;
        if (taken > 0) {
            bool failed = whole ? to_c.piece(to_client) || to_s.piece(to_server)
                                : to_c.run(to_client) || to_s.run(to_server);
            if (failed)
                return true;
            i += taken;
            continue;
        }
        if (step(recv_buf[i])) {
            // What a batch would still hold stays unsent; the rest had left.
            to_c.flush_unbatched();
            to_s.flush_unbatched();
            return true;
        }
        if (to_c.piece(to_client) || to_s.piece(to_server))
            return true;
        i++;
    }
    return client_fill > 0 && send_all(client, client_out, client_fill);
}

bool flush_to_server(sock_t server)
{
    return send_all(server, to_server_buf, to_server_fill);
}

void to_server_clear()
{
    to_server_fill = 0;
    to_server_batched = 0;
}

void offer_to_server(sock_t server)
{
    std::int32_t sent = 0;
    while (sent < to_server_fill) {
        int n = net_send(server, to_server_buf + sent, to_server_fill - sent);
        if (n <= 0)
            break;
        sent += n;
    }
    std::memmove(to_server_buf, to_server_buf + sent, static_cast<std::size_t>(to_server_fill - sent));
    to_server_fill -= sent;
    if (to_server_batched > to_server_fill)
        to_server_batched = to_server_fill;
}
