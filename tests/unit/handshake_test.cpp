#include "build_config.h"
#include "control/handshake.h"
#include "control/room.h"
#include "control/websocket.h"
#include "host/log.h"
#include "host/registry.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::string captured;

void capture(const char* line, std::int32_t length)
{
    captured.append(line, static_cast<size_t>(length));
}

const std::string domain = site_domain;

std::string request(const std::string& headers)
{
    return "GET / HTTP/1.1\r\nHost: 127.0.0.1:48026\r\n" + headers + "\r\n";
}

const std::string sample_headers = "Upgrade: websocket\r\nConnection: Upgrade\r\nOrigin: https://" + domain +
                                   "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                   "Sec-WebSocket-Version: 13\r\n";

// Scans and parses a request the way a handshake read does, from a buffer of
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
    bool origin = ws_scan_headers(bytes.data(), count);
    ws_request parsed = ws_parse_request(bytes.data(), count);
    return {origin, parsed, std::string(bytes.begin(), bytes.end())};
}

std::string key_of(const ws_request& parsed)
{
    return std::string(reinterpret_cast<const char*>(parsed.key), static_cast<size_t>(parsed.key_length));
}

class Handshake : public ::testing::Test {
  protected:
    void SetUp() override
    {
        registry_reset();
        room_reset();
        captured.clear();
        log_set_sink(capture);
    }
    void TearDown() override
    {
        log_set_sink(nullptr);
        if (ws_slots[0].sock != 0)
            close(ws_slots[0].sock);
        if (peer >= 0)
            close(peer);
        registry_reset();
    }

