#include "game/chat.h"

#include "game/varint.h"

#include <cstring>

namespace {

constexpr char hex_digits[] = "0123456789abcdef";
// The control characters with a short escape in JSON, and its letters.
constexpr char short_escapes[] = "\b\f\n\r\t";
constexpr char short_escape_letters[] = "bfnrt";
constexpr char json_head[] = R"({"text":")";
constexpr char json_tail[] = R"("})";
constexpr std::uint8_t nbt_tag_string = 0x08;
constexpr std::int32_t nbt_string_max = 0xFFFF;
constexpr std::uint32_t replacement_char = 0xFFFD;

std::int32_t piece_length(const text_piece& piece)
{
    std::int32_t n = 0;
    while (n < piece.length && piece.bytes[n] != 0)
        n++;
    return n;
}

// Decodes the UTF-8 character at text[*at] and moves past it; a byte that
// starts no well-formed character is taken alone as U+FFFD.
std::uint32_t next_char(const std::uint8_t* text, std::int32_t length, std::int32_t* at)
{
    std::uint8_t lead = text[*at];
    int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (lead < 0x80) {
        ++*at;
        return lead;
    }
    std::uint32_t c = lead & (0x3F >> extra);
    bool ok = extra > 0 && lead < 0xF8 && *at + extra < length;
    for (int i = 1; ok && i <= extra; i++) {
        std::uint8_t b = text[*at + i];
        ok = (b & 0xC0) == 0x80;
        c = c << 6 | (b & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    constexpr std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (!ok || c < least[extra] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        ++*at;
        return replacement_char;
    }
    *at += extra + 1;
    return c;
}

void put_utf8(bounded_writer& w, std::uint32_t c)
{
    if (c < 0x80) {
        w.put(static_cast<std::uint8_t>(c));
    } else if (c < 0x800) {
        w.put(static_cast<std::uint8_t>(0xC0 | c >> 6));
        w.put(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        w.put(static_cast<std::uint8_t>(0xE0 | c >> 12));
        w.put(static_cast<std::uint8_t>(0x80 | (c >> 6 & 0x3F)));
        w.put(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
    } else {
        w.put(static_cast<std::uint8_t>(0xF0 | c >> 18));
        w.put(static_cast<std::uint8_t>(0x80 | (c >> 12 & 0x3F)));
        w.put(static_cast<std::uint8_t>(0x80 | (c >> 6 & 0x3F)));
        w.put(static_cast<std::uint8_t>(0x80 | (c & 0x3F)));
    }
}

// One UTF-16 unit in modified UTF-8: NUL takes two bytes, so that the text
// holds none.
void put_mutf8_unit(bounded_writer& w, std::uint32_t unit)
{
    if (unit == 0) {
        w.put(0xC0);
        w.put(0x80);
    } else {
        put_utf8(w, unit);
    }
}

} // namespace

void put_json_string(bounded_writer& w, std::int32_t length, const std::uint8_t* text)
{
    length = piece_length({text, length});
    for (std::int32_t at = 0; at < length;) {
        std::uint32_t c = next_char(text, length, &at);
        if (c == '"' || c == '\\') {
            w.put('\\');
            w.put(static_cast<std::uint8_t>(c));
        } else if (c >= 0x20) {
            put_utf8(w, c);
        } else {
            // A short escape where JSON has one, else \u00XX.
            const char* shorthand = static_cast<const char*>(
                std::memchr(short_escapes, static_cast<int>(c), sizeof short_escapes - 1));
            w.put('\\');
            if (shorthand != nullptr) {
                w.put(static_cast<std::uint8_t>(short_escape_letters[shorthand - short_escapes]));
            } else {
                w.put('u');
                w.put('0');
                w.put('0');
                w.put(static_cast<std::uint8_t>(hex_digits[c >> 4]));
                w.put(static_cast<std::uint8_t>(hex_digits[c & 0x0F]));
            }
        }
    }
}

std::int32_t chat_json_field(std::uint8_t* out, std::int32_t capacity, const text_piece* pieces, int count)
{
    // Written once to measure, so that the length VarInt can go in front.
    std::int32_t prefix = 0;
    bounded_writer w{out, 0, 0};
    for (int pass = 0; pass < 2; pass++) {
        for (const char* c = json_head; *c != 0; c++)
            w.put(static_cast<std::uint8_t>(*c));
        for (int i = 0; i < count; i++)
            put_json_string(w, pieces[i].length, pieces[i].bytes);
        for (const char* c = json_tail; *c != 0; c++)
            w.put(static_cast<std::uint8_t>(*c));
        if (pass == 1)
            break;
        std::int32_t length = static_cast<std::int32_t>(w.length);
        prefix = varint_encode(out, capacity, length);
        if (prefix < 0 || length > capacity - prefix)
            return -1;
        w = {out + prefix, static_cast<std::uint32_t>(length) + 1, 0}; // room for all, no NUL is written
    }
    return prefix + static_cast<std::int32_t>(w.length);
}

std::int32_t chat_nbt(std::uint8_t* out, std::int32_t capacity, const text_piece* pieces, int count)
{
    constexpr std::int32_t head = 3; // tag type, then the string's length in two bytes
    if (capacity < head)
        return -1;
    bounded_writer w{out + head, static_cast<std::uint32_t>(capacity - head) + 1, 0};
    for (int i = 0; i < count; i++) {
        std::int32_t length = piece_length(pieces[i]);
        for (std::int32_t at = 0; at < length;) {
            std::uint32_t c = next_char(pieces[i].bytes, length, &at);
            if (c >= 0x10000) {
                c -= 0x10000;
                put_mutf8_unit(w, 0xD800 | c >> 10);
                put_mutf8_unit(w, 0xDC00 | (c & 0x3FF));
            } else {
                put_mutf8_unit(w, c);
            }
        }
    }
    if (w.length > static_cast<std::uint32_t>(capacity - head) || w.length > nbt_string_max)
        return -1;
    out[0] = nbt_tag_string;
    out[1] = static_cast<std::uint8_t>(w.length >> 8);
    out[2] = static_cast<std::uint8_t>(w.length & 0xFF);
    return head + static_cast<std::int32_t>(w.length);
}
