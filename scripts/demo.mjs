// The whole path on one machine (`make demo`): the program built for the site
// "localhost", the demo site at http://localhost:8080 and two game servers
// as its rooms, one on 127.0.0.1 and one on ::1. Ctrl-C ends all of it.
//
// The terminal shows one line per request of a page to the program; the
// program's whole log goes to nimbrel-client.log beside it.
//
// NIMBREL_PROGRAM names the program to start (default build-demo/nimbrel-client).
import { spawn } from 'node:child_process';
import { createWriteStream, readFileSync } from 'node:fs';
import { readFile } from 'node:fs/promises';
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';
import { dirname, extname, relative, resolve, sep } from 'node:path';
import { once } from 'node:events';
import { createInterface } from 'node:readline';

// The game protocol libraries are the end-to-end suite's, installed by `make deps`.
const require = createRequire(new URL('../tests/e2e/package.json', import.meta.url));
const mc = require('minecraft-protocol');
const minecraftData = require('minecraft-data');
const nbt = require('prismarine-nbt');

const root = fileURLToPath(new URL('..', import.meta.url));
const webRoot = resolve(root, 'web');
const programPath = resolve(root, process.env.NIMBREL_PROGRAM ?? 'build-demo/nimbrel-client');
const logPath = resolve(dirname(programPath), 'nimbrel-client.log');
const SITE_PORT = 8080;
const GREETING_WAIT_MS = 3000;
const { version, rooms } = JSON.parse(readFileSync(resolve(webRoot, 'demo/rooms.json'), 'utf8'));
const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8',
  '.json': 'application/json', '.css': 'text/css; charset=utf-8', '.png': 'image/png' };

const say = (line) => process.stdout.write(`${line}\n`);
const hostPort = (address, port) => (address.includes(':') ? `[${address}]:${port}` : `${address}:${port}`);
const closers = [];
let stopping = false;

// Ends everything that was started and then the process itself.
function stop(code) {
  if (stopping) return;
  stopping = true;
  for (const close of closers.reverse()) {
    try {
      close();
    } catch {
      // Already gone.
    }
  }
  if (code === 0) say('demo: stopped');
  process.exitCode = code;
  // Connections still closing must not hold the terminal.
  setTimeout(() => process.exit(code), 500).unref();
}
process.on('SIGINT', () => stop(0)).on('SIGTERM', () => stop(0));

// Resolves once `server` (told to listen already) listens; stops the demo when it cannot.
async function listening(server, host, port, what) {
  try {
    await once(server, 'listening');
  } catch (error) {
    say(`demo: ${what} cannot listen on ${hostPort(host, port)}: ${error.code ?? error.message}`);
    stop(1);
    throw error;
  }
}

// The demo site: the files below web/ (the kit and the demo's pages), and
// nothing outside it, whatever the request's path says.
async function serveSite(request, response) {
  let path = null;
  try {
    path = decodeURIComponent(new URL(request.url, 'http://localhost').pathname);
  } catch {
    // Not a path at all.
  }
  if (path === '/') {
    response.writeHead(302, { Location: '/demo/' }).end();
    return;
  }
  const file = path === null || path.includes('\0') ? null
    : resolve(webRoot, `.${path.endsWith('/') ? `${path}index.html` : path}`);
  const type = file && TYPES[extname(file)];
  if (request.method !== 'GET' || !type || !file.startsWith(webRoot + sep)) {
    response.writeHead(request.method === 'GET' ? 404 : 405).end();
    return;
  }
  try {
    const body = await readFile(file);
    response.writeHead(200, { 'Content-Type': type, 'Cache-Control': 'no-store' }).end(body);
  } catch {
    response.writeHead(404).end();
  }
}

// A game text: an NBT compound where the version sends those, JSON before.
function chatText(data, text) {
  return data.supportFeature('chatPacketsUseNbtComponents') ? nbt.comp({ text: nbt.string(text) })
    : JSON.stringify({ text });
}

