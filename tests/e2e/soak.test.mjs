// Soak and fault test: thousands of game clients through the standby server and through proxies to room
// servers that misbehave, and browser connections that send anything at all. Afterwards the program must
// still answer, hold no more descriptors than at the start, not have grown, and have logged only well-formed
// lines.
//
// Short by default; NIMBREL_SOAK=long runs the long form (make soak). Linux builds only: it reads the
// process's descriptors and memory from /proc.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { once } from 'node:events';
import { readdirSync, readFileSync } from 'node:fs';
import net from 'node:net';
import { startProgram, isWindowsProgram, isSanitized, WS_PORT, MC_PORT, SITE } from './lib/program.mjs';
import { connectSending, sleep, until } from './lib/net.mjs';
import { frame, handshake, statusRequest, ping, loginStart } from './lib/game.mjs';
import { openPage, joinPayload, command, rawRequest, clientFrame } from './lib/ws.mjs';

const COUNTS = process.env.NIMBREL_SOAK === 'long' ? { standby: 50000, proxy: 12000, browser: 50000 }
  : { standby: 4000, proxy: 1500, browser: 4000 };
const skip = isWindowsProgram ? 'reads /proc; Linux builds only' : false;

// A line the program may log: a known tag, then printable text only, so that
// nothing a peer sends can start a line of its own or hide one.
const LINE = /^\[(MISC|WS|PROXY|MITM)\] [^\x00-\x1f\x7f]*$/;

// A small deterministic generator (mulberry32), so that a failure can be run again.
let seed = Number(process.env.NIMBREL_SOAK_SEED ?? 20261206);
function random(n) {
  seed = (seed + 0x6d2b79f5) >>> 0;
  let t = Math.imul(seed ^ (seed >>> 15), seed | 1);
  t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
  return Math.floor((((t ^ (t >>> 14)) >>> 0) / 0x100000000) * n);
}
const randomBytes = (n) => Buffer.from(Array.from({ length: n }, () => random(256)));
const packets = (count, size) => Array.from({ length: count }, () => frame(randomBytes(1 + random(size()))));

// What a game client might send: a whole exchange, a login followed by packets of any size, or garbage.
const gameStream = () => [
  () => Buffer.concat([handshake(1), statusRequest, ping]),
  () => Buffer.concat([handshake(2), loginStart('player' + random(1000), randomBytes(16))]),
  () => Buffer.concat([handshake(2), loginStart('p' + random(100), randomBytes(16)),
    ...packets(random(6), () => (random(8) === 0 ? 40000 : 200))]),
  () => Buffer.concat([handshake(random(4)), randomBytes(random(300))]),
  () => randomBytes(1 + random(400)),
][random(5)]();

// What a room server might send: play packets, sometimes with garbage after them.
const serverStream = () => Buffer.concat([...packets(1 + random(6), () => (random(6) === 0 ? 30000 : 300)),
  randomBytes(random(8) === 0 ? 1 + random(20) : 0)]);

// Resolves when the socket has closed (events.once would reject on an error).
const closed = (socket) => new Promise((done) => (socket.destroyed ? done() : socket.once('close', done)));

// A peer that closed may make a write fail at once; that is expected here.
function write(socket, bytes) {
  if (socket.destroyed || !socket.writable) return;
  try { socket.write(bytes, () => {}); } catch { socket.destroy(); }
}

// Writes a random prefix of bytes in a few pieces, then closes: gracefully,
// by reset, or after waiting a moment for the other side.
async function sendAndVanish(socket, bytes) {
  const cut = random(4) === 0 ? bytes.length : random(bytes.length + 1);
  for (let at = 0; at < cut && !socket.destroyed;) {
    const next = Math.min(cut, at + 1 + random(cut - at));
    write(socket, bytes.subarray(at, next));
    at = next;
    if (random(3) === 0) await sleep(random(3));
  }
  if (random(3) === 0) await Promise.race([closed(socket), sleep(20 + random(30))]);
  if (!socket.destroyed) random(2) === 0 ? socket.resetAndDestroy() : socket.end();
}

// Connects, sends what `stream` gives and vanishes, then waits up to `linger` ms for the close.
async function client(port, stream, linger) {
  const socket = net.connect({ port, host: '127.0.0.1', noDelay: true }).on('error', () => {});
  await Promise.race([once(socket, 'connect').catch(() => {}), closed(socket)]);
  if (socket.destroyed) return;
  socket.resume();
  await sendAndVanish(socket, await stream(socket));
  await Promise.race([closed(socket), sleep(linger)]);
  socket.destroy();
}

const gameClient = () => client(MC_PORT, gameStream, 200);

