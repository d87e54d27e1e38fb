#include "game/standby.h"
#include "game/status.h"
#include "game/varint.h"
#include "host/registry.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using bytes = std::vector<std::uint8_t>;

namespace {

bytes join(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

bytes frame(const bytes& body)
{
    return join({{static_cast<std::uint8_t>(body.size())}, body});
}

// Packet id, protocol 47, server address, port 25565, next state.
bytes handshake(std::uint8_t next_state, std::size_t address_length = 9)
{
    bytes address(address_length, 'h');
    return frame(
        join({{0x00, 0x2F, static_cast<std::uint8_t>(address_length)}, address, {0x63, 0xDD, next_state}}));
}

// The reply that carries text as the one string of packet id 0.
bytes text_reply(std::string_view text)
{
    std::uint8_t length[5];
    bytes body =
        join({{0x00},
              bytes(length, length + varint_encode(length, 5, static_cast<std::int32_t>(text.size()))),
              bytes(text.begin(), text.end())});
    return join(
        {bytes(length, length + varint_encode(length, 5, static_cast<std::int32_t>(body.size()))), body});
}

// Runs the responder over a socket pair with the stream cut at the given
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
    log_capture capture;

    cuts.push_back(stream.size());
    std::size_t from = 0;
    for (std::size_t to : cuts) {
        if (handle_kind != handle_no_room)
            break;
        ASSERT_EQ(send(pair[1], stream.data() + from, to - from, MSG_NOSIGNAL),
                  static_cast<ssize_t>(to - from));
        from = to;
        no_room_receive();
    }
    if (handle_kind == handle_no_room) {
        shutdown(pair[1], SHUT_WR);
        no_room_receive();
    }
    *log = capture.text();
    EXPECT_EQ(handle_kind, handle_none) << "the handler must have ended";
    received->clear();
    std::uint8_t chunk[4096];
    for (ssize_t n; (n = recv(pair[1], chunk, sizeof chunk, 0)) > 0;)
        received->insert(received->end(), chunk, chunk + n);
    close(pair[1]);
}

} // namespace

TEST(StandbyResponder, GivesEachStreamItsReplyAndLogHoweverTheStreamIsCut)
{
    const bytes status_request = frame({0x00});
    const bytes ping = frame({0x01, 1, 2, 3, 4, 5, 6, 7, 8});
    const bytes status_reply = text_reply(standby_status.view());
    const std::string killed = "[PROXY] no room handler killed\n[PROXY] close, handle_kind 2\n";
    const std::string packet = "[PROXY] no room packet\n";
    const std::string accepted = packet + "[PROXY] handshake\n" + packet;
    const std::string unexpected = packet + "[PROXY] unexpected interaction\n" + killed;
    struct {
        const char* name;
        bytes stream;
        bytes reply;
        std::string log; // after the stream and, if the connection is still open, the peer's close
    } cases[] = {
        {"status", join({handshake(1), status_request, ping}), status_reply,
         accepted + "[PROXY] status request\n" + killed},
        {"ping without status", join({handshake(1), ping}), ping,
         accepted + "[PROXY] ping request\n[PROXY] ping len: 9\n" + killed},
        {"login", join({handshake(2), frame({0x00, 0x04, 'S', 't', 'e', 'v'})}),
         text_reply(standby_disconnect.view()), accepted + "[PROXY] login start\n" + killed},
        {"empty packets skipped", join({{0x00}, handshake(1), {0x00, 0x00}, status_request}), status_reply,
         accepted + "[PROXY] status request\n" + killed},
        {"short ping",
         join({handshake(1), frame({0x01, 1, 2, 3, 4, 5, 6, 7})}),
         {},
         accepted + "[PROXY] ping request\n[PROXY] ping len: 8\n" + killed},
        {"long ping",
         join({handshake(1), frame({0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9})}),
         {},
         accepted + "[PROXY] ping request\n[PROXY] ping len: 10\n" + killed},
        {"ping at login",
         join({handshake(2), ping}),
         {},
         "[PROXY] no room packet\n[PROXY] handshake\n" + unexpected},
        {"next state 3", handshake(3), {}, unexpected},
        {"status before handshake", join({status_request, handshake(1)}), {}, unexpected},
        {"legacy ping", {0xFE, 0x01, 0xFA}, {}, killed},
        {"handshake of 128 bytes", handshake(1, 122), {}, killed},
        {"longest handshake", join({handshake(1, 121), status_request}), status_reply,
         accepted + "[PROXY] status request\n" + killed},
        {"closed mid-packet",
         join({handshake(1), {0x09, 0x01, 0x02}}),
         {},
         "[PROXY] no room packet\n[PROXY] handshake\n[PROXY] close, handle_kind 2\n"},
    };
    for (const auto& c : cases) {
        // Whole, cut once at every position, and one byte at a time.
        std::vector<std::vector<std::size_t>> cut_sets{{}, {}};
        for (std::size_t cut = 1; cut < c.stream.size(); cut++) {
            cut_sets.push_back({cut});
            cut_sets[1].push_back(cut);
        }
        for (const auto& cuts : cut_sets) {
            bytes received;
            std::string log;
            serve(c.stream, cuts, &received, &log);
            std::string how = cuts.empty()      ? "whole"
                              : cuts.size() > 1 ? "byte by byte"
                                                : "cut at " + std::to_string(cuts[0]);
            EXPECT_EQ(received, c.reply) << c.name << ", " << how;
            EXPECT_EQ(log, c.log) << c.name << ", " << how;
        }
    }
}
