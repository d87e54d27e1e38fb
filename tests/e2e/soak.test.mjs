// Soak and fault test: thousands of game clients through the standby server
// and through proxies to room servers that misbehave, and browser connections
// that send anything at all. Afterwards the program must still answer, hold
// no more descriptors than at the start, not have grown, and have logged
// only lines it is meant to log.
//
// Short by default; NIMBREL_SOAK=long runs the long form (make soak). Linux
// builds only: it reads the process's descriptors and memory from /proc.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { once } from 'node:events';
import { readdirSync, readFileSync } from 'node:fs';
import net from 'node:net';
import WebSocket from 'ws';
import { startProgram, isWindowsProgram, WS_PORT, MC_PORT, SITE_DOMAIN } from './lib/program.mjs';
import { sleep } from './lib/net.mjs';

const LONG = process.env.NIMBREL_SOAK === 'long';
const COUNTS = LONG
  ? { standby: 50000, proxy: 12000, browser: 50000 }
  : { standby: 4000, proxy: 1500, browser: 4000 };
const skip = isWindowsProgram ? 'reads /proc; Linux builds only' : false;

// Every line the program may log, its %d and %.*s as patterns.
const FORMATS = [
  '[MISC] WSAStartup failed', '[MISC] assigning websocket master', '[MISC] error assigning websocket master',
  '[MISC] websocket master assigned: %d', '[MISC] assigning minecraft master', '[MISC] error assigning minecraft master',
  '[MISC] minecraft master assigned: %d', '[MISC] select broke', '[MISC] send fails',
  '[WS] no space to put', '[WS] putted, sock %d in %d', '[WS] invalid new server sock',
  '[WS] packet, sock %d, state %d', '[WS] [%.*s]', '[WS] origin found', '[WS] origin error', '[WS] state %d, sock %d',
  '[WS] unknown state', '[WS] open, sock = %d', '[WS] leave room', '[WS] join room (ipv4)', '[WS] join room (ipv6)',
  '[WS] packet finish, sock %d', '[WS] close, sock %d',
  '[PROXY] no room packet', '[PROXY] handshake', '[PROXY] status request', '[PROXY] ping request',
  '[PROXY] ping len: %d', '[PROXY] login start', '[PROXY] unexpected interaction', '[PROXY] no room handler killed',
  '[PROXY] incoming mc master', '[PROXY] no room replaced', '[PROXY] new mc server is invalid',
  '[PROXY] rejected client', '[PROXY] no room handle reset', '[PROXY] creating proxy', '[PROXY] created proxy',
  '[PROXY] proxy is invalid', '[PROXY] c2s killed %d', '[PROXY] s2c killed %d', '[PROXY] close, handle_kind %d',
  '[MITM] next_state = %d', '[MITM] og nick = %.*s', '[MITM] as nick: %.*s', '[MITM] nick replace done',
  '[MITM] popped mitm_c2s buffer', '[MITM] popped mitm_s2c buffer',
];
const PATTERNS = FORMATS.map((format) => new RegExp('^' + format
  .replace(/[.*+?^${}()|[\]\\]/g, '\\$&')
  .replaceAll('%d', '-?\\d+')
  .replaceAll('%\\.\\*s', '[^]*') + '$'));

// A header line holding a line feed of its own is logged across several
// lines; join those back before matching.
function unlistedLines(lines, counts = {}) {
  const unlisted = [];
  for (let i = 0; i < lines.length; i++) {
    let line = lines[i];
    if (line.startsWith('[WS] [')) {
      let extra = 0;
      while (!line.endsWith(']') && i + 1 < lines.length && extra++ < 64) line += '\n' + lines[++i];
    }
    const index = PATTERNS.findIndex((pattern) => pattern.test(line));
    if (index < 0) unlisted.push(line);
    else counts[FORMATS[index]] = (counts[FORMATS[index]] ?? 0) + 1;
  }
  return unlisted;
}

// A small deterministic generator, so that a failure can be run again.
let seed = Number(process.env.NIMBREL_SOAK_SEED ?? 20261206);
function random(n) {
  // mulberry32
  seed = (seed + 0x6d2b79f5) >>> 0;
  let t = seed;
  t = Math.imul(t ^ (t >>> 15), t | 1);
  t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
  return Math.floor((((t ^ (t >>> 14)) >>> 0) / 0x100000000) * n);
}
function randomBytes(n) {
  const out = Buffer.alloc(n);
  for (let i = 0; i < n; i++) out[i] = random(256);
  return out;
}