// A browser connection that misbehaves in one of many ways; the frames go
// to an opened connection, so that they reach the frame reader.
const browserClient = () => client(WS_PORT, async (socket) => {
  switch (random(9)) {
    case 0: return randomBytes(1 + random(600));
    case 1: return rawRequest(SITE).subarray(0, random(160));
    case 2: return Buffer.concat([rawRequest(SITE), randomBytes(20000 + random(5000))]);
    case 3: return rawRequest(random(2) ? 'https://evil.example' : SITE, { key: randomBytes(random(40)).toString('latin1') });
    case 4: {
      const request = rawRequest(SITE);
      for (let i = random(8); i >= 0; i--) request[random(request.length)] = random(256);
      return request;
    }
    default: {
      write(socket, rawRequest(SITE));
      await sleep(5);
      const bytes = [
        () => clientFrame(0x82, randomBytes([0, 1, 85, 86, 87, 97, 98, 99][random(8)])),
        () => clientFrame(0x81, randomBytes(random(300))),
        () => clientFrame(0x82, randomBytes(200), { declared: 70000 }),
        () => clientFrame(random(256), randomBytes(random(130))),
        () => randomBytes(1 + random(40)),
        () => clientFrame(0x82, randomBytes(16000 + random(4000))),
      ][random(6)]();
      // A frame must come in one read; half of them do.
      if (random(2) === 1) return bytes;
      write(socket, bytes);
      return Buffer.alloc(0);
    }
  }
}, 100);

// A room server of our own: it reads a little, answers with packets, and
// closes or resets at a random point; sometimes it only listens.
async function misbehavingRoomServer(host) {
  const server = net.createServer((socket) => {
    socket.on('error', () => {}).once('data', () => {
      if (random(6) === 0) setTimeout(() => socket.destroy(), random(50));
      else sendAndVanish(socket, serverStream());
    });
  }).listen(0, host);
  await once(server, 'listening');
  return server;
}

// The standby server's status, read raw; rejects when it does not come.
async function statusPing() {
  const peer = await connectSending(MC_PORT, Buffer.concat([handshake(1), statusRequest]));
  await peer.until((p) => p.received.includes('"version"'), 'the status document').finally(() => peer.close());
}

const descriptors = () => readdirSync(`/proc/${program.child.pid}/fd`).length;
const residentKb = () => Number(/VmRSS:\s+(\d+)/.exec(readFileSync(`/proc/${program.child.pid}/status`, 'latin1'))[1]);

let program, page, start;
const figures = {};

before(async () => {
  if (skip) return;
  program = await startProgram();
  // One of everything first, so that what is set up on first use is counted.
  await statusPing();
  (await openPage()).terminate();
  page = await openPage();
  await sleep(200);
  start = { fds: descriptors(), rssKb: residentKb() };
});

after(async () => {
  page?.terminate();
  await program?.stop();
  if (!skip) process.stderr.write(`# soak figures: ${JSON.stringify({ start, ...figures })}\n`);
});

// Runs `count` tasks, `width` at a time, and records how long they took.
async function timed(name, count, width, task) {
  const began = Date.now();
  let next = 0;
  await Promise.all(Array.from({ length: width }, async () => { while (next < count) await task(next++); }));
  figures[name] = { connections: count, ms: Date.now() - began };
}

test('game clients that vanish mid-packet leave the standby server serving', { skip }, async () => {
  await timed('standby', COUNTS.standby, 2, gameClient);
  await statusPing();
});

test('proxies to room servers that misbehave end cleanly, over IPv4 and IPv6', { skip }, async () => {
  const servers = [await misbehavingRoomServer('127.0.0.1'), await misbehavingRoomServer('::1')];
  // A room whose server is gone: the connection fails after it started.
  const gone = await misbehavingRoomServer('127.0.0.1');
  const rooms = [...servers, gone].map((server) => joinPayload({ host: server.address().address,
    port: server.address().port, roomName: 'Soak room', ownerName: 'Tester', nick: 'SoakNick', siteData: 'soak-site-data01' }));
  gone.close();
  const perRound = Math.ceil(COUNTS.proxy / 6);
  try {
    await timed('proxy', COUNTS.proxy, 1, async (i) => {
      // Six rounds, each joining the next room first.
      if (i % perRound === 0) await command(program, page, rooms[(i / perRound) % rooms.length]);
      await gameClient();
    });
    await command(program, page, Buffer.alloc(0));
  } finally {
    for (const server of servers) server.close();
  }
  await statusPing();
});

test('browser connections sending anything leave the site page and the handshake working', { skip }, async () => {
  await timed('browser', COUNTS.browser, 6, browserClient);
  assert.equal(page.readyState, page.OPEN, 'the site page stayed open');
  (await openPage()).terminate();
});

test('afterwards descriptors and memory are back and every log line is well-formed', { skip }, async () => {
  // Whatever the soak left in the room record, the page's leave clears it.
  await command(program, page, Buffer.alloc(0));
  await statusPing();
  await until(() => descriptors() <= start.fds, 'descriptors back').catch(() => {});
  figures.end = { fds: descriptors(), rssKb: residentKb(), lines: program.mark() };
  assert.equal(figures.end.fds, start.fds, `open descriptors: ${figures.end.fds} now, ${start.fds} at the start`);
  // The program allocates nothing; the margin is for pages touched late
  // (more under the sanitizer, whose shadow memory grows with use).
  assert.ok(figures.end.rssKb <= start.rssKb + (isSanitized ? 4096 : 1024),
    `resident memory: ${figures.end.rssKb} kB now, ${start.rssKb} kB at the start`);
  const unlisted = program.linesSince(0).filter((line) => !LINE.test(line));
  assert.deepEqual(unlisted.slice(0, 20), [], `${unlisted.length} malformed log lines`);
});
