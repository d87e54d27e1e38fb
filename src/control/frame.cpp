#include "control/frame.h"

#include "host/registry.h"

#include <cstring>

namespace {

// Reads a frame's head: the opcode, the mask bit and the length in any of
// its three forms. -1 for a frame the channel refuses, 0 while the head is
// not complete yet, 1 with *header (mask key included) and *length set.
int read_head(const std::uint8_t* bytes, std::int32_t count, std::int32_t* header, std::uint64_t* length)
{
    if (count < 2)
        return 0;
    // Control frames (close, ping, pong) end the connection as well: the
    // channel has no use for them.
    std::uint8_t opcode = bytes[0] & 0x0F;
    if (opcode != ws_opcode_text && opcode != ws_opcode_binary)
        return -1;
    // A client must mask every frame (RFC 6455, 5.1).
    if ((bytes[1] & ws_mask_bit) == 0)
        return -1;
    std::uint8_t code = bytes[1] & 0x7F;
    std::int32_t size = code == ws_length_16 ? 4 : code == ws_length_64 ? 10 : 2;
    if (count < size)
        return 0;
    *length = code;
    if (code >= ws_length_16) {
        *length = 0;
        for (std::int32_t i = 2; i < size; i++)
            *length = *length << 8 | bytes[i];
    }
    *header = size + ws_mask_key_size;
    return 1;
}

} // namespace

ws_frame ws_parse_frame(std::uint8_t* bytes, std::int32_t count)
{
    std::int32_t header = 0;
    std::uint64_t length = 0;
    // Compared as the bytes left after the header, so that no declared
    // length can overflow the sum.
    if (read_head(bytes, count, &header, &length) != 1 || count < header ||
        length != static_cast<std::uint64_t>(count - header))
        return {ws_frame_kind::refused, nullptr, 0};

    const std::uint8_t* key = bytes + header - ws_mask_key_size;
    std::uint8_t* payload = bytes + header;
    for (std::uint32_t i = 0; i < length; i++)
        payload[i] ^= key[i % ws_mask_key_size];
    bool text = (bytes[0] & 0x0F) == ws_opcode_text;
    return {text ? ws_frame_kind::text : ws_frame_kind::binary, payload, static_cast<std::uint32_t>(length)};
}

std::int32_t ws_frame_size(const std::uint8_t* bytes, std::int32_t count)
{
    std::int32_t header = 0;
    std::uint64_t length = 0;
    int head = read_head(bytes, count, &header, &length);
    if (head != 1)
        return head;
    if (length > static_cast<std::uint64_t>(recv_buf_size - header))
        return -1;
    return header + static_cast<std::int32_t>(length);
}

void ws_write_frame(std::uint8_t opcode, const std::uint8_t* payload, std::uint32_t length)
{
    std::int32_t header = 2;
    std::uint8_t head[4];
    head[0] = static_cast<std::uint8_t>(ws_fin | opcode);
    if (length < ws_length_16) {
        head[1] = static_cast<std::uint8_t>(length);
    } else {
        head[1] = ws_length_16;
        head[2] = static_cast<std::uint8_t>(length >> 8);
        head[3] = static_cast<std::uint8_t>(length);
        header = 4;
    }
    if (length > 0)
        std::memmove(recv_buf + header, payload, length);
    std::memcpy(recv_buf, head, header);
    recv_len = header + static_cast<std::int32_t>(length);
}
