// The chaos run: for the whole run, game clients, pages and room servers misbehave at random while a well-behaved
// page and player go round: join a room, ping, log in, chat, switch, leave. The player must be answered within its
// bound of whatever misbehaved meanwhile, the page within a second; afterwards the program must have kept its
// memory and descriptors and logged only lines of its own. Seeded by NIMBREL_CHAOS_SEED (else at random; printed
// first and in every failure). About a minute by default; NIMBREL_SOAK=long runs ten (make soak).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { once } from 'node:events';
import { readdirSync, readFileSync } from 'node:fs';
import net from 'node:net';
import mc from 'minecraft-protocol';
import { startProgram, isWindowsProgram, isSanitized, WS_PORT, MC_PORT, SITE, SLOW } from './lib/program.mjs';
import { silentAddress, sleep, until } from './lib/net.mjs';
import { frame, handshake, statusRequest, ping, loginStart } from './lib/game.mjs';
import { openPage, joinPayload, rawRequest, clientFrame } from './lib/ws.mjs';
import { roomServer } from './lib/rooms.mjs';

// The program's bounds (ms): a game client that has made no progress for PARKED_MS gives way to a newcomer and is
// closed after IDLE_MS anyway (SESSION_MS once its Login Start has passed); a page's opening request has
// OPENING_MS; a connect to a room server CONNECT_MS; a farewell FAREWELL_MS; a peer that takes none of its output
// ends the proxy after STALL_MS. Beyond them the player may wait SLACK_MS for an answer, the page PAGE_MS for any.
const [PARKED_MS, IDLE_MS, SESSION_MS, OPENING_MS, CONNECT_MS, FAREWELL_MS, STALL_MS] =
  [3000, 10000, 20000, 10000, 10000, 10000, 30000];
const [SLACK_MS, PAGE_MS] = [5000 * SLOW, 1000 * SLOW];
const LONG = process.env.NIMBREL_SOAK === 'long';
const [RUN_MS, VERSION] = [(LONG ? 600 : 60) * 1000, '1.16.5'];
const SEED = Number(process.env.NIMBREL_CHAOS_SEED ?? Math.floor(Math.random() * 2 ** 32)) >>> 0;
const STATUS = Buffer.concat([handshake(1), statusRequest]);
const EXCHANGE = Buffer.concat([STATUS, ping]);
const PINGS = Buffer.concat(Array(64).fill(ping));

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
// (Node never ends a process in which a connecting socket was reset.)
const drop = (random, socket) => (random(2) || socket.connecting ? socket.destroy() : socket.resetAndDestroy());
function flood(socket, next) {
  const more = () => { while (write(socket, next())); };
  socket.on('drain', more);
  more();
}
const connected = (port, socket = net.connect({ port, host: '127.0.0.1', noDelay: true }).on('error', () => {})) =>
  Promise.race([once(socket, 'connect').catch(() => {}), closed(socket)]).then(() => socket);

