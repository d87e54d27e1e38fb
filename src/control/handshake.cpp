#include "control/handshake.h"

#include "build_config.h"
#include "control/base64.h"
#include "control/sha1.h"
#include "host/log.h"
#include "host/registry.h"

#include <climits>
#include <cstring>

namespace {

constexpr std::int32_t site_domain_length = sizeof site_domain - 1;

// A request line with its CRs dropped; no line is longer than a read.
std::uint8_t line_buf[recv_buf_size];

bool is_digit(std::uint8_t b)
{
    return b >= '0' && b <= '9';
}

bool is_blank(std::uint8_t b)
{
    return b == ' ' || b == '\t';
}

bool equals(const std::uint8_t* bytes, std::int32_t length, const char* text)
{
    return static_cast<std::size_t>(length) == std::strlen(text) && std::memcmp(bytes, text, length) == 0;
}

// True when nothing but blanks is left: trailing whitespace is not part of a
// header value.
bool only_blanks(const std::uint8_t* bytes, std::int32_t length)
{
    for (std::int32_t i = 0; i < length; i++)
        if (!is_blank(bytes[i]))
            return false;
    return true;
}

// The number at the start of a value, as atoi reads it; a number beyond the
// int range is clamped instead of being undefined.
int parse_int(const std::uint8_t* bytes, std::int32_t length)
{
    std::int32_t i = 0;
    while (i < length && (bytes[i] == ' ' || (bytes[i] >= '\t' && bytes[i] <= '\r')))
        i++;
    bool negative = false;
    if (i < length && (bytes[i] == '+' || bytes[i] == '-'))
        negative = bytes[i++] == '-';
    long long value = 0;
    for (; i < length && is_digit(bytes[i]); i++) {
        value = value * 10 + (bytes[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        value = INT_MAX;
    return static_cast<int>(value);
}

} // namespace

bool ws_origin_accepted(const std::uint8_t* value, std::int32_t length)
{
    const void* slash = std::memchr(value, '/', length);
    if (slash == nullptr)
        return false;
    std::int32_t host = static_cast<std::int32_t>(static_cast<const std::uint8_t*>(slash) - value) + 1;
    if (host >= length || value[host] != '/')
        return false;
    host++;
    if (length - host < site_domain_length || std::memcmp(value + host, site_domain, site_domain_length) != 0)
        return false;

    // The host ends right after the site domain; a longer host that merely
    // begins with it belongs to someone else.
    const std::uint8_t* rest = value + host + site_domain_length;
    std::int32_t rest_length = length - host - site_domain_length;
    if (only_blanks(rest, rest_length) || rest[0] == '/')
        return true;
    if (rest[0] != ':')
        return false;
    std::int32_t i = 1;
    while (i < rest_length && is_digit(rest[i]))
        i++;
    return i > 1 && (i == rest_length || rest[i] == '/' || only_blanks(rest + i, rest_length - i));
}

bool ws_scan_headers(std::uint8_t* bytes, std::int32_t count)
{
    bool accepted = false;
    std::int32_t logged = 0;
    std::int32_t unlogged = 0;
    std::int32_t start = 0;
    for (std::int32_t i = 0; i + 1 < count; i++) {
        if (bytes[i] != '\r' || bytes[i + 1] != '\n')
            continue;
        std::uint8_t* line = bytes + start;
        std::int32_t length = i - start;
        start = i + 2;
        i++;
        if (length == 0)
            continue;

        const void* colon_at = std::memchr(line, ':', length);
        std::int32_t colon =
            colon_at != nullptr ? static_cast<std::int32_t>(static_cast<const std::uint8_t*>(colon_at) - line)
                                : -1;
        for (std::int32_t j = 0; j < colon; j++)
            if (line[j] >= 'a' && line[j] <= 'z')
                line[j] = static_cast<std::uint8_t>(line[j] - 'a' + 'A');
        bool origin = colon >= 0 && equals(line, colon, ws_name_origin);
        if (logged < ws_request_log_budget) {
            logged += log_text(tag_ws, "[", line, length, "]");
            if (origin)
                logged += log_line(tag_ws, "origin found");
        } else {
            unlogged++;
        }
        if (origin) {
            if (ws_origin_accepted(line + colon + 1, length - colon - 1))
                accepted = true;
        }
    }
    if (unlogged > 0)
        log_line(tag_ws, "%d header lines not logged", static_cast<int>(unlogged));
    return accepted;
}

ws_request ws_parse_request(const std::uint8_t* bytes, std::int32_t count)
{
    ws_request request{};
    std::int32_t pos = 0;
    bool request_line = true;
    while (pos < count) {
        std::int32_t length = 0;
        bool ended = false;
        while (pos < count) {
            std::uint8_t b = bytes[pos++];
            if (b == '\n' || b == 0) {
                ended = true;
                break;
            }
            if (b != '\r')
                line_buf[length++] = b;
            if (length >= count - 3)
                return request; // a line this long ends the parse
        }
        if (!ended || length == 0)
            break;
        if (request_line) {
            request_line = false;
            continue;
        }

        const void* colon_at = std::memchr(line_buf, ':', length);
        if (colon_at == nullptr)
            continue;
        std::int32_t colon = static_cast<std::int32_t>(static_cast<const std::uint8_t*>(colon_at) - line_buf);
        std::int32_t value = colon + 1;
        while (value < length && line_buf[value] == ' ')
            value++;
        const std::uint8_t* text = line_buf + value;
        std::int32_t text_length = length - value;

        if (equals(line_buf, colon, ws_name_version)) {
            request.version = parse_int(text, text_length);
        } else if (equals(line_buf, colon, ws_name_key)) {
            request.key_length = text_length < ws_key_capacity ? text_length : ws_key_capacity;
            std::memcpy(request.key, text, request.key_length);
        } else if (equals(line_buf, colon, ws_name_upgrade)) {
            request.upgrade_websocket = equals(text, text_length, "websocket");
        }
    }
    return request;
}

void ws_accept_key(const std::uint8_t* key, std::int32_t length, char out[ws_accept_length + 1])
{
    if (length < 0 || length > ws_key_max_length) {
        out[0] = '\0';
        return;
    }
    std::uint8_t work[64];
    if (length > 0)
        std::memcpy(work, key, length);
    std::memcpy(work + length, ws_guid, ws_guid_length + 1);

    sha1_context context;
    sha1_reset(context);
    sha1_input(context, work, static_cast<std::uint32_t>(length + ws_guid_length));
    std::uint8_t digest[sha1_digest_size];
    sha1_result(context, digest);
    base64_encode(digest, sha1_digest_size, out);
}
