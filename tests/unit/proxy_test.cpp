#include "control/room.h"
#include "game/status.h"
#include "game/varint.h"
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
    captured.append(line, static_cast<size_t>(length));
}

bytes varint(std::int32_t value, std::int32_t padded_to = 0)
{
    bytes v;
    std::uint32_t rest = static_cast<std::uint32_t>(value);
    do {
        v.push_back(static_cast<std::uint8_t>((rest & 0x7F) | (rest > 0x7F ? 0x80 : 0)));
        rest >>= 7;
    } while (rest != 0);
    // An over-long but valid form: continuation bits with zero groups.
    while (static_cast<std::int32_t>(v.size()) < padded_to) {
        v.back() |= 0x80;
        v.push_back(0x00);
    }
    return v;
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

bytes text(std::string_view s)
{
    return bytes(s.begin(), s.end());
}

bytes frame(const bytes& body, std::int32_t prefix_bytes = 0)
{
    return cat({varint(static_cast<std::int32_t>(body.size()), prefix_bytes), body});
}

bytes handshake(std::int32_t next, std::int32_t prefix_bytes = 0)
{
    return frame(cat({{0x00}, varint(767), varint(9), text("localhost"), {0x63, 0xDD}, varint(next)}),
                 prefix_bytes);
}

bytes login_start(std::string_view name, const bytes& after = {}, std::int32_t prefix_bytes = 0)
{
    return frame(cat({{0x00}, varint(static_cast<std::int32_t>(name.size())), text(name), after}),
                 prefix_bytes);
}

bytes packet(std::int32_t id, std::size_t payload_size, std::uint8_t fill = 0x5A,
             std::int32_t prefix_bytes = 0)
{
    bytes body = varint(id);
    for (std::size_t i = 0; i < payload_size; i++)
        body.push_back(static_cast<std::uint8_t>(fill + i * 7));
    return frame(body, prefix_bytes);
}

const bytes uuid = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

void set_room(std::string_view nick, std::string_view name = "Castle", std::string_view owner = "Ada")
{
    room_reset();
    std::memcpy(room_record + room_name_offset, name.data(), name.size());
    std::memcpy(room_record + room_owner_offset, owner.data(), owner.size());
    std::memcpy(room_record + room_nick_offset, nick.data(), nick.size());
    room_length = room_length_ipv4;
}

struct outcome {
    bytes client;
    bytes server;
    bool stopped = false;
    std::size_t stopped_at = 0;
    bool operator==(const outcome&) const = default;
};

// Feeds the stream one byte at a time, gathering every slice.
outcome feed(rewriter step, const bytes& stream)
{
    outcome out;
    for (std::size_t i = 0; i < stream.size(); i++) {
        if (step(stream[i])) {
            out.stopped = true;
            out.stopped_at = i;
            return out;
        }
        out.client.insert(out.client.end(), to_client.bytes, to_client.bytes + to_client.length);
        out.server.insert(out.server.end(), to_server.bytes, to_server.bytes + to_server.length);
    }
    return out;
}

bytes drain(int fd)
{
    bytes got;
    std::uint8_t chunk[65536];
    ssize_t n;
    while ((n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
        got.insert(got.end(), chunk, chunk + n);
    return got;
}

struct pair_fds {
    int client[2];
    int server[2];
    explicit pair_fds(int type = SOCK_STREAM)
    {
        socketpair(AF_UNIX, type, 0, client);
        socketpair(AF_UNIX, type, 0, server);
        int size = 1 << 20;
        for (int fd : {client[0], server[0]})
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    ~pair_fds()
    {
        for (int fd : {client[0], client[1], server[0], server[1]})
            close(fd);
    }
};

// Runs the stream through the pump in the given pieces; what the peers
// receive, with the to-server bytes flushed at the end.
// The fast path the program pairs with each rewriter.
rewriter_run fast_path_of(rewriter step)
{
    return step == mitm_c2s ? mitm_c2s_run : step == mitm_s2c ? mitm_s2c_run : nullptr;
}

outcome pump_pieces(rewriter step, const bytes& prelude, const bytes& stream, std::vector<std::size_t> cuts,
                    bool fast = true)
{
    mitm_reset();
    to_server_clear();
    feed(mitm_c2s, prelude);
    pair_fds fds;
    outcome out;
    cuts.push_back(stream.size());
    std::size_t from = 0;
    for (std::size_t to : cuts) {
        // One read never brings more than the receive buffer holds.
        while (from < to && !out.stopped) {
            std::size_t n = std::min(to - from, static_cast<std::size_t>(recv_buf_size));
            std::memcpy(recv_buf, stream.data() + from, n);
            out.stopped = proxy_pump(fds.client[0], fds.server[0], static_cast<std::int32_t>(n), step,
                                     fast ? fast_path_of(step) : nullptr);
            from += n;
        }
    }
    if (!out.stopped)
        flush_to_server(fds.server[0]);
    to_server_clear();
    out.client = drain(fds.client[1]);
    out.server = drain(fds.server[1]);
    return out;
}

// The rewriter's output for the stream (after the client's prelude, which
// sets the stage), checked to be the same for every way of cutting it.
outcome rewrite(rewriter step, const bytes& stream, const bytes& prelude = {})
{
    mitm_reset();
    feed(mitm_c2s, prelude);
    outcome whole = feed(step, stream);
    if (stream.size() <= 400) {
        for (std::size_t cut = 0; cut <= stream.size(); cut++) {
            outcome split = pump_pieces(step, prelude, stream, {cut});
            EXPECT_EQ(split.client, whole.client) << "cut at " << cut;
            EXPECT_EQ(split.stopped, whole.stopped) << "cut at " << cut;
            if (!whole.stopped) {
                EXPECT_EQ(split.server, whole.server) << "cut at " << cut;
            }
        }
    } else {
        outcome split = pump_pieces(step, prelude, stream, {1, stream.size() / 3, stream.size() - 1});
        EXPECT_TRUE(split.client == whole.client);
        EXPECT_EQ(split.stopped, whole.stopped);
        if (!whole.stopped) {
            EXPECT_TRUE(split.server == whole.server);
        }
    }
    return whole;
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
            body = cat({body, varint(767)});
            body.push_back(9);
            for (char c : std::string("localhost"))
                body.push_back(static_cast<std::uint8_t>(c));
            body.insert(body.end(), {0x63, 0xDD});
            body =
                cat({body,
                     varint(static_cast<std::int32_t>(random() % 4 == 0 ? random() % 5 : 1 + random() % 2))});
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
            body = cat({body, varint(static_cast<std::int32_t>(name))});
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
        out = cat({out, frame(body, random() % 8 == 0 ? 4 : 0)});
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

// The client's opening: a status or a login handshake, with its Login Start.
bytes opening(int round)
{
    bytes out = {16,
                 0x00,
                 0xFF,
                 0x05,
                 9,
                 'l',
                 'o',
                 'c',
                 'a',
                 'l',
                 'h',
                 'o',
                 's',
                 't',
                 0x63,
                 0xDD,
                 static_cast<std::uint8_t>(1 + round % 2)};
    if (round % 2 == 1)
        out = cat({out, login_start("Bob")});
    return out;
}

void set_random_room(std::mt19937& random)
{
    room_reset();
    for (auto& b : room_record)
        b = static_cast<std::uint8_t>(random() % 3 == 0 ? 0 : 'A' + random() % 40);
    room_length = random() % 2 ? room_length_ipv4 : room_length_ipv6;
}

class Proxy : public ::testing::Test {
  protected:
    void SetUp() override
    {
        set_room("RoomNick");
        captured.clear();
        log_set_sink(capture);
    }
    void TearDown() override
    {
        log_set_sink(nullptr);
        room_reset();
    }
};

} // namespace

TEST_F(Proxy, LoginStartCarriesTheRoomNickWithTheFieldsAfterTheNameIntact)
{
    struct case_t {
        std::string_view nick;
        bytes after;
    };
    const case_t cases[] = {
        {"Al", {}},
        {"Al", uuid},
        {"Player_Name1", {}},
        {"Equal_Length", uuid},
        {"SixteenByteNick!", {}},
        {"SixteenByteNick!", uuid},
        {"", {}},
        {"", uuid},
    };
    for (const case_t& c : cases) {
        set_room(c.nick);
        captured.clear();
        bytes play = packet(0x20, 40);
        outcome out =
            rewrite(mitm_c2s, cat({handshake(2, 3), login_start("Player_Name1", c.after, 2), play}));
        EXPECT_FALSE(out.stopped) << "nick " << c.nick;
        EXPECT_EQ(out.server, cat({handshake(2), login_start(c.nick, c.after), play})) << "nick " << c.nick;
        EXPECT_TRUE(out.client.empty());
        std::string nick(c.nick);
        EXPECT_NE(captured.find("[MITM] next_state = 2\n[MITM] og nick = Player_Name1\n[MITM] as nick: " +
                                nick + "\n[MITM] nick replace done\n"),
                  std::string::npos)
            << captured;
    }
}

TEST_F(Proxy, StatusAndPingAreAnsweredHereAndOnlyTheHandshakeReachesTheServer)
{
    bytes ping = frame(cat({{0x01}, {1, 2, 3, 4, 5, 6, 7, 8}}));
    outcome out = rewrite(mitm_c2s, cat({handshake(1), frame({0x00}, 2), ping}));
    EXPECT_FALSE(out.stopped);
    EXPECT_EQ(out.server, handshake(1));

    std::uint8_t document[4096];
    room_text_result nick = room_text(room_field::nick);
    room_text_result name = room_text(room_field::room_name);
    room_text_result owner = room_text(room_field::owner_name);
    std::int32_t n = room_status_format(document, sizeof document, nick.length, nick.text, name.length,
                                        name.text, owner.length, owner.text);
    bytes response = frame(cat({{0x00}, varint(n), bytes(document, document + n)}));
    EXPECT_EQ(out.client, cat({response, ping}));
}

TEST_F(Proxy, GateStopsAnUnreplacedLoginPastItsBytesButNeverTheStatusExchange)
{
    bytes hs = handshake(2);
    // A Login Start that ends exactly on the gate passes; one byte more stops.
    std::size_t fits = login_gate_bytes - hs.size() - 2 - 1 - 1 - 4;
    bytes at_gate = login_start("Name", bytes(fits, 0x11));
    ASSERT_EQ(hs.size() + at_gate.size(), login_gate_bytes);
    EXPECT_FALSE(rewrite(mitm_c2s, cat({hs, at_gate})).stopped);
    outcome over = rewrite(mitm_c2s, cat({hs, login_start("Name", bytes(fits + 1, 0x11))}));
    EXPECT_TRUE(over.stopped);
    EXPECT_EQ(over.stopped_at, login_gate_bytes);

    bytes chatter = packet(0x05, 3000);
    outcome status = rewrite(mitm_c2s, cat({handshake(1), chatter, chatter, frame({0x00})}));
    EXPECT_FALSE(status.stopped);
    EXPECT_EQ(status.server, cat({handshake(1), chatter, chatter}));
    EXPECT_FALSE(status.client.empty());
}

TEST_F(Proxy, PacketsOfAnySizePassIntactBothWays)
{
    const bytes login = cat({handshake(2), login_start("Player")});
    for (std::size_t body : {16384u, 16385u, 100000u}) {
        bytes big = packet(0x30, body - 1);
        ASSERT_EQ(big.size(), body + varint(static_cast<std::int32_t>(body)).size());
        bytes small = packet(0x31, 10);
        outcome up = rewrite(mitm_c2s, cat({big, small}), login);
        EXPECT_FALSE(up.stopped) << body;
        EXPECT_TRUE(up.server == cat({big, small})) << "client to server, body " << body;
        outcome down = rewrite(mitm_s2c, cat({big, small}), login);
        EXPECT_FALSE(down.stopped) << body;
        EXPECT_TRUE(down.client == cat({big, small})) << "server to client, body " << body;
    }
    // Too long to inspect: passed on uninspected, and the stage stays as it was.
    captured.clear();
    bytes big = frame(cat({{0x00}, bytes(20000, 0x42)}));
    outcome status = rewrite(mitm_c2s, cat({big, frame({0x00})}), handshake(1));
    EXPECT_FALSE(status.stopped);
    EXPECT_TRUE(status.server == big);
    EXPECT_EQ(next_state, 1);
    EXPECT_FALSE(status.client.empty()) << "the status request after it is still answered";
    EXPECT_NE(captured.find("[MITM] popped mitm_c2s buffer\n"), std::string::npos);
}

TEST_F(Proxy, ServerStatusResponseAndPongAreDroppedOnlyInTheStatusStage)
{
    bytes response = frame(cat({{0x00}, varint(2), text("{}")}), 3);
    bytes pong = frame(cat({{0x01}, bytes(8, 9)}));
    bytes other = packet(0x02, 5);
    outcome status = rewrite(mitm_s2c, cat({response, pong, other}), handshake(1));
    EXPECT_FALSE(status.stopped);
    EXPECT_EQ(status.client, other);

    outcome login = rewrite(mitm_s2c, cat({response, pong, other}), cat({handshake(2), login_start("P")}));
    EXPECT_FALSE(login.stopped);
    EXPECT_EQ(login.client, cat({frame(cat({{0x00}, varint(2), text("{}")})), pong, other}));
    EXPECT_TRUE(login.server.empty());
}

TEST_F(Proxy, UntrustworthyFramingStopsBothDirectionsAtOnce)
{
    struct case_t {
        const char* what;
        bytes stream;
        std::size_t stop_at;
    };
    const case_t cases[] = {
        {"six-byte length", {0x80, 0x80, 0x80, 0x80, 0x80, 0x01, 0x00}, 4},
        {"zero length", {0x00, 0x01, 0x00}, 0},
        {"zero length, over-long form", {0x80, 0x00, 0x01}, 1},
        {"negative length", {0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x00}, 4},
    };
    const bytes preludes[] = {{}, cat({handshake(2), login_start("P")})};
    for (const bytes& prelude : preludes) {
        for (rewriter step : {mitm_c2s, mitm_s2c}) {
            for (const case_t& c : cases) {
                outcome out = rewrite(step, c.stream, prelude);
                EXPECT_TRUE(out.stopped) << c.what;
                EXPECT_EQ(out.stopped_at, c.stop_at) << c.what;
            }
        }
    }
}

TEST_F(Proxy, MalformedOrUnexpectedClientPacketsStopTheProxy)
{
    struct case_t {
        const char* what;
        bytes stream;
    };
    const case_t cases[] = {
        {"first packet not a handshake", packet(0x01, 4)},
        {"handshake with no body after its id", frame({0x00})},
        {"address longer than the body",
         frame(cat({{0x00}, varint(767), varint(30), text("short"), {0x63, 0xDD, 1}}))},
        {"negative address length",
         frame(cat({{0x00}, varint(767), varint(-1), text("abc"), {0x63, 0xDD, 1}}))},
        {"handshake without its next state",
         frame(cat({{0x00}, varint(767), varint(3), text("abc"), {0x63, 0xDD}}))},
        {"next state 3, then any packet", cat({handshake(3), packet(0x00, 2)})},
        {"login packet other than Login Start", cat({handshake(2), packet(0x02, 2)})},
        {"name longer than the body", cat({handshake(2), frame(cat({{0x00}, varint(20), text("Steve")}))})},
        {"negative name length", cat({handshake(2), frame(cat({{0x00}, varint(-5), text("Steve")}))})},
        {"packet id past the body", cat({handshake(1), frame({0x80, 0x80})})},
    };
    for (const case_t& c : cases)
        EXPECT_TRUE(rewrite(mitm_c2s, c.stream).stopped) << c.what;
}

namespace {

// A stand-in rewriter whose outputs per byte come from a script.
struct scripted {
    std::int32_t client;
    std::int32_t server;
    bool stop;
    std::int32_t from = -1; // where the client piece starts in recv_buf; -1: in script_bytes
};
std::vector<scripted> script;
std::size_t script_at;
std::uint8_t script_bytes[40000];

bool scripted_step(std::uint8_t)
{
    const scripted& s = script[script_at++];
    to_client = {s.from < 0 ? script_bytes : recv_buf + s.from, s.client};
    to_server = {script_bytes, s.server};
    return s.stop;
}

// The sizes of the sends each peer saw (a datagram per send).
std::vector<std::size_t> sends(int fd)
{
    std::vector<std::size_t> sizes;
    static std::uint8_t chunk[65536];
    ssize_t n;
    while ((n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
        sizes.push_back(static_cast<std::size_t>(n));
    return sizes;
}

} // namespace

// Toward the client a call's output leaves in as few sends as fit, but a stop
// withholds exactly what a 1,024-byte batch would hold; toward the server
// 16,384 bytes wait for the writable connection.
TEST(ProxyPump, BatchesForTheClientAndTheServer)
{
    struct case_t {
        const char* what;
        std::vector<scripted> steps;
        std::vector<std::size_t> client_sends;
        std::vector<std::size_t> server_sends_in_pump;
        std::int32_t left_for_server;
    };
    auto pieces = [](int n, std::int32_t size) { return std::vector<scripted>(n, {size, 0, false}); };
    auto with = [](std::vector<scripted> a, std::vector<scripted> b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const case_t cases[] = {
        {"a call's output leaves together",
         {{1000, 0, false}, {25, 0, false}, {10, 0, false}},
         {1035},
         {},
         0},
        {"a stop withholds 1024 batched bytes", {{1000, 0, false}, {24, 0, false}, {0, 0, true}}, {}, {}, 0},
        {"but not a piece that overflowed the batch",
         {{1000, 0, false}, {25, 0, false}, {3, 0, false}, {0, 0, true}},
         {1025},
         {},
         0},
        {"a long piece is never batched", {{10, 0, false}, {2000, 0, false}, {5, 0, true}}, {2010}, {}, 0},
        {"a full buffer sends what no batch holds",
         with(pieces(17, 2000), {{500, 0, true}}),
         {32000, 2000},
         {},
         0},
        {"and keeps what one does",
         with(pieces(16, 2000), {{700, 0, false}, {100, 0, true}}),
         {32000},
         {},
         0},
        {"the server's bytes wait for the writable connection",
         {{0, 16000, false}, {0, 384, false}, {0, 1, false}},
         {},
         {},
         16385},
        {"a stop keeps 16384 of them", {{0, 16000, false}, {0, 384, false}, {0, 0, true}}, {}, {}, 16384},
        {"but not a piece that overflowed",
         {{0, 16000, false}, {0, 384, false}, {0, 1, false}, {0, 0, true}},
         {},
         {16385},
         16385},
    };
    for (const case_t& c : cases) {
        pair_fds fds(SOCK_SEQPACKET);
        script = c.steps;
        script_at = 0;
        to_server_clear();
        bool stopped = proxy_pump(fds.client[0], fds.server[0], static_cast<std::int32_t>(c.steps.size()),
                                  scripted_step);
        EXPECT_EQ(stopped, c.steps.back().stop) << c.what;
        EXPECT_EQ(sends(fds.client[1]), c.client_sends) << c.what;
        EXPECT_EQ(sends(fds.server[1]), c.server_sends_in_pump) << c.what;
        EXPECT_EQ(to_server_fill, c.left_for_server) << c.what;
        if (to_server_fill > 0 && !stopped) {
            EXPECT_FALSE(flush_to_server(fds.server[0]));
            EXPECT_EQ(sends(fds.server[1]),
                      std::vector<std::size_t>{static_cast<std::size_t>(to_server_fill)});
        }
        to_server_clear();
    }
}

// Random streams, cut anywhere, must stop alike and log alike, and give the
// same bytes unless they stopped (a stop withholds what the read that stopped
// had gathered, which depends on the cuts). With the same cuts the fast path
// must give exactly what the one-byte step gives.
TEST_F(Proxy, RandomStreamsIgnoreTheCutsAndTheFastPathMatchesTheOneByteStep)
{
    std::mt19937 random(7002);
    int far = 0;
    for (int round = 0; round < 600; round++) {
        set_random_room(random);
        bool up = round % 2 == 0;
        bytes prelude = up && round % 8 == 0 ? bytes{} : opening(round / 2);
        bytes stream = random_stream(random, 1 + random() % (round % 10 == 0 ? 40000 : 600));
        if (up) {
            stream = cat({prelude, stream});
            prelude.clear();
        }
        rewriter step = up ? mitm_c2s : mitm_s2c;
        std::vector<std::size_t> cuts = random_cuts(random, stream.size());
        captured.clear();
        outcome whole = pump_pieces(step, prelude, stream, {});
        std::string whole_log = captured;
        captured.clear();
        outcome split = pump_pieces(step, prelude, stream, cuts);
        std::string split_log = captured;
        captured.clear();
        outcome slow = pump_pieces(step, prelude, stream, cuts, false);
        EXPECT_EQ(split.stopped, whole.stopped) << "round " << round;
        EXPECT_EQ(split_log, whole_log) << "round " << round;
        if (!whole.stopped) {
            EXPECT_TRUE(split.client == whole.client) << "round " << round;
            EXPECT_TRUE(split.server == whole.server) << "round " << round;
        }
        EXPECT_EQ(slow.stopped, split.stopped) << "round " << round;
        EXPECT_EQ(captured, split_log) << "round " << round;
        EXPECT_TRUE(slow.client == split.client) << "fast path, round " << round;
        EXPECT_TRUE(slow.server == split.server) << "fast path, round " << round;
        far += up && nick_replaced == 1 && stream.size() > 300;
    }
    EXPECT_GT(far, 30) << "too few streams got past their opening";
}

// Pieces in the receive buffer are sent from there and the others copied;
// however they mix, and whenever the gathering fills up, the client gets
// every byte in order.
TEST(ProxyPump, SendsEveryPieceInOrderFromWhereverItLies)
{
    for (std::size_t i = 0; i < sizeof script_bytes; i++)
        script_bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    for (int pattern = 0; pattern < 3; pattern++) {
        script.clear();
        for (int i = 0; i < 300; i++) {
            std::int32_t length = pattern == 2 ? 2000 + i % 3 : 5 + i % 13;
            script.push_back({length, 0, false, i % 2 == 0 || pattern == 1 ? (i * 37) % 12000 : -1});
        }
        if (pattern == 2) // a batch tail at the moment the copies fill up
            script.insert(script.begin() + 16, {{700, 0, false, 5}, {100, 0, false, -1}});
        bytes expected;
        std::vector<std::uint8_t> recv_copy(recv_buf, recv_buf + recv_buf_size);
        for (std::size_t i = 0; i < recv_buf_size; i++)
            recv_buf[i] = static_cast<std::uint8_t>(i * 13 + 5);
        for (const scripted& s : script) {
            const std::uint8_t* from = s.from < 0 ? script_bytes : recv_buf + s.from;
            expected.insert(expected.end(), from, from + s.client);
        }
        pair_fds fds;
        script_at = 0;
        to_server_clear();
        EXPECT_FALSE(proxy_pump(fds.client[0], fds.server[0], static_cast<std::int32_t>(script.size()),
                                scripted_step));
        EXPECT_TRUE(drain(fds.client[1]) == expected) << "pattern " << pattern;
        std::copy(recv_copy.begin(), recv_copy.end(), recv_buf);
    }
}
