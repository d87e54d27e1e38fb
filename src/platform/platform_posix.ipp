// POSIX sockets. The readiness wait uses poll, which has no limit on
// descriptor values; its sets behave like the 64-entry select sets of Winsock.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int wait_capacity = 64;

pollfd wait_entries[wait_capacity];
int wait_count;
int read_count;
int write_count;

pollfd* wait_find(sock_t s)
{
    for (int i = 0; i < wait_count; i++) {
        if (wait_entries[i].fd == s)
            return &wait_entries[i];
    }
    return nullptr;
}

void wait_add(sock_t s, short events, int& set_count)
{
    pollfd* entry = wait_find(s);
    if (entry != nullptr && (entry->events & events) != 0)
        return;
    if (set_count >= wait_capacity)
        return;
    if (entry == nullptr) {
        entry = &wait_entries[wait_count++];
        entry->fd = s;
        entry->events = 0;
        entry->revents = 0;
    }
    entry->events |= events;
    set_count++;
}

bool set_int_option(sock_t s, int level, int name, int value)
{
    return setsockopt(s, level, name, &value, sizeof value) == 0;
}

} // namespace

// The log's lines gather here and leave whenever the loop is about to wait
// (or before an error text), as far as standard output takes them without
// waiting: a watcher has every line before the program waits, a busy relay
// does not pay a write per line, and an output that nobody reads never holds
// the loop up.
namespace {

char console_buf[65536];
std::int32_t console_start;
std::int32_t console_end;
// A pipe takes this much without blocking once it is writable at all.
constexpr std::int32_t console_chunk = 4096;

bool writable_now(int fd)
{
    pollfd entry{fd, POLLOUT, 0};
    return poll(&entry, 1, 0) == 1 && (entry.revents & POLLOUT) != 0;
}

void console_flush()
{
    while (console_start < console_end && writable_now(STDOUT_FILENO)) {
        std::int32_t length = console_end - console_start;
        ssize_t written = write(STDOUT_FILENO, console_buf + console_start,
                                static_cast<size_t>(length < console_chunk ? length : console_chunk));
        if (written < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (written <= 0) {
            console_end = console_start; // nobody takes the log any more
            break;
        }
        console_start += static_cast<std::int32_t>(written);
    }
    if (console_start == console_end)
        console_start = console_end = 0;
}

} // namespace

void console_setup()
{
    // The last lines before an exit still leave.
    std::atexit(console_flush);
}

bool console_write(const char* bytes, std::int32_t length)
{
    if (console_end + length > static_cast<std::int32_t>(sizeof console_buf))
        console_flush();
    if (console_end + length > static_cast<std::int32_t>(sizeof console_buf) && console_start > 0) {
        std::memmove(console_buf, console_buf + console_start, static_cast<size_t>(console_end - console_start));
        console_end -= console_start;
        console_start = 0;
    }
    if (console_end + length > static_cast<std::int32_t>(sizeof console_buf))
        return false;
    std::memcpy(console_buf + console_end, bytes, static_cast<size_t>(length));
    console_end += length;
    return true;
}

bool net_startup()
{
    std::signal(SIGPIPE, SIG_IGN);
    // A closed standard descriptor would hand the value 0 to a connection.
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
            return false;
    }
    return true;
}

int net_last_error()
{
    return errno;
}

int net_timed_out_error()
{
    return ETIMEDOUT;
}

void net_set_last_error(int error)
{
    errno = error;
}

bool net_would_block()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS;
}

void net_perror(const char* prefix)
{
    int error = errno;
    console_flush(); // the line that the error text explains goes first
    char line[512];
    int length = prefix[0] != '\0' ? std::snprintf(line, sizeof line, "%s: %s\n", prefix, std::strerror(error))
                                    : std::snprintf(line, sizeof line, "%s\n", std::strerror(error));
    if (length >= static_cast<int>(sizeof line))
        length = static_cast<int>(sizeof line) - 1;
    // Standard error, too, is written only as far as it takes the line at once.
    if (length > 0 && writable_now(STDERR_FILENO) && write(STDERR_FILENO, line, static_cast<size_t>(length)) < 0) {
        // Nowhere to say it.
    }
    errno = error;
}

