// The game client reads what the room server sent in the order it was sent,
// so the stage it reads in follows from the stream toward it alone: Login
// Success moves it on at once, whatever its acknowledgement is doing on the
// way back. The stream toward the server gives the handshake, and the Login
// Acknowledged that settles a login whose Login Success came compressed.
#include "proxy/follow.h"

#include "game/protocol.h"
#include "game/varint.h"

#include <algorithm>

namespace {

// A packet that changes the stage is its id alone: compressed, it would
// announce this uncompressed length.
constexpr std::int32_t stage_packet_size = 1;
// Data length, then at most: id, protocol, address length, intent.
constexpr int max_fields = 5;

// The framing of one direction, and the VarInt fields read at the start of
// the current packet's body.
struct stream_reader {
    varint_reader prefix;   // the length, while it is read
    std::int32_t remaining; // body bytes to come
    bool in_body;
    bool packed;       // framed with an uncompressed length before the id
    bool reading;      // more fields wanted
    std::int32_t skip; // body bytes to pass over before the next field
    varint_reader var; // the field being read
    int fields;
    std::int32_t field[max_fields];
};

stream_reader readers[2]; // [1] toward the game client
game_stage stage;
std::int32_t protocol;
const packet_ids* ids;
bool compressed;
// A packet came compressed during the login: it may have been Login Success.
bool login_unsure;

// Whether the packet read so far wants another field.
bool wants_field(bool to_client, stream_reader& r)
{
    int head = r.packed ? 1 : 0;
    if (r.packed && r.fields == 1)
        return r.field[0] == 0; // a compressed body cannot be read
    std::int32_t id = r.field[head];
    int read = r.fields - head;
    if (!to_client && stage == game_stage::handshake && id == packet_id_handshake) {
        if (read == 3) {
            if (r.field[head + 2] < 0 || r.field[head + 2] > r.remaining - handshake_port_size)
                return false;
            r.skip = r.field[head + 2] + handshake_port_size;
        }
        return read < 4;
    }
    return to_client && stage == game_stage::login && id == packet_id_set_compression && read < 2;
}

// A packet toward the game client past the login: packed_body when it came
// compressed (data_length then its uncompressed size), has_id when its id
// could be read.
void client_packet(bool packed_body, std::int32_t data_length, bool has_id, std::int32_t id)
{
    if (packed_body) {
        if (data_length == stage_packet_size)
            stage = game_stage::unknown;
    } else if (!has_id) {
        stage = game_stage::unknown;
    } else if (stage == game_stage::configuration && ids != nullptr && id == ids->finish_configuration) {
        stage = game_stage::play;
    } else if (stage == game_stage::play && ids != nullptr && id == ids->start_configuration) {
        stage = game_stage::configuration;
    }
}

void packet_end(bool to_client, const stream_reader& r)
{
    int head = r.packed ? 1 : 0;
    bool packed_body = r.packed && r.fields > 0 && r.field[0] != 0;
    bool has_id = !packed_body && r.fields > head;
    std::int32_t id = has_id ? r.field[head] : -1;
    int read = r.fields - head;

    if (!to_client) {
        if (stage == game_stage::handshake) {
            std::int32_t intent = read == 4 && id == packet_id_handshake ? r.field[head + 3] : 0;
            if (intent == next_state_status) {
                stage = game_stage::status;
            } else if (intent == next_state_login || intent == next_state_transfer) {
                stage = game_stage::login;
                protocol = r.field[head + 1];
                ids = packet_ids_for(protocol);
            } else {
                stage = game_stage::unknown;
            }
        } else if (stage == game_stage::login && login_unsure && has_id && ids != nullptr &&
                   id == ids->login_acknowledged) {
            stage = game_stage::configuration;
            login_unsure = false;
        }
        return;
    }

    if (stage != game_stage::login) {
        client_packet(packed_body, r.fields > 0 ? r.field[0] : 0, has_id, id);
        return;
    }
    if (packed_body) {
        login_unsure = true;
    } else if (!has_id || id == packet_id_encryption_request) {
        stage = game_stage::unknown;
    } else if (id == packet_id_set_compression && read == 2) {
        compressed = r.field[head + 1] >= 0;
    } else if (id == packet_id_login_success) {
        stage = ids == nullptr                   ? game_stage::unknown
                : ids->finish_configuration >= 0 ? game_stage::configuration
                                                 : game_stage::play;
    }
}

// True while no byte of the next packet has been read.
bool between_packets(const stream_reader& r)
{
    return !r.in_body && r.prefix.length == 0;
}

// Whether bytes in this direction can still change anything: the stream
// toward the server matters only up to the end of the login.
bool followed(bool to_client)
{
    if (stage == game_stage::status || stage == game_stage::unknown)
        return false;
    return to_client || stage == game_stage::handshake || stage == game_stage::login;
}

// A VarInt field at the start of at most avail body bytes, read as the
// steps read it. Returns its length, 0 when the body ends first or when five
// bytes do not end it (the steps then stop reading fields).
std::int32_t field_at(const std::uint8_t* bytes, std::int32_t avail, std::int32_t* value)
{
    varint_result field{};
    varint_decode(&field, bytes, avail);
    *value = field.value;
    return field.ok ? field.length : 0;
}

// Takes the packets toward the game client in the configuration or play
// stage that lie whole at the start of bytes, as their steps would, and
// returns their length; 0 where the steps must go (anything else).
std::int32_t whole_packets(const std::uint8_t* bytes, std::int32_t count)
{
    if (!between_packets(readers[1]))
        return 0;
    std::int32_t at = 0;
    while (at < count && (stage == game_stage::play || stage == game_stage::configuration)) {
        // A length of up to four bytes: always positive.
        std::int32_t length = 0;
        std::int32_t prefix = field_at(bytes + at, std::min(count - at, varint_max_bytes - 1), &length);
        if (prefix == 0 || length < 1 || length > count - at - prefix)
            return at;
        // These stages read the id, after a data length of 0 when the framing
        // carries one; a packet compressed whole may be a stage change.
        const std::uint8_t* body = bytes + at + prefix;
        std::int32_t data_length = 0;
        std::int32_t used = compressed ? field_at(body, length, &data_length) : 0;
        bool packed_body = used > 0 && data_length != 0;
        std::int32_t id = 0;
        bool has_id =
            !packed_body && (used > 0 || !compressed) && field_at(body + used, length - used, &id) > 0;
        client_packet(packed_body, data_length, has_id, id);
        at += prefix + length;
    }
    return at;
}

} // namespace

