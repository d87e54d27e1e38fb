// Fuzz target: the game client's stream through the client-to-server
// rewriter, with a room record chosen by the input.
#include "mitm_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    log_set_sink(mitm_fuzz::discard);
    std::size_t at = mitm_fuzz::take_room(data, size);
    mitm_reset();
    mitm_fuzz::feed(mitm_c2s, c2s_reader, data + at, size - at);
    return 0;
}
