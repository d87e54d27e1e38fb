// Fuzz target: the frame reader over one read.
#include "control/frame.h"

#include <cstddef>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 16384)
        return 0;
    std::vector<std::uint8_t> read(data, data + size);
    ws_frame frame = ws_parse_frame(read.data(), static_cast<std::int32_t>(size));
    if (frame.kind != ws_frame_kind::refused &&
        (frame.payload < read.data() || frame.payload + frame.length != read.data() + size))
        __builtin_trap();
    return 0;
}
