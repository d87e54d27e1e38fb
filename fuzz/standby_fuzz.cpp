// Feeds arbitrary game-client streams to the standby responder's byte step.
#include "game/standby.h"
#include "host/log.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    log_set_sink([](const char*, std::int32_t) {});
    standby_reset();
    for (std::size_t i = 0; i < size; i++) {
        no_room_outcome outcome = no_room_step(data[i]);
        if (no_room_count > no_room_max_body)
            std::abort();
        if (outcome.action == no_room_action::reply_then_drop &&
            (outcome.reply_length <= 0 || outcome.reply_length > no_room_packet_size))
            std::abort();
        if (outcome.action != no_room_action::next_byte)
            break;
    }
    return 0;
}
