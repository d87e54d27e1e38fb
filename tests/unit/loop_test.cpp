#include "control/room.h"
#include "host/loop.h"
#include "host/registry.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Reads and accepts on sock give up after 2 s, so that a fault fails a test
// instead of hanging it.
int limited(int sock)
{
    timeval limit{2, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return sock;
}

// A connection to the loopback port or, with listener set, a listener on an
// ephemeral loopback port, which it writes to *port.
int loopback(std::uint16_t* port, bool listener = false)
{
    int sock = limited(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{AF_INET, htons(listener ? 0 : *port), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    auto at = reinterpret_cast<sockaddr*>(&address);
    if (listener ? bind(sock, at, size) != 0 || listen(sock, 4) != 0 || getsockname(sock, at, &size) != 0
                 : connect(sock, at, size) != 0)
        ADD_FAILURE() << (listener ? "no listener" : "no connection");
    *port = ntohs(address.sin_port);
    // As the program's own: a pass takes what is pending and no more.
    if (listener)
        fcntl(sock, F_SETFL, O_NONBLOCK);
    return sock;
}

// Joins the IPv4 room at the address, port first, as a page's command leaves the record.
void join(const std::uint8_t (&port_and_address)[6])
{
    room_length = room_length_ipv4;
    for (int i = 0; i < 6; i++)
        room_record[room_address_offset + i] = port_and_address[i] ^ room_address_scramble;
}

// The program's two listeners, pages whose far ends the test holds, and the
// log of everything the passes do.
struct LoopPass : ::testing::Test {
    std::uint16_t ws_port = 0, mc_port = 0;
    int ws_master = -1, mc_master = -1;
    std::vector<int> opened;
    log_capture log;

    void SetUp() override
    {
        registry_reset();
        room_reset();
        ws_master = keep(loopback(&ws_port, true));
        mc_master = keep(loopback(&mc_port, true));
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
    // A page in the slot; returns the far end.
    int page(int slot)
    {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        limited(ends[1]);
        ws_slots[slot] = {ends[0], ws_state_open, true, 0, net_now_ms()};
        ws_out_reset(slot);
        return ends[1];
    }
    void pass()
    {
        ASSERT_TRUE(loop_pass(ws_master, mc_master, 2000));
    }
};

} // namespace

TEST_F(LoopPass, OnePassAcceptsPagesThenGameClientsThenHandlesPagesSoACommandDropsANewcomer)
{
    keep(loopback(&ws_port));
    int game = keep(loopback(&mc_port));
    const std::uint8_t leave[] = {0x82, 0x80, 1, 2, 3, 4};
    ASSERT_EQ(write(keep(page(0)), leave, sizeof leave), 6);
    usleep(20000);
    pass();

    std::string text = log.text();
    std::size_t putted = text.find("[WS] putted, sock");
    std::size_t admitted = text.find("[PROXY] incoming mc master\n[PROXY] no room handle reset\n");
    std::size_t dropped = text.find("[PROXY] close, handle_kind 2\n", text.find("[WS] leave room\n"));
    EXPECT_TRUE(putted < admitted && admitted < dropped && dropped != std::string::npos) << text;
    EXPECT_EQ(text.find("[WS] packet, sock " + std::to_string(ws_slots[1].sock)), std::string::npos)
        << "a page accepted in this pass is read from the next one\n"
        << text;
    char byte;
    EXPECT_EQ(read(game, &byte, 1), 0) << "the newcomer met the old record and was dropped by the new one";
}

TEST_F(LoopPass,
       AProxyThatCannotReachItsRoomKeepsItsClientOneThatRunsPassesEarlyServerBytesAndEndsWithAPeerOrAStall)
{
    // The limited broadcast address: a TCP connect to it fails at once, and
    // nothing leaves the machine. The game client is still answered.
    join({0x63, 0xDD, 255, 255, 255, 255});
    std::uint8_t got[8] = {};
    int refused = keep(loopback(&mc_port));
    pass();
    EXPECT_EQ(log.text(), "[PROXY] incoming mc master\n[PROXY] creating proxy\n[PROXY] created proxy\n");
    EXPECT_EQ(server_sock, invalid_sock);
    shutdown(refused, SHUT_WR);
    usleep(20000);
    pass();
    EXPECT_EQ(handle_kind, handle_none);
    log.text().clear();

    std::uint16_t room_port;
    int room_listener = keep(loopback(&room_port, true));
    join({static_cast<std::uint8_t>(room_port >> 8), static_cast<std::uint8_t>(room_port), 127, 0, 0, 1});

    // How the proxy ends: a peer closes, or output waits for one for 30 s.
    const char* endings[] = {"c2s killed 0", "s2c killed 0", "game client stalled", "room server stalled"};
    for (int end = 0; end < 4; end++) {
        int game = keep(loopback(&mc_port));
        pass();
        ASSERT_EQ(handle_kind, handle_proxy) << log.text();
        int room = keep(accept(room_listener, nullptr, nullptr));
        // A packet of the server's before the game client has said anything.
        const std::uint8_t early[] = {3, 0x05, 1, 2};
        ASSERT_EQ(write(room, early, sizeof early), 4);
        usleep(20000);
        pass();
        EXPECT_TRUE(read(game, got, sizeof got) == 4 && std::memcmp(got, early, 4) == 0);

        if (end < 2) {
            shutdown(end == 0 ? game : room, SHUT_WR);
            usleep(20000);
        } else {
            out_buffer& out = end == 2 ? client_out : server_out;
            out.end = out.start + 1;
            out.since = net_now_ms() - relay_stall_limit_ms;
        }
        pass();
        std::string ending = "[PROXY] " + std::string(endings[end]) + "\n[PROXY] close, handle_kind 1\n";
        EXPECT_EQ(log.text().substr(log.text().size() - std::min(log.text().size(), ending.size())), ending);
        EXPECT_EQ(handle_kind, handle_none);
        log.text().clear();
    }
}

TEST_F(LoopPass, AFarewellTakesABoundedAmountAPassUntilThePeerClosesOrItsBoundPasses)
{
    for (bool peer_closes : {true, false}) {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
        int big = 1 << 20;
        setsockopt(keep(ends[1]), SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        std::vector<char> flood(100000, 'x');
        ASSERT_EQ(write(ends[1], flood.data(), flood.size()), static_cast<ssize_t>(flood.size()));
        linger_start(ends[0]);
        pass();
        int unread = 0;
        ioctl(ends[0], FIONREAD, &unread);
        EXPECT_EQ(unread, static_cast<int>(flood.size()) - linger_read_max) << "one bounded read a pass";
        char byte;
        EXPECT_EQ(read(ends[1], &byte, 1), 0) << "the sending side is shut";
        if (peer_closes) {
            shutdown(ends[1], SHUT_WR);
            for (int i = 0; i < 30 && lingering[0].sock != 0; i++)
                pass();
        } else {
            lingering[0].until = net_now_ms();
            ASSERT_TRUE(loop_pass(ws_master, mc_master, 0));
        }
        EXPECT_EQ(lingering[0].sock, 0) << (peer_closes ? "closed with its peer" : "closed at its bound");
    }
}