void net_error_text(int error, char* out, int capacity)
{
    std::snprintf(out, static_cast<size_t>(capacity), "%s", std::strerror(error));
}

int net_socket_error(sock_t s)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error != 0)
        errno = error;
    return error;
}

sock_t net_tcp_socket(bool ipv6)
{
    int s = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return s < 0 ? invalid_sock : s;
}

void net_close(sock_t s)
{
    close(s);
}

void net_shutdown_send(sock_t s)
{
    shutdown(s, SHUT_WR);
}

bool net_set_listener_options(sock_t s)
{
    linger off{};
    if (setsockopt(s, SOL_SOCKET, SO_LINGER, &off, sizeof off) != 0)
        return false;
    return set_int_option(s, SOL_SOCKET, SO_REUSEADDR, 1);
}

bool net_bind_loopback(sock_t s, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    return bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool net_listen(sock_t s, int backlog)
{
    if (listen(s, backlog) != 0)
        return false;
    // A connection reset between the wait and the accept must not leave the
    // loop blocked in accept.
    return net_set_nonblocking(s);
}

sock_t net_accept(sock_t listener)
{
    int s;
    do {
        s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    } while (s < 0 && errno == EINTR);
    return s < 0 ? invalid_sock : s;
}

bool net_set_nonblocking(sock_t s)
{
    int flags = fcntl(s, F_GETFL);
    return flags != -1 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool net_set_nodelay(sock_t s)
{
    return set_int_option(s, IPPROTO_TCP, TCP_NODELAY, 1);
}

bool net_connect(sock_t s, bool ipv6, const std::uint8_t* port, const std::uint8_t* addr)
{
    int result;
    if (ipv6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        std::memcpy(&address.sin6_port, port, 2);
        std::memcpy(&address.sin6_addr, addr, 16);
        result = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        std::memcpy(&address.sin_port, port, 2);
        std::memcpy(&address.sin_addr, addr, 4);
        result = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    return result == 0 || errno == EINPROGRESS || errno == EINTR;
}

int net_send(sock_t s, const std::uint8_t* bytes, std::int32_t length)
{
    ssize_t sent;
    do {
        sent = send(s, bytes, static_cast<size_t>(length), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return static_cast<int>(sent);
}

int net_send_pieces(sock_t s, const net_piece* pieces, int count)
{
    if (count == 1) // a plain send costs less than sendmsg
        return net_send(s, pieces->bytes, pieces->length);
    iovec vectors[net_pieces_max];
    for (int i = 0; i < count; i++)
        vectors[i] = {const_cast<std::uint8_t*>(pieces[i].bytes), static_cast<size_t>(pieces[i].length)};
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
    ssize_t sent;
    do {
        sent = sendmsg(s, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return static_cast<int>(sent);
}

int net_recv(sock_t s, std::uint8_t* bytes, std::int32_t capacity)
{
    ssize_t got;
    do {
        got = recv(s, bytes, static_cast<size_t>(capacity), 0);
    } while (got < 0 && errno == EINTR);
    return static_cast<int>(got);
}

void net_sleep_ms(unsigned ms)
{
    console_flush();
    timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

std::int64_t net_now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void wait_clear()
{
    wait_count = 0;
    read_count = 0;
    write_count = 0;
}

void wait_add_read(sock_t s)
{
    wait_add(s, POLLIN, read_count);
}

void wait_add_write(sock_t s)
{
    wait_add(s, POLLOUT, write_count);
}

int wait_run(int timeout_ms)
{
    console_flush();
    int result;
    do {
        result = poll(wait_entries, static_cast<nfds_t>(wait_count), timeout_ms);
    } while (result < 0 && errno == EINTR);
    return result;
}

bool wait_readable(sock_t s)
{
    const pollfd* entry = wait_find(s);
    return entry != nullptr && (entry->events & POLLIN) != 0 &&
           (entry->revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool wait_writable(sock_t s)
{
    const pollfd* entry = wait_find(s);
    return entry != nullptr && (entry->events & POLLOUT) != 0 &&
           (entry->revents & (POLLOUT | POLLHUP | POLLERR | POLLNVAL)) != 0;
}
