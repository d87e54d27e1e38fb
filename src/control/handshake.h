// The opening handshake's parsers: the header scan with the Origin test, the
// request parse and the accept value. No I/O here besides the log.
#pragma once

#include <cstdint>

inline constexpr char ws_guid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
inline constexpr int ws_guid_length = 36;
inline constexpr int ws_version = 13;
inline constexpr int ws_key_capacity = 32;
// The key and the GUID share a 64-byte work area with a terminating NUL.
inline constexpr int ws_key_max_length = 27;
inline constexpr int ws_accept_length = 28;

inline constexpr char ws_name_origin[] = "ORIGIN";
inline constexpr char ws_name_version[] = "SEC-WEBSOCKET-VERSION";
inline constexpr char ws_name_key[] = "SEC-WEBSOCKET-KEY";
inline constexpr char ws_name_upgrade[] = "UPGRADE";

// True when an Origin value (the bytes after the colon) names the site: the
// host after the first "//" must be the site domain itself, followed by the
// end of the value, a port or a path. The scheme is not examined.
bool ws_origin_accepted(const std::uint8_t* value, std::int32_t length);

// Any web page may open connections, so the log of one opening request is
// bounded: header lines are logged while less than this many bytes went to
// them, which leaves room for the request's other lines within 4 KiB.
inline constexpr std::int32_t ws_request_log_budget = 3328;

// Walks the CR LF lines of a handshake read: upper-cases each header name in
// place, logs every line and "origin found" for Origin lines, within
// ws_request_log_budget, then how many lines were not logged. True when some
// Origin line was accepted.
bool ws_scan_headers(std::uint8_t* bytes, std::int32_t count);

struct ws_request {
    int version; // the version header's number, as atoi reads it; 0 without it
    std::uint8_t key[ws_key_capacity];
    std::int32_t key_length;
    bool upgrade_websocket; // noted only: acceptance rests on the version
};

// Reads the headers that matter from the request lines (LF or NUL ended,
// CRs dropped). Expects names already upper-cased by ws_scan_headers.
ws_request ws_parse_request(const std::uint8_t* bytes, std::int32_t count);

// Writes the accept value for a key and a NUL into out; a key longer than
// ws_key_max_length gets the empty text.
void ws_accept_key(const std::uint8_t* key, std::int32_t length, char out[ws_accept_length + 1]);
