#include "control/sha1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

std::string sha1_hex(const std::string& message, std::uint32_t chunk)
{
    sha1_context context;
    sha1_reset(context);
    for (std::uint32_t at = 0; at < message.size(); at += chunk)
        sha1_input(context, reinterpret_cast<const std::uint8_t*>(message.data()) + at,
                   std::min<std::uint32_t>(chunk, static_cast<std::uint32_t>(message.size()) - at));
    std::uint8_t digest[sha1_digest_size];
    sha1_result(context, digest);
    std::string text;
    for (std::uint8_t b : digest)
        text += "0123456789abcdef"[b >> 4], text += "0123456789abcdef"[b & 15];
    return text;
}

} // namespace

TEST(Sha1, MatchesKnownDigestsAcrossThePaddingBoundariesWhateverTheInputChunks)
{
    const std::pair<std::string, const char*> cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
    };
    for (const auto& [message, digest] : cases)
        for (std::uint32_t chunk : {1u, 7u, 64u, 1000u})
            EXPECT_EQ(sha1_hex(message, chunk), digest) << message.size() << " bytes in chunks of " << chunk;
}
