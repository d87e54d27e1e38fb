#include "game/standby.h"
#include "game/status.h"
#include "game/varint.h"
#include "host/log.h"
#include "host/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
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

bytes frame(const bytes& body)
{
    bytes out(body.size() + 1);
    out[0] = static_cast<std::uint8_t>(body.size());
    std::copy(body.begin(), body.end(), out.begin() + 1);
    return out;
}

bytes handshake(std::uint8_t next_state, std::size_t address_length = 9)
{
    // Packet id, protocol 47, server address, port, next state.
    bytes body(3 + address_length + 3, 'h');
    body[0] = 0x00;
    body[1] = 0x2F;
    body[2] = static_cast<std::uint8_t>(address_length);
    body[3 + address_length] = 0x63;
    body[4 + address_length] = 0xDD;
    body[5 + address_length] = next_state;
    return frame(body);
}

bytes join(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The reply that carries text as the one string of packet id 0.
bytes text_reply(std::string_view text)
{
    std::uint8_t head[16];
    std::int32_t string_prefix = varint_encode(head, 5, static_cast<std::int32_t>(text.size()));
    std::int32_t packet_length = 1 + string_prefix + static_cast<std::int32_t>(text.size());
    bytes out(head, head + varint_encode(head, 5, packet_length));
    out.push_back(0x00);
    out.insert(out.end(), head, head + varint_encode(head, 5, static_cast<std::int32_t>(text.size())));
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

const bytes status_request = frame({0x00});
const bytes ping = frame({0x01, 1, 2, 3, 4, 5, 6, 7, 8});
const bytes login_start = frame({0x00, 0x04, 'S', 't', 'e', 'v'});

const std::string killed = "[PROXY] no room handler killed\n[PROXY] close, handle_kind 2\n";
const std::string packet = "[PROXY] no room packet\n";
const std::string accepted = packet + "[PROXY] handshake\n";
const std::string unexpected = packet + "[PROXY] unexpected interaction\n" + killed;

struct case_t {
    const char* name;
    bytes stream;
    bytes reply;
    std::string log; // after the stream and, if the connection is still open, the peer's close
};

std::vector<case_t> cases()
{
    const bytes status_reply = text_reply(standby_status.view());
    const bytes disconnect_reply = text_reply(standby_disconnect.view());
    return {
        {"status", join({handshake(1), status_request, ping}), status_reply,
         accepted + packet + "[PROXY] status request\n" + killed},
        {"ping without status", join({handshake(1), ping}), ping,
         accepted + packet + "[PROXY] ping request\n[PROXY] ping len: 9\n" + killed},
        {"login", join({handshake(2), login_start}), disconnect_reply,
         accepted + packet + "[PROXY] login start\n" + killed},
        {"empty packets skipped", join({{0x00}, handshake(1), {0x00, 0x00}, status_request}), status_reply,
         accepted + packet + "[PROXY] status request\n" + killed},
        {"second handshake is a status request", join({handshake(1), handshake(1)}), status_reply,
         accepted + packet + "[PROXY] status request\n" + killed},
        {"short ping",
         join({handshake(1), frame({0x01, 1, 2, 3, 4, 5, 6, 7})}),
         {},
         accepted + packet + "[PROXY] ping request\n[PROXY] ping len: 8\n" + killed},
        {"long ping",
         join({handshake(1), frame({0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9})}),
         {},
         accepted + packet + "[PROXY] ping request\n[PROXY] ping len: 10\n" + killed},
        {"ping at login", join({handshake(2), ping}), {}, accepted + unexpected},
        {"next state 3", handshake(3), {}, unexpected},
        {"status before handshake", join({status_request, handshake(1)}), {}, unexpected},
        {"legacy ping", {0xFE, 0x01, 0xFA}, {}, killed},
        {"handshake of 128 bytes", handshake(1, 122), {}, killed},
        {"longest handshake", join({handshake(1, 121), status_request}), status_reply,
         accepted + packet + "[PROXY] status request\n" + killed},
        {"closed mid-packet",
         join({handshake(1), {0x09, 0x01, 0x02}}),
         {},
         accepted + "[PROXY] close, handle_kind 2\n"},
    };
}

// Runs the responder over a socket pair, the stream cut at the given
// positions; returns what the client received and the log.
void serve(const bytes& stream, std::vector<std::size_t> cuts, bytes* received, std::string* log)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    registry_reset();
    standby_reset();
    handle_kind = handle_no_room;
    client_sock = pair[0];
    no_room_reset();
    captured.clear();
    log_set_sink(capture);

    cuts.push_back(stream.size());
    std::size_t from = 0;
    for (std::size_t to : cuts) {
        if (handle_kind != handle_no_room || to == from)
            continue;
        ASSERT_EQ(send(pair[1], stream.data() + from, to - from, MSG_NOSIGNAL),
                  static_cast<ssize_t>(to - from));
        from = to;
        no_room_receive();
    }
    if (handle_kind == handle_no_room) {
        shutdown(pair[1], SHUT_WR);
        no_room_receive();
    }
    log_set_sink(nullptr);
    *log = captured;
    EXPECT_EQ(handle_kind, handle_none) << "the handler must have ended";

    received->clear();
    std::uint8_t chunk[4096];
    for (ssize_t n; (n = recv(pair[1], chunk, sizeof chunk, 0)) > 0;)
        received->insert(received->end(), chunk, chunk + n);
    close(pair[1]);
}

} // namespace

TEST(StandbyResponder, AnswersEachStreamWithItsReplyAndLog)
{
    for (const case_t& c : cases()) {
        bytes received;
        std::string log;
        serve(c.stream, {}, &received, &log);
        EXPECT_EQ(received, c.reply) << c.name;
        EXPECT_EQ(log, c.log) << c.name;
    }
}

TEST(StandbyResponder, GivesTheSameRepliesAndLogHoweverTheStreamIsCut)
{
    for (const case_t& c : cases()) {
        for (std::size_t cut = 1; cut < c.stream.size(); cut++) {
            bytes received;
            std::string log;
            serve(c.stream, {cut}, &received, &log);
            EXPECT_EQ(received, c.reply) << c.name << ", cut at " << cut;
            EXPECT_EQ(log, c.log) << c.name << ", cut at " << cut;
        }
        std::vector<std::size_t> every_byte;
        for (std::size_t cut = 1; cut < c.stream.size(); cut++)
            every_byte.push_back(cut);
        bytes received;
        std::string log;
        serve(c.stream, every_byte, &received, &log);
        EXPECT_EQ(received, c.reply) << c.name << ", one byte at a time";
        EXPECT_EQ(log, c.log) << c.name << ", one byte at a time";
    }
}

TEST(StandbyResponder, StaysWithinItsPacketOnRandomStreams)
{
    std::mt19937 random(20261206);
    log_set_sink([](const char*, std::int32_t) {});
    for (int round = 0; round < 20000; round++) {
        standby_reset();
        for (int i = 0; i < 300; i++) {
            // Mostly small values, so that the stream gets past its lengths.
            std::uint8_t byte = static_cast<std::uint8_t>(random() % 4 == 0 ? random() : random() % 12);
            no_room_outcome outcome = no_room_step(byte);
            ASSERT_LE(no_room_count, no_room_max_body);
            if (outcome.action == no_room_action::reply_then_drop) {
                ASSERT_GT(outcome.reply_length, 0);
                ASSERT_LE(outcome.reply_length, no_room_packet_size);
            }
            if (outcome.action != no_room_action::next_byte)
                break;
        }
    }
    log_set_sink(nullptr);
}
