// Fuzz target: the stage follower over any two streams cut anywhere, and the
// farewell packets in whatever form it gives. Each chunk is a head byte (bit
// 7: toward the game client; bits 0-6: length) and that many bytes.
#include "proxy/farewell.h"
#include "proxy/follow.h"

#include "game/varint.h"

#include <cstddef>
#include <vector>

namespace {

std::vector<client_form> run(const std::uint8_t* data, std::size_t size, bool byte_wise)
{
    std::vector<client_form> forms;
    follow_reset();
    for (std::size_t at = 0; at < size;) {
        bool to_client = (data[at] & 0x80) != 0;
        std::size_t length = data[at] & 0x7F;
        at++;
        if (length > size - at)
            length = size - at;
        if (byte_wise) {
            for (std::size_t i = 0; i < length; i++)
                follow_step(to_client, data[at + i]);
        } else {
            follow_bytes(to_client, data + at, static_cast<std::int32_t>(length));
        }
        at += length;
        forms.push_back(follow_form());
    }
    return forms;
}

// The packet must be one whole frame of at most the buffer's size.
void check_packet(const std::uint8_t* out, std::int32_t length)
{
    if (length == 0)
        return;
    varint_result prefix{};
    varint_decode(&prefix, out, length);
    if (length > farewell_buf_size || prefix.ok == 0 || prefix.value != length - prefix.length)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 4096)
        return 0;
    std::vector<client_form> whole = run(data, size, false);
    std::vector<client_form> steps = run(data, size, true);
    for (std::size_t i = 0; i < whole.size(); i++) {
        const client_form& a = whole[i];
        const client_form& b = steps[i];
        if (a.stage != b.stage || a.protocol != b.protocol || a.ids != b.ids || a.compressed != b.compressed)
            __builtin_trap();
    }
    client_form last = follow_form();
    std::uint8_t out[farewell_buf_size];
    check_packet(out, write_transfer(out, last));
    // The input itself as the message, in pieces as the room texts come.
    const text_piece pieces[] = {{data, static_cast<std::int32_t>(size / 2)},
                                 {data + size / 2, static_cast<std::int32_t>(size - size / 2)}};
    for (game_stage stage : {last.stage, game_stage::login, game_stage::play})
        check_packet(out,
                     write_disconnect(out, {stage, last.protocol, last.ids, last.compressed}, pieces, 2));
    return 0;
}
