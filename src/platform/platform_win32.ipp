// Winsock 2.2. The readiness wait is select with the 64-entry socket sets.
#include "platform/platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <cstring>

namespace {

fd_set read_set;
fd_set write_set;
// A failed background connect is reported in the exception set only, so every
// socket watched for writing is watched there too, and a failure counts as
// writable: the send that follows reports the error.
fd_set except_set;

// Texts of the errors a player may meet, for systems whose message tables
// lack them (Wine's do).
struct error_text {
    int code;
    const char* text;
};

constexpr error_text known_errors[] = {
    {WSAEINTR, "A blocking operation was interrupted."},
    {WSAEACCES, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {WSAEWOULDBLOCK, "A non-blocking socket operation could not be completed immediately."},
    {WSAEINPROGRESS, "A blocking operation is currently executing."},
    {WSAENOTSOCK, "An operation was attempted on something that is not a socket."},
    {WSAEADDRINUSE, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    {WSAEADDRNOTAVAIL, "The requested address is not valid in its context."},
    {WSAENETDOWN, "A socket operation encountered a dead network."},
    {WSAENETUNREACH, "A socket operation was attempted to an unreachable network."},
    {WSAECONNABORTED, "An established connection was aborted by the software in your host machine."},
    {WSAECONNRESET, "An existing connection was forcibly closed by the remote host."},
    {WSAENOBUFS, "An operation on a socket could not be performed because the system lacked sufficient buffer space or because a queue was full."},
    {WSAENOTCONN, "A request to send or receive data was disallowed because the socket is not connected."},
    {WSAETIMEDOUT, "A connection attempt failed because the connected party did not properly respond after a period of time."},
    {WSAECONNREFUSED, "No connection could be made because the target machine actively refused it."},
    {WSAEHOSTUNREACH, "A socket operation was attempted to an unreachable host."},
    {WSANOTINITIALISED, "Either the application has not called WSAStartup, or WSAStartup failed."},
};

bool set_int_option(sock_t s, int level, int name, int value)
{
    return setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

bool set_blocking_mode(sock_t s, u_long nonblocking)
{
    return ioctlsocket(s, FIONBIO, &nonblocking) == 0;
}

}  // namespace

void console_setup()
{
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

bool net_startup()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

int net_last_error()
{
    return WSAGetLastError();
}

bool net_would_block()
{
    int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

void net_perror(const char* prefix)
{
    int error = WSAGetLastError();
    char text[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' '))
        length--;
    for (const error_text& known : known_errors) {
        if (length == 0 && known.code == error)
            length = static_cast<DWORD>(std::snprintf(text, sizeof text, "%s", known.text));
    }
    if (length == 0)
        length = static_cast<DWORD>(std::snprintf(text, sizeof text, "socket error %d", error));
    if (prefix != nullptr && prefix[0] != '\0')
        std::fprintf(stderr, "%s: %.*s\n", prefix, static_cast<int>(length), text);
    else
        std::fprintf(stderr, "%.*s\n", static_cast<int>(length), text);
    std::fflush(stderr);
}

sock_t net_tcp_socket(bool ipv6)
{
    SOCKET s = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? invalid_sock : static_cast<sock_t>(s);
}

void net_close(sock_t s)
{
    closesocket(s);
}

bool net_set_listener_options(sock_t s)
{
    // Never SO_REUSEADDR here: on Windows it lets another program take the port.
    return set_int_option(s, SOL_SOCKET, SO_DONTLINGER, 1);
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
    // A connection reset between the wait and the accept must not leave the
    // loop blocked in accept.
    return listen(s, backlog) == 0 && set_blocking_mode(s, 1);
}

sock_t net_accept(sock_t listener)
{
    SOCKET s = accept(listener, nullptr, nullptr);
    if (s == INVALID_SOCKET)
        return invalid_sock;
    // Accepted sockets inherit the listener's mode; set it anyway, so that no
    // send can ever wait inside the loop.
    if (!set_blocking_mode(s, 1)) {
        int error = WSAGetLastError();
        closesocket(s);
        WSASetLastError(error);
        return invalid_sock;
    }
    return static_cast<sock_t>(s);
}

bool net_set_nonblocking(sock_t s)
{
    return set_blocking_mode(s, 1);
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
    return result == 0 || net_would_block();
}

int net_send(sock_t s, const std::uint8_t* bytes, std::int32_t length)
{
    return send(s, reinterpret_cast<const char*>(bytes), length, 0);
}

int net_send_pieces(sock_t s, const net_piece* pieces, int count)
{
    WSABUF buffers[net_pieces_max];
    for (int i = 0; i < count; i++) {
        buffers[i].len = static_cast<ULONG>(pieces[i].length);
        buffers[i].buf = reinterpret_cast<CHAR*>(const_cast<std::uint8_t*>(pieces[i].bytes));
    }
    DWORD sent = 0;
    if (WSASend(s, buffers, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) != 0)
        return -1;
    return static_cast<int>(sent);
}

int net_recv(sock_t s, std::uint8_t* bytes, std::int32_t capacity)
{
    return recv(s, reinterpret_cast<char*>(bytes), capacity, 0);
}

void net_sleep_ms(unsigned ms)
{
    Sleep(ms);
}

std::int64_t net_now_ms()
{
    return static_cast<std::int64_t>(GetTickCount64());
}

void wait_clear()
{
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_ZERO(&except_set);
}

void wait_add_read(sock_t s)
{
    FD_SET(s, &read_set);
}

void wait_add_write(sock_t s)
{
    FD_SET(s, &write_set);
    FD_SET(s, &except_set);
}

int wait_run(int timeout_ms)
{
    if (timeout_ms < 0)
        return select(0, &read_set, &write_set, &except_set, nullptr);
    timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    return select(0, &read_set, &write_set, &except_set, &limit);
}

bool wait_readable(sock_t s)
{
    return FD_ISSET(s, &read_set) != 0;
}

bool wait_writable(sock_t s)
{
    return FD_ISSET(s, &write_set) != 0 || FD_ISSET(s, &except_set) != 0;
}
