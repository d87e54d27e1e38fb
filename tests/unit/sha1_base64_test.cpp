#include "control/base64.h"
#include "control/handshake.h"
#include "control/sha1.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hex(const std::uint8_t* bytes, int count)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < count; i++) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string sha1_hex(const std::string& message, std::uint32_t chunk)
{
    sha1_context context;
    sha1_reset(context);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
    for (std::uint32_t at = 0; at < message.size(); at += chunk) {
        std::uint32_t count = std::min<std::uint32_t>(chunk, static_cast<std::uint32_t>(message.size()) - at);
        sha1_input(context, bytes + at, count);
    }
    std::uint8_t digest[sha1_digest_size];
    sha1_result(context, digest);
    return hex(digest, sha1_digest_size);
}

std::string base64(const std::string& bytes)
{
    char out[64];
    base64_encode(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                  static_cast<std::uint32_t>(bytes.size()), out);
    return out;
}

} // namespace

TEST(Sha1, MatchesKnownDigestsAcrossThePaddingBoundariesWhateverTheInputChunks)
{
    struct {
        std::string message;
        const char* digest;
    } cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {std::string(63, 'a'), "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
        {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    };
    for (const auto& c : cases) {
        for (std::uint32_t chunk : {1u, 7u, 64u, 1000u})
            EXPECT_EQ(sha1_hex(c.message, chunk), c.digest)
                << c.message.size() << " bytes in chunks of " << chunk;
    }
}

TEST(Sha1, GivesTheSameDigestWhenTheResultIsAskedTwice)
{
    sha1_context context;
    sha1_reset(context);
    sha1_input(context, reinterpret_cast<const std::uint8_t*>("abc"), 3);
    std::uint8_t first[sha1_digest_size];
    std::uint8_t second[sha1_digest_size];
    sha1_result(context, first);
    sha1_result(context, second);
    EXPECT_EQ(hex(second, sha1_digest_size), hex(first, sha1_digest_size));
}

TEST(Base64, PadsFinalGroupsOfOneAndTwoBytes)
{
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("f"), "Zg==");
    EXPECT_EQ(base64("fo"), "Zm8=");
    EXPECT_EQ(base64("foo"), "Zm9v");
    EXPECT_EQ(base64("foob"), "Zm9vYg==");
    EXPECT_EQ(base64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64(std::string("\xff\xfe\x00\x3f", 4)), "//4APw==");
    EXPECT_EQ(base64_length(20), 28u);
}

TEST(WsAcceptKey, FollowsTheRfcSampleAndRefusesKeysTooLongForTheWorkArea)
{
    char accept[ws_accept_length + 1];
    const std::string sample = "dGhlIHNhbXBsZSBub25jZQ==";
    ws_accept_key(reinterpret_cast<const std::uint8_t*>(sample.data()), 24, accept);
    EXPECT_STREQ(accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");

    ws_accept_key(nullptr, 0, accept);
    EXPECT_STREQ(accept, "Kfh9QIsMVZcl6xEPYxPHzW8SZ8w="); // the GUID alone

    const std::string longest(ws_key_max_length, 'k');
    ws_accept_key(reinterpret_cast<const std::uint8_t*>(longest.data()), ws_key_max_length, accept);
    EXPECT_EQ(std::string(accept).size(), 28u);
    const std::string too_long(ws_key_max_length + 1, 'k');
    ws_accept_key(reinterpret_cast<const std::uint8_t*>(too_long.data()), ws_key_max_length + 1, accept);
    EXPECT_STREQ(accept, "");
}
