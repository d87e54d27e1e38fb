// The room proxy, seen from a real game client and real room servers: the room is joined through the
// WebSocket channel, the game client connects to the program, and the program relays it to the room's server.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { spawn } from 'node:child_process';
import mc from 'minecraft-protocol';
import { Program, MC_PORT, SLOW } from './lib/program.mjs';
import { connect, connectSending } from './lib/net.mjs';
import { handshake, statusRequest, ping, loginDisconnectText } from './lib/game.mjs';
import { roomServer, gameClient } from './lib/rooms.mjs';
import { session, LOGIN } from './lib/session.mjs';

const ROOM = { roomName: 'Castle "Keep"', ownerName: 'Ada', nick: 'RoomNick' };
const NEWEST = '1.21.4';

const s = session(31000);
const { until } = s;
const joinRoom = (port, host) => s.join(port, ROOM, host);
const rawGame = (port, ...more) => s.rawGame(port, ROOM, ...more);
const payloadOn = (packets, channel) => packets.find((packet) => packet.channel === channel);
const proxyLivesOn = (since) => assert.ok(!s.program.linesSince(since).some((line) => /killed|send fails/.test(line)),
  'the proxy lives on');
const closedProxy = (since) => s.program.waitForLine('[PROXY] close, handle_kind 1', { since });

// A room given as an IPv4-mapped IPv6 address is reached over IPv4, also where
// IPv6 sockets are IPv6-only (Windows; scripts/e2e.sh sets bindv6only=1).
for (const [version, host = '127.0.0.1', detect = false] of [['1.8.8'], ['1.16.5'], ['1.20.4', '127.0.0.1', true],
  [NEWEST], [NEWEST, '::1'], [NEWEST, '::ffff:127.0.0.1']]) {
  test(`${version} on ${host}${detect ? ', pinged first' : ''}: the client plays on the room's server under the ` +
    'room\'s nick; a second is rejected', async (t) => {
    const server = await roomServer(version, host.replace(/^::ffff:/, ''), 0, t);
    await joinRoom(server.port, host);
    const client = gameClient(version, { detect });
    const [down, up] = [randomBytes(40000), randomBytes(20000)];
    client.on('login', () => server.players.at(-1)?.write('custom_payload', { channel: 'nimbrel:down', data: down }));
    await until(() => server.players.length >= 1, 'the room server saw a player join');
    const [player] = server.players;
    assert.equal(player.username, ROOM.nick, 'the room server sees the room\'s nick');
    assert.equal(player.socket.remoteAddress.replace(/^::ffff:/, ''), host.replace(/^::ffff:/, ''));
    await until(() => payloadOn(client.payloads, 'nimbrel:down')?.data.equals(down), 'the 40,000 bytes reaching the client');
    // A second client meanwhile is turned away, and the first plays on.
    let since = s.program.mark();
    const second = await connect(MC_PORT);
    await s.program.waitForLine('[PROXY] rejected client', { since });
    await second.until(undefined, undefined, 15000 * SLOW);
    client.write('custom_payload', { channel: 'nimbrel:up', data: up });
    await until(() => payloadOn(player.received, 'nimbrel:up')?.data.equals(up), 'the client\'s payload reaching the server');
    proxyLivesOn(since);
    since = s.program.mark();
    client.end();
    await closedProxy(since);
  });
}

// A room server whose accept queue is full holds the proxy's connection attempt back: its SYN is dropped
// until the queue drains. The server runs in a process of its own, which sleeps before it accepts anything.
test('a room server that accepts slowly gets the waiting bytes once connected', async (t) => {
  const port = s.nextPort++;
  const script = `const net = require('node:net'); let count = 0;
    net.createServer((s) => { const i = count++; let got = 0; s.on('error', () => {});
      s.on('data', (c) => process.stdout.write('bytes ' + i + ' ' + (got += c.length) + '\\n')); })
    .listen({ port: ${port}, host: '127.0.0.1', backlog: 1 }, () => {
      // Fill the accept queue, then keep this process from accepting for a while.
      for (let i = 0; i < 3; i++) net.connect(${port}, '127.0.0.1').on('error', () => {});
      process.stdout.write('ready\\n');
      Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 2500);
    });`;
  const slow = new Program(spawn(process.execPath, ['-e', script], { stdio: ['ignore', 'pipe', 'pipe'] }));
  t.after(() => slow.child.kill('SIGKILL'));
  await slow.waitForLine('ready', { timeoutMs: 15000 * SLOW });
  const { game, since } = await rawGame(port);
  const expected = LOGIN.length - 'Player_One'.length + ROOM.nick.length;
  await slow.waitForLine(new RegExp(`^bytes \\d+ ${expected}$`), { timeoutMs: 15000 * SLOW });
  proxyLivesOn(since);
  game.close();
  await closedProxy(since); // the next test's first client must not meet this proxy
});

test('a room server that cannot be reached is named in the status and the login refusal; one that closes at ' +
  'once ends the proxy; a client that pinged the room may log in while its ping is open',
async (t) => {
  const nowhere = s.nextPort++;
  await joinRoom(nowhere);
  const down = await mc.ping({ host: '127.0.0.1', port: MC_PORT, version: NEWEST });
  assert.match(JSON.stringify(down.description), /The room's server cannot be reached: \w/);
  assert.equal(typeof down.latency, 'number', 'the pong came back');
  // The address as given, IPv6 in short form; one period at the end, whatever the system's error text ends in.
  for (const [host, written] of [['127.0.0.1', '127.0.0.1'], ['::1', '[::1]'], ['::ffff:127.0.0.1', '[::ffff:127.0.0.1]']]) {
    await joinRoom(nowhere, host);
    const since = s.program.mark();
    const refused = await connectSending(MC_PORT, LOGIN);
    const text = loginDisconnectText(await refused.until());
    assert.ok(text.startsWith(`The server of Castle "Keep" by Ada at ${written}:${nowhere} cannot be reached: `) &&
      /\w[^.]\.$/.test(text), text);
    await closedProxy(since);
  }
  await until(() => s.program.stderr.includes('SOCK_CHECK_ERR: '), 'the error logged');

  const closing = await s.rawServer(t, (peer) => peer.close());
  const closed = await rawGame(closing.port);
  await closedProxy(closed.since);
  await closed.game.until(undefined, undefined, 15000 * SLOW);

  // The room's status document is the unit tests' and the ping's above; here a
  // client that pinged and, its ping still open, connects again to log in gets in.
  const room = await s.rawServer(t);
  await joinRoom(room.port);
  const pinged = await connectSending(MC_PORT, Buffer.concat([handshake(1), statusRequest, ping]));
  await pinged.until((peer) => peer.received.includes(ping), 'the pong');
  assert.ok(!pinged.received.includes('cannot be reached'), 'no note for a room that is reached');
  const since = s.program.mark();
  const game = await connectSending(MC_PORT, LOGIN);
  await s.program.waitForLine('[PROXY] status proxy replaced', { since });
  await pinged.until(undefined, undefined, 15000 * SLOW);
  await until(() => room.connections.at(-1).received.includes(ROOM.nick), 'the login reached the room server');
  game.close();
});