// A room: an offline-mode game server that greets each player in chat with
// the room's name and the name the player arrived under.
async function startRoom(room) {
  const data = minecraftData(version);
  const server = mc.createServer({ host: room.address, port: room.port, version, 'online-mode': false,
    motd: room.motd, maxPlayers: 8 });
  closers.push(() => server.close());
  await listening(server, room.address, room.port, `room ${room.roomName}`);
  server.on('error', (error) => say(`room ${room.roomName} | ${error.message}`));
  server.on('playerJoin', (client) => {
    say(`room ${room.roomName} | ${client.username} joined`);
    client.on('end', () => say(`room ${room.roomName} | ${client.username} left`));
    client.on('error', (error) => say(`room ${room.roomName} | ${client.username}: ${error.message}`));
    client.write('login', { ...data.loginPacket, entityId: client.id, maxPlayers: 8, viewDistance: 4,
      enforcesSecureChat: false });
    // A game of 1.20.3 or newer waits for this before it loads the world.
    if (data.isNewerOrEqualTo('1.20.3')) {
      client.write('game_state_change', { reason: 'level_chunks_load_start', gameMode: 0 });
    }
    client.write('position', { teleportId: 1, x: 0, y: 64, z: 0, dx: 0, dy: 0, dz: 0, yaw: 0, pitch: 0, flags: 0 });
    // A game of 1.21.4 or newer says when it shows the world; a greeting before
    // that would pass unseen behind the loading screen. Like the game's own
    // server, the room waits for it a few seconds at most.
    let greeted = false;
    const greet = () => {
      clearTimeout(fallback);
      if (greeted || client.state !== 'play' || client.ended) return;
      greeted = true;
      client.write('system_chat', { content: chatText(data, `Welcome to ${room.roomName}, ${client.username}!`),
        isActionBar: false });
    };
    const tellsLoaded = 'packet_player_loaded' in data.protocol.play.toServer.types;
    const fallback = setTimeout(greet, tellsLoaded ? GREETING_WAIT_MS : 0);
    client.once('player_loaded', greet);
  });
}

// One line for what a page asked of the program, or for the program being
// ready, from the program's log; null for the other lines.
function summary(line, page) {
  const origin = line.match(/^\[WS\] \[ORIGIN: ?(.*)\]$/);
  if (origin) page.origin = origin[1];
  if (/^\[WS\] packet, sock \d+, state 0$/.test(line)) page.origin = null;
  const from = `page ${page.origin ?? '(no Origin)'}`;
  if (/^\[WS\] open, sock = \d+$/.test(line)) return `${from}: connected`;
  if (line === '[WS] origin error') return `${from}: refused, not a page of http://localhost`;
  if (/^\[MISC\] minecraft master assigned/.test(line)) return 'ready for pages and for the game';
  const command = line.match(/^\[WS\] (join room \(ipv[46]\)|leave room)$/);
  return command ? `a page: ${command[1]}` : null;
}

// The program, its log in a file and its answers to pages summed up; the demo ends with it.
function startProgram() {
  const child = spawn(programPath, [], { stdio: ['ignore', 'pipe', 'pipe'] });
  closers.push(() => child.exitCode === null && child.signalCode === null && child.kill('SIGTERM'));
  const log = createWriteStream(logPath);
  closers.push(() => log.end());
  const page = { origin: null };
  for (const stream of [child.stdout, child.stderr]) {
    createInterface({ input: stream }).on('line', (line) => {
      log.write(`${line}\n`);
      const text = summary(line, page);
      if (text) say(`nimbrel-client | ${text}`);
    });
  }
  child.on('error', (error) => {
    say(`demo: cannot start ${programPath}: ${error.message} (make demo builds it)`);
    stop(1);
  });
  child.on('exit', (code, signal) => {
    // Ctrl-C in the terminal reaches the program too.
    if (stopping || signal === 'SIGINT') {
      stop(0);
      return;
    }
    say(`demo: nimbrel-client ended (${signal ?? `exit status ${code}`}); the demo stops`);
    stop(1);
  });
}

try {
  // Browsers may look up "localhost" as either loopback address.
  for (const host of ['127.0.0.1', '::1']) {
    const site = createServer((request, response) => serveSite(request, response).catch(() => response.destroy()));
    closers.push(() => {
      site.close();
      site.closeAllConnections();
    });
    await listening(site.listen(SITE_PORT, host), host, SITE_PORT, 'the demo site');
  }
  for (const room of rooms) await startRoom(room);
} catch {
  // stop() has run.
}
if (!stopping) {
  const list = rooms.map((room) => `${room.roomName} (${hostPort(room.address, room.port)})`).join(' and ');
  say(['Nimbrel demo',
    `  1. Open http://localhost:${SITE_PORT}/ in Chromium or Chrome and pick a room.`,
    `  2. In Minecraft Java ${version}, Multiplayer, Add Server: address 127.0.0.1.`,
    '     The entry shows the room you picked; join it, and the room greets you in chat.',
    `  The rooms ${list} speak Minecraft Java ${version}, offline mode.`,
    `  Ctrl-C ends the demo. The program's log: ${relative(process.cwd(), logPath)}; what pages ask of it follows.`]
    .join('\n'));
  startProgram();
}
