// The game follows the page: on a room switch a newer game is sent on to the new room by a Transfer packet,
// and every other game is told in a disconnect which room it left and what to do next.
import { test } from 'node:test';
import { randomBytes } from 'node:crypto';
import assert from 'node:assert/strict';
import { MC_PORT, SITE_DOMAIN, SLOW } from './lib/program.mjs';
import { connectSending } from './lib/net.mjs';
import { handshake, statusRequest } from './lib/game.mjs';
import { command, joinPayload } from './lib/ws.mjs';
import { roomServer, gameClient } from './lib/rooms.mjs';
import { session } from './lib/session.mjs';

const A = { roomName: 'Castle "Keep"', ownerName: 'Ada', nick: 'NickA' };
// An owner name that ends in a period ends the sentence with it.
const B = { roomName: 'Arena\\2', ownerName: 'Bob Jr.', nick: 'NickB' };

const s = session(32000);
const { until } = s;
const join = (server, room) => s.join(server.port, room);
const server = (version, t) => roomServer(version, '127.0.0.1', 0, t);
// The library may see the connection end before the last packet, which it decompresses on the side, has come out.
const gone = (client, what) => until(() => client.gone && client.endings.length > 0, what);
const left = (room) => `You left ${room.roomName} by ${room.ownerName}. `.replace('.. ', '. ');
const switched = left(A) + `Join again to enter ${B.roomName} by ${B.ownerName}`;
const leftB = left(B) + `Pick a room on ${SITE_DOMAIN}.`;

// The text of a disconnect: JSON before 1.20.3, an NBT string from then on.
const reasonOf = ({ reason }) => (typeof reason === 'string' ? JSON.parse(reason).text : reason.value);

async function playing(version, room, roomServerOf, intent) {
  const client = gameClient(version, { intent });
  await until(() => roomServerOf.players.some((player) => player.username === room.nick && !player.ended),
    `a ${version} client playing in ${room.roomName}`);
  return client;
}

// Games from 1.20.5 on are sent on by a Transfer packet; older ones are told which rooms they left and joined.
for (const version of ['1.8.8', '1.12.2', '1.16.5', '1.20.4', '1.20.6', '1.21.4']) {
  const transfers = ['1.20.6', '1.21.4'].includes(version);
  test(`${version}: a switch ${transfers ? 'sends the game on to the new room, which sees a login' : 'says which rooms'}; ` +
    'a leave says why', async (t) => {
    const [a, b] = [await server(version, t), await server(version, t)];
    await join(a, A);
    let client = await playing(version, A, a);
    await join(b, B);
    await gone(client, 'the game left room A');
    assert.deepEqual(client.endings.map(({ name, host, port, ...ending }) => (transfers ? { name, host, port }
      : { name, reason: reasonOf(ending) })), [transfers ? { name: 'transfer', host: '127.0.0.1', port: MC_PORT }
      : { name: 'kick_disconnect', reason: switched }]);
    client = await playing(version, B, b, transfers ? 3 : 2);
    assert.deepEqual(b.intents, [2], 'room B sees a plain login');

    await command(s.program, s.page, Buffer.alloc(0)); // the leave
    await gone(client, 'the game left room B');
    assert.deepEqual(client.endings.map((ending) => [ending.name, reasonOf(ending)]), [['kick_disconnect', leftB]]);
    // The standby server answers the next game, raw, as it may reset after its answer.
    const next = await connectSending(MC_PORT, Buffer.concat([handshake(1), statusRequest]));
    await next.until((peer) => peer.received.includes('"name":"§fv1"'), 'the standby status document');
    next.close();
  });
}

// A room server that sends a player a 300 KB plugin message in two parts, a third first and the rest `pause` ms
// later, or with `cut` the end of its connection instead.
function slowPayload(t, player, data, { pause, cut }) {
  const { socket } = player;
  const [write, held] = [socket.write.bind(socket), []];
  socket.write = (chunk, ...rest) => {
    if (held.length > 0 || chunk.length < data.length) return held.length > 0 ? held.push(chunk) : write(chunk, ...rest);
    held.push(chunk.subarray(chunk.length / 3));
    const timer = setTimeout(() => (cut ? socket.destroy() : !socket.destroyed && held.forEach(write)), pause);
    t.after(() => clearTimeout(timer));
    return write(chunk.subarray(0, chunk.length / 3));
  };
  player.write('custom_payload', { channel: 'nimbrel:slow', data });
}

// A room command while the room server's long packet is partly passed on: the rest goes on first, then the farewell;
// a room server that leaves inside it, or a packet that does not end within 10 s, gets a plain close.
for (const [version, action, ending] of [['1.21.4', 'join', 'transfer'], ['1.16.5', 'join', switched],
  ['1.21.4', 'leave', left(A) + `Pick a room on ${SITE_DOMAIN}.`], ['1.21.4', 'join', 'gone'], ['1.21.4', 'join', 'late']]) {
  const plain = ['gone', 'late'].includes(ending);
  test(`${version}: a ${action} inside a long packet ${plain ? `whose room server is ${ending}` : 'ends it first'}`,
    async (t) => {
      const [a, b] = [await server(version, t), await server(version, t)];
      await join(a, A);
      const [client, data, since] = [await playing(version, A, a), randomBytes(300000), s.program.mark()];
      slowPayload(t, a.players[0], data, { cut: ending === 'gone', pause: ending === 'late' ? 12000 : 1500 });
      await s.program.waitForLine('[MITM] popped mitm_s2c buffer', { since });
      s.page.send(action === 'leave' ? Buffer.alloc(0) : joinPayload({ host: '127.0.0.1', port: b.port, ...B }));
      const lines = [action === 'leave' ? '[WS] leave room' : '[WS] join room (ipv4)',
        '[PROXY] farewell waits for the packet in flight', ...{
          gone: ['[PROXY] s2c killed 0', '[PROXY] no farewell: the room server left inside a packet'],
          late: ['[PROXY] no farewell: the packet in flight did not end within 10 s'],
          transfer: ['[PROXY] sent transfer'] }[ending] ?? ['[PROXY] sent disconnect'], '[PROXY] close, handle_kind 1'];
      const logged = await s.program.linesUntil(lines.at(-1), { since, timeoutMs: 20000 * SLOW });
      assert.deepEqual(logged.filter((line) => /^\[PROXY\]|^\[WS\] (join|leave)/.test(line)), lines);
      // The library inflates the long packet on the side, and may hand it over last.
      const got = () => client.payloads.find((packet) => packet.channel === 'nimbrel:slow');
      await until(() => client.gone && (plain || got()), 'the game left room A with the long packet');
      assert.ok(plain ? !got() : got().data.equals(data), 'the long packet arrives whole, or not at all');
      assert.deepEqual(client.endings.map((e) => (e.name === 'transfer' ? e.name : reasonOf(e))), plain ? [] : [ending]);
      if (ending === 'transfer') await playing(version, B, b, 3);
    });
}
