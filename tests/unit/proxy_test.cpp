#include "control/room.h"
#include "game/status.h"
#include "game_bytes.h"
#include "host/loop.h"
#include "host/registry.h"
#include "log_capture.h"
#include "proxy/follow.h"
#include "proxy/proxy.h"
#include "proxy/pump.h"
#include "proxy/rewriter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <unistd.h>

namespace {

bytes packet(std::int32_t id, std::size_t payload_size)
{
    bytes body = varint(id);
    for (std::size_t i = 0; i < payload_size; i++)
        body.push_back(static_cast<std::uint8_t>(0x5A + i * 7));
    return frame(body);
}

const bytes uuid = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

void set_room(std::string_view nick)
{
    room_reset();
    std::memcpy(room_record + room_name_offset, "Castle", 6);
    std::memcpy(room_record + room_owner_offset, "Ada", 3);
    std::memcpy(room_record + room_nick_offset, nick.data(), nick.size());
    room_length = room_length_ipv4;
}

struct outcome {
    bytes client, server;
    bool stopped = false;
    std::size_t stopped_at = 0;
};

// Feeds the stream one byte at a time, gathering every slice.
outcome feed(rewriter step, const bytes& stream)
{
    outcome out;
    for (std::size_t i = 0; i < stream.size(); i++) {
        if (!step(stream[i]))
            return {out.client, out.server, true, i};
        out.client.insert(out.client.end(), to_client.bytes, to_client.bytes + to_client.length);
        out.server.insert(out.server.end(), to_server.bytes, to_server.bytes + to_server.length);
    }
    return out;
}

// The game client's and the room server's connections as socket pairs: the
// proxy's ends in client_sock and server_sock, the far ends ([1]) the test's.
struct peers {
    int client[2], server[2];
    explicit peers(int type = SOCK_STREAM, int send_buffer = 1 << 20)
    {
        registry_reset();
        socketpair(AF_UNIX, type, 0, client);
        socketpair(AF_UNIX, type, 0, server);
        for (int fd : {client[0], server[0]})
            setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
        client_sock = client[0];
        server_sock = server[0];
        handler_outputs_reset();
    }
    ~peers()
    {
        for (int fd : {client[0], client[1], server[0], server[1]})
            close(fd);
        handle_kind = handle_none;
    }
};

// Runs the stream through the pump in reads cut at the given positions, with
// the rewriter's fast path and the relay's reads, or the one-byte step alone
// and 16 KiB reads; what the peers receive. The client's prelude goes through
// the pump first, in one read, and what it sends is not counted.
outcome pump_pieces(rewriter step, const bytes& prelude, const bytes& stream, std::vector<std::size_t> cuts,
                    bool fast = true)
{
    mitm_reset();
    follow_reset();
    peers fds;
    std::copy(prelude.begin(), prelude.end(), recv_buf);
    proxy_pump(static_cast<std::int32_t>(prelude.size()), mitm_c2s, mitm_c2s_run);
    drain(fds.server[1]);
    outcome out;
    rewriter_run run = !fast ? nullptr : step == mitm_c2s ? mitm_c2s_run : mitm_s2c_run;
    cuts.push_back(stream.size());
    std::size_t from = 0;
    for (std::size_t to : cuts)
        while (from < to && !out.stopped) {
            std::size_t n =
                std::min(to - from, static_cast<std::size_t>(fast ? relay_read_size : recv_buf_size));
            std::memcpy(recv_buf, stream.data() + from, n);
            out.stopped = proxy_pump(static_cast<std::int32_t>(n), step, run);
            from += n;
        }
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
    std::vector<std::vector<std::size_t>> cut_sets;
    if (stream.size() <= 400) {
        for (std::size_t cut = 0; cut <= stream.size(); cut++)
            cut_sets.push_back({cut});
    } else {
        // A few cuts; the last set ends a read just before the byte that pops
        // a long packet with a three-byte length at the start.
        cut_sets = {{1, stream.size() / 3, stream.size() - 1}, {stream.size() - 1}};
        if (stream.size() > packet_buf_size + 3)
            cut_sets.push_back({packet_buf_size + 3});
    }
    for (const auto& cuts : cut_sets) {
        outcome split = pump_pieces(step, prelude, stream, cuts);
        EXPECT_TRUE(split.client == whole.client) << "cut at " << cuts[0];
        EXPECT_EQ(split.stopped, whole.stopped) << "cut at " << cuts[0];
        EXPECT_TRUE(whole.stopped || split.server == whole.server) << "cut at " << cuts[0];
    }
    return whole;
}

// A proxy as the loop runs it, over socket pairs with small buffers; both of
// the loop's listeners are one end of a quiet pair, which never gets a connection.
struct loop_rig : peers {
    int quiet[2];
    bytes to_client, to_server;
    std::int32_t most_waiting = 0;