function varint(value) {
  const out = [];
  let rest = value >>> 0;
  do {
    out.push((rest & 0x7f) | (rest > 0x7f ? 0x80 : 0));
    rest >>>= 7;
  } while (rest !== 0);
  return Buffer.from(out);
}
const packet = (body) => Buffer.concat([varint(body.length), body]);
const mcString = (text) => Buffer.concat([varint(Buffer.byteLength(text)), Buffer.from(text)]);
const handshake = (next) => packet(Buffer.concat([Buffer.from([0x00]), varint(767), mcString('localhost'), Buffer.from([0x63, 0xdd]), varint(next)]));
const statusRequest = packet(Buffer.from([0x00]));
const ping = packet(Buffer.from([0x01, 0, 0, 0, 0, 0, 0, 0, 42]));
const loginStart = (name) => packet(Buffer.concat([Buffer.from([0x00]), mcString(name), randomBytes(16)]));

// What a game client might send: a whole exchange, a login followed by
// packets of any size, or garbage.
function gameStream() {
  switch (random(5)) {
    case 0: return Buffer.concat([handshake(1), statusRequest, ping]);
    case 1: return Buffer.concat([handshake(2), loginStart('player' + random(1000))]);
    case 2: {
      const parts = [handshake(2), loginStart('p' + random(100))];
      for (let i = random(6); i > 0; i--) parts.push(packet(randomBytes(1 + random(random(8) === 0 ? 40000 : 200))));
      return Buffer.concat(parts);
    }
    case 3: return Buffer.concat([handshake(random(4)), randomBytes(random(300))]);
    default: return randomBytes(1 + random(400));
  }
}

// What a room server might send: the login's answer and play packets.
function serverStream() {
  const parts = [];
  for (let i = 1 + random(6); i > 0; i--) parts.push(packet(randomBytes(1 + random(random(6) === 0 ? 30000 : 300))));
  if (random(8) === 0) parts.push(randomBytes(1 + random(20)));
  return Buffer.concat(parts);
}

// Resolves when the socket has closed (events.once would reject on an error).
function closed(socket) {
  return new Promise((resolveClose) => (socket.destroyed ? resolveClose() : socket.once('close', resolveClose)));
}

// A peer that closed may make a write fail at once; that is expected here.
function write(socket, bytes) {
  if (socket.destroyed || !socket.writable) return;
  try {
    socket.write(bytes, () => {});
  } catch {
    socket.destroy();
  }
}

// Writes a random prefix of bytes in a few pieces, then closes: gracefully,
// by reset, or after waiting a moment for the other side.
async function sendAndVanish(socket, bytes) {
  const cut = random(4) === 0 ? bytes.length : random(bytes.length + 1);
  let at = 0;
  while (at < cut && !socket.destroyed) {
    const next = Math.min(cut, at + 1 + random(cut - at));
    write(socket, bytes.subarray(at, next));
    at = next;
    if (random(3) === 0) await sleep(random(3));
  }
  if (random(3) === 0) await Promise.race([closed(socket), sleep(20 + random(30))]);
  if (socket.destroyed) return;
  if (random(2) === 0) socket.resetAndDestroy();
  else socket.end();
}

function dial(port, host = '127.0.0.1') {
  return new Promise((resolveDial) => {
    const socket = net.connect({ port, host, noDelay: true });
    socket.on('error', () => {});
    socket.once('connect', () => resolveDial(socket));
    socket.once('close', () => resolveDial(socket));
  });
}

// Runs count tasks, at most width at a time.
async function pool(count, width, task) {
  let next = 0;
  await Promise.all(Array.from({ length: width }, async () => {
    while (next < count) await task(next++);
  }));
}

async function gameClient() {
  const socket = await dial(MC_PORT);
  if (socket.destroyed) return;
  socket.resume();
  await sendAndVanish(socket, gameStream());
  await Promise.race([closed(socket), sleep(200)]);
  socket.destroy();
}

const REQUEST = (origin, key = 'dGhlIHNhbXBsZSBub25jZQ==') => Buffer.from(
  `GET / HTTP/1.1\r\nHost: 127.0.0.1:${WS_PORT}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n` +
  `Origin: ${origin}\r\nSec-WebSocket-Key: ${key}\r\nSec-WebSocket-Version: 13\r\n\r\n`, 'latin1');

