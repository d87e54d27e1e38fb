// The chaos run: for the whole run, game clients, pages and room servers that misbehave at random, while a
// well-behaved page and player go through a scripted session: join a room, ping, log in, chat, switch, leave.
// The player must be answered within its bound of whatever misbehaved meanwhile, the page within a second,
// and afterwards the program must have kept its memory and descriptors and logged only lines of its own.
//
// Seeded by NIMBREL_CHAOS_SEED (else at random; printed first and in every failure). About a minute by
// default; NIMBREL_SOAK=long runs ten (make soak).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { once } from 'node:events';
import { spawn } from 'node:child_process';
import { readdirSync, readFileSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import mc from 'minecraft-protocol';
import { startProgram, isWindowsProgram, isSanitized, WS_PORT, MC_PORT, SITE, SLOW } from './lib/program.mjs';
import { sleep, until } from './lib/net.mjs';
import { frame, handshake, statusRequest, ping, loginStart } from './lib/game.mjs';
import { openPage, joinPayload, rawRequest, clientFrame } from './lib/ws.mjs';
import { roomServer } from './lib/rooms.mjs';

// The program's bounds (ms): a game client that has made no progress for PARKED_MS gives way to a newcomer
// and is closed after IDLE_MS anyway (SESSION_MS once its Login Start has passed); a page's opening request
// has OPENING_MS; a connect to a room server CONNECT_MS; a farewell FAREWELL_MS; a peer that takes none of
// its output ends the proxy after STALL_MS.
const PARKED_MS = 3000;
const IDLE_MS = 10000;
const SESSION_MS = 20000;
const OPENING_MS = 10000;
const CONNECT_MS = 10000;
const FAREWELL_MS = 10000;
const STALL_MS = 30000;
// How long beyond them the player may wait for an answer, and the page for any answer at all.
const SLACK_MS = 5000 * SLOW;
const PAGE_MS = 1000 * SLOW;

const LONG = process.env.NIMBREL_SOAK === 'long';
const RUN_MS = (LONG ? 600 : 60) * 1000;
const VERSION = '1.16.5';
const SEED = Number(process.env.NIMBREL_CHAOS_SEED ?? Math.floor(Math.random() * 2 ** 32)) >>> 0;
const linux = !isWindowsProgram;
// A file to write the program's log to, with a trace of the run on standard error.
const TRACE = process.env.NIMBREL_CHAOS_TRACE;

// One generator (mulberry32) per actor, so that what each does depends on the seed alone.
function generator(actor) {
  let state = (SEED ^ Math.imul(actor, 0x9e3779b9)) >>> 0;
  return (n) => {
    state = (state + 0x6d2b79f5) >>> 0;
    let t = Math.imul(state ^ (state >>> 15), state | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return Math.floor((((t ^ (t >>> 14)) >>> 0) / 0x100000000) * n);
  };
}
const bytesOf = (random, n) => Buffer.from(Array.from({ length: n }, () => random(256)));
const closed = (socket) => new Promise((done) => (socket.destroyed ? done() : socket.once('close', done)));
const write = (socket, bytes) => !socket.destroyed && socket.writable && socket.write(bytes, () => {});
async function connected(port, host = '127.0.0.1') {
  const socket = net.connect({ port, host, noDelay: true }).on('error', () => {});
  await Promise.race([once(socket, 'connect').catch(() => {}), closed(socket)]);
  return socket;
}

// The lines the program may log: the format of every log_line and log_text call in its sources (either
// literal of a choice), behind the text of its tag. A line cut at its length bound keeps the start of its
// format. A line that is a string alone ("%s") must be one of the sources' string literals.
function knownLines() {
  const read = (dir) => readdirSync(dir, { withFileTypes: true }).flatMap((entry) => (entry.isDirectory()
    ? read(`${dir}/${entry.name}`) : /\.(cpp|h|ipp)$/.test(entry.name) ? [readFileSync(`${dir}/${entry.name}`, 'utf8')] : []));
  const sources = read(new URL('../../src', import.meta.url).pathname).join('\n');
  const tags = Object.fromEntries([...sources.matchAll(/char (tag_\w+)\[\] = "([^"]*)"/g)].map((m) => m.slice(1)));
  const quote = (text) => text.replace(/\\(.)/g, '$1').replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
  const TEXT = '[^\\x00-\\x1f\\x7f]*';
  const LITERAL = /"((?:[^"\\\n]|\\.)*)"/g;
  const literals = [...new Set([...sources.matchAll(LITERAL)].map((m) => quote(m[1])))].filter(Boolean);
  const pattern = (format) => (format === '%s' ? `(?:${literals.join('|')})` : format.split(/(%[0-9.]*l*[dusx])/)
    .map((part, i) => (i % 2 === 0 ? quote(part) : /[dx]$/.test(part) ? '-?\\d+' : /u$/.test(part) ? '\\d+' : TEXT)).join(''));
  const calls = [...sources.matchAll(/log_line\((tag_\w+),\s*((?:[^,;"]|"(?:[^"\\]|\\.)*")*)/g)]
    .flatMap(([, tag, format]) => [...format.matchAll(LITERAL)].map((literal) => [tag, literal[1]]))
    .concat([...sources.matchAll(/log_text\((tag_\w+),\s*"((?:[^"\\]|\\.)*)",[^;]*?"((?:[^"\\]|\\.)*)"\)/g)]
      .map(([, tag, before, end]) => [tag, `${before}%s${end}`]));
  const formats = calls.flatMap(([tag, format]) => [`${quote(tags[tag])}${pattern(format)}`,
    `${quote(tags[tag])}${pattern(format.split('%')[0])}${TEXT} \\[cut, \\d+ bytes in all\\]`]);
  return new RegExp(`^(?:${formats.join('|')})$`);
}

let program, page, cycle = 0, running = true, halt;
const halted = new Promise((done) => { halt = done; });
const cleanups = [], violations = [], gremlins = [], figures = {};
const descriptors = () => readdirSync(`/proc/${program.child.pid}/fd`).length;
const residentKb = () => Number(/VmRSS:\s+(\d+)/.exec(readFileSync(`/proc/${program.child.pid}/status`, 'latin1'))[1]);
const PAGES = /^\[WS\]/;
// Records a failure with the program's last lines about game clients (or about pages).
function violation(what, about = /^\[(PROXY|MITM|MISC)\]/) {
  const line = `${what} (cycle ${cycle}, NIMBREL_CHAOS_SEED=${SEED})`;
  process.stderr.write(`# chaos: ${line}\n`);
  const recent = program.linesSince(Math.max(0, program.mark() - 2000)).filter((text) => about.test(text));
  violations.push(`${line}\n    ${recent.slice(-12).join('\n    ')}`);
}

// Game clients on the program's port, one at a time: each is there for its life, one that parks coming
// back whenever the program closes it. One that floods or reads slowly may hold the port for as long as
// its bound (`hold`); one that parks, PARKED_MS from the player's arrival.
async function gameGremlin(random) {
  const kind = random(8);
  const end = Date.now() + 300 + random(LONG ? 45000 : 15000);
  if (TRACE) process.stderr.write(`# chaos: game client of kind ${kind} until ${end}, log line ${program.mark()}\n`);
  do await gameConnection(random, kind, end - Date.now());
  while (kind < 6 && Date.now() < end && running && await sleep(50 + random(200)).then(() => true));
}

async function gameConnection(random, kind, life) {
  const record = { start: Date.now(), parked: kind < 6, hold: Math.min(life, STALL_MS) };
  gremlins.push(record);
  const socket = await connected(MC_PORT);
  let reading;
  const login = Buffer.concat([handshake(2), loginStart(`gremlin${random(100)}`)]);
  const exchange = Buffer.concat([handshake(1), statusRequest, ping]);
  // Silent; a status handshake and one byte; a login without Login Start; an old-style ping; half-open;
  // reset after an exchange cut anywhere.
  const sends = [[], Buffer.concat([handshake(1), statusRequest.subarray(0, 1)]), handshake(2),
    Buffer.from([0xfe, 0x01, 0xfa]), login, (random(2) ? login : exchange).subarray(0, random(exchange.length))];
  if (kind < 6) {
    write(socket, Buffer.from(sends[kind]));
    socket.resume();
    if (kind === 4) socket.end(); // half-open: its side closed, still reading
    if (kind === 5) await sleep(random(500)).then(() => socket.resetAndDestroy());
  } else if (kind === 6) {
    // Pings without reading the pongs.
    write(socket, Buffer.concat([handshake(1), statusRequest]));
    const flood = () => { while (!socket.destroyed && write(socket, Buffer.concat(Array(64).fill(ping)))); };
    socket.on('drain', flood);
    flood();
  } else {
    // Logs in and reads once a second.
    write(socket, login);
    reading = setInterval(() => { socket.resume(); setImmediate(() => socket.pause()); }, 1000);
  }
  await Promise.race([closed(socket), sleep(life), halted]);
  clearInterval(reading);
  random(2) ? socket.destroy() : socket.resetAndDestroy();
  record.end = Date.now();
}

// A page connection that never becomes a well-behaved page.
async function pageGremlin(random, open) {
  const kind = random(6);
  let life = random(OPENING_MS * 1.5);
  const socket = await connected(WS_PORT);
  socket.resume();
  if (kind === 1) write(socket, rawRequest(SITE).subarray(0, random(120)));
  if (kind === 2) write(socket, bytesOf(random, 1 + random(400)));
  if (kind === 3) write(socket, rawRequest(`https://evil${random(9)}.example`));
  if (kind === 4 && open.count < 3) {
    // Opened, then a frame cut before its end: a join that never comes whole.
    open.count++;
    socket.once('close', () => open.count--);
    write(socket, rawRequest(SITE));
    const join = clientFrame(0x82, joinPayload({ port: 1 }));
    await sleep(20);
    write(socket, join.subarray(0, random(join.length)));
    life = random(3000);
  }
  if (kind === 5) {
    // A request a byte at a time, too slow to finish.
    const request = rawRequest(SITE);
    for (let at = 0; at < request.length - 4 && !socket.destroyed && running; at++) {
      await sleep(250);
      write(socket, request.subarray(at, at + 1));
    }
  }
  await Promise.race([closed(socket), sleep(life), halted]);
  random(2) ? socket.destroy() : socket.resetAndDestroy();
}

async function gremlinLoops() {
  const [gameRandom, pageRandom, open, pending] = [generator(2), generator(3), { count: 0 }, new Set()];
  const pages = (async () => {
    while (running) {
      await sleep(200 + pageRandom(2000));
      for (let i = 1 + pageRandom(LONG ? 30 : 12); i > 0; i--) {
        const gremlin = pageGremlin(pageRandom, open).catch(() => {});
        pending.add(gremlin);
        gremlin.finally(() => pending.delete(gremlin));
      }
    }
  })();
  while (running) await sleep(300 + gameRandom(3000)).then(() => running && gameGremlin(gameRandom));
  await pages;
  await Promise.all(pending);
}

// Room servers: real ones, and raw ones that misbehave. `bound` is the program's deadline for the room.
async function rawRoom(host, onSocket) {
  const sockets = new Set();
  const server = net.createServer((socket) => {
    sockets.add(socket.on('error', () => {}).on('close', () => sockets.delete(socket)));
    onSocket(socket);
  }).listen(0, host);
  await once(server, 'listening');
  cleanups.push(() => { sockets.forEach((socket) => socket.destroy()); server.close(); });
  return server.address().port;
}

async function makeRooms() {
  const random = generator(4);
  const real = async (host) => {
    const server = await roomServer(VERSION, host, 0, { after: (done) => cleanups.push(done) });
    server.chats = [];
    server.on('playerJoin', (client) => client.on('chat', (packet) => server.chats.push(packet.message)));
    return { server, port: server.socketServer.address().port };
  };
  const refusing = await rawRoom('127.0.0.2', () => {});
  cleanups.pop()();
  // Accepts nothing: its accept queue is full, so that a connect is never answered.
  const holder = spawn(process.execPath, ['-e', `const s = require('node:net').createServer().listen({ port: 0,
    host: '127.0.0.2', backlog: 1 }, () => { process.stdout.write(s.address().port + '\\n');
    Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0); });`], { stdio: ['ignore', 'pipe', 'ignore'] });
  cleanups.push(() => holder.kill('SIGKILL'));
  const [silent] = await once(holder.stdout, 'data');
  for (let i = 0; i < 3; i++) cleanups.push(((socket) => () => socket.destroy())(net.connect(Number(silent), '127.0.0.2').on('error', () => {})));
  const flood = (socket) => {
    const more = () => { while (write(socket, frame([0x60 + random(32)], bytesOf(random, random(3000))))); };
    socket.on('drain', more);
    more();
  };
  const rooms = [
    { name: 'real', good: true, ...(await real('127.0.0.1')) },
    { name: 'real six', host: '::1', good: true, ...(await real('::1')) },
    { name: 'refusing', host: '127.0.0.2', port: refusing, unreachable: true },
    { name: 'silent', host: '127.0.0.2', port: Number(silent), unreachable: true, bound: CONNECT_MS },
    { name: 'stalling', host: '127.0.0.3', port: await rawRoom('127.0.0.3', (socket) => socket.resume()), bound: SESSION_MS },
    { name: 'flooding', host: '::1', port: await rawRoom('::1', flood), bound: IDLE_MS },
    { name: 'closing', port: await rawRoom('127.0.0.1', (socket) => socket.once('data', () => {
      write(socket, frame([0x00], Buffer.alloc(300, 0x41)).subarray(0, random(300)));
      random(2) ? socket.end() : socket.resetAndDestroy();
    })), bound: IDLE_MS },
  ];
  for (const room of rooms) {
    room.payload = joinPayload({ host: room.host ?? '127.0.0.1', port: room.port, roomName: `Chaos ${room.name}`,
      ownerName: 'Gremlin', nick: 'ChaosNick', siteData: 'chaos-site-data1' });
  }
  return rooms;
}

// The player's attempts at one thing, tried again while the program turns them away, until `good(outcome)`.
// The answer is due SLACK_MS after the room's bound, counted from the first try (PARKED_MS later when a
// game client parked meanwhile), or from the end of the hold of one that flooded or read slowly.
async function answered(what, { bound = 0 }, attemptOnce, good) {
  const began = Date.now();
  const due = () => {
    const meanwhile = gremlins.filter((g) => (g.end ?? Infinity) >= began);
    return Math.max(began + (meanwhile.some((g) => g.parked) ? PARKED_MS : 0),
      ...meanwhile.filter((g) => !g.parked).map((g) => g.start + g.hold)) + bound + SLACK_MS;
  };
  let outcome;
  do outcome = await attemptOnce(due() + 1000 - Date.now());
  while (!good(outcome) && Date.now() < due() && await sleep(100).then(() => true));
  const ended = Date.now();
  if (TRACE) process.stderr.write(`# chaos: cycle ${cycle}, ${what}: ${ended - began} ms to line ${program.mark()}, ${summary(outcome)}\n`);
  if (!good(outcome)) violation(`${what}: ${outcome.timedOut ? 'no answer' : summary(outcome)} after ${ended - began} ms`);
  else if (ended > due()) violation(`${what}: answered after ${ended - began} ms, ${ended - due()} ms late`);
  return outcome;
}

// One try: settles with what `start(settle)` reports, or as timed out.
function once_(ms, start) {
  return new Promise((settle) => {
    const timer = setTimeout(() => settle({ timedOut: true }), Math.max(ms, 0));
    start((outcome) => { clearTimeout(timer); settle(outcome); });
  });
}
// A ping: the status document's description and the pong's latency, or how it ended (the standby server
// answers no pong).
const pingOnce = (ms) => once_(ms, (settle) => {
  let description;
  const connect = (client) => Object.assign(client, { hideErrors: true })
    .once('server_info', (packet) => { description = packet.response; })
    .on('end', () => settle({ ended: true, description })).setSocket(net.connect(MC_PORT, '127.0.0.1'));
  mc.ping({ host: '127.0.0.1', port: MC_PORT, version: VERSION, closeTimeout: ms + 1000, noPongTimeout: ms + 1000, connect })
    .then(({ latency }) => settle({ description, latency }), (error) => settle({ error: error.message, description }));
});
const summary = (outcome) => JSON.stringify(outcome, (key, value) => (key === 'client' ? 'logged in' : value)).slice(0, 300);
const loginOnce = (ms) => once_(ms, (settle) => {
  const client = mc.createClient({ host: '127.0.0.1', port: MC_PORT, username: 'Player_One', auth: 'offline',
    version: VERSION, hideErrors: true });
  client.endings = [];
  client.on('kick_disconnect', ({ reason }) => client.endings.push(reason)).on('error', () => {});
  client.on('disconnect', ({ reason }) => client.endings.push(reason)).on('end', () => { client.gone = true; });
  const timer = setTimeout(() => client.end(), ms);
  client.on('login', () => { clearTimeout(timer); settle({ client }); });
  client.on('end', () => { clearTimeout(timer); settle({ endings: client.endings }); });
});

async function command(payload, what, player) {
  if (page.readyState !== page.OPEN) {
    violation(`the page was closed (${page.closeCode})`, PAGES);
    page = await openPage();
  }
  const [began, count] = [Date.now(), page.messages.length];
  page.send(payload);
  await until(() => page.messages.length > count, 'echo', { timeoutMs: 10000 * SLOW }).catch(() => {});
  const echo = page.messages[count]?.data;
  if (!echo?.equals(payload) || Date.now() - began > PAGE_MS) violation(`${what}: echo ${echo ? 'after' : 'missing after'} ${Date.now() - began} ms`, PAGES);
  if (!player) return;
  // The player in the room is sent off with a farewell.
  await until(() => player.gone, 'farewell', { timeoutMs: FAREWELL_MS + SLACK_MS }).catch(() => {});
  if (!player.gone || player.endings.length === 0) violation(`${what}: the player ${player.gone ? 'left without a farewell' : 'still connected'}`);
  player.end();
}

async function session(rooms) {
  const random = generator(1);
  const standby = { name: 'standby', payload: Buffer.alloc(0) };
  let player;
  for (const end = Date.now() + RUN_MS; Date.now() < end;) {
    cycle++;
    const room = random(4) === 0 ? standby : rooms[random(rooms.length)];
    await command(room.payload, `join ${room.name}`, player);
    player = undefined;
    const reachable = (outcome) => outcome.description && !outcome.description.includes('cannot be reached');
    await answered(`ping in ${room.name}`, room, pingOnce, room.good ? (o) => reachable(o) && o.latency >= 0 : room === standby ? reachable
      : room.unreachable ? (o) => o.description?.includes('cannot be reached') : (o) => !o.timedOut);
    const refused = (o) => o.endings?.some((text) => /cannot be reached/.test(text) && text.includes(`Chaos ${room.name}`));
    const login = await answered(`login in ${room.name}`, room, loginOnce,
      room.good ? (o) => o.client : room.unreachable ? refused : room === standby ? (o) => o.endings?.length : (o) => !o.timedOut);
    if (!room.good) login.client?.end();
    if (room.good && login.client) {
      player = login.client;
      for (let i = 0; i < 3; i++) await sleep(200).then(() => player.write('chat', { message: `chaos ${cycle}.${i}` }));
      await until(() => room.server.chats.includes(`chaos ${cycle}.2`), 'chat', { timeoutMs: SLACK_MS }).catch(() => {});
      if (player.gone || !room.server.chats.includes(`chaos ${cycle}.2`)) violation(`chat in ${room.name}: ${player.gone ? 'player dropped' : 'not received'}`);
    }
    const began = Date.now();
    const fresh = await openPage().catch((error) => violation(`a fresh page: ${error.message}`, PAGES));
    if (fresh && Date.now() - began > PAGE_MS) violation(`a fresh page opened after ${Date.now() - began} ms`, PAGES);
    fresh?.terminate();
  }
  await command(Buffer.alloc(0), 'the last leave', player);
}

const skip = linux ? false : 'reads /proc; Linux builds only';
before(async () => {
  process.stderr.write(`# chaos seed: NIMBREL_CHAOS_SEED=${SEED}\n`);
  program = await startProgram();
  (await openPage()).terminate();
  page = await openPage();
  await sleep(200);
  if (linux) figures.start = { fds: descriptors(), rssKb: residentKb() };
});
after(async () => {
  running = false;
  halt();
  page?.terminate();
  cleanups.forEach((done) => done());
  await program?.stop();
  process.stderr.write(`# chaos figures: ${JSON.stringify(figures)} (NIMBREL_CHAOS_SEED=${SEED})\n`);
  if (TRACE) writeFileSync(TRACE, program.lines.join('\n'));
});

test('amid misbehaving game clients, pages and room servers, the player and the page are answered in time', async () => {
  const rooms = await makeRooms();
  const gremlinsDone = gremlinLoops();
  await session(rooms).finally(() => { running = false; halt(); });
  await gremlinsDone;
  figures.run = { cycles: cycle, gremlins: gremlins.length, lines: program.mark(), failures: violations.length };
  assert.deepEqual(violations, [], `NIMBREL_CHAOS_SEED=${SEED}: ${violations.length} failures:\n${violations.slice(0, 8).join('\n')}`);
});

test('afterwards: no sanitizer report, every log line a known one, memory and descriptors flat', async () => {
  assert.doesNotMatch(program.stderr, /ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:/, `NIMBREL_CHAOS_SEED=${SEED}`);
  const known = knownLines();
  const unknown = program.linesSince(0).filter((line) => !known.test(line));
  assert.deepEqual(unknown.slice(0, 20), [], `NIMBREL_CHAOS_SEED=${SEED}: ${unknown.length} unknown log lines`);
  if (skip) return;
  await until(() => descriptors() <= figures.start.fds, 'descriptors back', { timeoutMs: IDLE_MS + SLACK_MS }).catch(() => {});
  figures.end = { fds: descriptors(), rssKb: residentKb() };
  assert.ok(figures.end.fds <= figures.start.fds, `NIMBREL_CHAOS_SEED=${SEED}: open descriptors ${JSON.stringify(figures)}`);
  assert.ok(figures.end.rssKb <= figures.start.rssKb + (isSanitized ? 6144 : 1024),
    `NIMBREL_CHAOS_SEED=${SEED}: resident memory ${JSON.stringify(figures)}`);
});
