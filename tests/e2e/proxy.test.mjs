// The room proxy, seen from a real game client and real room servers: the
// room is joined through the WebSocket channel, the game client connects to
// the program, and the program relays it to the room's server.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { once } from 'node:events';
import { randomBytes } from 'node:crypto';
import { spawn } from 'node:child_process';
import net from 'node:net';
import WebSocket from 'ws';
import mc from 'minecraft-protocol';
import minecraftData from 'minecraft-data';
import { startProgram, WS_PORT, MC_PORT, SITE_DOMAIN, SLOW } from './lib/program.mjs';
import { connect, sleep } from './lib/net.mjs';

const TIMEOUT = 15000 * SLOW;
const ROOM = { name: 'Castle "Keep"', owner: 'Ada', nick: 'RoomNick' };
const VERSIONS = ['1.8.8', '1.16.5', '1.20.4', '1.21.4'];
const NEWEST = VERSIONS[VERSIONS.length - 1];

let program;
let page;
let nextPort = 31000;

before(async () => {
  program = await startProgram();
  page = await openPage();
});
after(async () => {
  page?.close();
  await program?.stop();
});

function withTimeout(promise, what, ms = TIMEOUT) {
  let timer;
  return Promise.race([
    promise,
    new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error(`${what}: not within ${ms} ms\n${program.describe(Math.max(0, program.mark() - 30))}`)), ms);
    }),
  ]).finally(() => clearTimeout(timer));
}

// The site's page: opened with the site's Origin, it has the greeting and the
// record once two messages have come.
async function openPage() {
  const ws = new WebSocket(`ws://127.0.0.1:${WS_PORT}`, { origin: `https://${SITE_DOMAIN}` });
  const messages = [];
  ws.on('message', (data) => messages.push(data));
  await withTimeout(once(ws, 'open'), 'page opened');
  while (messages.length < 2) await sleep(20);
  return ws;
}

// A join payload: site data, room name, owner, nick, then the port and the
// address with every byte XORed with 0xC7.
function joinPayload(host, port, room = ROOM) {
  const ipv6 = net.isIPv6(host);
  const payload = Buffer.alloc(ipv6 ? 98 : 86);
  payload.write('site-data-012345', 0, 16, 'latin1');
  payload.write(room.name, 16, 32, 'utf8');
  payload.write(room.owner, 48, 16, 'utf8');
  payload.write(room.nick, 64, 16, 'utf8');
  const address = Buffer.alloc(ipv6 ? 18 : 6);
  address.writeUInt16BE(port, 0);
  if (ipv6) {
    address[17] = 1; // ::1
  } else {
    Buffer.from(host.split('.').map(Number)).copy(address, 2);
  }
  for (let i = 0; i < address.length; i++) payload[80 + i] = address[i] ^ 0xc7;
  return payload;
}

async function joinRoom(host, port, room) {
  const since = program.mark();
  page.send(joinPayload(host, port, room));
  const joined = await program.waitForLine(net.isIPv6(host) ? '[WS] join room (ipv6)' : '[WS] join room (ipv4)', { since });
  // Every join ends the game-client handler, whatever it was.
  await program.waitForLine(/^\[PROXY\] close, handle_kind \d$/, { since: joined });
}

async function leaveRoom() {
  const since = program.mark();
  page.send(Buffer.alloc(0));
  const left = await program.waitForLine('[WS] leave room', { since });
  await program.waitForLine(/^\[PROXY\] close, handle_kind \d$/, { since: left });
}

// A minecraft-protocol room server that logs its players in, sends them a
// packet larger than the program's buffers and records what they send.
async function roomServer(version, host = '127.0.0.1') {
  const port = nextPort++;
  const server = mc.createServer({ host, port, version, 'online-mode': false, motd: 'room server' });
  await withTimeout(once(server, 'listening'), 'room server listening');
  const mcData = minecraftData(version);
  server.players = [];
  server.on('playerJoin', (client) => {
    server.players.push(client);
    client.received = [];
    client.on('custom_payload', (packet) => client.received.push(packet));
    client.write('login', {
      // What the oldest versions need; newer ones have all of it in loginPacket.
      difficulty: 0,
      dimension: 0,
      levelType: 'default',
      ...mcData.loginPacket,
      enforceSecureChat: false,
      entityId: client.id,
      isHardcore: false,
      gameMode: 0,
      previousGameMode: 1,
      hashedSeed: [0, 0],
      maxPlayers: 8,
      viewDistance: 4,
      reducedDebugInfo: false,
      enableRespawnScreen: true,
      isDebug: false,
      isFlat: false,
    });
  });
  server.port = port;
  return server;
}

