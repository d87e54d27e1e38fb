// The console log: one line per event, a tag naming the area, then the message.
#pragma once

#include <cstdint>

inline constexpr char tag_misc[] = "[MISC] ";
inline constexpr char tag_proxy[] = "[PROXY] ";
inline constexpr char tag_mitm[] = "[MITM] ";
inline constexpr char tag_ws[] = "[WS] ";

// A line's text (what follows the tag) is cut at this many bytes and marked
// " [cut, N bytes in all]", N counting the text as it came.
inline constexpr std::int32_t log_text_max = 256;

// Writes tag, message and a line feed to the log whole, never interleaved with
// another line; a watcher of a redirected log has it before the loop waits.
// Bytes below 0x20 and 0x7F in the message show as \xNN, so no line can end
// early or contain a second one. Returns the bytes written.
std::int32_t log_line(const char* tag, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The same for text from a peer (a header line, a player name), logged between
// before and after: a NUL in it shows as \x00 instead of ending it.
std::int32_t log_text(const char* tag, const char* before, const std::uint8_t* text, std::int32_t length,
                      const char* after);

// The log's first line, naming the program, its version and its process id;
// when another copy of the program is running, a second line that says so.
void log_program_start();

// Where finished log lines go; the default writes them to standard output.
// Tests install their own sink to read the log back.
using log_sink = void (*)(const char* line, std::int32_t length);
void log_set_sink(log_sink sink);
