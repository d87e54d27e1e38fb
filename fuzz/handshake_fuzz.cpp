// Fuzz target: the header scan and the request parse of a handshake read.
#include "control/handshake.h"
#include "host/log.h"

#include <cstring>
#include <vector>

namespace {

void discard(const char*, std::int32_t) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    if (size > 16384)
        return 0;
    log_set_sink(discard);
    // A buffer of exactly the read's size, so that any byte read beyond it is caught.
    std::vector<std::uint8_t> read(data, data + size);
    auto count = static_cast<std::int32_t>(size);
    ws_scan_headers(read.data(), count);
    ws_request request = ws_parse_request(read.data(), count);
    char accept[ws_accept_length + 1];
    ws_accept_key(request.key, request.key_length, accept);
    if (std::strlen(accept) != 0 && std::strlen(accept) != ws_accept_length)
        __builtin_trap();
    return 0;
}
