#include "game/standby.h"
#include "game/status.h"
#include "game_bytes.h"
#include "host/loop.h"
#include "host/registry.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <unistd.h>

namespace {

// The reply that carries text as the one string of packet id 0, as a Login Start carries the name.
const auto text_reply = [](std::string_view s) { return login_start(s); };

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
    handler_outputs_reset();
    log_capture log;
    cuts.push_back(stream.size());
    for (std::size_t i = 0, from = 0; i < cuts.size() && handle_kind == handle_no_room; from = cuts[i++]) {
        send(pair[1], stream.data() + from, cuts[i] - from, MSG_NOSIGNAL);
        read_game_client();
    }
    if (handle_kind == handle_no_room) {
        shutdown(pair[1], SHUT_WR);
        read_game_client();
    }
    EXPECT_EQ(handle_kind, handle_none) << "the handler must have ended";
    bytes reply = drain(pair[1]);
    close(pair[1]);
    return {reply, log.text()};
}

} // namespace

TEST(StandbyResponder, GivesEachStreamItsReplyAndTheSameLogHoweverTheStreamIsCut)
{
    const bytes status_request = frame({0x00});
    const bytes ping = frame({0x01, 1, 2, 3, 4, 5, 6, 7, 8});
    const bytes status_reply = text_reply(standby_status.view());
    const bytes longest = handshake(1, 0, std::string(no_room_max_body - 7, 'h'));
    const bytes too_long = handshake(1, 0, std::string(no_room_max_body - 6, 'h'));
    const std::tuple<const char*, bytes, bytes> cases[] = {
        {"status", cat({handshake(1), status_request, ping}), status_reply},
        {"ping without status", cat({handshake(1), ping}), ping},
        {"login", cat({handshake(2), login_start("Stev")}), text_reply(standby_disconnect.view())},
        {"empty packets skipped", cat({{0x00}, handshake(1), {0x00, 0x00}, status_request}), status_reply},
        {"short ping", cat({handshake(1), frame({0x01, 1, 2, 3, 4, 5, 6, 7})}), {}},
        {"long ping", cat({handshake(1), frame({0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9})}), {}},
        {"ping at login", cat({handshake(2), ping}), {}},
        {"login after a transfer", cat({handshake(3), login_start("Stev")}),
         text_reply(standby_disconnect.view())},
        {"next state 4", cat({handshake(4), status_request}), {}},
        {"status before handshake", cat({status_request, handshake(1)}), {}},
        {"legacy ping", {0xFE, 0x01, 0xFA}, {}},
        {"handshake of 128 bytes", cat({too_long, status_request}), {}},
        {"longest handshake", cat({longest, status_request}), status_reply},
        {"closed mid-packet", cat({handshake(1), {0x09, 0x01, 0x02}}), {}},
    };
    ASSERT_EQ(longest[0], no_room_max_body);
    for (const auto& [name, stream, reply] : cases) {
        auto whole = serve(stream, {});
        EXPECT_EQ(whole.first, reply) << name;
        // Cut once at every position, then one byte at a time.
        std::vector<std::vector<std::size_t>> cut_sets{{}};
        for (std::size_t cut = 1; cut < stream.size(); cut++) {
            cut_sets.push_back({cut});
            cut_sets[0].push_back(cut);
        }
        for (const auto& cuts : cut_sets)
            EXPECT_EQ(serve(stream, cuts), whole)
                << name << ", cut at " << cuts[0] << (cuts.size() > 1 ? " and on" : "");
    }
}