    loop_rig() : peers(SOCK_STREAM | SOCK_NONBLOCK, 4096)
    {
        socketpair(AF_UNIX, SOCK_STREAM, 0, quiet);
        handle_kind = handle_proxy;
        handler_heard_at = net_now_ms();
    }
    ~loop_rig()
    {
        close(quiet[0]);
        close(quiet[1]);
    }
    // Writes the stream in random pieces and runs the loop until the proxy
    // ends or all is through. The peers read at random speeds, now and then
    // not at all for a long stretch, until the whole stream is written.
    void run(std::mt19937& random, const bytes& stream, bool from_client)
    {
        std::size_t written = 0;
        int pause[2] = {0, 0};
        for (int idle = 0; idle < 3 && handle_kind == handle_proxy;) {
            bool all_written = written == stream.size();
            std::size_t n = std::min<std::size_t>(stream.size() - written, 1 + random() % 70000);
            written += std::max<ssize_t>(
                send(from_client ? client[1] : server[1], stream.data() + written, n, 0), 0);
            ASSERT_TRUE(loop_pass(quiet[0], quiet[0], 0));
            most_waiting = std::max({most_waiting, out_pending(client_out), out_pending(server_out)});
            std::size_t got = 0;
            for (int side = 0; side < 2; side++) {
                if (random() % 50 == 0)
                    pause[side] = static_cast<int>(random() % 400);
                if (!all_written && pause[side]-- > 0)
                    continue;
                std::size_t most = all_written    ? 1 << 20
                                   : random() % 3 ? 1 + random() % 100000
                                                  : 1 + random() % 64;
                got += take(side, most);
            }
            idle = all_written && got == 0 && out_pending(client_out) + out_pending(server_out) == 0
                       ? idle + 1
                       : 0;
        }
        take(0, SIZE_MAX);
        take(1, SIZE_MAX);
    }
    // Appends what the game client's (side 0) or the room server's far end
    // holds, up to most bytes; returns the count.
    std::size_t take(int side, std::size_t most)
    {
        bytes got = drain(side == 0 ? client[1] : server[1], most);
        bytes& into = side == 0 ? to_client : to_server;
        into.insert(into.end(), got.begin(), got.end());
        return got.size();
    }
};

struct Proxy : ::testing::Test {
    Proxy()
    {
        set_room("RoomNick");
    }
    log_capture log;
};

} // namespace

TEST_F(Proxy, LoginStartCarriesTheRoomNickWithTheFieldsAfterTheNameIntact)
{
    for (std::string nick : {"Al", "Player_Name1", "SixteenByteNick!", ""})
        for (const bytes& after : {bytes{}, uuid}) {
            set_room(nick);
            log.text().clear();
            bytes play = packet(0x20, 40);
            // Over-long length prefixes are framed anew in the shortest form; a
            // game sent on by a Transfer (next state 3) logs in as any other.
            std::int32_t intent = nick.empty() ? 3 : 2;
            outcome out =
                rewrite(mitm_c2s, cat({handshake(intent, 3), login_start("Player_Name1", after, 2), play}));
            EXPECT_EQ(out.server, cat({handshake(2), login_start(nick, after), play})) << "nick " << nick;
            EXPECT_TRUE(out.client.empty());
            std::string lines = "[MITM] next_state = " + std::to_string(intent) +
                                "\n[MITM] og nick = Player_Name1\n[MITM] as nick: " + nick +
                                "\n[MITM] nick replace done\n";
            EXPECT_NE(log.text().find(lines), std::string::npos) << log.text();
        }
}