function closeServer(server) {
  for (const client of Object.values(server.clients ?? {})) client.end?.('done');
  server.close();
}

function gameClient(version, username = 'Player_One') {
  const client = mc.createClient({ host: '127.0.0.1', port: MC_PORT, username, auth: 'offline', version });
  client.on('error', () => {});
  client.payloads = [];
  client.on('custom_payload', (packet) => client.payloads.push(packet));
  return client;
}

async function until(condition, what) {
  const deadline = Date.now() + TIMEOUT;
  while (!condition()) {
    if (Date.now() > deadline) throw new Error(`${what}: not seen within ${TIMEOUT} ms\n${program.describe(Math.max(0, program.mark() - 30))}`);
    await sleep(20);
  }
}

// A raw room server that keeps every byte each connection sends.
async function rawServer(host = '127.0.0.1', onConnection = () => {}) {
  const port = nextPort++;
  const connections = [];
  const server = net.createServer((socket) => {
    const entry = { socket, bytes: Buffer.alloc(0), closed: false };
    connections.push(entry);
    socket.on('data', (chunk) => {
      entry.bytes = Buffer.concat([entry.bytes, chunk]);
    });
    socket.on('close', () => {
      entry.closed = true;
    });
    socket.on('error', () => {});
    onConnection(entry);
  });
  server.listen(port, host);
  await once(server, 'listening');
  return { server, port, connections };
}

function varint(value) {
  const out = [];
  do {
    out.push((value & 0x7f) | (value > 0x7f ? 0x80 : 0));
    value >>>= 7;
  } while (value !== 0);
  return Buffer.from(out);
}

function frame(...parts) {
  const body = Buffer.concat(parts.map((part) => Buffer.from(part)));
  return Buffer.concat([varint(body.length), body]);
}

const handshake = (next) => frame([0x00], varint(767), varint(9), Buffer.from('localhost'), [0x63, 0xdd], [next]);
const loginStart = (name) => frame([0x00], varint(name.length), Buffer.from(name), randomBytes(16));

for (const version of VERSIONS) {
  test(`game ${version}: the client plays on the room's server under the room's nick, compression on`, async () => {
    const server = await roomServer(version);
    try {
      await joinRoom('127.0.0.1', server.port);
      const client = gameClient(version);
      const down = randomBytes(40000);
      const up = randomBytes(20000);
      client.on('login', () => {
        server.players.at(-1)?.write('custom_payload', { channel: 'nimbrel:down', data: down });
      });
      await until(() => server.players.length > 0, 'room server saw a player join');
      assert.equal(server.players[0].username, ROOM.nick, 'the room server should see the room\'s nick');
      await until(() => client.payloads.some((p) => p.channel === 'nimbrel:down'), 'large packet reached the client');
      const got = client.payloads.find((p) => p.channel === 'nimbrel:down');
      assert.ok(got.data.equals(down), 'the 40,000-byte payload should arrive unchanged');
      client.write('custom_payload', { channel: 'nimbrel:up', data: up });
      await until(() => server.players[0].received.some((p) => p.channel === 'nimbrel:up'), 'client packet reached the server');
      assert.ok(server.players[0].received.find((p) => p.channel === 'nimbrel:up').data.equals(up), 'the client\'s payload should arrive unchanged');
      const since = program.mark();
      client.end();
      await program.waitForLine('[PROXY] close, handle_kind 1', { since });
    } finally {
      closeServer(server);
    }
  });
}

