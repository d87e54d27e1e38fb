#include "proxy/farewell.h"

#include "game/protocol.h"
#include "game/varint.h"
#include "host/registry.h"

#include <cstring>

namespace {

constexpr char transfer_host[] = "127.0.0.1";
// Behind the body: room for the length prefix.
constexpr std::int32_t body_capacity = farewell_buf_size - varint_max_bytes;

// Puts the packet's head in front of a body of the given id: the
// uncompressed length 0 when compression is on. Returns where the fields go.
std::int32_t begin_packet(std::uint8_t* out, const client_form& form, std::int32_t id)
{
    std::int32_t at = 0;
    if (form.compressed)
        out[at++] = 0; // uncompressed, whatever the threshold
    return at + varint_encode(out + at, varint_max_bytes, id);
}

std::int32_t end_packet(std::uint8_t* out, std::int32_t length)
{
    return varint_insert_prefix(out, &length, length) ? length : 0;
}

// More pieces than any farewell has.
constexpr int pieces_max = 16;

// Copies the pieces so that no two periods meet: a piece that begins with
// one loses it behind text that ends in one, such as a name like "Jr." or
// a system's error text. Each piece ends at its first NUL.
void single_periods(const text_piece* pieces, int count, text_piece* out)
{
    bool after_period = false;
    for (int i = 0; i < count; i++) {
        text_piece p = pieces[i];
        const void* nul = std::memchr(p.bytes, 0, static_cast<std::size_t>(p.length));
        if (nul != nullptr)
            p.length = static_cast<std::int32_t>(static_cast<const std::uint8_t*>(nul) - p.bytes);
        if (after_period && p.length > 0 && p.bytes[0] == '.') {
            p.bytes++;
            p.length--;
        }
        if (p.length > 0)
            after_period = p.bytes[p.length - 1] == '.';
        out[i] = p;
    }
}

} // namespace

std::int32_t write_transfer(std::uint8_t* out, const client_form& form)
{
    std::int32_t id = -1;
    if (form.ids != nullptr && form.stage == game_stage::configuration)
        id = form.ids->config_transfer;
    else if (form.ids != nullptr && form.stage == game_stage::play)
        id = form.ids->play_transfer;
    if (id < 0)
        return 0;
    std::int32_t at = begin_packet(out, form, id);
    std::int32_t host_length = static_cast<std::int32_t>(sizeof transfer_host - 1);
    at += varint_encode(out + at, varint_max_bytes, host_length);
    std::memcpy(out + at, transfer_host, sizeof transfer_host - 1);
    at += host_length;
    at += varint_encode(out + at, varint_max_bytes, mc_master_port);
    return end_packet(out, at);
}

std::int32_t write_disconnect(std::uint8_t* out, const client_form& form, const text_piece* pieces, int count)
{
    std::int32_t id = -1;
    bool nbt = form.protocol >= protocol_nbt_chat;
    if (form.stage == game_stage::login) {
        id = packet_id_login_disconnect;
        nbt = false; // the login stage kept JSON
    } else if (form.ids != nullptr && form.stage == game_stage::configuration) {
        id = form.ids->config_disconnect;
    } else if (form.ids != nullptr && form.stage == game_stage::play) {
        id = form.ids->play_disconnect;
    }
    if (id < 0 || count > pieces_max)
        return 0;
    text_piece message[pieces_max];
    single_periods(pieces, count, message);
    std::int32_t at = begin_packet(out, form, id);
    std::int32_t text = nbt ? chat_nbt(out + at, body_capacity - at, message, count)
                            : chat_json_field(out + at, body_capacity - at, message, count);
    return text < 0 ? 0 : end_packet(out, at + text);
}