// The lines the program may log: the format of every log_line and log_text call in its sources (either literal of
// a choice) and of every line formatted behind a tag, behind the text of its tag. A line cut at its length bound
// keeps the start of its format; a line that is a string alone ("%s") must be one of the sources' string literals.
function knownLines() {
  const root = new URL('../../src/', import.meta.url);
  const sources = readdirSync(root, { recursive: true }).filter((name) => /\.(cpp|h|ipp)$/.test(name))
    .map((name) => readFileSync(new URL(name, root), 'utf8')).join('\n');
  const tags = Object.fromEntries([...sources.matchAll(/char (tag_\w+)\[\] = "([^"]*)"/g)].map((m) => m.slice(1)));
  const quote = (text) => text.replace(/\\(.)/g, '$1').replace(/[.*+?^${}()|[\]\\]/g, '\\$&');
  const [TEXT, LITERAL, STRING] = ['[^\\x00-\\x1f\\x7f]*', /"((?:[^"\\\n]|\\.)*)"/g, '"(?:[^"\\\\]|\\\\.)*"'];
  const literals = [...new Set([...sources.matchAll(LITERAL)].map((m) => quote(m[1])))].filter(Boolean);
  const pattern = (format) => (format === '%s' ? `(?:${literals.join('|')})` : format.split(/(%[0-9.]*l*[dusx])/)
    .map((part, i) => (i % 2 === 0 ? quote(part) : /[dx]$/.test(part) ? '-?\\d+' : /u$/.test(part) ? '\\d+' : TEXT))
    .join(''));
  const calls = [...sources.matchAll(new RegExp(`log_line\\((tag_\\w+),\\s*((?:[^,;"]|${STRING})*)`, 'g'))]
    .flatMap(([, tag, format]) => [...format.matchAll(LITERAL)].map((literal) => [tag, literal[1]]))
    .concat([...sources.matchAll(new RegExp(`log_text\\((tag_\\w+),\\s*(${STRING}),[^;]*?(${STRING})\\)`, 'g'))]
      .map(([, tag, before, end]) => [tag, `${before.slice(1, -1)}%s${end.slice(1, -1)}`]))
    .concat([...sources.matchAll(/"%s((?:[^"\\]|\\.)*)\\n",\s*(tag_\w+)/g)].map(([, format, tag]) => [tag, format]));
  const formats = calls.flatMap(([tag, format]) => [`${quote(tags[tag])}${pattern(format)}`,
    `${quote(tags[tag])}${pattern(format.split('%')[0])}${TEXT} \\[cut, \\d+ bytes in all\\]`]);
  return new RegExp(`^(?:${formats.join('|')})$`);
}

let program, page, cycle = 0, running = true, halt;
const stop = () => { running = false; halt(); };
const [halted, cleanups, violations, gremlins, figures] = [new Promise((done) => { halt = done; }), [], [], [], {}];
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

// Game clients on the program's port, one at a time, each there for its life. The first six kinds come back
// whenever the program closes them and park, which may delay the player by PARKED_MS: silent; a status handshake
// and one byte; a login handshake without Login Start; an old-style ping; half-open; reset after an exchange cut
// anywhere. The others may hold the port for as long as their bound (`hold`): pings without reading the pongs, or
// after a login (sent on through a farewell); a login read once a second.
async function gameGremlin(random) {
  const [kind, end] = [random(8), Date.now() + 300 + random(LONG ? 45000 : 15000)];
  do {
    const record = { start: Date.now(), parked: kind < 6, hold: Math.min(end - Date.now(), STALL_MS) };
    gremlins.push(record);
    const socket = await connected(MC_PORT);
    const login = Buffer.concat([handshake(2), loginStart(`gremlin${random(100)}`)]);
    const cut = kind < 6 && (random(2) ? login : EXCHANGE).subarray(0, random(EXCHANGE.length));
    write(socket, Buffer.from([[], STATUS.subarray(0, -1), handshake(2), [0xfe, 0x01, 0xfa], login, cut,
      kind === 6 && random(2) ? login : STATUS, login][kind]));
    if (kind < 6) socket.resume();
    if (kind === 4) socket.end();
    if (kind === 5) await sleep(random(500)).then(() => socket.resetAndDestroy());
    if (kind === 6) flood(socket, () => PINGS);
    const reading = kind === 7 && setInterval(() => { socket.resume(); setImmediate(() => socket.pause()); }, 1000);
    await Promise.race([closed(socket), sleep(end - record.start), halted]);
    clearInterval(reading);
    drop(random, socket);
    record.end = Date.now();
  } while (kind < 6 && Date.now() < end && running && await sleep(50 + random(200)).then(() => true));
}

// A page connection that never becomes a well-behaved page: silent, an unfinished request, garbage, a foreign
// Origin, opened with a join frame cut before its end (a few at a time), or a request a byte at a time.
async function pageGremlin(random, open) {
  const [kind, request, join] = [random(6), rawRequest(SITE), clientFrame(0x82, joinPayload({ port: 1 }))];
  let life = random(OPENING_MS * 1.5);
  const socket = await connected(WS_PORT);
  socket.resume();
  if (kind === 1) write(socket, request.subarray(0, random(120)));
  if (kind === 2) write(socket, bytesOf(random, 1 + random(400)));
  if (kind === 3) write(socket, rawRequest(`https://evil${random(9)}.example`));
  if (kind === 4 && open.count < 3) {
    open.count++;
    socket.once('close', () => open.count--);
    write(socket, request);
    await sleep(20).then(() => write(socket, join.subarray(0, random(join.length))));
    life = random(3000);
  }
  for (let at = 0; kind === 5 && at < request.length - 4 && !socket.destroyed && running; at++) {
    await sleep(250).then(() => write(socket, request.subarray(at, at + 1)));
  }
  await Promise.race([closed(socket), sleep(life), halted]);
  drop(random, socket);
}

async function gremlinLoops() {
  const [gameRandom, pageRandom, open, pending] = [generator(2), generator(3), { count: 0 }, []];
  const pages = (async () => {
    while (running && await sleep(200 + pageRandom(2000)).then(() => true))
      for (let n = 1 + pageRandom(LONG ? 30 : 12); n--;) pending.push(pageGremlin(pageRandom, open).catch(() => {}));
  })();
  while (running) await sleep(100 + gameRandom(1500)).then(() => running && gameGremlin(gameRandom));
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
  return { host, port: server.address().port };
}

async function makeRooms() {
  const random = generator(4);
  const real = async (host) => {
    const server = await roomServer(VERSION, host, 0, { after: (done) => cleanups.push(done) });
    server.chats = [];
    server.on('playerJoin', (client) => client.on('chat', (packet) => server.chats.push(packet.message)));
    return { server, host, port: server.socketServer.address().port };
  };
  const refusing = await rawRoom('127.0.0.2', () => {});
  cleanups.pop()();
  // What answers the player: the room's status and pong and a login; for a room that cannot be reached the red
  // status and a refusal naming it; for the others anything, even a close.
  const reached = (o) => o.description && !o.description.includes('cannot be reached');
  const good = { pinged: (o) => reached(o) && o.latency >= 0, loggedIn: (o) => o.client };
  const unreachable = { pinged: (o) => o.description?.includes('cannot be reached'),
    loggedIn: (o) => o.endings?.some((text) => /Chaos \w+ by .* cannot be reached/.test(text)) };
  const any = { pinged: (o) => !o.timedOut, loggedIn: (o) => !o.timedOut };
  const floods = Array.from({ length: 32 }, (_, i) => frame([0x60 + i], bytesOf(random, random(3000))));
  const closing = (socket) => socket.once('data', () => {
    write(socket, frame([0x00], Buffer.alloc(300, 0x41)).subarray(0, random(300)));
    random(2) ? socket.end() : socket.resetAndDestroy();
  });
  const silentHost = silentAddress(); // one nobody answers on, so a connect is never answered
  const rooms = [
    { name: 'real', ...good, ...(await real('127.0.0.1')) },
    { name: 'realsix', ...good, ...(await real('::1')) },
    { name: 'refusing', ...refusing, ...unreachable },
    ...(silentHost ? [{ name: 'silent', host: silentHost, port: 25565, ...unreachable, bound: CONNECT_MS }] : []),
    { name: 'stalling', ...(await rawRoom('127.0.0.3', (s) => s.resume())), ...any, bound: SESSION_MS },
    { name: 'flooding', ...(await rawRoom('::1', (s) => flood(s, () => floods[random(32)]))), ...any, bound: IDLE_MS },
    { name: 'closing', ...(await rawRoom('127.0.0.1', closing)), ...any, bound: IDLE_MS },
  ].map((room) => ({ ...room, payload: joinPayload({ host: room.host, port: room.port,
    roomName: `Chaos ${room.name}`, ownerName: 'Gremlin', nick: 'ChaosNick', siteData: 'chaos-site-data1' }) }));
  // The standby server answers a ping with its status but no pong, and a login with its text.
  return [{ name: 'standby', payload: Buffer.alloc(0), pinged: reached, loggedIn: (o) => o.endings?.length }, ...rooms];
}

// The player's attempts at one thing, tried again while the program turns them away, until `good(outcome)`. The
// answer is due SLACK_MS after the room's bound, counted from the first try (PARKED_MS later when a game client
// parked meanwhile), or from the end of the hold of one that flooded or read slowly and came before the last try.
async function answered(what, { bound = 0 }, attemptOnce, good) {
  const began = Date.now();
  let outcome, tried;
  const due = () => {
    const meanwhile = gremlins.filter((g) => (g.end ?? Infinity) >= began);
    return Math.max(began + (meanwhile.some((g) => g.parked) ? PARKED_MS : 0),
      ...meanwhile.filter((g) => !g.parked && g.start <= tried).map((g) => g.start + g.hold)) + bound + SLACK_MS;
  };
  do outcome = await attemptOnce(due() + 1000 - (tried = Date.now()));
  while (!good(outcome) && Date.now() < due() && await sleep(100).then(() => true));
  const [ms, said] = [Date.now() - began, JSON.stringify(outcome, (key, value) => (key === 'client' ? 'in' : value))];
  if (!good(outcome)) violation(`${what}: ${outcome.timedOut ? 'no answer' : said.slice(0, 300)} after ${ms} ms`);
  else if (began + ms > due()) violation(`${what}: answered after ${ms} ms, ${began + ms - due()} ms late`);
  return outcome;
}

// One try: settles with what `start(settle)` reports, or as timed out.
const attempt = (ms, start) => new Promise((settle) => {
  const timer = setTimeout(() => settle({ timedOut: true }), Math.max(ms, 0));
  start((outcome) => { clearTimeout(timer); settle(outcome); });
});
// A ping: the status document's description and the pong's latency, or how it ended.
const pingOnce = (ms) => attempt(ms, (settle) => {
  let description;
  const connect = (client) => Object.assign(client, { hideErrors: true })
    .once('server_info', (packet) => { description = packet.response; })
    .on('end', () => settle({ ended: true, description })).setSocket(net.connect(MC_PORT, '127.0.0.1'));
  mc.ping({ host: '127.0.0.1', port: MC_PORT, version: VERSION, closeTimeout: ms + 1000, noPongTimeout: ms + 1000,
    connect }).then(({ latency }) => settle({ description, latency }), (e) => settle({ error: e.message }));
});
// A login: the client once in, or the disconnect texts it got. As the game does, it ends the connection on
// a packet it cannot read.
const loginOnce = (ms) => attempt(ms, (settle) => {
  const client = Object.assign(mc.createClient({ host: '127.0.0.1', port: MC_PORT, username: 'Player_One',
    auth: 'offline', version: VERSION, hideErrors: true }), { endings: [] });
  const timer = setTimeout(() => client.socket?.destroy(), ms);
  for (const name of ['kick_disconnect', 'disconnect']) client.on(name, ({ reason }) => client.endings.push(reason));
  client.on('error', () => client.socket?.destroy()).on('login', () => { clearTimeout(timer); settle({ client }); });
  client.on('packet', (data, { name }) => typeof name !== 'string' && client.socket?.destroy()); // an unknown id
  client.on('end', () => { clearTimeout(timer); client.gone = true; settle({ endings: client.endings }); });
});

// A room command from the page, echoed within PAGE_MS; a player in the room is sent off with a farewell.
async function command(payload, what, player) {
  const [began, count] = [Date.now(), page.messages.length];
  page.send(payload);
  await until(() => page.messages.length > count, 'echo', { timeoutMs: 10000 * SLOW }).catch(() => {});
  const [echo, ms] = [page.messages[count]?.data, Date.now() - began];
  if (!echo?.equals(payload) || ms > PAGE_MS) violation(`${what}: echo ${echo ? 'after' : 'not in'} ${ms} ms`, PAGES);
  if (!player) return;
  await until(() => player.gone, 'farewell', { timeoutMs: FAREWELL_MS + SLACK_MS }).catch(() => {});
  if (!player.gone || !player.endings.length) violation(`${what}: the player ${player.gone ? 'not told' : 'stayed'}`);
  player.end();
}

async function session(rooms) {
  const random = generator(1);
  let player;
  for (const end = Date.now() + RUN_MS; Date.now() < end;) {
    cycle++;
    const room = rooms[random(rooms.length + 2) % rooms.length]; // the standby server and one room twice as often
    await command(room.payload, `join ${room.name}`, player);
    await answered(`ping in ${room.name}`, room, pingOnce, room.pinged);
    player = (await answered(`login in ${room.name}`, room, loginOnce, room.loggedIn)).client;
    if (player) {
      const said = `chaos ${cycle}`;
      for (let i = 0; i < 3; i++) await sleep(200).then(() => player.write('chat', { message: said }));
      await until(() => room.server.chats.includes(said), 'chat', { timeoutMs: SLACK_MS }).catch(() => {});
      if (player.gone || !room.server.chats.includes(said))
        violation(`chat in ${room.name}: ${player.gone ? 'the player was cut off' : 'lost'}`);
    }
    const began = Date.now();
    const fresh = await openPage().catch((error) => violation(`a fresh page: ${error.message}`, PAGES));
    if (fresh && Date.now() - began > PAGE_MS) violation(`a fresh page opened after ${Date.now() - began} ms`, PAGES);
    fresh?.terminate();
  }
  await command(Buffer.alloc(0), 'the last leave', player);
}

const skip = isWindowsProgram ? 'reads /proc; Linux builds only' : false;
before(async () => {
  process.stderr.write(`# chaos seed: NIMBREL_CHAOS_SEED=${SEED}\n`);
  program = await startProgram();
  (await openPage()).terminate();
  page = await openPage();
  await sleep(200);
  if (!skip) figures.start = { fds: descriptors(), rssKb: residentKb() };
});
after(async () => {
  stop();
  page?.terminate();
  cleanups.forEach((done) => done());
  await program?.stop();
  process.stderr.write(`# chaos figures: ${JSON.stringify(figures)} (NIMBREL_CHAOS_SEED=${SEED})\n`);
});

test('amid misbehaving game clients, pages and room servers, the player and page are answered in time', async () => {
  const gremlinsDone = gremlinLoops();
  await session(await makeRooms()).finally(stop);
  await gremlinsDone;
  figures.run = { cycles: cycle, gremlins: gremlins.length, lines: program.mark(), failures: violations.length };
  assert.deepEqual(violations, [], `NIMBREL_CHAOS_SEED=${SEED}: ${violations.length} failures`);
});

test('afterwards: no sanitizer report, every log line a known one, memory and descriptors flat', async () => {
  assert.doesNotMatch(program.stderr, /ERROR: (Address|Leak)Sanitizer|runtime error:/, `NIMBREL_CHAOS_SEED=${SEED}`);
  const known = knownLines();
  const unknown = program.linesSince(0).filter((line) => !known.test(line));
  assert.deepEqual(unknown.slice(0, 20), [], `NIMBREL_CHAOS_SEED=${SEED}: ${unknown.length} unknown log lines`);
  if (skip) return;
  await until(() => descriptors() <= figures.start.fds, 'fds', { timeoutMs: IDLE_MS + SLACK_MS }).catch(() => {});
  figures.end = { fds: descriptors(), rssKb: residentKb() };
  assert.ok(figures.end.fds <= figures.start.fds, `NIMBREL_CHAOS_SEED=${SEED}: descriptors ${JSON.stringify(figures)}`);
  assert.ok(figures.end.rssKb <= figures.start.rssKb + (isSanitized ? 6144 : 1024),
    `NIMBREL_CHAOS_SEED=${SEED}: resident memory ${JSON.stringify(figures)}`);
});
