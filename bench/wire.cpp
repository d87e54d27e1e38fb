#include "bench.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bench {

double seconds_since(clock::time_point start)
{
    return std::chrono::duration<double>(clock::now() - start).count();
}

void put_u64(std::uint8_t* out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t get_u64(const std::uint8_t* in)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | in[i];
    return value;
}

std::size_t framed_size(std::uint32_t body)
{
    return varint(static_cast<std::int32_t>(body)).size() + body;
}

void set_socket_options(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{io_timeout_s, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A socket on the loopback's port: connected to it, or listening on it.
// -1 on failure.
static int loopback_socket(std::uint16_t port, bool listening)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    if (listening)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    else
        set_socket_options(fd);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* at = reinterpret_cast<const sockaddr*>(&address);
    const bool ok = listening ? bind(fd, at, sizeof address) == 0 && listen(fd, 64) == 0
                              : connect(fd, at, sizeof address) == 0;
    if (!ok)
        close(fd);
    return ok ? fd : -1;
}

int connect_loopback(std::uint16_t port)
{
    return loopback_socket(port, false);
}

int listen_loopback(std::uint16_t port)
{
    return loopback_socket(port, true);
}

bool send_all(int fd, const void* data, std::size_t length)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (length > 0) {
        ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool send_all(int fd, const bytes& data)
{
    return send_all(fd, data.data(), data.size());
}

reader::reader(int socket) : fd(socket), buf(256 * 1024) {}

bool reader::fill()
{
    if (pos == len)
        pos = len = 0;
    if (len == buf.size()) {
        std::memmove(buf.data(), buf.data() + pos, len - pos);
        len -= pos;
        pos = 0;
    }
    for (;;) {
        ssize_t n = recv(fd, buf.data() + len, buf.size() - len, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = 0; // closed by the peer
        if (n <= 0)
            return false;
        len += static_cast<std::size_t>(n);
        return true;
    }
}

bool reader::byte(std::uint8_t& out)
{
    if (pos == len && !fill())
        return false;
    out = buf[pos++];
    return true;
}

bool reader::packet(bytes& body, std::size_t limit)
{
    std::uint32_t length = 0;
    for (unsigned shift = 0;; shift += 7) {
        std::uint8_t b;
        if (shift > 28 || !byte(b))
            return false;
        length |= static_cast<std::uint32_t>(b & 0x7F) << shift;
        if (b < 0x80)
            break;
    }
    if (length == 0 || length > limit)
        return false;
    body.resize(length);
    std::size_t got = 0;
    while (got < length) {
        if (pos == len && !fill())
            return false;
        std::size_t take = std::min<std::size_t>(length - got, len - pos);
        std::memcpy(body.data() + got, buf.data() + pos, take);
        got += take;
        pos += take;
    }
    return true;
}

void frame_check::feed(const std::uint8_t* data, std::size_t count)
{
    std::size_t i = 0;
    while (i < count) {
        if (!in_body) {
            std::uint8_t b = data[i++];
            length |= static_cast<std::uint32_t>(b & 0x7F) << shift;
            shift += 7;
            if (b < 0x80) {
                if (length != body_size)
                    bad = true;
                in_body = true;
                left = length;
                head_got = 0;
            } else if (shift > 28) {
                bad = true;
                shift = 0;
            }
            continue;
        }
        if (head_got < sizeof head) {
            std::size_t take = std::min<std::size_t>({sizeof head - head_got, left, count - i});
            std::memcpy(head + head_got, data + i, take);
            head_got += static_cast<std::uint32_t>(take);
            left -= static_cast<std::uint32_t>(take);
            i += take;
            if (head_got == sizeof head && (head[0] != id || get_u64(head + 1) != packets))
                bad = true;
        } else {
            std::size_t take = std::min<std::size_t>(left, count - i);
            left -= static_cast<std::uint32_t>(take);
            i += take;
        }
        if (left == 0) {
            ++packets;
            in_body = false;
            length = 0;
            shift = 0;
        }
    }
}

bool frame_check::consume(reader& in, std::uint64_t count)
{
    for (;;) {
        feed(in.buf.data() + in.pos, in.len - in.pos);
        in.pos = in.len;
        if (packets >= count && !in_body)
            return true;
        if (!in.fill())
            return false;
    }
}

bool send_data_packets(int fd, std::uint8_t id, std::uint32_t body_size, std::uint64_t count)
{
    const bytes length = varint(static_cast<std::int32_t>(body_size));
    const std::size_t prefix = length.size();
    const std::size_t framed = prefix + body_size;
    const std::size_t per_chunk = std::max<std::size_t>(1, (256 * 1024) / framed);
    bytes chunk(per_chunk * framed, 0xAB);
    for (std::size_t k = 0; k < per_chunk; ++k) {
        std::uint8_t* p = chunk.data() + k * framed;
        std::copy(length.begin(), length.end(), p);
        p[prefix] = id;
    }
    for (std::uint64_t sent = 0; sent < count;) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(per_chunk, count - sent));
        for (std::size_t k = 0; k < n; ++k)
            put_u64(chunk.data() + k * framed + prefix + 1, sent + k);
        if (!send_all(fd, chunk.data(), n * framed))
            return false;
        sent += n;
    }
    return true;
}

} // namespace bench