test('a room on ::1 is reached over IPv6', async () => {
  const server = await roomServer(NEWEST, '::1');
  try {
    await joinRoom('::1', server.port);
    const client = gameClient(NEWEST);
    await until(() => server.players.length > 0, 'room server on ::1 saw a player join');
    assert.equal(server.players[0].username, ROOM.nick);
    assert.equal(server.players[0].socket.remoteAddress, '::1');
    client.end();
  } finally {
    closeServer(server);
  }
});

test('a ping gets the room status document and its pong; the room server sees only the handshake', async () => {
  const room = await rawServer();
  try {
    await joinRoom('127.0.0.1', room.port);
    const status = await withTimeout(mc.ping({ host: '127.0.0.1', port: MC_PORT, version: NEWEST }), 'ping answered');
    assert.equal(status.version.name, `§f${ROOM.nick}`);
    const description = JSON.stringify(status.description);
    assert.ok(description.includes(JSON.stringify(ROOM.name).slice(1, -1)), `room name missing from ${description}`);
    assert.ok(description.includes(` by ${ROOM.owner}`), `owner missing from ${description}`);
    assert.equal(typeof status.latency, 'number', 'the pong should have come back');
    await until(() => room.connections.length > 0 && room.connections[0].bytes.length > 0, 'room server got the handshake');
    await sleep(200);
    const bytes = room.connections[0].bytes;
    const length = bytes[0];
    assert.equal(bytes.length, 1 + length, `room server should get one packet, got ${bytes.toString('hex')}`);
    assert.equal(bytes[bytes.length - 1], 1, 'the handshake should ask for status');
  } finally {
    room.server.close();
  }
});

test('a second game client is rejected while a proxy runs, and the first goes on', async () => {
  const server = await roomServer(NEWEST);
  try {
    await joinRoom('127.0.0.1', server.port);
    const client = gameClient(NEWEST);
    await until(() => server.players.length > 0, 'first client joined');
    const since = program.mark();
    const second = await connect(MC_PORT);
    await program.waitForLine('[PROXY] rejected client', { since });
    await second.untilClosed(TIMEOUT);
    const data = randomBytes(100);
    client.write('custom_payload', { channel: 'nimbrel:after', data });
    await until(() => server.players[0].received.some((p) => p.channel === 'nimbrel:after'), 'first client still relayed');
    assert.equal(program.linesSince(since).filter((l) => /killed/.test(l)).length, 0, 'no proxy should have ended');
    client.end();
  } finally {
    closeServer(server);
  }
});

test('leaving the room ends the proxy and the next client meets the standby server', async () => {
  const server = await roomServer(NEWEST);
  try {
    await joinRoom('127.0.0.1', server.port);
    const client = gameClient(NEWEST);
    await until(() => server.players.length > 0, 'client joined');
    const ended = once(client, 'end');
    const since = program.mark();
    await leaveRoom();
    await program.waitForLine('[PROXY] close, handle_kind 1', { since });
    await withTimeout(ended, 'game client disconnected');
    // Raw, because the standby server may reset the connection after its answer.
    const next = await connect(MC_PORT);
    await next.send(Buffer.concat([handshake(1), frame([0x00])]));
    await next.until((peer) => peer.received.includes(Buffer.from('"name":"§fv1"')), 'standby status document');
    next.close();
  } finally {
    closeServer(server);
  }
});

test('a join while a proxy runs ends it', async () => {
  const server = await roomServer(NEWEST);
  try {
    await joinRoom('127.0.0.1', server.port);
    const client = gameClient(NEWEST);
    await until(() => server.players.length > 0, 'client joined');
    const ended = once(client, 'end');
    const since = program.mark();
    await joinRoom('127.0.0.1', server.port);
    await program.waitForLine('[PROXY] close, handle_kind 1', { since });
    await withTimeout(ended, 'game client disconnected');
  } finally {
    closeServer(server);
  }
});

