#include "control/sha1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

TEST(Sha1, MatchesKnownDigestsAcrossThePaddingBoundariesWhateverTheInputChunks)
{
    const std::pair<std::string, const char*> cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
    };
    for (const auto& [message, digest] : cases)
        for (std::uint32_t chunk : {1u, 7u, 64u, 1000u}) {
            sha1_context context;
            sha1_reset(context);
            for (std::uint32_t at = 0; at < message.size(); at += chunk)
                sha1_input(context, reinterpret_cast<const std::uint8_t*>(message.data()) + at,
                           std::min<std::uint32_t>(chunk, static_cast<std::uint32_t>(message.size()) - at));
            std::uint8_t got[sha1_digest_size];
            sha1_result(context, got);
            std::string hex;
            for (std::uint8_t b : got)
                hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
            EXPECT_EQ(hex, digest) << message.size() << " bytes in chunks of " << chunk;
        }
}
