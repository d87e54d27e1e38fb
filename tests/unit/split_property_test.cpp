// Property: the standby responder gives the same replies, log and stop
// decision for a random stream however it is cut into reads.
#include "game/standby.h"
#include "host/log.h"
#include "host/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using bytes = std::vector<std::uint8_t>;

namespace {

std::string captured;

void capture(const char* line, std::int32_t length)
{
    captured.append(line, static_cast<std::size_t>(length));
}

void put_varint(bytes& out, std::uint32_t value)
{
    do {
        out.push_back(static_cast<std::uint8_t>((value & 0x7F) | (value > 0x7F ? 0x80 : 0)));
        value >>= 7;
    } while (value != 0);
}

// With padded_length, the length prefix takes four bytes: over-long but valid.
void put_packet(bytes& out, const bytes& body, bool padded_length = false)
{
    std::size_t at = out.size();
    put_varint(out, static_cast<std::uint32_t>(body.size()));
    while (padded_length && out.size() - at < 4) {
        out.back() |= 0x80;
        out.push_back(0);
    }
    out.insert(out.end(), body.begin(), body.end());
}

// Streams that look like the game protocol often enough to get past the
// framing: handshakes, status and ping, Login Start, packets of any size,
// and now and then garbage.
bytes random_stream(std::mt19937& random, std::size_t max_size)
{
    bytes out;
    while (out.size() < max_size) {
        bytes body;
        switch (random() % 8) {
        case 0: {
            body = {0x00};
            put_varint(body, 767);
            body.push_back(9);
            for (char c : std::string("localhost"))
                body.push_back(static_cast<std::uint8_t>(c));
            body.insert(body.end(), {0x63, 0xDD});
            put_varint(body, random() % 4 == 0 ? random() % 5 : 1 + random() % 2);
            break;
        }
        case 1:
            body = {0x00};
            break;
        case 2:
            body = {0x01, 1, 2, 3, 4, 5, 6, 7, 8};
            break;
        case 3: {
            body = {0x00};
            std::size_t name = random() % 20;
            put_varint(body, static_cast<std::uint32_t>(name));
            for (std::size_t i = 0; i < name + 16; i++)
                body.push_back(static_cast<std::uint8_t>('a' + random() % 26));
            break;
        }
        case 4:
            body.resize(1 + random() % (random() % 6 == 0 ? 17000 : 300));
            for (auto& b : body)
                b = static_cast<std::uint8_t>(random());
            break;
        case 5:
            for (std::size_t i = random() % 4; i > 0; i--)
                out.push_back(static_cast<std::uint8_t>(random()));
            continue;
        default:
            body = {static_cast<std::uint8_t>(random() % 0x30), static_cast<std::uint8_t>(random())};
        }
        put_packet(out, body, random() % 8 == 0);
    }
    return out;
}

// Sorted cut positions inside the stream: a few anywhere, some clustered.
std::vector<std::size_t> random_cuts(std::mt19937& random, std::size_t size)
{
    std::vector<std::size_t> cuts;
    if (size < 2)
        return cuts;
    for (std::size_t i = 1 + random() % 12; i > 0; i--) {
        std::size_t at = 1 + random() % (size - 1);
        for (std::size_t k = random() % 3; k > 0 && at + k < size; k--)
            cuts.push_back(at + k);
        cuts.push_back(at);
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    return cuts;
}

bytes drain(int fd)
{
    bytes got;
    std::uint8_t chunk[65536];
    for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0;)
        got.insert(got.end(), chunk, chunk + n);
    return got;
}

struct run_result {
    bytes client;
    bytes server;
    std::string log;
    bool stopped = false;
};

struct socket_pair {
    int fd[2];
    socket_pair()
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
        int size = 4 << 20;
        setsockopt(fd[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(fd[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    ~socket_pair()
    {
        close(fd[0]);
        close(fd[1]);
    }
};

run_result standby_run(const bytes& stream, std::vector<std::size_t> cuts)
{
    socket_pair pair;
    registry_reset();
    standby_reset();
    handle_kind = handle_no_room;
    client_sock = pair.fd[0];
    captured.clear();
    log_set_sink(capture);
    cuts.push_back(stream.size());
    std::size_t from = 0;
    for (std::size_t to : cuts) {
        if (handle_kind != handle_no_room)
            break;
        send(pair.fd[1], stream.data() + from, to - from, MSG_NOSIGNAL);
        from = to;
        no_room_receive();
    }
    run_result out;
    out.stopped = handle_kind != handle_no_room;
    if (!out.stopped)
        close_handler();
    log_set_sink(nullptr);
    out.log = captured;
    out.client = drain(pair.fd[1]);
    return out;
}

} // namespace

TEST(SplitProperty, StandbyResponderIgnoresHowRandomStreamsAreCut)
{
    std::mt19937 random(7001);
    for (int round = 0; round < 400; round++) {
        bytes stream = random_stream(random, 1 + random() % 200);
        run_result whole = standby_run(stream, {});
        run_result split = standby_run(stream, random_cuts(random, stream.size()));
        EXPECT_EQ(split.stopped, whole.stopped) << "round " << round;
        EXPECT_EQ(split.log, whole.log) << "round " << round;
        EXPECT_TRUE(split.client == whole.client) << "reply differs, round " << round;
    }
}
