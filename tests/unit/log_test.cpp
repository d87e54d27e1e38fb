#include "host/log.h"
#include "host/registry.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string captured;

void capture(const char* line, std::int32_t length)
{
    captured.append(line, static_cast<size_t>(length));
}

}  // namespace

TEST(LogLine, WritesTagMessageAndLineFeedWithHeaderTextCutAtNul)
{
    log_set_sink(capture);
    captured.clear();
    log_line(tag_ws, "putted, sock %d in %d", -1, 15);
    const char header[] = "ORIGIN: x\0hidden";
    log_line(tag_ws, "[%.*s]", static_cast<int>(sizeof header - 1), header);
    log_set_sink(nullptr);
    EXPECT_EQ(captured, "[WS] putted, sock -1 in 15\n[WS] [ORIGIN: x]\n");
}

TEST(LogLine, KeepsTheLineFeedWhenTheMessageFillsTheBuffer)
{
    log_set_sink(capture);
    captured.clear();
    std::string huge(recv_buf_size + 500, 'a');
    log_line(tag_ws, "[%.*s]", static_cast<int>(huge.size()), huge.data());
    log_set_sink(nullptr);
    ASSERT_FALSE(captured.empty());
    EXPECT_EQ(captured.back(), '\n');
    EXPECT_EQ(captured.rfind("[WS] [aaa", 0), 0u);
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
