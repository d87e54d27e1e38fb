#include "host/log.h"

#include "host/registry.h"
#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Long enough for the longest line: a header line of a whole 16 KiB read.
constexpr int log_buf_size = recv_buf_size + 64;

char log_buf[log_buf_size];

log_sink current_sink = console_write;

}  // namespace

void log_set_sink(log_sink sink)
{
    current_sink = sink != nullptr ? sink : console_write;
}

void log_line(const char* tag, const char* format, ...)
{
    size_t tag_length = std::strlen(tag);
    std::memcpy(log_buf, tag, tag_length);
    size_t room = log_buf_size - tag_length - 1;  // keep one byte for the line feed

    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(log_buf + tag_length, room, format, args);
    va_end(args);
    if (written < 0)
        written = 0;
    size_t length = tag_length + (static_cast<size_t>(written) < room ? static_cast<size_t>(written) : room - 1);
    log_buf[length++] = '\n';
    current_sink(log_buf, static_cast<std::int32_t>(length));
}

std::int32_t format_reply(std::uint32_t size, const char* format, ...)
{
    if (size > recv_buf_size)
        size = recv_buf_size;
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(reinterpret_cast<char*>(recv_buf), size, format, args);
    va_end(args);
    return length;
}