TEST_F(Proxy, TheStatusExchangeIsAnsweredHereAndTheServersOwnAnswersAreDroppedThere)
{
    bytes ping = frame({0x01, 1, 2, 3, 4, 5, 6, 7, 8});
    outcome out = rewrite(mitm_c2s, cat({handshake(1), frame({0x00}, 2), ping}));
    EXPECT_EQ(out.server, handshake(1));
    std::uint8_t document[4096];
    std::int32_t n = room_status_format(
        document, sizeof document, 8, reinterpret_cast<const std::uint8_t*>("RoomNick"), 6,
        reinterpret_cast<const std::uint8_t*>("Castle"), 3, reinterpret_cast<const std::uint8_t*>("Ada"));
    EXPECT_EQ(out.client, cat({frame(cat({{0x00}, varint(n), bytes(document, document + n)})), ping}));

    // The server's status response and pong (like the ping); in a login, ids 0 and 1 pass.
    bytes response = cat({{0x00}, varint(2), text("{}")});
    bytes other = packet(0x02, 5);
    bytes stream = cat({frame(response, 3), ping, other});
    EXPECT_EQ(rewrite(mitm_s2c, stream, handshake(1)).client, other);
    outcome login = rewrite(mitm_s2c, stream, cat({handshake(2), login_start("P")}));
    EXPECT_EQ(login.client, cat({frame(response), ping, other}));
    EXPECT_TRUE(login.server.empty());
}

// Packets of every size pass intact both ways (the random streams and the
// end-to-end sessions); one too long to inspect passes uninspected.
TEST_F(Proxy, APacketTooLongToInspectPassesUninspectedAndTheStageStaysAsItWas)
{
    log.text().clear();
    bytes big = frame(cat({{0x00}, bytes(20000, 0x42)}));
    outcome status = rewrite(mitm_c2s, cat({big, frame({0x00})}), handshake(1));
    EXPECT_TRUE(status.server == big);
    EXPECT_EQ(next_state, 1);
    EXPECT_FALSE(status.client.empty()) << "the status request after it is still answered";
    EXPECT_NE(log.text().find("[MITM] popped mitm_c2s buffer\n"), std::string::npos);
}

TEST_F(Proxy, UntrustworthyFramingUnexpectedPacketsAndALoginPastItsGateStopTheProxyButNoStatusExchangeDoes)
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
    EXPECT_EQ(status.server, cat({handshake(1), chatter, chatter}));
    EXPECT_FALSE(status.client.empty());

    // Framing stops either direction at once, in any stage.
    const std::pair<bytes, std::size_t> framing[] = {
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x01, 0x00}, 4}, // six-byte length
        {{0x00, 0x01, 0x00}, 0},                         // zero length
        {{0x80, 0x00, 0x01}, 1},                         // zero length, over-long form
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x00}, 4},       // negative length
    };
    for (const bytes& prelude : {bytes{}, cat({handshake(2), login_start("P")})})
        for (rewriter step : {mitm_c2s, mitm_s2c})
            for (const auto& [stream, stop_at] : framing) {
                outcome out = rewrite(step, stream, prelude);
                EXPECT_TRUE(out.stopped && out.stopped_at == stop_at)
                    << int(stream[0]) << " " << out.stopped_at;
            }
    auto body = [](std::int32_t address_length, std::string_view address, bytes tail) {
        return frame(cat({{0x00}, varint(767), varint(address_length), text(address), tail}));
    };
    const bytes client[] = {
        packet(0x01, 4),                      // first packet not a handshake
        frame({0x00}),                        // handshake with no body after its id
        body(30, "short", {0x63, 0xDD, 1}),   // address longer than the body
        body(-1, "abc", {0x63, 0xDD, 1}),     // negative address length
        body(3, "abc", {0x63, 0xDD}),         // no next state
        cat({handshake(4), packet(0x00, 2)}), // next state 4, then any packet
        cat({handshake(2), packet(0x02, 2)}), // login packet other than Login Start
        cat({handshake(2), frame(cat({{0x00}, varint(20), text("Steve")}))}), // name past the body
        cat({handshake(2), frame(cat({{0x00}, varint(-5), text("Steve")}))}), // negative name length
        cat({handshake(1), frame({0x80, 0x80})}),                             // packet id past the body
    };
    for (std::size_t i = 0; i < std::size(client); i++)
        EXPECT_TRUE(rewrite(mitm_c2s, client[i]).stopped) << "case " << i;
}