function maskedFrame(first, payload, lengthForm = null) {
  const length = lengthForm ?? payload.length;
  let head;
  if (length < 126) head = Buffer.from([first, 0x80 | length]);
  else if (length < 65536) head = Buffer.from([first, 0x80 | 126, length >> 8, length & 0xff]);
  else {
    head = Buffer.from([first, 0x80 | 127, 0, 0, 0, 0, 0, 0, 0, 0]);
    head.writeUInt32BE(length, 6);
  }
  const mask = randomBytes(4);
  return Buffer.concat([head, mask, Buffer.from(payload.map((b, i) => b ^ mask[i % 4]))]);
}

// A browser connection that misbehaves in one of many ways; the frames go
// to an opened connection, so that they reach the frame reader.
async function browserClient() {
  const socket = await dial(WS_PORT);
  if (socket.destroyed) return;
  socket.resume();
  const site = `https://${SITE_DOMAIN}`;
  let bytes;
  switch (random(9)) {
    case 0: bytes = randomBytes(1 + random(600)); break;
    case 1: bytes = REQUEST(site).subarray(0, random(160)); break;
    case 2: bytes = Buffer.concat([REQUEST(site), randomBytes(20000 + random(5000))]); break;
    case 3: bytes = REQUEST(random(2) ? 'https://evil.example' : site, randomBytes(random(40)).toString('latin1')); break;
    case 4: {
      const request = Buffer.from(REQUEST(site));
      for (let i = random(8); i >= 0; i--) request[random(request.length)] = random(256);
      bytes = request;
      break;
    }
    default: {
      write(socket, REQUEST(site));
      await sleep(5);
      const frames = [
        () => maskedFrame(0x82, randomBytes([0, 1, 85, 86, 87, 97, 98, 99][random(8)])),
        () => maskedFrame(0x81, randomBytes(random(300))),
        () => maskedFrame(0x82, randomBytes(200), 70000),
        () => maskedFrame(random(256), randomBytes(random(130))),
        () => randomBytes(1 + random(40)),
        () => maskedFrame(0x82, randomBytes(16000 + random(4000))),
      ];
      bytes = frames[random(frames.length)]();
      // A frame must come in one read; half of them do.
      if (random(2) === 0) {
        write(socket, bytes);
        bytes = Buffer.alloc(0);
      }
    }
  }
  await sendAndVanish(socket, bytes);
  await Promise.race([closed(socket), sleep(100)]);
  socket.destroy();
}

// A room server of our own: it reads a little, answers with packets, and
// closes or resets at a random point; sometimes it only listens.
async function misbehavingRoomServer(host) {
  const server = net.createServer((socket) => {
    socket.on('error', () => {});
    socket.once('data', () => {
      if (random(6) === 0) return setTimeout(() => socket.destroy(), random(50));
      sendAndVanish(socket, serverStream());
    });
  });
  server.listen(0, host);
  await once(server, 'listening');
  return server;
}

function openPage() {
  const ws = new WebSocket(`ws://127.0.0.1:${WS_PORT}`, { origin: `https://${SITE_DOMAIN}` });
  ws.messages = [];
  ws.on('message', (data) => ws.messages.push(Buffer.from(data)));
  return new Promise((resolveOpen, rejectOpen) => {
    ws.once('error', rejectOpen);
    const wait = setInterval(() => {
      if (ws.messages.length >= 2) {
        clearInterval(wait);
        resolveOpen(ws);
      }
    }, 10);
  });
}

function joinPayload(host, port) {
  const ipv6 = net.isIPv6(host);
  const payload = Buffer.alloc(ipv6 ? 98 : 86);
  payload.write('soak-site-data01', 0, 'latin1');
  payload.write('Soak room', 16);
  payload.write('Tester', 48);
  payload.write('SoakNick', 64);
  const address = Buffer.alloc(ipv6 ? 18 : 6);
  address.writeUInt16BE(port, 0);
  if (ipv6) address[17] = 1;
  else Buffer.from([127, 0, 0, 1]).copy(address, 2);
  for (let i = 0; i < address.length; i++) payload[80 + i] = address[i] ^ 0xc7;
  return payload;
}

async function command(page, payload, line) {
  const since = program.mark();
  const messages = page.messages.length;
  page.send(payload);
  await program.waitForLine(line, { since });
  while (page.messages.length === messages) await sleep(5);
  assert.deepEqual(page.messages.at(-1), payload, 'the page got the record echoed back');
}

