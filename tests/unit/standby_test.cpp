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

bytes varint(std::size_t value)
{
    std::uint8_t out[5];
    return bytes(out, out + varint_encode(out, 5, static_cast<std::int32_t>(value)));
}

// The reply that carries text as the one string of packet id 0.
bytes text_reply(std::string_view text)
{
    bytes body = join({{0x00}, varint(text.size()), bytes(text.begin(), text.end())});
    return join({varint(body.size()), body});
}

// Runs the responder over a socket pair with the stream cut at the given
// positions; returns what the client received and the log.
std::pair<bytes, std::string> serve(const bytes& stream, std::vector<std::size_t> cuts)
{
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    registry_reset();
    standby_reset();
    handle_kind = handle_no_room;
    client_sock = pair[0];
    no_room_reset();
    log_capture log;
    cuts.push_back(stream.size());
    for (std::size_t i = 0, from = 0; i < cuts.size() && handle_kind == handle_no_room; from = cuts[i++]) {
        send(pair[1], stream.data() + from, cuts[i] - from, MSG_NOSIGNAL);
        no_room_receive();
    }
    if (handle_kind == handle_no_room) {
        shutdown(pair[1], SHUT_WR);
        no_room_receive();
    }
    EXPECT_EQ(handle_kind, handle_none) << "the handler must have ended";
    bytes reply;
    std::uint8_t chunk[4096];
    for (ssize_t n; (n = recv(pair[1], chunk, sizeof chunk, 0)) > 0;)
        reply.insert(reply.end(), chunk, chunk + n);
    close(pair[1]);
    return {reply, log.text()};
}

} // namespace

TEST(StandbyResponder, GivesEachStreamItsReplyAndTheSameLogHoweverTheStreamIsCut)
{
    const bytes status_request = frame({0x00});
    const bytes ping = frame({0x01, 1, 2, 3, 4, 5, 6, 7, 8});
    const bytes status_reply = text_reply(standby_status.view());
    struct {
        const char* name;
        bytes stream;
        bytes reply;
    } cases[] = {
        {"status", join({handshake(1), status_request, ping}), status_reply},
        {"ping without status", join({handshake(1), ping}), ping},
        {"login", join({handshake(2), frame({0x00, 0x04, 'S', 't', 'e', 'v'})}),
         text_reply(standby_disconnect.view())},
        {"empty packets skipped", join({{0x00}, handshake(1), {0x00, 0x00}, status_request}), status_reply},
        {"short ping", join({handshake(1), frame({0x01, 1, 2, 3, 4, 5, 6, 7})}), {}},
        {"long ping", join({handshake(1), frame({0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9})}), {}},
        {"ping at login", join({handshake(2), ping}), {}},
        {"next state 3", join({handshake(3), status_request}), {}},
        {"status before handshake", join({status_request, handshake(1)}), {}},
        {"legacy ping", {0xFE, 0x01, 0xFA}, {}},
        {"handshake of 128 bytes", join({handshake(1, 122), status_request}), {}},
        {"longest handshake", join({handshake(1, 121), status_request}), status_reply},
        {"closed mid-packet", join({handshake(1), {0x09, 0x01, 0x02}}), {}},
    };
    for (const auto& c : cases) {
        auto whole = serve(c.stream, {});
        EXPECT_EQ(whole.first, c.reply) << c.name;
        // Cut once at every position, then one byte at a time.
        std::vector<std::vector<std::size_t>> cut_sets{{}};
        for (std::size_t cut = 1; cut < c.stream.size(); cut++) {
            cut_sets.push_back({cut});
            cut_sets[0].push_back(cut);
        }
        for (const auto& cuts : cut_sets)
            EXPECT_EQ(serve(c.stream, cuts), whole)
                << c.name << ", cut at " << cuts[0] << (cuts.size() > 1 ? " and on" : "");
    }
}