    // Puts one end of a socket pair in slot 0 and hands the request to it.
    std::string exchange(const std::string& text)
    {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        ws_slots[0].sock = ends[0];
        peer = ends[1];
        EXPECT_EQ(write(peer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ws_on_readable(0);
        // An open connection is half-closed so that the reading below ends.
        if (ws_slots[0].sock != 0)
            shutdown(ws_slots[0].sock, SHUT_WR);
        std::string reply;
        char chunk[4096];
        ssize_t n;
        while ((n = read(peer, chunk, sizeof chunk)) > 0)
            reply.append(chunk, static_cast<size_t>(n));
        return reply;
    }

    int peer = -1;
};

} // namespace

TEST(WsOrigin, AcceptsOnlyTheSiteDomainItselfWithAnyScheme)
{
    struct {
        std::string value;
        bool accepted;
    } cases[] = {
        {" https://" + domain, true},
        {"https://" + domain, true},
        {" http://" + domain + ":8080", true},
        {" https://" + domain + "/rooms", true},
        {" https://" + domain + "  ", true},
        {" chrome-extension://" + domain, true},
        {" //" + domain, true},
        {" https://" + domain + ".attacker.net", false},
        {" https://" + domain + "x.com", false},
        {" https://sub." + domain, false},
        {" https://" + domain + ":", false},
        {" https://" + domain + ":80x", false},
        {" https://" + domain.substr(0, domain.size() - 1), false},
        {" https:/" + domain, false},
        {" " + domain, false},
        {" null", false},
        {"", false},
        {" https://" + domain + "\t.evil", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ws_origin_accepted(reinterpret_cast<const std::uint8_t*>(c.value.data()),
                                     static_cast<std::int32_t>(c.value.size())),
                  c.accepted)
            << "Origin:" << c.value;
    }
}

TEST(WsScanHeaders, UpperCasesNamesLogsEveryCrLfLineAndFindsOriginInAnyCase)
{
    log_set_sink(capture);
    captured.clear();
    scanned result =
        scan("GET /a:b HTTP/1.1\r\norigin: https://" + domain + "\r\nSec-Key: MiXed\r\nno colon\r\n\r\n");
    log_set_sink(nullptr);
    EXPECT_TRUE(result.origin);
    EXPECT_EQ(result.rewritten,
              "GET /A:b HTTP/1.1\r\nORIGIN: https://" + domain + "\r\nSEC-KEY: MiXed\r\nno colon\r\n\r\n");
    EXPECT_EQ(captured, "[WS] [GET /A:b HTTP/1.1]\n[WS] [ORIGIN: https://" + domain +
                            "]\n[WS] origin found\n[WS] [SEC-KEY: MiXed]\n[WS] [no colon]\n");
}

TEST(WsScanHeaders, TakesAnyAcceptedOneOfSeveralOriginLinesAndNoneFromBareLfLines)
{
    EXPECT_TRUE(scan(request("Origin: null\r\nOrigin: https://" + domain + "\r\n")).origin);
    EXPECT_FALSE(scan(request("Origin: null\r\nOrigin: https://" + domain + ".evil\r\n")).origin);
    EXPECT_FALSE(scan(request("X-Origin: https://" + domain + "\r\n")).origin);
    EXPECT_FALSE(scan("GET / HTTP/1.1\nOrigin: https://" + domain + "\n\n").origin);
    // The Origin line must end inside the read.
    EXPECT_FALSE(scan("GET / HTTP/1.1\r\nOrigin: https://" + domain).origin);
    EXPECT_FALSE(scan("GET / HTTP/1.1\r\nOrigin: https://" + domain + "\r").origin);
}

TEST(WsParseRequest, ReadsVersionModulo256AndTheKeyWhateverTheNameCase)
{
    struct {
        std::string headers;
        std::uint8_t version;
        std::string key;
    } cases[] = {
        {sample_headers, 13, "dGhlIHNhbXBsZSBub25jZQ=="},
        {"sec-websocket-version: 8\r\nSEC-WEBSOCKET-KEY:   abc  \r\n", 8, "abc  "},
        {"Sec-WebSocket-Version: 269\r\n", 13, ""},
        {"Sec-WebSocket-Version: +13xyz\r\n", 13, ""},
        {"Sec-WebSocket-Version: 99999999999999999999\r\n", 255, ""},
        {"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Version: 7\r\n", 7, ""},
        {"Sec-WebSocket-Key: " + std::string(40, 'k') + "\r\n", 0, std::string(32, 'k')},
        {"Sec-WebSocket-Key:\r\nSec-WebSocket-Version: 13\r\n", 13, ""},
    };
    for (const auto& c : cases) {
        scanned result = scan(request(c.headers));
        EXPECT_EQ(result.request.version, c.version) << c.headers;
        EXPECT_EQ(key_of(result.request), c.key) << c.headers;
    }
}

TEST(WsParseRequest, StopsAtTheFirstEmptyLineAndTakesBareLfAndNulEndedLines)
{
    EXPECT_EQ(scan(request("\r\nSec-WebSocket-Version: 13\r\n")).request.version, 0);
    std::string bare = "GET / HTTP/1.1\nSEC-WEBSOCKET-VERSION: 13\nSEC-WEBSOCKET-KEY: k\n\n";
    EXPECT_EQ(scan(bare).request.version, 13);
    std::string nul_ended("GET / HTTP/1.1\0SEC-WEBSOCKET-VERSION: 13\0\n", 42);
    EXPECT_EQ(scan(nul_ended).request.version, 13);
}

TEST(WsParseRequest, SurvivesEveryPrefixOfARequest)
{
    std::string whole = request(sample_headers);
    for (size_t cut = 0; cut <= whole.size(); cut++) {
        scanned result = scan(whole.substr(0, cut));
        EXPECT_LE(result.request.key_length, ws_key_capacity);
    }
}

TEST_F(Handshake, AnswersTheRfcSampleWith101ThenTheGreetingAndTheEmptyRecord)
{
    std::string reply = exchange(request(sample_headers));
    EXPECT_EQ(reply,
              std::string("HTTP/1.1 101 Switching Protocols\r\nUPGRADE: websocket\r\nCONNECTION: UPGRADE\r\n"
                          "SEC-WEBSOCKET-ACCEPT: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n"
                          "\x81\x01"
                          "1\x82",
                          129 + 4) +
                  std::string(1, '\0'));
    EXPECT_EQ(ws_slots[0].state, ws_state_open);
    EXPECT_EQ(ws_slots[0].origin_ok, 1);
    std::string sock = std::to_string(ws_slots[0].sock);
    EXPECT_EQ(captured.substr(0, captured.find('\n') + 1), "[WS] packet, sock " + sock + ", state 0\n");
    EXPECT_NE(captured.find("[WS] origin found\n[WS] [SEC-WEBSOCKET-KEY"), std::string::npos);
    EXPECT_NE(captured.find("[WS] state 0, sock " + sock + "\n[WS] open, sock = " + sock +
                            "\n[WS] packet finish, sock " + sock + "\n"),
              std::string::npos)
        << captured;
}

TEST_F(Handshake, Refuses400ForVersionsOtherThan13AndCloses)
{
    for (const char* version : {"Sec-WebSocket-Version: 8\r\n", ""}) {
        std::string reply = exchange(request("Origin: https://" + domain + "\r\n" + version));
        EXPECT_EQ(reply, "HTTP/1.1 400 Bad Request\r\nSEC-WEBSOCKET-VERSION: 13\r\n\r\nBad request")
            << version;
        EXPECT_EQ(ws_slots[0].sock, 0);
        close(peer);
        peer = -1;
    }
}

TEST_F(Handshake, ClosesWithNothingSentWhenNoOriginIsAccepted)
{
    std::string reply =
        exchange(request("Origin: https://" + domain + ".attacker.net\r\nSec-WebSocket-Version: 13\r\n"));
    EXPECT_EQ(reply, "");
    EXPECT_EQ(ws_slots[0].sock, 0);
    EXPECT_NE(captured.find("[WS] origin found\n"), std::string::npos);
    EXPECT_NE(captured.find("[WS] origin error\n[WS] close, sock "), std::string::npos);
}

TEST_F(Handshake, AnswersAKeyTooLongWithAnEmptyAcceptValue)
{
    std::string reply = exchange(
        request("Origin: https://" + domain +
                "\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: " + std::string(28, 'k') + "\r\n"));
    EXPECT_EQ(reply.substr(0, reply.find("\r\n\r\n") + 4),
              "HTTP/1.1 101 Switching Protocols\r\nUPGRADE: websocket\r\nCONNECTION: "
              "UPGRADE\r\nSEC-WEBSOCKET-ACCEPT: \r\n\r\n");
    EXPECT_EQ(ws_slots[0].state, ws_state_open);
}