// With the same cuts the fast path over the relay's large reads must give
// exactly what the one-byte step gives over 16 KiB reads, stops and what they
// withhold included; and through the loop, peers reading at any speed get what
// the one-byte step gives, with its stops and its log.
TEST_F(Proxy, OnRandomStreamsTheFastPathAndTheLoopGiveWhatTheOneByteStepGives)
{
    std::mt19937 random(7002);
    int far = 0, held_back = 0;
    for (int round = 0; round < 600; round++) {
        room_reset();
        for (auto& b : room_record)
            b = static_cast<std::uint8_t>(random() % 3 == 0 ? 0 : 'A' + random() % 40);
        room_length = random() % 2 ? room_length_ipv4 : room_length_ipv6;
        bool up = round % 2 == 0;
        // The client's opening: a status or a login handshake, with its Login Start.
        bytes prelude = round % 4 < 2 ? handshake(1) : cat({handshake(2), login_start("Bob")});
        bytes stream = random_stream(random, 1 + random() % (round % 10 == 0 ? 40000 : 600));
        if (round % 10 == 5) {
            // A long packet, up to 1 MiB, anywhere: between packets or inside one.
            bytes body(16000 + random() % (round % 50 == 5 ? 1u << 20 : 50000u), 0x42);
            bytes big = frame(body, random() % 4 == 0 ? 4 : 0);
            std::size_t at = random() % 2 ? 0 : random() % stream.size();
            stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(at), big.begin(), big.end());
        }
        // Now and then a long run of well-framed packets, for the loop's buffers to fill up.
        while (round % 45 == 3 && stream.size() < 600000) {
            bytes body(1 + (random() % 3 == 0 ? random() % 30000 : random() % 300), 0x30);
            std::generate(body.begin() + 1, body.end(), [&] { return static_cast<std::uint8_t>(random()); });
            stream = cat({stream, frame(body, random() % 4 == 0 ? 3 : 0)}); // framed anew
        }
        if (up && round % 8 != 0)
            stream = cat({prelude, stream});
        if (up)
            prelude.clear();
        std::vector<std::size_t> cuts;
        for (std::size_t i = random() % 12, at; i > 0; i--) {
            cuts.push_back(at = random() % stream.size());
            cuts.push_back(std::min(at + random() % 3, stream.size())); // reads of a byte or two
        }
        std::sort(cuts.begin(), cuts.end());
        rewriter step = up ? mitm_c2s : mitm_s2c;
        log.text().clear();
        outcome split = pump_pieces(step, prelude, stream, cuts);
        std::string split_log = log.text();
        log.text().clear();
        outcome slow = pump_pieces(step, prelude, stream, cuts, false);
        EXPECT_EQ(log.text(), split_log) << "round " << round;
        EXPECT_TRUE(slow.stopped == split.stopped && slow.client == split.client &&
                    slow.server == split.server)
            << "round " << round;
        far += up && nick_replaced && stream.size() > 300;
        auto opening = [&] {
            mitm_reset();
            feed(mitm_c2s, prelude);
            log.text().clear();
        };
        if (round % 15 != 3)
            continue;
        opening();
        outcome expected = feed(step, stream);
        std::string ending =
            std::string(up ? "[PROXY] c2s" : "[PROXY] s2c") + " killed 1\n[PROXY] close, handle_kind 1\n";
        std::string expected_log = log.text() + (expected.stopped ? ending : "");
        opening();
        loop_rig rig;
        rig.run(random, stream, up);
        EXPECT_EQ(handle_kind == handle_none, expected.stopped) << "round " << round;
        EXPECT_EQ(log.text(), expected_log) << "round " << round;
        EXPECT_TRUE(expected.stopped ||
                    (rig.to_client == expected.client && rig.to_server == expected.server))
            << "round " << round;
        held_back += rig.most_waiting > relay_out_bound;
    }
    EXPECT_GT(far, 30) << "too few streams got past their opening";
    EXPECT_GT(held_back, 2) << "too few streams outgrew the output buffers";
}

