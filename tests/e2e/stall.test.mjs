// Peers that stop reading: a frozen game client or a room server that takes nothing must not freeze the
// program for the pages, and idle connections must not hold the page slots.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { MC_PORT, WS_PORT, SLOW } from './lib/program.mjs';
import { connect, connectSending, sleep, until } from './lib/net.mjs';
import { frame, handshake, statusRequest } from './lib/game.mjs';
import { openPage, untilMessages, joinPayload, command, rawRequest } from './lib/ws.mjs';
import { session } from './lib/session.mjs';

const PLAY = frame([0x30], Buffer.alloc(8000, 7));
const s = session(32000);

// Writes `chunk` for as long as the socket takes it.
function flood(socket, chunk) {
  const more = () => { while (!socket.destroyed && socket.write(chunk)); };
  socket.on('drain', more).on('error', () => {});
  more();
}

// Joins a raw room server that floods its game client, or reads nothing; a
// game client then logs in there, floods it when the server reads nothing,
// and itself reads nothing. Resolves, with the log's mark before the game
// client came and the game client, once the buffers have had time to fill.
async function stalledSession(t, { serverReads }) {
  const server = await s.rawServer(t, ({ socket }) => {
    if (serverReads) socket.once('data', () => flood(socket, PLAY)); // once the login is through
    else socket.pause();
  });
  const { game, since } = await s.rawGame(server.port);
  // Reset, not closed: no connection of the program's port is left in TIME_WAIT, which under Wine keeps the
  // next program from its ports for a minute.
  t.after(() => game.socket.resetAndDestroy());
  game.socket.pause();
  if (!serverReads) flood(game.socket, PLAY);
  await sleep(1500);
  assert.ok(!s.program.linesSince(since).some((line) => /killed|invalid/.test(line)), 'the proxy runs');
  return { since, game };
}

async function within(limit, what, action) {
  const started = Date.now();
  const result = await action();
  assert.ok(Date.now() - started < limit * SLOW, `${what} took ${Date.now() - started} ms`);
  return result;
}

test('a frozen game client: pages are served and a join ends it; left alone it is dropped after 30 s, ' +
  'while sixteen idle connections lose their slots after 10 s', async (t) => {
  await stalledSession(t, { serverReads: true });
  const [second, echoes] = [await within(1000, 'a page opening', () => openPage()), s.page.messages.length + 1];
  await within(1000, 'a join and its echo', () => command(s.program, second, joinPayload({ port: 1 })));
  await untilMessages(s.page, echoes).finally(() => second.terminate());

  const { since } = await stalledSession(t, { serverReads: true });
  const closed = s.program.mark();
  s.page.terminate();
  await s.program.waitForLine(/^\[WS\] close, sock \d+$/, { since: closed });
  const opened = Date.now();
  const idle = [];
  t.after(() => idle.forEach((peer) => peer.close()));
  // One by one into the lowest free slot; a 17th takes the slot of the one
  // that has waited longest unopened, while the other 15 stay.
  const put = async (slot, line = `putted, sock \\d+ in ${slot}`) => {
    const since = s.program.mark();
    idle[slot] = await connect(WS_PORT);
    await s.program.waitForLine(new RegExp(`^\\[WS\\] ${line}$`), { since });
  };
  for (let slot = 0; slot < 16; slot++) {
    await put(slot);
    if (slot % 2) await idle[slot].send(rawRequest('https://nowhere').subarray(0, 30));
  }
  const [oldest, before] = [idle[0], s.program.mark()];
  await put(0);
  assert.ok(s.program.linesSince(before).some((line) => line.startsWith('[WS] unopened page gives way')));
  await oldest.until();
  assert.ok(idle.every((peer) => !peer.closed), 'the other 15 stay');
  const freed = s.program.mark();
  [5, 2].forEach((slot) => idle[slot].close());
  await until(() => s.program.linesSince(freed).filter((line) => line.startsWith('[WS] close')).length >= 2, 'two closes');
  for (const slot of [2, 5]) await put(slot);
  await Promise.all(idle.map((peer) => peer.until(undefined, 'the idle connection closed', 15000 * SLOW)));
  assert.ok(Date.now() - opened >= 9500, `idle connections closed after ${Date.now() - opened} ms`);
  s.page = await openPage();
  // After the stall line the handler closes and a new game client is served.
  const at = await s.program.waitForLine('[PROXY] game client stalled', { since, timeoutMs: 45000 * SLOW });
  await s.program.waitForLine(/./, { since: at + 1 });
  assert.equal(s.program.lines[at + 1], '[PROXY] close, handle_kind 1');
  const game = await connectSending(MC_PORT, Buffer.concat([handshake(1), statusRequest]));
  await game.until((peer) => peer.received.length > 100, 'a status response').finally(() => game.close());
});

// (Its 30 s bound is the unit tests' to check: the game client's above waits out the bound once per build.)
test('a room server that takes nothing never holds up the pages, nor a room command', async (t) => {
  await stalledSession(t, { serverReads: false });
  (await within(1000, 'a page opening', () => openPage())).terminate();
  await within(1000, 'a join and its echo', () => command(s.program, s.page, joinPayload({ port: 1 })));
});

test('a frozen game client that resets while output waits for it ends its proxy with the killed line', async (t) => {
  const { game } = await stalledSession(t, { serverReads: true });
  const since = s.program.mark();
  game.socket.resetAndDestroy();
  assert.deepEqual(await s.program.linesUntil('[PROXY] close, handle_kind 1', { since }),
    ['[MISC] send fails', '[PROXY] s2c killed 1', '[PROXY] close, handle_kind 1']);
});
