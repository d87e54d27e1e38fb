#include "control/room.h"
#include "host/loop.h"
#include "host/registry.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// A listener on an ephemeral loopback port, and that port.
int listen_any(std::uint16_t* port)
{
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(sock, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(sock, 4) != 0 ||
        getsockname(sock, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        ADD_FAILURE() << "no listener";
    *port = ntohs(address.sin_port);
    return sock;
}

int connect_to(std::uint16_t port)
{
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    timeval limit{2, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        ADD_FAILURE() << "no connection to " << port;
    return sock;
}

// Joins the IPv4 room at address:port, as a page's command leaves the record.
void join(const std::uint8_t (&address)[4], std::uint16_t port)
{
    room_length = room_length_ipv4;
    const std::uint8_t plain[6] = {static_cast<std::uint8_t>(port >> 8),
                                   static_cast<std::uint8_t>(port),
                                   address[0],
                                   address[1],
                                   address[2],
                                   address[3]};
    for (int i = 0; i < 6; i++)
        room_record[room_address_offset + i] = plain[i] ^ room_address_scramble;
}

// The program's two listeners, an open page in slot 0 whose far end the test
// holds, and the log of everything the passes do.
struct LoopPass : ::testing::Test {
    std::uint16_t ws_port = 0;
    std::uint16_t mc_port = 0;
    int ws_master = -1;
    int mc_master = -1;
    int page = -1;
    std::vector<int> opened;
    log_capture log;

    void SetUp() override
    {
        registry_reset();
        room_reset();
        ws_master = listen_any(&ws_port);
        mc_master = listen_any(&mc_port);
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        ws_slots[0] = {ends[0], ws_state_open, true, 0, 0};
        ws_out_reset(0);
        page = ends[1];
        opened = {ws_master, mc_master};
    }
    void TearDown() override
    {
        close_handler();
        for (int slot = 0; slot < ws_slot_count; slot++)
            if (ws_slots[slot].sock != 0)
                ws_close(slot);
        for (int sock : opened)
            close(sock);
        registry_reset();
        room_reset();
    }
    int keep(int sock)
    {
        opened.push_back(sock);
        return sock;
    }
    void pass()
    {
        ASSERT_TRUE(loop_pass(ws_master, mc_master, 2000));
    }
    // The log lines so far, from the first one that starts with from.
    std::string lines_from(const std::string& from)
    {
        std::string text = log.text();
        std::size_t at = text.find(from);
        return at == std::string::npos ? "(no " + from + ") " + text : text.substr(at);
    }
};

} // namespace

TEST_F(LoopPass, OnePassAcceptsPagesThenGameClientsThenHandlesPagesSoACommandDropsANewcomer)
{
    keep(connect_to(ws_port));
    int game = keep(connect_to(mc_port));
    const std::uint8_t leave[] = {0x82, 0x80, 1, 2, 3, 4};
    ASSERT_EQ(write(keep(page), leave, sizeof leave), 6);
    usleep(20000);
    pass();

    std::string text = log.text();
    std::size_t putted = text.find("[WS] putted, sock");
    std::size_t admitted = text.find("[PROXY] incoming mc master\n[PROXY] no room handle reset\n");
    std::size_t dropped = text.find("[WS] leave room\n[PROXY] close, handle_kind 2\n");
    EXPECT_TRUE(putted < admitted && admitted < dropped && dropped != std::string::npos) << text;
    EXPECT_EQ(text.find("[WS] packet, sock " + std::to_string(ws_slots[1].sock)), std::string::npos)
        << "a page accepted in this pass is read from the next one\n"
        << text;
    char byte;
    EXPECT_EQ(read(game, &byte, 1), 0) << "the newcomer met the old record and was dropped by the new one";
}

TEST_F(LoopPass, ARoomEchoGoesToEveryOpenPageAndQuietlyFreesThoseItCannotReach)
{
    // Slot 1 is open and slot 2 still in its handshake; the sender and slot 1
    // go away before their echoes can be sent.
    int peers[3] = {page};
    for (int slot = 1; slot < 3; slot++) {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        ws_slots[slot] = {ends[0], slot == 1 ? ws_state_open : ws_state_handshake, true, 0, net_now_ms()};
        ws_out_reset(slot);
        peers[slot] = keep(ends[1]);
    }
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    ws_slots[3] = {ends[0], ws_state_open, true, 0, 0};
    ws_out_reset(3);
    keep(ends[1]);
    std::string frame = std::string("\x82\xD6\0\0\0\0", 6) + std::string(86, 'j'); // a join under a zero mask
    ASSERT_EQ(write(page, frame.data(), frame.size()), 92);
    close(page);
    close(peers[1]);
    pass();

    EXPECT_EQ(room_length, room_length_ipv4);
    EXPECT_EQ(ws_slots[0].sock, 0);
    EXPECT_EQ(ws_slots[1].sock, 0);
    std::uint8_t got[100];
    EXPECT_EQ(read(ends[1], got, sizeof got), 88) << "the echo goes on past the failed ones";
    EXPECT_EQ(recv(peers[2], got, sizeof got, MSG_DONTWAIT), -1) << "a page still in its handshake";
    std::string text = log.text();
    EXPECT_EQ(text.find("close, sock"), std::string::npos) << text;
    EXPECT_NE(text.find("[MISC] send fails\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[WS] packet finish, sock 0\n"), std::string::npos) << text;
}

TEST_F(LoopPass, AFailedProxyCreationLogsItAndClosesTheGameClient)
{
    // The limited broadcast address: a TCP connect to it fails at once, and
    // nothing leaves the machine.
    join({255, 255, 255, 255}, 25565);
    int game = keep(connect_to(mc_port));
    pass();
    EXPECT_EQ(log.text(), "[PROXY] incoming mc master\n[PROXY] creating proxy\n[PROXY] proxy is invalid\n");
    EXPECT_EQ(handle_kind, handle_none);
    char byte;
    EXPECT_EQ(read(game, &byte, 1), 0);
}

TEST_F(LoopPass, ServerBytesBeforeTheHandshakeReachTheClientAndEitherPeersCloseKillsWithZero)
{
    std::uint16_t room_port;
    int room_listener = keep(listen_any(&room_port));
    join({127, 0, 0, 1}, room_port);

    for (bool client_leaves : {true, false}) {
        int game = keep(connect_to(mc_port));
        pass();
        ASSERT_EQ(handle_kind, handle_proxy) << log.text();
        int room = keep(accept(room_listener, nullptr, nullptr));
        // A packet of the server's before the game client has said anything.
        const std::uint8_t early[] = {3, 0x05, 1, 2};
        ASSERT_EQ(write(room, early, sizeof early), 4);
        usleep(20000);
        pass();
        std::uint8_t got[8] = {};
        EXPECT_EQ(read(game, got, sizeof got), 4);
        EXPECT_EQ(std::vector<std::uint8_t>(got, got + 4), std::vector<std::uint8_t>(early, early + 4));

        shutdown(client_leaves ? game : room, SHUT_WR);
        usleep(20000);
        pass();
        EXPECT_EQ(lines_from(client_leaves ? "[PROXY] c2s" : "[PROXY] s2c"),
                  std::string(client_leaves ? "[PROXY] c2s" : "[PROXY] s2c") +
                      " killed 0\n[PROXY] close, handle_kind 1\n");
        EXPECT_EQ(handle_kind, handle_none);
        log.text().clear();
    }
}