namespace {

// A stand-in rewriter whose outputs per byte come from a script.
struct scripted {
    std::int32_t client, server;
    bool stop;
    int run = 0; // given by the fast path: 1 passed on byte by byte, 2 as one piece
};
std::vector<scripted> script;
std::size_t script_at;
std::uint8_t script_bytes[40000];

bool scripted_step(std::uint8_t)
{
    const scripted& s = script[script_at++];
    to_client = {script_bytes, s.client};
    to_server = {script_bytes, s.server};
    return !s.stop;
}

// A run passes on its own bytes, one piece per run.
std::int32_t scripted_run(std::uint8_t*, std::int32_t, bool* whole)
{
    if (script_at == script.size() || !script[script_at].run)
        return 0;
    *whole = script[script_at].run == 2;
    scripted_step(0);
    return to_client.length + to_server.length;
}

} // namespace

// The peers get every byte in order, but a stop withholds exactly what a
// batch would still hold: toward the client what a 1,024-byte batch
// would, toward the server what a 16,384-byte buffer would.
TEST(ProxyPump, SendsEveryByteInOrderButAStopWithholdsWhatABatchWouldStillHold)
{
    for (std::size_t i = 0; i < sizeof script_bytes; i++)
        script_bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    auto c = [](std::int32_t n) { return scripted{n, 0, false}; };
    auto s = [](std::int32_t n) { return scripted{0, n, false}; };
    // Runs: as if passed a byte at a time, every batch size + 1 bytes leave.
    auto c_run = [](std::int32_t n) { return scripted{n, 0, false, 1}; };
    const scripted stop{0, 0, true};
    auto many = [](std::vector<scripted> tail) {
        tail.insert(tail.begin(), 16, {2000, 0, false});
        return tail;
    };
    // A read longer than recv_buf_size counts as several: the first one's batch
    // has left by the second.
    std::vector<scripted> across(recv_buf_size - 1, c(0));
    across.insert(across.end(), {c(500), c(10), stop});
    // A run that spans two counts in each its own bytes; a piece, in the one
    // that holds its end.
    auto spanning = [](scripted run) {
        std::vector<scripted> steps{{500, 0, false}};
        steps.insert(steps.end(), recv_buf_size - 11, {0, 0, false});
        steps.insert(steps.end(), {run, {0, 0, true}});
        return steps;
    };
    constexpr std::size_t all = SIZE_MAX;
    const std::tuple<std::vector<scripted>, std::size_t, std::size_t> cases[] = {
        {across, 500, 0},
        {spanning(c_run(1500)), 1535, 0},
        {spanning({600, 0, false, 2}), 500, 0},
        {{c(1000), c(24), stop}, 0, 0},              // 1024 batched bytes
        {{c(1000), c(25), c(3), stop}, 1025, 0},     // but not a piece that overflowed the batch
        {{c(10), c(2000), {5, 0, true}}, 2010, 0},   // a long piece is never batched
        {many({c(2000), {500, 0, true}}), 34000, 0}, // a full gathering sends what no batch holds
        {many({c(700), {100, 0, true}}), 32000, 0},  // and keeps what one does
        {many({c(700), c(100), stop}), 32000, 0},    // even when the piece that filled it joins the batch
        {{s(16000), s(384), stop}, 0, 0},            // 16384 bytes for the server
        {{s(16000), s(384), s(1), stop}, 0, 16385},  // but not a piece that overflowed
        {{c(10), c_run(2000), stop}, 1025, 0},
        // The run's first 16,383 bytes end the first count, which hands them over.
        {{s(10), {0, 20000, false, 1}, stop}, 0, 16393},
        {{c(1000), c(25), s(16000), s(385)}, all, all}, // without a stop all leaves
    };
    for (std::size_t i = 0; i < std::size(cases); i++) {
        const auto& [steps, client, server] = cases[i];
        bytes to_client, to_server;
        std::int32_t length = 0;
        for (const scripted& k : steps) {
            to_client.insert(to_client.end(), script_bytes, script_bytes + k.client);
            to_server.insert(to_server.end(), script_bytes, script_bytes + k.server);
            length += k.run ? k.client + k.server : 1;
        }
        to_client.resize(std::min(client, to_client.size()));
        to_server.resize(std::min(server, to_server.size()));
        peers fds;
        script = steps;
        script_at = 0;
        EXPECT_EQ(proxy_pump(length, scripted_step, scripted_run), steps.back().stop) << i;
        EXPECT_TRUE(drain(fds.client[1]) == to_client) << "case " << i;
        EXPECT_TRUE(drain(fds.server[1]) == to_server) << "case " << i;
    }
}

