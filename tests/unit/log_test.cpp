#include "host/log.h"
#include "host/registry.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string logged_text(const std::string& text)
{
    log_capture log;
    log_text(tag_ws, "[", reinterpret_cast<const std::uint8_t*>(text.data()),
             static_cast<std::int32_t>(text.size()), "]");
    return log.text();
}

} // namespace

TEST(LogLine, ShowsControlBytesEscapedKeepsUtf8AndCutsLongTextsWhole)
{
    log_capture log;
    EXPECT_EQ(log_line(tag_ws, "putted, sock %d in %d", -1, 15), 27);
    EXPECT_EQ(log.text(), "[WS] putted, sock -1 in 15\n");

    using namespace std::string_literals;
    EXPECT_EQ(logged_text("ORIGIN: https://a.example\0.evil"s),
              "[WS] [ORIGIN: https://a.example\\x00.evil]\n");
    EXPECT_EQ(logged_text("x\n[PROXY] created proxy\r\x1b\x7f"),
              "[WS] [x\\x0a[PROXY] created proxy\\x0d\\x1b\\x7f]\n");
    EXPECT_EQ(logged_text("Jürgen ✓"), "[WS] [Jürgen ✓]\n");

    // 254 bytes fit behind "[": a two-byte character at the edge goes whole,
    // and an escape is never split.
    for (const std::string& tail : {"é"s, "\n"s, std::string(8000, 'a')}) {
        std::string text = std::string(254, 'a') + tail + "b";
        std::string line = logged_text(text);
        std::string kept = "[WS] [" + std::string(254, 'a') + (tail.size() > 1000 ? "a" : "");
        EXPECT_EQ(line, kept + " [cut, " + std::to_string(text.size() + 2) + " bytes in all]\n");
    }
}

TEST(FormatReply, FollowsSnprintfConventions)
{
    recv_buf[0] = 'x';
    EXPECT_EQ(format_reply(0, "%s", "hello"), 5);
    EXPECT_EQ(recv_buf[0], 'x');
    EXPECT_EQ(format_reply(3, "%s: %d", "hello", 13), 9);
    EXPECT_STREQ(reinterpret_cast<char*>(recv_buf), "he");
    EXPECT_EQ(format_reply(recv_buf_size, "%s: %d", "hello", 13), 9);
    EXPECT_STREQ(reinterpret_cast<char*>(recv_buf), "hello: 13");
}
