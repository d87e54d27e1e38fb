// Peers that stop reading: a frozen game client or a room server that takes
// nothing must not freeze the program for the pages, and idle connections
// must not hold the page slots.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import net from 'node:net';
import { once } from 'node:events';
import { startProgram, MC_PORT, WS_PORT, SLOW } from './lib/program.mjs';
import { connect, sleep } from './lib/net.mjs';
import { frame, handshake, loginStart, statusRequest } from './lib/game.mjs';
import { openPage, untilMessages, joinPayload, command, rawRequest } from './lib/ws.mjs';

const PLAY = frame([0x30], Buffer.alloc(8000, 7));
const STALL_WAIT = 45000 * SLOW;

let program, page;
let nextPort = 32000;
before(async () => {
  program = await startProgram();
  page = await openPage();
});
after(async () => {
  page?.terminate();
  await program?.stop();
});

// Writes `chunk` for as long as the socket takes it.
function flood(socket, chunk) {
  const more = () => { while (!socket.destroyed && socket.write(chunk)); };
  socket.on('drain', more).on('error', () => {});
  more();
}

// A raw room server on a new port: it floods its game client when `floods`,
// and leaves what it is sent unread unless `reads`.
async function roomServer(t, { floods = false, reads = true } = {}) {
  const sockets = [];
  const server = net.createServer((socket) => {
    sockets.push(socket);
    if (!reads) socket.pause();
    if (floods) flood(socket, PLAY);
    socket.on('error', () => {});
  });
  server.listen(nextPort++, '127.0.0.1');
  await once(server, 'listening');
  t.after(() => { sockets.forEach((socket) => socket.destroy()); server.close(); });
  return server.address().port;
}

// A game client that logs in and then takes nothing more.
async function frozenGame(t, ...more) {
  const game = await connect(MC_PORT);
  t.after(() => game.close());
  await game.send(Buffer.concat([handshake(2), loginStart('Player_One'), ...more]));
  game.socket.pause();
  return game;
}

// How long `action` took, in ms, failing past `limit`.
async function within(limit, what, action) {
  const started = Date.now();
  const result = await action();
  const took = Date.now() - started;
  assert.ok(took < limit * SLOW, `${what} took ${took} ms`);
  return result;
}

// A status exchange through whatever serves the game client now.
async function statusAnswered() {
  const game = await connect(MC_PORT);
  await game.send(Buffer.concat([handshake(1), statusRequest]));
  await game.until((peer) => peer.received.length > 100, 'a status response');
  game.close();
}

test('pages are served while a game client takes nothing; a join ends the frozen session', async (t) => {
  await command(program, page, joinPayload({ host: '127.0.0.1', port: await roomServer(t, { floods: true }) }));
  const since = program.mark();
  await frozenGame(t);
  await sleep(1500);
  assert.ok(!program.linesSince(since).some((line) => /killed|invalid/.test(line)), 'the proxy runs');
  const second = await within(1000, 'a page opening', () => openPage());
  t.after(() => second.terminate());
  const echoes = page.messages.length + 1;
  await within(1000, 'a join and its echo', () => command(program, second, joinPayload({ port: 1 })));
  await untilMessages(page, echoes);
  assert.ok(!program.linesSince(since).some((line) => /stalled|send fails/.test(line)), 'no stall yet');
});

test('a game client that takes nothing for 30 s is dropped; idle connections lose their slots after 10 s', async (t) => {
  await command(program, page, joinPayload({ host: '127.0.0.1', port: await roomServer(t, { floods: true }) }));
  const since = program.mark();
  page.terminate();
  await program.waitForLine(/^\[WS\] close, sock \d+$/, { since });
  await frozenGame(t);
  await sleep(1000);
  // Meanwhile sixteen connections that never finish their opening handshake,
  // made one by one (the listener's backlog is short).
  const opened = Date.now();
  const idle = [];
  t.after(() => idle.forEach((peer) => peer.close()));
  for (let slot = 0; slot < 16; slot++) {
    const put = program.mark();
    idle.push(await connect(WS_PORT));
    if (slot % 2) await idle[slot].send(rawRequest('https://nowhere').subarray(0, 30));
    await program.waitForLine(new RegExp(`^\\[WS\\] putted, sock \\d+ in ${slot}$`), { since: put });
  }
  await Promise.all(idle.map((peer) => peer.until(undefined, 'the idle connection closed', 15000 * SLOW)));
  assert.ok(Date.now() - opened >= 9500, `idle connections closed after ${Date.now() - opened} ms`);
  page = await openPage();
  const lines = await program.linesUntil('[PROXY] game client stalled', { since, timeoutMs: STALL_WAIT });
  assert.equal(program.lines[since + lines.length], '[PROXY] close, handle_kind 1');
  await statusAnswered();
});

test('a room server that takes nothing for 30 s ends its proxy, and pages are served meanwhile', async (t) => {
  await command(program, page, joinPayload({ host: '127.0.0.1', port: await roomServer(t, { reads: false }) }));
  const since = program.mark();
  const game = await frozenGame(t);
  flood(game.socket, PLAY);
  await sleep(1500);
  const second = await within(1000, 'a page opening', () => openPage());
  second.terminate();
  const lines = await program.linesUntil('[PROXY] room server stalled', { since, timeoutMs: STALL_WAIT });
  assert.equal(program.lines[since + lines.length], '[PROXY] close, handle_kind 1');
  await statusAnswered();
});
