// Property: the standby responder and both rewriters give the same output,
// log and stop decision for a random stream however it is cut into reads.
#include "control/room.h"
#include "game/standby.h"
#include "host/log.h"
#include "host/registry.h"
#include "proxy/pump.h"
#include "proxy/rewriter.h"

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

void put_packet(bytes& out, const bytes& body)
{
    put_varint(out, static_cast<std::uint32_t>(body.size()));
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
        put_packet(out, body);
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

// The client's prelude sets the stage, then the stream goes through the pump
// in reads ending at the cuts.
run_result pump_run(rewriter step, const bytes& prelude, const bytes& stream, std::vector<std::size_t> cuts)
{
    socket_pair client;
    socket_pair server;
    mitm_reset();
    to_server_fill = 0;
    captured.clear();
    log_set_sink(capture);
    for (std::uint8_t b : prelude)
        mitm_c2s(b);
    run_result out;
    cuts.push_back(stream.size());
    std::size_t from = 0;
    for (std::size_t to : cuts) {
        while (from < to && !out.stopped) {
            std::size_t n = std::min(to - from, static_cast<std::size_t>(recv_buf_size));
            std::memcpy(recv_buf, stream.data() + from, n);
            out.stopped = proxy_pump(client.fd[0], server.fd[0], static_cast<std::int32_t>(n), step);
            from += n;
        }
    }
    if (!out.stopped)
        flush_to_server(server.fd[0]);
    to_server_fill = 0;
    log_set_sink(nullptr);
    out.log = captured;
    out.client = drain(client.fd[1]);
    out.server = drain(server.fd[1]);
    return out;
}

bool is_prefix(const bytes& part, const bytes& whole)
{
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// A stopped proxy drops what it had gathered in the read that stopped it, so
// after a stop both runs must only agree with the byte-by-byte output.
void expect_same(const run_result& whole, const run_result& split, const run_result& bytewise, int round)
{
    EXPECT_EQ(split.stopped, whole.stopped) << "round " << round;
    EXPECT_EQ(split.log, whole.log) << "round " << round;
    if (!whole.stopped) {
        EXPECT_TRUE(split.client == whole.client) << "client bytes differ, round " << round;
        EXPECT_TRUE(split.server == whole.server) << "server bytes differ, round " << round;
    } else {
        EXPECT_TRUE(is_prefix(whole.client, bytewise.client) && is_prefix(split.client, bytewise.client))
            << "client bytes differ, round " << round;
    }
}

// The client's opening: a status or a login handshake, with its Login Start.
bytes opening(int round)
{
    bytes out = {16, 0x00, 0xFF, 0x05, 9, 'l', 'o', 'c', 'a', 'l', 'h', 'o', 's', 't', 0x63, 0xDD,
                 static_cast<std::uint8_t>(1 + round % 2)};
    if (round % 2 == 1)
        put_packet(out, {0x00, 3, 'B', 'o', 'b'});
    return out;
}

void set_room(std::mt19937& random)
{
    room_reset();
    for (auto& b : room_record)
        b = static_cast<std::uint8_t>(random() % 3 == 0 ? 0 : 'A' + random() % 40);
    room_length = random() % 2 ? room_length_ipv4 : room_length_ipv6;
}

std::vector<std::size_t> every_byte(std::size_t size)
{
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < size; i++)
        cuts.push_back(i);
    return cuts;
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

TEST(SplitProperty, ClientToServerRewriterIgnoresHowRandomStreamsAreCut)
{
    std::mt19937 random(7002);
    int far = 0;
    for (int round = 0; round < 300; round++) {
        set_room(random);
        bytes stream = round % 4 == 0 ? bytes{} : opening(round);
        bytes rest = random_stream(random, 1 + random() % (round % 10 == 0 ? 40000 : 600));
        stream.insert(stream.end(), rest.begin(), rest.end());
        run_result whole = pump_run(mitm_c2s, {}, stream, {});
        run_result split = pump_run(mitm_c2s, {}, stream, random_cuts(random, stream.size()));
        run_result bytewise = pump_run(mitm_c2s, {}, stream, every_byte(std::min<std::size_t>(stream.size(), 2000)));
        expect_same(whole, split, bytewise, round);
        far += whole.server.size() > 300;
    }
    EXPECT_GT(far, 30) << "too few streams got past their opening";
    room_reset();
}

TEST(SplitProperty, ServerToClientRewriterIgnoresHowRandomStreamsAreCut)
{
    std::mt19937 random(7003);
    for (int round = 0; round < 300; round++) {
        set_room(random);
        bytes prelude = opening(round);
        bytes stream = random_stream(random, 1 + random() % (round % 10 == 0 ? 40000 : 600));
        run_result whole = pump_run(mitm_s2c, prelude, stream, {});
        run_result split = pump_run(mitm_s2c, prelude, stream, random_cuts(random, stream.size()));
        run_result bytewise = pump_run(mitm_s2c, prelude, stream, every_byte(std::min<std::size_t>(stream.size(), 2000)));
        expect_same(whole, split, bytewise, round);
    }
    room_reset();
}
