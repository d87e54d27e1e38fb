#include "proxy/follow.h"

#include "game_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

namespace {

struct passage {
    bool to_client;
    bytes stream;
};

// A packet framed as after Set Compression, not compressed.
bytes packed(const bytes& body)
{
    return frame(cat({{0x00}, body}));
}

const bytes login_success = cat({{0x02}, bytes(16, 0xAB), varint(4), text("Nick"), {0x00}});

std::string form_text(const client_form& form)
{
    bool packed = form.compressed && form.stage != game_stage::unknown;
    return std::to_string(static_cast<int>(form.stage)) + (packed ? " packed" : "");
}

// Feeds every passage, each cut at `cut` (0: whole; -1: byte by byte).
std::string follow(const std::vector<passage>& passages, std::ptrdiff_t cut)
{
    follow_reset();
    for (const passage& p : passages) {
        if (cut < 0) {
            for (std::uint8_t b : p.stream)
                follow_step(p.to_client, b);
            continue;
        }
        std::size_t at = std::min(static_cast<std::size_t>(cut), p.stream.size());
        follow_bytes(p.to_client, p.stream.data(), static_cast<std::int32_t>(at));
        follow_bytes(p.to_client, p.stream.data() + at, static_cast<std::int32_t>(p.stream.size() - at));
    }
    return form_text(follow_form());
}

} // namespace

TEST(StageFollower, FollowsEachConnectionToTheStageTheClientReadsInHoweverTheStreamsAreCut)
{
    auto c2s = [](const bytes& stream) { return passage{false, stream}; };
    auto s2c = [](const bytes& stream) { return passage{true, stream}; };
    auto hello = [](int protocol, int intent) { return handshake(intent, 0, "localhost", protocol); };
    using enum game_stage;
    const auto stage = [](game_stage s, bool packed = false) { return form_text({s, 0, nullptr, packed}); };
    const bytes hello_769 = hello(769, 2);
    const bytes compression = frame(cat({{0x03}, varint(256)}));
    const passage compressed_login = s2c(frame(cat({varint(300), bytes(20, 0x78)})));
    const std::vector<passage> login_769 = {c2s(hello(769, 2)), c2s(login_start("Steve")), s2c(compression),
                                            s2c(packed(login_success))};
    auto with = [](std::vector<passage> base, std::initializer_list<passage> more) {
        base.insert(base.end(), more);
        return base;
    };
    const std::vector<passage> play_769 = with(login_769, {s2c(packed({0x03})), c2s(packed({0x03}))});
    const std::tuple<const char*, std::vector<passage>, std::string> cases[] = {
        {"handshake not yet whole", {c2s(bytes(hello_769.begin(), hello_769.end() - 1))}, stage(handshake)},
        {"status", {c2s(hello(769, 1))}, stage(status)},
        {"login", {c2s(hello(769, 2))}, stage(login)},
        {"login after a transfer", {c2s(hello(769, 3))}, stage(login)},
        {"other intent", {c2s(hello(769, 4))}, stage(unknown)},
        {"compression on", {c2s(hello(769, 2)), s2c(compression)}, stage(login, true)},
        {"compression off", {c2s(hello(769, 2)), s2c(frame(cat({{0x03}, varint(-1)})))}, stage(login)},
        {"configuration", login_769, stage(configuration, true)},
        {"play", play_769, stage(play, true)},
        {"play with large packets",
         with(play_769, {s2c(packed(cat({{0x27}, bytes(40000, 0x80)}))), c2s(packed(bytes(20000, 0x81)))}),
         stage(play, true)},
        {"back to configuration", with(play_769, {s2c(packed({0x70}))}), stage(configuration, true)},
        {"inside a packet toward the client", with(play_769, {s2c(bytes{0x05, 0x00, 0x27})}), stage(unknown)},
        {"inside a packet toward the server", with(play_769, {c2s(bytes{0x05, 0x00, 0x27})}),
         stage(play, true)},
        {"1.8 logs straight into play", {c2s(hello(47, 2)), s2c(frame(login_success))}, stage(play)},
        {"1.20.2 has configuration", {c2s(hello(764, 2)), s2c(frame(login_success))}, stage(configuration)},
        {"encryption", {c2s(hello(769, 2)), s2c(frame({0x01, 0x00, 0x00, 0x00}))}, stage(unknown)},
        {"unknown version logging in", {c2s(hello(9999, 2)), s2c(compression)}, stage(login, true)},
        {"unknown version past login", {c2s(hello(9999, 2)), s2c(frame(login_success))}, stage(unknown)},
        // A compressed packet in the login may be Login Success: only the
        // client's acknowledgement settles it.
        {"compressed login packet, unsettled",
         {c2s(hello(769, 2)), s2c(compression), compressed_login},
         stage(unknown)},
        {"compressed login packet, settled",
         {c2s(hello(769, 2)), s2c(compression), compressed_login, c2s(packed({0x03}))},
         stage(configuration, true)},
        {"compressed packet the size of a stage change", with(play_769, {s2c(frame({0x01, 0x78, 0x9C}))}),
         stage(unknown)},
        {"compressed packet of another size", with(play_769, {s2c(frame({0x40, 0x78, 0x9C}))}),
         stage(play, true)},
        {"length of six bytes", with(play_769, {s2c(bytes{0x80, 0x80, 0x80, 0x80, 0x80, 0x01})}),
         stage(unknown)},
        {"empty packet", with(play_769, {s2c(bytes{0x00})}), stage(unknown)},
        {"id past the body", with(play_769, {s2c(frame({0x00, 0x80}))}), stage(unknown)},
        {"address past the handshake",
         {c2s(frame(cat({{0x00}, varint(769), varint(40), text("ab")})))},
         stage(unknown)},
    };
    for (const auto& [name, passages, expected] : cases) {
        std::size_t longest =
            std::ranges::max(passages, {}, [](const passage& p) { return p.stream.size(); }).stream.size();
        EXPECT_EQ(follow(passages, -1), expected) << name << ", byte by byte";
        // Cutting the longest streams everywhere would take long; their ends suffice.
        for (std::size_t cut = 0; cut <= longest; cut += cut < 64 || cut + 64 > longest ? 1 : 997)
            ASSERT_EQ(follow(passages, static_cast<std::ptrdiff_t>(cut)), expected)
                << name << ", cut " << cut;
    }
}
