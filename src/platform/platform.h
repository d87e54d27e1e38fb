// The operating system seen through a dozen small calls: the only code that
// knows whether it runs on POSIX sockets or on Winsock.
#pragma once

#include <cstdint>

#if defined(_WIN32)
using sock_t = std::uintptr_t; // SOCKET
#else
using sock_t = int;
#endif

// The invalid socket value: all bits set on both platforms.
inline constexpr sock_t invalid_sock = static_cast<sock_t>(~static_cast<sock_t>(0));

// Makes standard output and standard error carry the log's bytes unchanged
// (Windows would otherwise turn each line feed into CR LF). A Windows program
// started without a standard output writes its log to a file instead.
void console_setup();

// Writes finished log bytes where the log goes. They are there by the time
// the loop next waits (wait_run) or pauses, or before an error text on
// standard error, as far as the output takes them without waiting. False
// when the bytes were dropped: the output has not taken what came before.
bool console_write(const char* bytes, std::int32_t length);

// Starts the socket library. On POSIX also keeps a vanished peer from killing
// the process (SIGPIPE) and makes sure descriptors 0 to 2 are taken, so that
// no connection is ever handed the value 0, which marks a free slot.
bool net_startup();

// Error code of the last failed socket call, and a test of it.
int net_last_error();
bool net_would_block();

// The error of a connection attempt that took too long, and a way to make
// an error the last one.
int net_timed_out_error();
void net_set_last_error(int error);

// Writes "prefix: text of the last socket error" to standard error; with an
// empty prefix only the text.
void net_perror(const char* prefix);

// The system's text for an error code, NUL-terminated within capacity.
void net_error_text(int error, char* out, int capacity);

// The error that a socket holds, such as a background connect's failure; 0
// for none. It becomes the last error, for net_perror.
int net_socket_error(sock_t s);

sock_t net_tcp_socket(bool ipv6);
void net_close(sock_t s);

// Ends the sending side of a connection: the peer reads an end of stream
// behind what was sent.
void net_shutdown_send(sock_t s);

// Listener set-up: lingering off, and on POSIX address reuse so that a restarted
// program gets its ports back while old connections sit in TIME_WAIT.
bool net_set_listener_options(sock_t s);
bool net_bind_loopback(sock_t s, std::uint16_t port);
bool net_listen(sock_t s, int backlog);

// Accepts one connection; the result is a non-blocking socket, or invalid_sock.
sock_t net_accept(sock_t listener);

bool net_set_nonblocking(sock_t s);
bool net_set_nodelay(sock_t s);

// Starts a connection to port (2 bytes, network order) at addr (4 or 16
// bytes, network order). True when it connected at once or is in progress.
bool net_connect(sock_t s, bool ipv6, const std::uint8_t* port, const std::uint8_t* addr);

// One send or receive; EINTR is retried. Results as the system's: a count,
// 0 for an orderly close on receive, -1 on error.
int net_send(sock_t s, const std::uint8_t* bytes, std::int32_t length);

// A range of bytes for a gathered send.
struct net_piece {
    const std::uint8_t* bytes;
    std::int32_t length;
};
inline constexpr int net_pieces_max = 64;

// One send of up to net_pieces_max ranges in order, as if they were one;
// results as net_send's.
int net_send_pieces(sock_t s, const net_piece* pieces, int count);
int net_recv(sock_t s, std::uint8_t* bytes, std::int32_t capacity);

void net_sleep_ms(unsigned ms);

// Milliseconds on a clock that only moves forward; the start is arbitrary.
std::int64_t net_now_ms();

// The loop's readiness wait: clear the sets, add sockets, wait at most
// timeout_ms (-1: without a time-out), then ask which sockets are ready.
// wait_run returns the number of ready sockets, 0 after the time-out, or less
// than 0 when the wait failed.
void wait_clear();
void wait_add_read(sock_t s);
void wait_add_write(sock_t s);
int wait_run(int timeout_ms);
bool wait_readable(sock_t s);
bool wait_writable(sock_t s);
