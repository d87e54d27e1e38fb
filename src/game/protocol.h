// The game protocol's words that every version shares: the handshake's next
// states and the ids of the packets before the login ends. The ids that
// change from version to version are in packet_ids.h.
#pragma once

#include "game/packet_ids.h"

#include <cstdint>

// The handshake's last field: what the client comes for.
inline constexpr std::int32_t next_state_status = 1;
inline constexpr std::int32_t next_state_login = 2;
// A game sent on by a Transfer packet; a login to whoever receives it.
inline constexpr std::int32_t next_state_transfer = 3;

// The handshake: id, protocol version, server address, port, next state.
inline constexpr std::int32_t packet_id_handshake = 0x00;
inline constexpr std::int32_t handshake_port_size = 2;

// The status stage.
inline constexpr std::int32_t packet_id_status_request = 0x00;
inline constexpr std::int32_t packet_id_status_response = 0x00;
inline constexpr std::int32_t packet_id_ping = 0x01;
inline constexpr std::int32_t packet_id_pong = 0x01;
// A ping's body: its id and an 8-byte payload.
inline constexpr std::int32_t ping_body_length = 9;

// The login stage, the same in every version.
inline constexpr std::int32_t packet_id_login_start = 0x00;
inline constexpr std::int32_t packet_id_login_disconnect = 0x00;
inline constexpr std::int32_t packet_id_encryption_request = 0x01;
inline constexpr std::int32_t packet_id_login_success = 0x02;
inline constexpr std::int32_t packet_id_set_compression = 0x03;

constexpr bool login_ids_fixed()
{
    for (const packet_ids& row : packet_id_table)
        if (row.login_disconnect != packet_id_login_disconnect ||
            row.encryption_request != packet_id_encryption_request ||
            row.login_success != packet_id_login_success ||
            (row.set_compression != packet_id_set_compression && row.set_compression != -1))
            return false;
    return true;
}
static_assert(login_ids_fixed(), "the login stage's ids serve versions the table lacks too");
