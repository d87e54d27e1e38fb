#include "control/room_command.h"

#include "control/frame.h"
#include "control/room.h"
#include "host/log.h"
#include "host/registry.h"

#include <cstring>

bool room_command(const std::uint8_t* payload, std::uint32_t length)
{
    const char* message;
    if (length == room_length_none)
        message = "leave room";
    else if (length == room_length_ipv4)
        message = "join room (ipv4)";
    else if (length == room_length_ipv6)
        message = "join room (ipv6)";
    else
        return false;

    // The payload lies in recv_buf, where the echo frame is built next.
    room_length = length;
    if (length > 0)
        std::memcpy(room_record, payload, length);
    log_line(tag_ws, "%s", message);

    ws_write_frame(ws_opcode_binary, room_record, room_length);
    for (int slot = 0; slot < ws_slot_count; slot++) {
        ws_slot& page = ws_slots[slot];
        if (page.sock != 0 && page.state == ws_state_open &&
            out_send(ws_out[slot], recv_buf, recv_len) != out_result::ok)
            ws_close(slot, true);
    }
    return true;
}
