// The relay benchmark: a game client and a room server of its own that speak
// the game's VarInt framing, driven through the program and through the relays
// a player or server owner would otherwise use.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "game_bytes.h"

namespace bench {

// Ports inside the benchmark's own network namespace. The program's are fixed.
inline constexpr std::uint16_t room_port = 30000;
inline constexpr std::uint16_t haproxy_port = 30001;
inline constexpr std::uint16_t socat_port = 30002;
inline constexpr std::uint16_t program_game_port = 25565;
inline constexpr std::uint16_t program_ws_port = 48026;

// Any single socket operation that waits longer than this fails the workload.
inline constexpr int io_timeout_s = 20;

// Packet ids of the benchmark's own play-state traffic.
inline constexpr std::uint8_t id_command = 0x30;
inline constexpr std::uint8_t id_s2c_data = 0x31;
inline constexpr std::uint8_t id_c2s_ack = 0x32;
inline constexpr std::uint8_t id_c2s_data = 0x33;
inline constexpr std::uint8_t id_echo = 0x34;
inline constexpr std::uint8_t id_login_success = 0x02;

enum class op : std::uint8_t { s2c_bulk = 1, c2s_bulk = 2, echo = 3 };

// The name the program must put in Login Start in place of the client's.
inline constexpr char room_nick[] = "BenchNick";
inline constexpr char client_name[] = "BenchPlayer";

using clock = std::chrono::steady_clock;
double seconds_since(clock::time_point start);

// ---- wire.cpp: sockets and framing; the game's packets come from game_bytes.h ----
void put_u64(std::uint8_t* out, std::uint64_t value);
std::uint64_t get_u64(const std::uint8_t* in);
std::size_t framed_size(std::uint32_t body); // VarInt prefix and body

void set_socket_options(int fd);
int connect_loopback(std::uint16_t port); // -1 on failure
int listen_loopback(std::uint16_t port);
bool send_all(int fd, const void* data, std::size_t length);
bool send_all(int fd, const bytes& data);

// Buffered reader over one connection.
struct reader {
    int fd;
    bytes buf;
    std::size_t pos = 0;
    std::size_t len = 0;
    explicit reader(int socket);
    bool fill(); // false on end of stream, error or time-out
    bool byte(std::uint8_t& out);
    bool packet(bytes& body, std::size_t limit = 1 << 20);
};

// Checks a stream of data packets of one body size as it arrives, without
// copying it: every length must be the expected one and the sequence numbers
// after the id must count up from 0.
struct frame_check {
    std::uint32_t body_size;
    std::uint8_t id;
    std::uint64_t packets = 0;
    bool bad = false;
    std::uint32_t length = 0;
    unsigned shift = 0;
    bool in_body = false;
    std::uint32_t left = 0;
    std::uint8_t head[9] = {};
    std::uint32_t head_got = 0;
    frame_check(std::uint32_t body, std::uint8_t packet_id) : body_size(body), id(packet_id) {}
    void feed(const std::uint8_t* data, std::size_t count);
    // Feeds what in holds and reads on until count whole packets have come;
    // false when the stream ends first.
    bool consume(reader& in, std::uint64_t count);
};

// Sends count data packets of body_size bytes (id, sequence number, filler).
bool send_data_packets(int fd, std::uint8_t id, std::uint32_t body_size, std::uint64_t count);

// ---- room_server.cpp ----
void room_server_start();
void room_server_stop();
std::uint64_t room_server_done(); // connections ended so far
bool room_server_wait(std::uint64_t beyond, int timeout_ms);
std::string room_server_last_login();

// ---- relays.cpp: the processes under test ----
struct relay {
    relay(std::string relay_name, std::uint16_t relay_port) : name(std::move(relay_name)), port(relay_port) {}

    std::string name;
    std::uint16_t port = 0;
    pid_t pid = -1; // -1 for the direct connection
    bool forks = false;
    long peak_kib = 0;
    std::string failure;
    double cpu_seconds() const; // own and reaped children's user + system time
    long hwm_kib() const;       // VmHWM of the process and its live children
    void sample_memory();
    void settle() const; // waits until per-connection children are gone
    bool alive();        // reaps it once it has exited
    void stop();         // ends it unless it has already been reaped
    bool exited = false;
};

std::string temp_dir(); // logs and configuration of this run
void remove_temp_dir(); // async-signal-safe
pid_t spawn(const std::vector<std::string>& argv, const std::string& log_path);
void stop_process(pid_t pid);
void stop_all_processes();
bool wait_listening(std::uint16_t port, int timeout_ms);
bool start_haproxy(relay& r);
bool start_socat(relay& r);
bool start_program(relay& r, const std::string& path);

// The browser side of the program: opens the control channel, joins the
// benchmark's room (127.0.0.1:room_port) or leaves it.
struct control_channel {
    int fd = -1;
    bytes pending;
    bool open();
    bool join();
    bool leave();
    void close_channel();

  private:
    bool command(const std::uint8_t* payload, std::size_t length);
    bool binary_frame(std::size_t& length);
};

} // namespace bench
