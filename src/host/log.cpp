#include "host/log.h"

#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// A message as formatted, before it is escaped and cut; the program's own
// messages are far shorter.
constexpr int format_buf_size = 1024;
constexpr char cut_mark[] = " [cut, %d bytes in all]";
// Tag, text, cut mark and line feed.
constexpr int log_buf_size = 16 + log_text_max + 48;

char format_buf[format_buf_size];
char log_buf[log_buf_size];

// The program's own output unless a test reads the log; lines that output
// could not take are counted, and the count is logged once it takes one again.
log_sink current_sink = nullptr;
std::int32_t dropped_lines;

void write_line(const char* line, std::int32_t length)
{
    if (current_sink != nullptr) {
        current_sink(line, length);
        return;
    }
    if (dropped_lines > 0) {
        char note[64];
        int note_length = std::snprintf(note, sizeof note, "%s%d log lines dropped\n", tag_misc,
                                        static_cast<int>(dropped_lines));
        if (!console_write(note, note_length)) {
            dropped_lines++;
            return;
        }
        dropped_lines = 0;
    }
    if (!console_write(line, length))
        dropped_lines++;
}

bool needs_escape(std::uint8_t b)
{
    return b < 0x20 || b == 0x7F;
}

// One line in the making: the tag, then text escaped into at most
// log_text_max bytes; whatever does not fit is only counted.
struct line_builder {
    std::int32_t length = 0;
    std::int32_t text_start = 0;
    std::int32_t source_bytes = 0;
    bool cut = false;

    explicit line_builder(const char* tag)
    {
        length = static_cast<std::int32_t>(std::strlen(tag));
        std::memcpy(log_buf, tag, static_cast<size_t>(length));
        text_start = length;
    }

    void add(const std::uint8_t* bytes, std::int32_t count)
    {
        for (std::int32_t i = 0; i < count && !cut; i++) {
            std::uint8_t b = bytes[i];
            std::int32_t size = needs_escape(b) ? 4 : 1;
            if (length - text_start + size > log_text_max) {
                cut = true;
                // A UTF-8 character that does not fit whole goes entirely.
                if (b >= 0x80 && b < 0xC0) {
                    while (length > text_start && (log_buf[length - 1] & 0xC0) == 0x80)
                        length--;
                    if (length > text_start && (log_buf[length - 1] & 0xC0) == 0xC0)
                        length--;
                }
                break;
            }
            if (size == 1) {
                log_buf[length++] = static_cast<char>(b);
            } else {
                std::snprintf(log_buf + length, 5, "\\x%02x", b);
                length += 4;
            }
        }
        source_bytes += count;
    }

    void add(const char* text)
    {
        add(reinterpret_cast<const std::uint8_t*>(text), static_cast<std::int32_t>(std::strlen(text)));
    }

    std::int32_t finish()
    {
        if (cut)
            length += std::snprintf(log_buf + length, static_cast<size_t>(log_buf_size - 1 - length),
                                    cut_mark, static_cast<int>(source_bytes));
        log_buf[length++] = '\n';
        write_line(log_buf, length);
        return length;
    }
};

} // namespace

void log_set_sink(log_sink sink)
{
    current_sink = sink;
}

std::int32_t log_line(const char* tag, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int written = std::vsnprintf(format_buf, format_buf_size, format, args);
    va_end(args);
    if (written < 0)
        written = 0;
    line_builder line(tag);
    line.add(reinterpret_cast<const std::uint8_t*>(format_buf),
             written < format_buf_size ? written : format_buf_size - 1);
    if (written >= format_buf_size)
        line.source_bytes = written;
    return line.finish();
}

std::int32_t log_text(const char* tag, const char* before, const std::uint8_t* text, std::int32_t length,
                      const char* after)
{
    line_builder line(tag);
    line.add(before);
    line.add(text, length);
    line.add(after);
    return line.finish();
}
