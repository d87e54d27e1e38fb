#include "proxy/pump.h"

#include "host/log.h"
#include "proxy/follow.h"

#include <cstring>

namespace {

std::uint8_t client_gather[client_gather_size];

// Whole packets gathered into one piece toward the room server reach the
// stage follower in runs of about this many bytes, while they are still in
// the nearest cache. Those toward the game client reach it as they are sent.
constexpr std::int32_t follow_chunk = 4096;

// What a batch of batch_size bytes holds after more output: a piece as a step
// leaves it joins the batch when it fits behind what waits there, otherwise
// the batch and the piece leave; a run the step would have passed on a byte at
// a time (byte_wise) leaves every batch_size + 1 bytes.
std::int32_t batched_after(std::int32_t batched, std::int32_t length, std::int32_t batch_size, bool byte_wise)
{
    if (byte_wise)
        return (batched + length) % (batch_size + 1);
    return batched + length > batch_size ? 0 : batched + length;
}

// Pieces that do not lie in recv_buf come from a rewriter's packet buffer.
static_assert(client_gather_size >= packet_buf_size + packet_head_room + client_batch_size);

// One pump call's output toward the game client, sent in as few sends as
// fit. Pieces that lie in recv_buf are sent from there, since it holds still
// for the whole call; others are copied into client_gather. `batched` counts
// the bytes at the end that a client_batch_size batch would still hold: those
// are all a stop withholds.
struct client_output {
    net_piece held[net_pieces_max];
    int count = 0;
    std::int32_t copied = 0; // bytes of client_gather in use
    std::int32_t total = 0;  // bytes held
    std::int32_t batched = 0;

    bool take(out_slice slice, bool byte_wise)
    {
        return add(slice, batched_after(batched, slice.length, client_batch_size, byte_wise));
    }

    bool flush()
    {
        return send_held(total);
    }

    bool flush_unbatched()
    {
        return send_held(total - batched);
    }

    bool add(out_slice slice, std::int32_t next_batched)
    {
        if (slice.length > 0) {
            bool in_recv =
                slice.bytes >= recv_buf && slice.bytes + slice.length <= recv_buf + relay_read_size;
            if ((!in_recv && copied + slice.length > client_gather_size) || count == net_pieces_max) {
                // Full: send what no batch holds any more and keep the rest.
                if (make_room(next_batched > slice.length ? next_batched - slice.length : 0))
                    return true;
            }
            const std::uint8_t* at = slice.bytes;
            if (!in_recv) {
                std::memcpy(client_gather + copied, slice.bytes, static_cast<std::size_t>(slice.length));
                at = client_gather + copied;
                copied += slice.length;
            }
            if (count > 0 && held[count - 1].bytes + held[count - 1].length == at)
                held[count - 1].length += slice.length;
            else
                held[count++] = {at, slice.length};
            total += slice.length;
        }
        batched = next_batched;
        return false;
    }

    // Sends the first length bytes held.
    bool send_held(std::int32_t length)
    {
        net_piece pieces[net_pieces_max];
        int n = 0;
        for (; n < count && length > 0; n++) {
            pieces[n] = held[n];
            if (pieces[n].length > length)
                pieces[n].length = length;
            length -= pieces[n].length;
        }
        if (n == 0)
            return false;
        out_result result = out_send(client_out, pieces, n);
        // Only the answers to a flood of status requests can outgrow the
        // buffer: the reads from the room server leave room for all they give.
        if (result == out_result::full)
            log_line(tag_proxy, "game client stalled");
        if (result != out_result::ok)
            return true;
        // The game client reads these bytes whatever comes next: a stop
        // withholds only what is still held.
        for (int i = 0; i < n; i++)
            follow_bytes(true, pieces[i].bytes, pieces[i].length);
        return false;
    }

    // Sends all but the last keep bytes (at most a batch), which move to the
    // start of client_gather.
    bool make_room(std::int32_t keep)
    {
        if (send_held(total - keep))
            return true;
        std::uint8_t tail[client_batch_size];
        std::int32_t at = keep;
        for (int i = count - 1; i >= 0 && at > 0; i--) {
            std::int32_t take = held[i].length < at ? held[i].length : at;
            at -= take;
            std::memcpy(tail + at, held[i].bytes + held[i].length - take, static_cast<std::size_t>(take));
        }
        std::memcpy(client_gather, tail, static_cast<std::size_t>(keep));
        copied = keep;
        total = keep;
        count = 0;
        if (keep > 0)
            held[count++] = {client_gather, keep};
        return false;
    }
};

// Output toward the room server goes straight into server_out. `batched`
// counts the bytes at its end that a buffer of server_batch_size bytes would
// still hold: those are all a stop withholds, and nothing of them leaves
// before the read ends.
struct server_output {
    std::int32_t batched = 0;