const packet_ids* packet_ids_for(std::int32_t version)
{
    for (const packet_ids& row : packet_id_table)
        if (row.protocol == version)
            return &row;
    return nullptr;
}

void follow_reset()
{
    readers[0] = {};
    readers[1] = {};
    stage = game_stage::handshake;
    protocol = 0;
    ids = nullptr;
    compressed = false;
    login_unsure = false;
}

void follow_step(bool to_client, std::uint8_t byte)
{
    if (!followed(to_client))
        return;
    stream_reader& r = readers[to_client ? 1 : 0];
    if (!r.in_body) {
        varint_step step = varint_take(r.prefix, byte);
        if (step == varint_step::more)
            return;
        r.remaining = static_cast<std::int32_t>(r.prefix.value);
        if (step == varint_step::too_long || r.remaining <= 0) {
            stage = game_stage::unknown;
            return;
        }
        r.in_body = true;
        r.packed = compressed;
        r.reading = true;
        return;
    }

    r.remaining--;
    if (r.reading && r.skip > 0) {
        r.skip--;
    } else if (r.reading) {
        varint_step step = varint_take(r.var, byte);
        if (step == varint_step::done) {
            r.field[r.fields++] = static_cast<std::int32_t>(r.var.value);
            r.var = {};
            r.reading = r.fields < max_fields && wants_field(to_client, r);
        } else if (step == varint_step::too_long) {
            r.reading = false; // the field does not parse: the packet counts as read this far
        }
    }
    if (r.remaining > 0)
        return;
    stream_reader done = r;
    r = {};
    packet_end(to_client, done);
}

void follow_bytes(bool to_client, const std::uint8_t* bytes, std::int32_t count)
{
    stream_reader& r = readers[to_client ? 1 : 0];
    while (count > 0 && followed(to_client)) {
        std::int32_t whole = to_client ? whole_packets(bytes, count) : 0;
        if (whole > 0) {
            bytes += whole;
            count -= whole;
            continue;
        }
        // Bytes to pass over, short of the packet's last, go at once.
        std::int32_t run = 0;
        if (r.in_body && (!r.reading || r.skip > 0)) {
            run = r.remaining - 1;
            if (r.reading && r.skip < run)
                run = r.skip;
            if (count < run)
                run = count;
        }
        if (run > 0) {
            r.remaining -= run;
            if (r.reading)
                r.skip -= run;
        } else {
            follow_step(to_client, *bytes);
            run = 1;
        }
        bytes += run;
        count -= run;
    }
}

client_form follow_form()
{
    game_stage now = between_packets(readers[1]) && !login_unsure ? stage : game_stage::unknown;
    return {now, protocol, ids, compressed};
}

std::int32_t follow_client_packet_left()
{
    return followed(true) && readers[1].in_body ? readers[1].remaining : 0;
}