TEST_F(Proxy, AReadAfterAnotherInOnePassTakesOnlyTheRoomThatOutputHasLeft)
{
    // Pings are answered here: a client that sends them and reads nothing
    // fills its output in the read just before the room server's, which was
    // watched while there was room and must now find it gone.
    mitm_reset();
    feed(mitm_c2s, handshake(1));
    bytes partial = packet(0x00, 3000);
    partial.resize(2000);
    feed(mitm_s2c, partial);
    loop_rig fds;
    bytes waiting(relay_out_bound - 1, 0);
    ASSERT_TRUE(out_append(client_out, waiting.data(), static_cast<std::int32_t>(waiting.size())));
    bytes pings;
    while (pings.size() < 40000)
        pings = cat({pings, frame({0x01, 1, 2, 3, 4, 5, 6, 7, 8})});
    int big = 1 << 20;
    setsockopt(fds.server[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    bytes flood(600000, 0x42);
    ASSERT_EQ(write(fds.client[1], pings.data(), pings.size()), static_cast<ssize_t>(pings.size()));
    ssize_t sent = send(fds.server[1], flood.data(), flood.size(), MSG_DONTWAIT);
    ASSERT_GT(sent, relay_read_size);

    read_game_client();
    ASSERT_EQ(handle_kind, handle_proxy);
    EXPECT_GT(out_pending(client_out), relay_out_size - 2000) << "the client's read filled the output";
    read_room_server();
    EXPECT_EQ(proxy_read_size(false), 0);
    EXPECT_EQ(drain(fds.server[0], SIZE_MAX).size(), static_cast<std::size_t>(sent))
        << "the room server was read";
}

// What the follower says after the pump must be what a follower fed only the
// bytes the game client got says, however the room server's stream is cut: a
// stop withholds the batch toward the client and any stage change in it, also
// inside a run of whole packets (a 1.21.4 login with compression on, then the
// configuration stage up to its end).
TEST_F(Proxy, TheFollowerTakesOnlyWhatReachesTheGameClient)
{
    auto packed = [](const bytes& body) { return frame(cat({{0x00}, body})); };
    const bytes login = cat({handshake(2, 0, "localhost", 769), login_start("Bob", uuid)});
    const bytes small = packed(bytes(60, 0x0E)), finish = packed({0x03}), stop = {0x00};
    bytes stream = cat({frame({0x03, 0x80, 0x02}), packed(cat({{0x02}, uuid, {3, 'B', 'o', 'b', 0}}))});
    for (int i = 0; i < 30; i++)
        stream = cat({stream, small});
    // After a packet longer than the batch, the batch is empty.
    stream = cat({stream, packed(bytes(1100, 0x0E)), finish, small, small});
    for (const auto& [tail, uncut] :
         {std::pair{stop, game_stage::configuration}, {bytes{}, game_stage::play}})
        for (std::size_t cut = 0; cut <= stream.size(); cut += 5)
            for (bool fast : {true, false}) {
                bytes client = pump_pieces(mitm_s2c, login, cat({stream, tail}), {cut}, fast).client;
                client_form proxied = follow_form();
                follow_reset();
                follow_bytes(false, login.data(), static_cast<std::int32_t>(login.size()));
                follow_bytes(true, client.data(), static_cast<std::int32_t>(client.size()));
                ASSERT_EQ(proxied.stage, follow_form().stage) << "cut " << cut << (fast ? "" : ", slow");
                ASSERT_TRUE(cut > 0 || proxied.stage == uncut);
            }
}