// A room server whose accept queue is full holds the proxy's connection
// attempt back: its SYN is dropped until the queue drains. The server runs in
// a process of its own, which sleeps before it accepts anything.
test('a room server that accepts slowly gets the waiting bytes once connected', async () => {
  const port = nextPort++;
  const script = `
    const net = require('node:net');
    const got = [];
    const server = net.createServer((s) => { const i = got.length; got.push(0);
      s.on('data', (c) => { got[i] += c.length; process.stdout.write('bytes ' + i + ' ' + got[i] + '\\n'); }); s.on('error', () => {}); });
    server.listen({ port: ${port}, host: '127.0.0.1', backlog: 1 }, () => {
      // Fill the accept queue, then keep this process from accepting for a while.
      for (let i = 0; i < 3; i++) net.connect(${port}, '127.0.0.1').on('error', () => {});
      process.stdout.write('ready\\n');
      Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, 2500);
    });`;
  const child = spawn(process.execPath, ['-e', script], { stdio: ['ignore', 'pipe', 'inherit'] });
  let out = '';
  child.stdout.on('data', (c) => { out += c; });
  try {
    await until(() => out.includes('ready'), 'slow server ready');
    await joinRoom('127.0.0.1', port);
    const since = program.mark();
    const game = await connect(MC_PORT);
    const sent = Buffer.concat([handshake(2), loginStart('Player_One')]);
    await game.send(sent);
    const expected = handshake(2).length + 1 + 1 + 1 + ROOM.nick.length + 16;
    await until(() => new RegExp(`bytes \\d+ ${expected}\\n`).test(out), `slow server received ${expected} bytes (${out})`);
    assert.equal(program.linesSince(since).filter((l) => /killed|send fails/.test(l)).length, 0, 'the proxy should live on');
    game.close();
  } finally {
    child.kill('SIGKILL');
  }
});

test('a room server that refuses ends the proxy cleanly and the program serves on', async () => {
  const refusing = nextPort++;
  await joinRoom('127.0.0.1', refusing);
  const since = program.mark();
  const game = await connect(MC_PORT);
  await game.send(Buffer.concat([handshake(2), loginStart('Player_One')]));
  await program.waitForLine('[PROXY] close, handle_kind 1', { since });
  await game.untilClosed(TIMEOUT);

  const room = await rawServer();
  try {
    await joinRoom('127.0.0.1', room.port);
    const status = await withTimeout(mc.ping({ host: '127.0.0.1', port: MC_PORT, version: NEWEST }), 'ping after a refusal');
    assert.equal(status.version.name, `§f${ROOM.nick}`);
  } finally {
    room.server.close();
  }
});

test('a room server that closes at once ends the proxy from its side', async () => {
  const room = await rawServer('127.0.0.1', (entry) => entry.socket.destroy());
  try {
    await joinRoom('127.0.0.1', room.port);
    const since = program.mark();
    const game = await connect(MC_PORT);
    await game.send(Buffer.concat([handshake(2), loginStart('Player_One')]));
    const lines = await program.linesUntil('[PROXY] close, handle_kind 1', { since });
    assert.ok(lines.some((l) => /^\[PROXY\] (s2c killed 0|c2s killed 1)$/.test(l) || l === '[MISC] send fails'), lines.join('\n'));
    await game.untilClosed(TIMEOUT);
  } finally {
    room.server.close();
  }
});

test('a room server that reads slowly while the client sends a lot keeps the proxy alive', async () => {
  const room = await rawServer('127.0.0.1', (entry) => {
    entry.socket.pause();
    setTimeout(() => entry.socket.resume(), 1500);
  });
  try {
    await joinRoom('127.0.0.1', room.port);
    const since = program.mark();
    const game = await connect(MC_PORT);
    const play = [];
    for (let i = 0; i < 400; i++) play.push(frame([0x10], randomBytes(8000)));
    const sent = Buffer.concat([handshake(2), loginStart('Player_One'), ...play]);
    game.send(sent);
    const expected = sent.length - 'Player_One'.length + ROOM.nick.length;
    await until(() => room.connections[0]?.bytes.length >= expected, `room server received ${expected} bytes`);
    assert.equal(room.connections[0].bytes.length, expected);
    assert.ok(room.connections[0].bytes.subarray(-8000).equals(sent.subarray(-8000)), 'the last packet should arrive intact');
    assert.equal(program.linesSince(since).filter((l) => /killed|send fails/.test(l)).length, 0, 'the proxy should live on');
    game.close();
  } finally {
    room.server.close();
  }
});
