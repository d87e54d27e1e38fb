// Fuzz target: the room server's stream through the server-to-client
// rewriter, in whatever stage the input picks, with a room record it picks too.
#include "mitm_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    log_set_sink(mitm_fuzz::discard);
    std::size_t at = mitm_fuzz::take_room(data, size);
    mitm_reset();
    if (at < size) {
        // The stage the client's handshake would have set: none, status, login, other.
        next_state = data[at] & 3;
        nick_replaced = (data[at] >> 2) & 1;
        at++;
    }
    mitm_fuzz::feed(mitm_s2c, s2c_reader, data + at, size - at);
    return 0;
}
