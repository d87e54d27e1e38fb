#include "host/log.h"
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

// The lines of log_line are the other tests' to check.
TEST(LogText, KeepsUtf8AndCutsLongTextsWhole)
{
    using namespace std::string_literals;
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
