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

// A status document about as long as the program's own.
std::vector<std::uint8_t> make_status_document()
{
    std::string text = R"({"version":{"name":"1.20.1","protocol":763},"players":{"max":20,"online":1},)"
                       R"("description":{"text":"Benchmark room )";
    text.append(4200 - text.size(), 'x');
    text += R"("}})";
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::vector<std::uint8_t> status_response()
{
    const auto& document = status_document();
    std::vector<std::uint8_t> body{0x00};
    std::uint8_t prefix[5];
    std::size_t n = put_varint(prefix, static_cast<std::uint32_t>(document.size()));
    body.insert(body.end(), prefix, prefix + n);
    body.insert(body.end(), document.begin(), document.end());
    return frame(body);
}

void serve_status(reader& in)
{
    const auto response = status_response();
    std::vector<std::uint8_t> body;
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
    for (;;) {
        check.feed(in.buf.data() + in.pos, in.len - in.pos);
        in.pos = in.len;
        if (check.packets >= count && !check.in_body)
            break;
        if (!in.fill())
            return;
    }
    std::vector<std::uint8_t> ack(10);
    ack[0] = id_c2s_ack;
    put_u64(ack.data() + 1, check.packets);
    ack[9] = check.bad || check.packets != count ? 1 : 0;
    send_all(in.fd, frame(ack));
}

void serve_play(reader& in)
{
    std::vector<std::uint8_t> body;
    if (!in.packet(body))
        return; // Login Start
    if (body[0] == 0x00 && body.size() > 1 && body[1] < 0x80 && body.size() >= 2u + body[1]) {
        std::lock_guard lock(done_mutex);
        last_login.assign(reinterpret_cast<const char*>(body.data() + 2), body[1]);
    }
    std::vector<std::uint8_t> success{id_login_success};
    for (int i = 0; i < 16; ++i)
        success.push_back(static_cast<std::uint8_t>(i));
    success.push_back(static_cast<std::uint8_t>(std::strlen(room_nick)));
    success.insert(success.end(), room_nick, room_nick + std::strlen(room_nick));
    success.push_back(0x00);
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
    std::vector<std::uint8_t> body;
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

const std::vector<std::uint8_t>& status_document()
{
    static const std::vector<std::uint8_t> document = make_status_document();
    return document;
}

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
