#include "control/room.h"
#include "control/websocket.h"
#include "host/registry.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

std::string received(int fd)
{
    std::string bytes;
    char chunk[512];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
        bytes.append(chunk, static_cast<size_t>(n));
    return bytes;
}

} // namespace

TEST(RoomCommand, EchoesAJoinToEveryOpenPageFreesThoseThatFailAndDropsTheGameClient)
{
    registry_reset();
    room_reset();
    log_capture log;
    // Pages 0 to 2 are open, page 3 is still in its handshake; the test holds the far ends.
    int peers[4];
    for (int slot = 0; slot < 4; slot++) {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        fcntl(ends[1], F_SETFL, O_NONBLOCK);
        ws_slots[slot] = {ends[0], slot == 3 ? ws_state_handshake : ws_state_open, 1, 0, 0};
        ws_out_reset(slot);
        peers[slot] = ends[1];
    }
    int game[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, game), 0);
    handle_kind = handle_no_room;
    client_sock = game[0];

    std::string frame = "\x82\xE2\x01\x02\x03\x04"; // binary, masked, 98 bytes, then the key
    std::string join;
    for (int i = 0; i < 98; i++) {
        join += static_cast<char>(i * 3 + 1);
        frame += static_cast<char>(join.back() ^ (i % 4 + 1));
    }
    ASSERT_EQ(write(peers[0], frame.data(), frame.size()), 104);
    // The sender and another page go away before their echoes can be sent.
    close(peers[0]);
    close(peers[1]);
    ws_on_readable(0);

    EXPECT_EQ(std::string(reinterpret_cast<char*>(room_record), room_length), join);
    EXPECT_EQ(ws_slots[0].sock, 0);
    EXPECT_EQ(ws_slots[1].sock, 0);
    EXPECT_EQ(received(peers[2]), "\x82\x62" + join) << "the echo goes on to the pages after a failed one";
    EXPECT_EQ(received(peers[3]), "") << "a page still in its handshake";
    EXPECT_EQ(handle_kind, handle_none);
    char byte;
    EXPECT_EQ(read(game[1], &byte, 1), 0) << "the game client's connection is closed";
    EXPECT_EQ(log.text().find("close, sock"), std::string::npos) << log.text();
    EXPECT_NE(log.text().find("[MISC] send fails\n"), std::string::npos) << log.text();
    EXPECT_NE(log.text().find("[WS] packet finish, sock 0\n"), std::string::npos) << log.text();

    for (int slot : {2, 3}) {
        close(ws_slots[slot].sock);
        close(peers[slot]);
    }
    close(game[1]);
    registry_reset();
}
