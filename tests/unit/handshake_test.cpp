#include "build_config.h"
#include "control/handshake.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
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
    const std::string accepted[] = {" https://" + domain,          "https://" + domain,
                                    " http://" + domain + ":8080", " https://" + domain + "/rooms",
                                    " https://" + domain + "  ",   " chrome-extension://" + domain};
    const std::string refused[] = {" https://" + domain + ".attacker.net",
                                   " https://" + domain + "x.com",
                                   " https://sub." + domain,
                                   " https://" + domain + ":",
                                   " https://" + domain + ":80x",
                                   " https://evil" + domain,
                                   " https://" + domain.substr(0, domain.size() - 1),
                                   " https:/" + domain,
                                   " " + domain,
                                   " null",
                                   "",
                                   " https://" + domain + "\t.evil"};
    auto test = [](const std::string& value) {
        return ws_origin_accepted(reinterpret_cast<const std::uint8_t*>(value.data()),
                                  static_cast<std::int32_t>(value.size()));
    };
    for (const auto& value : accepted)
        EXPECT_TRUE(test(value)) << "Origin:" << value;
    for (const auto& value : refused)
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
    struct {
        std::string text;
        int version;
        std::string key;
    } cases[] = {
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
    for (const auto& c : cases) {
        scanned result = scan(c.text);
        EXPECT_EQ(result.request.version, c.version) << c.text;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(result.request.key), result.request.key_length),
                  c.key)
            << c.text;
    }
}
