#include "host/log.h"
#include "host/registry.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <string>

TEST(LogLine, WritesTagMessageAndLineFeedEvenWhenTheMessageFillsTheBuffer)
{
    log_capture log;
    log_line(tag_ws, "putted, sock %d in %d", -1, 15);
    const char header[] = "ORIGIN: x\0hidden";
    log_line(tag_ws, "[%.*s]", static_cast<int>(sizeof header - 1), header);
    EXPECT_EQ(log.text(), "[WS] putted, sock -1 in 15\n[WS] [ORIGIN: x]\n");

    log.text().clear();
    std::string huge(recv_buf_size + 500, 'a');
    log_line(tag_ws, "[%.*s]", static_cast<int>(huge.size()), huge.data());
    ASSERT_GT(log.text().size(), static_cast<size_t>(recv_buf_size));
    EXPECT_EQ(log.text().rfind("[WS] [aaa", 0), 0u);
    EXPECT_EQ(log.text().back(), '\n');
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