    bool take(out_slice slice, bool byte_wise)
    {
        if (append(slice))
            return true;
        batched = batched_after(batched, slice.length, server_batch_size, byte_wise);
        return false;
    }

    bool append(out_slice slice)
    {
        if (slice.length > 0 && !out_append(server_out, slice.bytes, slice.length)) {
            log_line(tag_proxy, "room server stalled");
            return true;
        }
        return false;
    }

    void withhold_batch()
    {
        server_out.end -= batched;
        batched = 0;
    }
};

} // namespace

bool proxy_pump(std::int32_t count, rewriter step, rewriter_run run)
{
    client_output to_c;
    server_output to_s;
    // Each recv_buf_size bytes of the read count as a read of their own: by
    // the start of the next one, the batch toward the client has left, and
    // the loop has handed the room server its bytes.
    std::int32_t share_end = 0;
    auto enter = [&](std::int32_t at) {
        while (at >= share_end) {
            to_c.batched = 0;
            to_s.batched = 0;
            share_end += recv_buf_size;
        }
    };
    // A piece the fast path gave that the gathering below did not take.
    bool pending = false;
    bool whole = false;
    std::int32_t taken = 0;
    for (std::int32_t i = 0; i < count;) {
        enter(i);
        if (!pending) {
            whole = false;
            taken = run != nullptr ? run(recv_buf + i, count - i, &whole) : 0;
        }
        pending = false;
        // Whole packets that go on as they came, one after another, leave as
        // one piece, counted in the batch packet by packet as if each had
        // left alone.
        bool to_client_side = to_client.length > 0;
        bool can_gather = whole && to_client.length + to_server.length == taken &&
                          (to_client_side ? to_client.bytes : to_server.bytes) == recv_buf + i &&
                          (to_client_side ? to_c.count + 1 < net_pieces_max
                                          : server_out.capacity - out_pending(server_out) >= count - i);
        if (can_gather) {
            std::int32_t start = i;
            std::int32_t followed = i; // the follower reads the bytes while they are fresh
            for (;;) {
                enter(i + taken - 1);
                if (to_client_side)
                    to_c.batched = batched_after(to_c.batched, taken, client_batch_size, false);
                else
                    to_s.batched = batched_after(to_s.batched, taken, server_batch_size, false);
                i += taken;
                if (!to_client_side && i - followed >= follow_chunk) {
                    follow_bytes(false, recv_buf + followed, i - followed);
                    followed = i;
                }
                if (i == count)
                    break;
                enter(i);
                taken = run(recv_buf + i, count - i, &whole);
                out_slice next = to_client_side ? to_client : to_server;
                pending = true;
                if (!whole || next.length != taken || next.bytes != recv_buf + i ||
                    (to_client_side ? to_server.length : to_client.length) != 0)
                    break;
                pending = false;
            }
            out_slice gathered{recv_buf + start, i - start};
            if (to_client_side ? to_c.add(gathered, to_c.batched) : to_s.append(gathered))
                return true;
            if (!to_client_side)
                follow_bytes(false, recv_buf + followed, i - followed);
            continue;
        }
        if (taken == 0) {
            if (!step(recv_buf[i])) {
                // What a batch would still hold stays unsent; the rest had left.
                to_s.withhold_batch();
                to_c.flush_unbatched();
                out_write(server_out, true);
                return true;
            }
            taken = 1;
            whole = true; // a step's output is one piece
        }
        if (to_server.length > 0)
            follow_bytes(false, to_server.bytes, to_server.length);
        if (whole) {
            // The piece leaves with its last byte, in whichever share that lies.
            enter(i + taken - 1);
            if (to_c.take(to_client, false) || to_s.take(to_server, false))
                return true;
        } else {
            // Bytes passed on one by one count in the share they lie in.
            for (std::int32_t at = i; at < i + taken;) {
                enter(at);
                std::int32_t end = i + taken < share_end ? i + taken : share_end;
                auto part = [&](out_slice s) {
                    return s.length == 0 ? s : out_slice{s.bytes + (at - i), end - at};
                };
                if (to_c.take(part(to_client), true) || to_s.take(part(to_server), true))
                    return true;
                at = end;
            }
        }
        i += taken;
    }
    // A failure toward the room server, or a connection still being made,
    // waits for the writable step, which reports it.
    out_write(server_out, true);
    return to_c.flush();
}