// The standby server's status and pong, read raw.
async function statusPing() {
  const socket = await dial(MC_PORT);
  let received = Buffer.alloc(0);
  socket.on('data', (chunk) => (received = Buffer.concat([received, chunk])));
  write(socket, Buffer.concat([handshake(1), statusRequest]));
  const deadline = Date.now() + 10000;
  while (!received.includes(Buffer.from('"version"')) && Date.now() < deadline) await sleep(10);
  socket.destroy();
  return received.includes(Buffer.from('"version"'));
}

function descriptors() {
  return readdirSync(`/proc/${program.child.pid}/fd`).length;
}
function residentKb() {
  return Number(/VmRSS:\s+(\d+)/.exec(readFileSync(`/proc/${program.child.pid}/status`, 'latin1'))[1]);
}
async function settledDescriptors(target) {
  const deadline = Date.now() + 10000;
  while (descriptors() > target && Date.now() < deadline) await sleep(50);
  return descriptors();
}

let program;
let page;
let start;
const figures = {};

before(async () => {
  if (skip) return;
  program = await startProgram();
  // One of everything first, so that what is set up on first use is counted.
  assert.ok(await statusPing(), 'status before the soak');
  const warm = await openPage();
  warm.close();
  page = await openPage();
  await sleep(200);
  start = { fds: descriptors(), rssKb: residentKb() };
});

after(async () => {
  page?.close();
  await program?.stop();
  if (!skip) process.stderr.write(`# soak figures: ${JSON.stringify({ start, ...figures })}\n`);
});

test('game clients that vanish mid-packet leave the standby server serving', { skip }, async () => {
  const began = Date.now();
  await pool(COUNTS.standby, 2, gameClient);
  figures.standby = { connections: COUNTS.standby, ms: Date.now() - began };
  assert.ok(await statusPing(), 'status after the standby soak');
});

test('proxies to room servers that misbehave end cleanly, over IPv4 and IPv6', { skip }, async () => {
  const began = Date.now();
  const servers = [await misbehavingRoomServer('127.0.0.1'), await misbehavingRoomServer('::1')];
  // A room whose server is gone: the connection fails after it started.
  const gone = await misbehavingRoomServer('127.0.0.1');
  const gonePort = gone.address().port;
  gone.close();
  const rooms = [['127.0.0.1', servers[0].address().port], ['::1', servers[1].address().port], ['127.0.0.1', gonePort]];
  try {
    const rounds = 6;
    for (let round = 0; round < rounds; round++) {
      const [host, port] = rooms[round % rooms.length];
      await command(page, joinPayload(host, port), net.isIPv6(host) ? '[WS] join room (ipv6)' : '[WS] join room (ipv4)');
      await pool(Math.ceil(COUNTS.proxy / rounds), 1, gameClient);
    }
    await command(page, Buffer.alloc(0), '[WS] leave room');
  } finally {
    for (const server of servers) server.close();
  }
  figures.proxy = { connections: COUNTS.proxy, ms: Date.now() - began };
  assert.ok(await statusPing(), 'status after the proxy soak');
});

test('browser connections sending anything leave the site page and the handshake working', { skip }, async () => {
  const began = Date.now();
  await pool(COUNTS.browser, 6, browserClient);
  figures.browser = { connections: COUNTS.browser, ms: Date.now() - began };
  assert.equal(page.readyState, WebSocket.OPEN, 'the site page stayed open');
  const fresh = await openPage();
  fresh.close();
});

test('afterwards descriptors and memory are back and every log line is a listed one', { skip }, async () => {
  // Whatever the soak left in the room record, the page's leave clears it.
  await command(page, Buffer.alloc(0), '[WS] leave room');
  assert.ok(await statusPing(), 'status ping answered');
  const fds = await settledDescriptors(start.fds);
  const rssKb = residentKb();
  figures.end = { fds, rssKb, lines: program.mark() };
  assert.equal(fds, start.fds, `open descriptors: ${fds} now, ${start.fds} at the start`);
  // The program allocates nothing; the margin is for pages touched late
  // (more under the sanitizer, whose shadow memory grows with use).
  const marginKb = /build-asan/.test(process.env.NIMBREL_PROGRAM ?? '') ? 4096 : 1024;
  assert.ok(rssKb <= start.rssKb + marginKb, `resident memory: ${rssKb} kB now, ${start.rssKb} kB at the start`);
  figures.lines = {};
  const unlisted = unlistedLines(program.linesSince(0), figures.lines);
  assert.deepEqual(unlisted.slice(0, 20), [], `${unlisted.length} log lines the program is not meant to write`);
});
