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
        bytes whole_reply;
        std::string whole_log;
        serve(c.stream, {}, &whole_reply, &whole_log);
        EXPECT_EQ(whole_reply, c.reply) << c.name;
        // Cut once at every position, then one byte at a time.
        std::vector<std::vector<std::size_t>> cut_sets{{}};
        for (std::size_t cut = 1; cut < c.stream.size(); cut++) {
            cut_sets.push_back({cut});
            cut_sets[0].push_back(cut);
        }
        for (const auto& cuts : cut_sets) {
            bytes reply;
            std::string log;
            serve(c.stream, cuts, &reply, &log);
            EXPECT_EQ(reply, c.reply)
                << c.name << ", cut at " << cuts[0] << (cuts.size() > 1 ? " and on" : "");
            EXPECT_EQ(log, whole_log)
                << c.name << ", cut at " << cuts[0] << (cuts.size() > 1 ? " and on" : "");
        }
    }
}
