// The benchmark's room server: a game server reduced to what the workloads
// need. It serves one connection at a time, as every relay under test does.
#include "bench.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace bench {

namespace {

std::thread server_thread;
std::atomic<bool> stopping{false};
int listener = -1;
std::mutex done_mutex;
std::condition_variable done_changed;
std::uint64_t done_count = 0;
std::string last_login;

// The status response, with a document about as long as the program's own.
bytes status_response()
{
    std::string document = R"({"version":{"name":"1.21","protocol":767},"players":{"max":20,"online":1},)"
                           R"("description":{"text":"Benchmark room )";
    document.append(4200 - document.size(), 'x');
    document += R"("}})";
    return frame(cat({{0x00}, varint(static_cast<std::int32_t>(document.size())), text(document)}));
}

void serve_status(reader& in)
{
    const bytes response = status_response();
    bytes body;
    while (in.packet(body)) {
        if (body[0] == 0x00 && !send_all(in.fd, response))
            return;
        if (body[0] == 0x01 && !send_all(in.fd, frame(body)))
            return;
    }
}

void serve_c2s(reader& in, std::uint32_t body_size, std::uint64_t count)
{
    frame_check check(body_size, id_c2s_data);
    if (!check.consume(in, count))
        return;
    bytes ack(10);
    ack[0] = id_c2s_ack;
    put_u64(ack.data() + 1, check.packets);
    ack[9] = check.bad || check.packets != count ? 1 : 0;
    send_all(in.fd, frame(ack));
}

void serve_play(reader& in)
{
    bytes body;
    if (!in.packet(body))
        return; // Login Start
    if (body[0] == 0x00 && body.size() > 1 && body[1] < 0x80 && body.size() >= 2u + body[1]) {
        std::lock_guard lock(done_mutex);
        last_login.assign(reinterpret_cast<const char*>(body.data() + 2), body[1]);
    }
    const bytes uuid = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const bytes success =
        cat({{id_login_success}, uuid, varint(sizeof room_nick - 1), text(room_nick), {0x00}});
    if (!send_all(in.fd, frame(success)))
        return;

    while (in.packet(body, 64 * 1024)) {
        if (body[0] == id_echo) {
            if (!send_all(in.fd, frame(body)))
                return;
            continue;
        }
        if (body[0] != id_command || body.size() < 14)
            return;
        const auto kind = static_cast<op>(body[1]);
        const std::uint64_t count = get_u64(body.data() + 2);
        std::uint32_t size = 0;
        std::memcpy(&size, body.data() + 10, 4);
        if (kind == op::s2c_bulk && !send_data_packets(in.fd, id_s2c_data, size, count))
            return;
        if (kind == op::c2s_bulk)
            serve_c2s(in, size, count);
    }
}

void serve(int fd)
{
    set_socket_options(fd);
    reader in(fd);
    bytes body;
    if (!in.packet(body, 1024) || body[0] != 0x00)
        return;
    const std::uint8_t next_state = body.back();
    if (next_state == 1)
        serve_status(in);
    if (next_state == 2)
        serve_play(in);
    // Read until the client's side closes, so that "done" means the whole
    // relayed connection is gone.
    while (in.fill())
        in.pos = in.len;
}

void run()
{
    while (!stopping) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        serve(fd);
        close(fd);
        {
            std::lock_guard lock(done_mutex);
            ++done_count;
        }
        done_changed.notify_all();
    }
}

} // namespace

void room_server_start()
{
    listener = listen_loopback(room_port);
    if (listener < 0) {
        std::perror("room server: listen");
        std::exit(2);
    }
    server_thread = std::thread(run);
}

void room_server_stop()
{
    stopping = true;
    if (server_thread.joinable())
        server_thread.join();
    close(listener);
}

std::uint64_t room_server_done()
{
    std::lock_guard lock(done_mutex);
    return done_count;
}

bool room_server_wait(std::uint64_t beyond, int timeout_ms)
{
    std::unique_lock lock(done_mutex);
    return done_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&] { return done_count > beyond; });
}

std::string room_server_last_login()
{
    std::lock_guard lock(done_mutex);
    return last_login;
}

} // namespace bench
