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

} // namespace

bool proxy_pump(sock_t client, sock_t server, std::int32_t count, rewriter step)
{
    std::uint8_t client_batch[client_batch_size];
    std::int32_t client_fill = 0;
    for (std::int32_t i = 0; i < count; i++) {
        if (step(recv_buf[i]))
            return true;
        if (gather(client, client_batch, client_batch_size, client_fill, to_client))
            return true;
        if (gather(server, to_server_buf, to_server_buf_size, to_server_fill, to_server))
            return true;
    }
    return client_fill > 0 && send_all(client, client_batch, client_fill);
}

bool flush_to_server(sock_t server)
{
    return send_all(server, to_server_buf, to_server_fill);
}
