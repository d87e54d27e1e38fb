#include "control/room.h"
#include "control/room_command.h"
#include "control/websocket.h"
#include "host/registry.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

// Browser connections in slots, each a socket pair whose far end the test reads.
class RoomCommand : public ::testing::Test {
  protected:
    void SetUp() override
    {
        registry_reset();
        room_reset();
        std::fill(std::begin(peers), std::end(peers), -1);
    }
    void TearDown() override
    {
        for (int slot = 0; slot < ws_slot_count; slot++) {
            if (ws_slots[slot].sock != 0)
                close(ws_slots[slot].sock);
            if (peers[slot] >= 0)
                close(peers[slot]);
        }
        registry_reset();
    }

    void open_page(int slot, std::uint32_t state = ws_state_open)
    {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        fcntl(ends[1], F_SETFL, O_NONBLOCK);
        ws_slots[slot] = {ends[0], state, 1};
        peers[slot] = ends[1];
    }

    void leave_page(int slot)
    {
        close(peers[slot]);
        peers[slot] = -1;
    }

    std::string received(int slot)
    {
        std::string bytes;
        char chunk[512];
        for (ssize_t n; (n = read(peers[slot], chunk, sizeof chunk)) > 0;)
            bytes.append(chunk, static_cast<size_t>(n));
        return bytes;
    }

    int peers[ws_slot_count];
    log_capture log;
};

std::string payload(std::uint32_t length, char seed = 1)
{
    std::string bytes(length, '\0');
    for (std::uint32_t i = 0; i < length; i++)
        bytes[i] = static_cast<char>(i * 3 + seed);
    return bytes;
}

void command(const std::string& bytes)
{
    room_command(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                 static_cast<std::uint32_t>(bytes.size()));
}

} // namespace

TEST_F(RoomCommand, StoresEachCommandEchoesItToEveryOpenPageAndDropsTheGameClient)
{
    open_page(0);
    open_page(1, ws_state_handshake);
    open_page(3);
    for (std::uint32_t length : {86u, 98u, 0u}) {
        int game[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, game), 0);
        handle_kind = handle_no_room;
        client_sock = game[0];
        std::string bytes = payload(length);
        command(bytes);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(room_record), room_length), bytes);
        std::string echo = std::string("\x82") + static_cast<char>(length) + bytes;
        EXPECT_EQ(received(0), echo) << length << " bytes, slot 0";
        EXPECT_EQ(received(3), echo) << length << " bytes, slot 3";
        EXPECT_EQ(received(1), "") << "a page still in its handshake";
        char byte;
        EXPECT_EQ(handle_kind, handle_none);
        EXPECT_EQ(read(game[1], &byte, 1), 0) << "the game client's connection is closed";
        close(game[1]);
    }
    command(payload(86));
    received(0);
    for (std::uint32_t length : {1u, 85u, 87u, 97u, 99u})
        command(payload(length, 9));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(room_record), room_length), payload(86))
        << "other lengths ignored";
    EXPECT_EQ(received(0), "");
}

TEST_F(RoomCommand, ArrivesAsAMaskedFrameAndFreesEveryPageWhoseEchoFails)
{
    open_page(0);
    open_page(1);
    open_page(2);
    std::string frame = "\x82\xD6\x01\x02\x03\x04"; // binary, masked, 86 bytes, then the key
    std::string bytes = payload(86);
    for (size_t i = 0; i < bytes.size(); i++)
        frame += static_cast<char>(bytes[i] ^ (i % 4 + 1));
    ASSERT_EQ(write(peers[0], frame.data(), frame.size()), 92);
    // The sender and another page go away before their echoes can be sent.
    leave_page(0);
    leave_page(1);
    ws_on_readable(0);

    EXPECT_EQ(std::string(reinterpret_cast<char*>(room_record), room_length), bytes);
    EXPECT_EQ(ws_slots[0].sock, 0);
    EXPECT_EQ(ws_slots[1].sock, 0);
    EXPECT_EQ(received(2), "\x82\x56" + bytes) << "the echo goes on to the pages after a failed one";
    EXPECT_EQ(log.text().find("close, sock"), std::string::npos) << log.text();
    EXPECT_NE(log.text().find("[MISC] send fails\n"), std::string::npos) << log.text();
    EXPECT_NE(log.text().find("[WS] packet finish, sock 0\n"), std::string::npos) << log.text();
}
