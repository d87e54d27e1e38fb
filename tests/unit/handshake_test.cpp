#include "build_config.h"
#include "control/handshake.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <vector>

namespace {

const std::string domain = site_domain;
const std::string origin = "Origin: https://" + domain + "\r\n";
const std::string sample_headers =
    "Upgrade: websocket\r\nConnection: Upgrade\r\n" + origin +
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";

std::string request(const std::string& headers)
{
    return "GET / HTTP/1.1\r\nHost: 127.0.0.1:48026\r\n" + headers + "\r\n";
}

// Scans and parses a request as a handshake read does, from a buffer of
// exactly its size so that the sanitizers see any read beyond it.
struct scanned {
    bool origin;
    ws_request request;
    std::string rewritten;
};

scanned scan(const std::string& text)
{
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    auto count = static_cast<std::int32_t>(bytes.size());
    bool accepted = ws_scan_headers(bytes.data(), count);
    return {accepted, ws_parse_request(bytes.data(), count), std::string(bytes.begin(), bytes.end())};
}

} // namespace

TEST(WsOrigin, AcceptsOnlyTheSiteDomainItselfWithAnyScheme)
{
    // The values around the domain: accepted, then refused.
    const std::pair<std::string, std::string> accepted[] = {
        {" https://", ""},       {"https://", ""},    {" http://", ":8080"},
        {" https://", "/rooms"}, {" https://", "  "}, {" chrome-extension://", ""}};
    const std::pair<std::string, std::string> refused[] = {
        {" https://", ".attacker.net"}, {" https://", "x.com"}, {" https://sub.", ""}, {" https://", ":"},
        {" https://", ":80x"},          {" https://evil", ""},  {" https:/", ""},      {" ", ""},
        {" https://", "\t.evil"}};
    auto test = [](const std::string& value) {
        return ws_origin_accepted(reinterpret_cast<const std::uint8_t*>(value.data()),
                                  static_cast<std::int32_t>(value.size()));
    };
    for (const auto& [before, after] : accepted)
        EXPECT_TRUE(test(before + domain + after)) << "Origin:" << before << domain << after;
    for (const auto& [before, after] : refused)
        EXPECT_FALSE(test(before + domain + after)) << "Origin:" << before << domain << after;
    for (const std::string& value :
         {" https://" + domain.substr(0, domain.size() - 1), std::string(" null"), std::string()})
        EXPECT_FALSE(test(value)) << "Origin:" << value;
}

TEST(WsScanHeaders, UpperCasesNamesLogsEveryCrLfLineAndTakesAnyAcceptedOrigin)
{
    log_capture log;
    scanned result =
        scan("GET /a:b HTTP/1.1\r\norigin: https://" + domain + "\r\nSec-Key: MiXed\r\nno colon\r\n\r\n");
    EXPECT_TRUE(result.origin);
    EXPECT_EQ(result.rewritten,
              "GET /A:b HTTP/1.1\r\nORIGIN: https://" + domain + "\r\nSEC-KEY: MiXed\r\nno colon\r\n\r\n");
    EXPECT_EQ(log.text(), "[WS] [GET /A:b HTTP/1.1]\n[WS] [ORIGIN: https://" + domain +
                              "]\n[WS] origin found\n[WS] [SEC-KEY: MiXed]\n[WS] [no colon]\n");

    EXPECT_TRUE(scan(request("Origin: null\r\n" + origin)).origin);
    EXPECT_FALSE(scan(request("Origin: null\r\nOrigin: https://" + domain + ".evil\r\n")).origin);
    EXPECT_FALSE(scan(request("X-" + origin)).origin);
    EXPECT_FALSE(scan("GET / HTTP/1.1\nOrigin: https://" + domain + "\n\n").origin) << "bare LF lines";
    EXPECT_FALSE(scan("GET / HTTP/1.1\r\nOrigin: https://" + domain + "\r").origin) << "line not ended";
}

TEST(WsParseRequest, ReadsTheWholeVersionNumberAndTheKeyFromLinesEndedAnyWay)
{
    const std::tuple<std::string, int, std::string> cases[] = {
        {request(sample_headers), 13, "dGhlIHNhbXBsZSBub25jZQ=="},
        {request("sec-websocket-version: 8\r\nSEC-WEBSOCKET-KEY:   abc  \r\n"), 8, "abc  "},
        {request("Sec-WebSocket-Version: 269\r\n"), 269, ""},
        {request("Sec-WebSocket-Version: +13xyz\r\n"), 13, ""},
        {request("Sec-WebSocket-Version: 99999999999999999999\r\n"), INT_MAX, ""},
        {request("Sec-WebSocket-Version: 13\r\nSec-WebSocket-Version: 7\r\n"), 7, ""},
        {request("Sec-WebSocket-Key: " + std::string(40, 'k') + "\r\n"), 0, std::string(32, 'k')},
        {request("Sec-WebSocket-Key:\r\nSec-WebSocket-Version: 13\r\n"), 13, ""},
        {request("\r\nSec-WebSocket-Version: 13\r\n"), 0, ""}, // after the first empty line
        {"GET / HTTP/1.1\nSEC-WEBSOCKET-VERSION: 13\nSEC-WEBSOCKET-KEY: k\n\n", 13, "k"},
        {std::string("GET / HTTP/1.1\0SEC-WEBSOCKET-VERSION: 13\0\n", 42), 13, ""},
    };
    for (const auto& [text, version, key] : cases) {
        ws_request parsed = scan(text).request;
        EXPECT_EQ(parsed.version, version) << text;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(parsed.key), parsed.key_length), key) << text;
    }
}
