// Fuzz target: the room server's stream through the server-to-client
// rewriter, in whatever stage the input picks, with a room record it picks
// too; the one-byte step and the fast path must agree.
#include "mitm_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    log_set_sink(mitm_fuzz::discard);
    std::size_t at = mitm_fuzz::take_room(data, size);
    std::uint8_t stage = at < size ? data[at++] : 0;
    auto setup = [stage] {
        mitm_reset();
        // The stage the client's handshake would have set: none, status, login, other.
        next_state = stage & 3;
        nick_replaced = ((stage >> 2) & 1) != 0;
    };
    mitm_fuzz::compare(mitm_s2c, mitm_s2c_run, s2c_reader, setup, data + at, size - at);
    return 0;
}
