#include "proxy/pump.h"

#include "host/registry.h"

#include <cstring>

std::uint8_t to_server_buf[to_server_buf_size];
std::int32_t to_server_fill;

namespace {

// Appends slice to a buffer of the given capacity, or, when it does not fit
// behind what waits, sends what waits and then the slice itself. True when a
// send failed.
bool gather(sock_t sock, std::uint8_t* buffer, std::int32_t capacity, std::int32_t& fill, out_slice slice)
{
    if (fill + slice.length <= capacity) {
        std::memcpy(buffer + fill, slice.bytes, static_cast<std::size_t>(slice.length));
        fill += slice.length;
        return false;
    }
    bool failed = fill > 0 && send_all(sock, buffer, fill);
    fill = 0;
    return failed || send_all(sock, slice.bytes, slice.length);
}

// Appends a run that the one-byte step would have passed on a byte at a time,
// so that the peer gets exactly the bytes it would have got by now: one byte
// at a time, each byte that finds the buffer full sends the buffer and then
// itself, so every capacity + 1 bytes leave together. True when a send failed.
bool gather_run(sock_t sock, std::uint8_t* buffer, std::int32_t capacity, std::int32_t& fill, out_slice run)
{
    std::int32_t total = fill + run.length;
    std::int32_t leaving = total / (capacity + 1) * (capacity + 1);
    if (leaving == 0) {
        std::memcpy(buffer + fill, run.bytes, static_cast<std::size_t>(run.length));
        fill = total;
        return false;
    }
    bool failed = fill > 0 && send_all(sock, buffer, fill);
    if (failed || send_all(sock, run.bytes, leaving - fill))
        return true;
    std::memcpy(buffer, run.bytes + (leaving - fill), static_cast<std::size_t>(total - leaving));
    fill = total - leaving;
    return false;
}

} // namespace

bool proxy_pump(sock_t client, sock_t server, std::int32_t count, rewriter step, rewriter_run run)
{
    std::uint8_t client_batch[client_batch_size];
    std::int32_t client_fill = 0;
    for (std::int32_t i = 0; i < count;) {
        std::int32_t taken = run != nullptr ? run(recv_buf + i, count - i) : 0;
        if (taken > 0) {
            if (gather_run(client, client_batch, client_batch_size, client_fill, to_client) ||
                gather_run(server, to_server_buf, to_server_buf_size, to_server_fill, to_server))
                return true;
            i += taken;
            continue;
        }
        if (step(recv_buf[i]))
            return true;
        if (gather(client, client_batch, client_batch_size, client_fill, to_client))
            return true;
        if (gather(server, to_server_buf, to_server_buf_size, to_server_fill, to_server))
            return true;
        i++;
    }
    return client_fill > 0 && send_all(client, client_batch, client_fill);
}

bool flush_to_server(sock_t server)
{
    return send_all(server, to_server_buf, to_server_fill);
}
