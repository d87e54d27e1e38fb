// Winsock 2.2. The readiness wait is select with the 64-entry socket sets.
#include "platform/platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
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

// The log file of a program started without a standard output (from
// Explorer, as players start it). It moves aside when it would pass
// log_file_limit, so that it stays bounded and the last lines survive.
constexpr LONGLONG log_file_limit = 1 << 20;
constexpr int log_path_capacity = MAX_PATH + 64;
HANDLE log_file = INVALID_HANDLE_VALUE;
LONGLONG log_file_size;
wchar_t log_path[log_path_capacity];
wchar_t log_old_path[log_path_capacity];

HANDLE open_log_file(DWORD disposition)
{
    return CreateFileW(log_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// True when the process has somewhere to write its standard output. Wine
// hands a program started with its output closed a handle that only fails
// when written, so an empty write tells.
bool has_stdout()
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    return _fileno(stdout) >= 0 && out != nullptr && out != INVALID_HANDLE_VALUE &&
           GetFileType(out) != FILE_TYPE_UNKNOWN && WriteFile(out, "", 0, &written, nullptr);
}

// %LOCALAPPDATA%\Nimbrel\nimbrel-client.log, its folder made if need be.
void start_log_file()
{
    wchar_t folder[log_path_capacity];
    DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    std::swprintf(folder + length, log_path_capacity - length, L"\\Nimbrel");
    CreateDirectoryW(folder, nullptr);
    std::swprintf(log_path, log_path_capacity, L"%ls\\nimbrel-client.log", folder);
    std::swprintf(log_old_path, log_path_capacity, L"%ls\\nimbrel-client.old.log", folder);
    log_file = open_log_file(OPEN_ALWAYS);
    LARGE_INTEGER size{};
    if (log_file != INVALID_HANDLE_VALUE && GetFileSizeEx(log_file, &size))
        log_file_size = size.QuadPart;
}

// Log bytes not yet written to the file: they leave in one write when the
// loop is about to wait, when the file is to move aside, when no more fit,
// and at exit.
char log_pending[65536];
std::int32_t log_pending_length;
// Log bytes not yet taken by standard output, when the log goes there. A
// pipe is switched to return at once with what it took, so that an output
// that nobody reads never holds the loop up.
char console_buf[65536];
std::int32_t console_end;
HANDLE console_out = INVALID_HANDLE_VALUE;

void flush_stdout()
{
    std::int32_t start = 0;
    while (start < console_end && console_out != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        if (!WriteFile(console_out, console_buf + start, static_cast<DWORD>(console_end - start), &written, nullptr)) {
            start = console_end; // nobody takes the log any more
            break;
        }
        if (written == 0)
            break;
        start += static_cast<std::int32_t>(written);
    }
    std::memmove(console_buf, console_buf + start, static_cast<size_t>(console_end - start));
    console_end -= start;
}

void flush_log_file()
{
    if (log_pending_length == 0 || log_file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(log_file, log_pending, static_cast<DWORD>(log_pending_length), &written, nullptr);
    log_file_size += written;
    log_pending_length = 0;
}

void write_log_file(const char* bytes, std::int32_t length)
{
    if (log_file_size + log_pending_length + length > log_file_limit) {
        flush_log_file();
        CloseHandle(log_file);
        MoveFileExW(log_path, log_old_path, MOVEFILE_REPLACE_EXISTING);
        log_file = open_log_file(CREATE_ALWAYS);
        log_file_size = 0;
        if (log_file == INVALID_HANDLE_VALUE)
            return;
    }
    if (log_pending_length + length > static_cast<std::int32_t>(sizeof log_pending))
        flush_log_file();
    std::memcpy(log_pending + log_pending_length, bytes, static_cast<size_t>(length));
    log_pending_length += length;
}

// Whatever the log holds back leaves now.
void flush_console()
{
    flush_log_file();
    flush_stdout();
}

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
    std::atexit(flush_console);
    if (!has_stdout()) {
        start_log_file();
        return;
    }
    _setmode(_fileno(stderr), _O_BINARY);
    console_out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (GetFileType(console_out) == FILE_TYPE_PIPE) {
        DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
        SetNamedPipeHandleState(console_out, &mode, nullptr, nullptr);
    }
}

bool console_write(const char* bytes, std::int32_t length)
{
    if (log_file != INVALID_HANDLE_VALUE) {
        write_log_file(bytes, length);
        return true;
    }
    if (console_end + length > static_cast<std::int32_t>(sizeof console_buf))
        flush_stdout();
    if (console_end + length > static_cast<std::int32_t>(sizeof console_buf))
        return false;
    std::memcpy(console_buf + console_end, bytes, static_cast<size_t>(length));
    console_end += length;
    return true;
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

int net_timed_out_error()
{
    return WSAETIMEDOUT;
}

void net_set_last_error(int error)
{
    WSASetLastError(error);
}

bool net_would_block()
{
    int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

void net_error_text(int error, char* out, int capacity)
{
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                  static_cast<DWORD>(error), 0, out, static_cast<DWORD>(capacity), nullptr);
    while (length > 0 && (out[length - 1] == '\n' || out[length - 1] == '\r' || out[length - 1] == ' '))
        length--;
    out[length < static_cast<DWORD>(capacity) ? length : 0] = '\0';
    for (const error_text& known : known_errors) {
        if (length == 0 && known.code == error)
            length = static_cast<DWORD>(std::snprintf(out, static_cast<size_t>(capacity), "%s", known.text));
    }
    if (length == 0)
        std::snprintf(out, static_cast<size_t>(capacity), "socket error %d", error);
}

void net_perror(const char* prefix)
{
    char text[512];
    net_error_text(WSAGetLastError(), text, sizeof text);
    char line[600];
    int length = prefix != nullptr && prefix[0] != '\0' ? std::snprintf(line, sizeof line, "%s: %s\n", prefix, text)
                                                         : std::snprintf(line, sizeof line, "%s\n", text);
    if (length < 0 || length >= static_cast<int>(sizeof line))
        length = static_cast<int>(std::strlen(line));
    flush_console(); // the line that the error text explains goes first
    // Without a standard output, standard error is missing too.
    if (log_file != INVALID_HANDLE_VALUE) {
        write_log_file(line, length);
        return;
    }
    std::fwrite(line, 1, static_cast<size_t>(length), stderr);
    std::fflush(stderr);
}

int net_socket_error(sock_t s)
{
    int error = 0;
    int length = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        error = WSAGetLastError();
    if (error != 0)
        WSASetLastError(error);
    return error;
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

void net_shutdown_send(sock_t s)
{
    shutdown(s, SD_SEND);
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
    int got = recv(s, reinterpret_cast<char*>(bytes), capacity, 0);
    // Wine reports a refused background connect as an end of stream and
    // leaves the error on the socket: it is a failed read all the same.
    if (got == 0 && net_socket_error(s) != 0)
        return SOCKET_ERROR;
    return got;
}

void net_sleep_ms(unsigned ms)
{
    flush_console();
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
    flush_console();
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
