// Fuzz target: the game client's stream through the client-to-server
// rewriter, with a room record chosen by the input; the one-byte step and the
// fast path must agree.
#include "mitm_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    log_set_sink(mitm_fuzz::discard);
    std::size_t at = mitm_fuzz::take_room(data, size);
    mitm_fuzz::compare(
        mitm_c2s, mitm_c2s_run, c2s_reader, [] { mitm_reset(); }, data + at, size - at);
    return 0;
}
