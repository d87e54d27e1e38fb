// The kit against the fake program, in Node: every reason a call can fail
// with, cancellation, time-outs and closing; the package's version.
import { test, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import * as kit from '../../../web/nimbrel-companion.js';
import { FakeCompanion } from '../../../web/testing/fake-companion.js';

const { NimbrelCompanion, NimbrelError } = kit;
const room = { siteData: 'listing-7', roomName: 'Lobby', ownerName: 'Ann', nick: 'Bob', address: '192.0.2.1', port: 25565 };
let fake;
const companions = [];
// A fresh fake program and a companion with short time-outs, its events in `events`.
function setUp(options = {}) {
  fake ??= new FakeCompanion().install();
  const companion = new NimbrelCompanion({ timeoutMs: 100, commandTimeoutMs: 100, ...options });
  companion.events = [];
  for (const type of ['open', 'record', 'close', 'refused', 'reconnecting'])
    companion.addEventListener(type, (e) => companion.events.push(type === 'refused' ? `refused ${e.detail.reason}` : type));
  companions.push(companion);
  return companion;
}
afterEach(() => {
  for (const companion of companions.splice(0)) companion.close();
  fake?.uninstall();
  fake = undefined;
});
const settled = (ms = 0) => new Promise((resolve) => setTimeout(resolve, ms));
const reason = (promise) => promise.then((value) => ({ resolved: value }), (error) => {
  assert.ok(error instanceof NimbrelError && error instanceof Error, `not a NimbrelError: ${error}`);
  return error.reason;
});

test('connect() resolves with the first record; join and leave resolve with their echoes, seen by every page',
  async () => {
    const first = setUp();
    const second = setUp();
    assert.equal(first.state, 'closed');
    const opening = first.connect();
    assert.equal(first.state, 'connecting');
    assert.deepEqual(await opening, { joined: false });
    assert.deepEqual([first.state, first.record], ['open', { joined: false }]);
    await second.connect();
    const joined = await first.join({ ...room, port: '25565', address: '::ffff:192.0.2.1' });
    assert.deepEqual([joined.roomName, joined.nick, joined.port, joined.address], ['Lobby', 'Bob', 25565, '::ffff:192.0.2.1']);
    assert.equal(new TextDecoder().decode(joined.siteData).replace(/\0+$/, ''), 'listing-7');
    assert.deepEqual(await first.leave(), { joined: false });
    await settled();
    assert.deepEqual(second.events, ['open', 'record', 'record', 'record']);
    assert.deepEqual(fake.commands.map((c) => c.joined), [true, false]);
    assert.equal(kit.version, JSON.parse(readFileSync(new URL('../../../web/package.json', import.meta.url))).version);
  });

test('every refusal has its reason, in the rejection and in the refused event', async () => {
  const outcomes = {};
  for (const [name, arrange] of [['not running', () => { fake.running = false; }],
    ['blocked', () => { fake.permission = 'denied'; }], ['prompt open', () => { fake.permission = 'prompt'; }],
    ['hangs', () => { fake.frozen = true; }], ['another version', () => { fake.greeting = '2'; }]]) {
    const companion = setUp();
    arrange();
    outcomes[name] = await reason(companion.connect());
    assert.deepEqual(companion.events.filter((e) => e.startsWith('refused')), [`refused ${outcomes[name]}`], name);
    fake.uninstall();
    fake = undefined;
  }
  assert.deepEqual(outcomes, { 'not running': 'unreachable', blocked: 'permission-denied',
    'prompt open': 'permission-prompt', hangs: 'timeout', 'another version': 'incompatible' });

  // The attempt waits on for the player's answer.
  const companion = setUp();
  fake.permission = 'prompt';
  await reason(companion.connect());
  fake.answerPrompt('granted');
  await new Promise((resolve) => companion.addEventListener('open', resolve));
  // A 17th page is turned away.
  const pages = Array.from({ length: 16 }, () => setUp());
  const reasons = await Promise.all(pages.map((page) => reason(page.connect())));
  assert.deepEqual(reasons.at(-1), 'unreachable');
  assert.equal(reasons.filter((r) => r === 'unreachable').length, 1);
});

test('bad calls reject as promises, before anything is sent', async () => {
  const companion = setUp();
  assert.equal(await reason(companion.join(room)), 'not-connected');
  await companion.connect();
  assert.equal(await reason(companion.connect()), 'already-connected');
  const bad = { 'bad name!': 'invalid-name', '': 'invalid-name', B: 'invalid-name', Twenty_characters_xx: 'invalid-name' };
  for (const [nick, wanted] of Object.entries(bad)) assert.equal(await reason(companion.join({ ...room, nick })), wanted, nick);
  for (const change of [{ port: '25565x' }, { port: 0 }, { port: '70000' }, { address: '192.0.2' }, { siteData: 'x'.repeat(17) }])
    assert.equal(await reason(companion.join({ ...room, ...change })), 'invalid-room', JSON.stringify(change));
  assert.deepEqual(fake.commands, []);
  assert.equal(kit.isValidPlayerName('Sixteen_letters_'), true);
  assert.throws(() => kit.encodeJoin({ ...room, nick: 'x' }), { name: 'NimbrelError', reason: 'invalid-name' });
});

test('an aborted call rejects with the signal\'s reason; a command the program does not answer times out and ' +
  'ends the connection; commands left waiting are rejected as closed', async () => {
  const companion = setUp({ reconnect: { initialDelayMs: 20, maxDelayMs: 20 } });
  const abortedEarly = await companion.connect({ signal: AbortSignal.abort() }).catch((e) => e.name);
  assert.equal(abortedEarly, 'AbortError');
  await companion.connect();
  // Sent and aborted: the echo still comes, and the next command waits for it.
  const controller = new AbortController();
  const sent = companion.join(room, { signal: controller.signal });
  const queued = companion.join({ ...room, roomName: 'Queued' }, { signal: AbortSignal.abort('gave up') });
  controller.abort(new Error('the player moved on'));
  assert.equal((await sent.catch((e) => e)).message, 'the player moved on');
  assert.equal(await queued.catch((e) => e), 'gave up');
  assert.equal((await companion.leave()).joined, false);
  assert.deepEqual(fake.commands.map((c) => c.roomName ?? 'leave'), ['Lobby', 'leave']);

  fake.frozen = true;
  const waiting = [companion.join(room), companion.leave({ timeoutMs: 1000 })];
  assert.deepEqual(await Promise.all(waiting.map(reason)), ['timeout', 'closed']);
  assert.equal(companion.state, 'reconnecting');
  fake.frozen = false;
  await new Promise((resolve) => companion.addEventListener('open', resolve, { once: true }));
  assert.equal(companion.state, 'open');

  // The program exits with a command in flight.
  fake.frozen = true;
  const dropped = reason(companion.leave());
  fake.stop();
  assert.equal(await dropped, 'closed');
});

test('close() ends at once: the pending connect() is rejected, the close event says the page closed, and ' +
  'connect() works again right away', async () => {
  const companion = setUp();
  fake.permission = 'prompt';
  const opening = reason(companion.connect({ timeoutMs: 5000 }));
  companion.close();
  assert.equal(await opening, 'closed');
  fake.permission = 'granted';
  await companion.connect();
  companion.close();
  assert.equal(companion.state, 'closed');
  assert.deepEqual(await companion.connect(), { joined: false });
  fake.stop();
  await new Promise((resolve) => companion.addEventListener('close', resolve, { once: true }));
  const closes = [];
  companion.addEventListener('close', (e) => closes.push(e.detail));
  fake.start();
  await companion.connect();
  companion.close();
  assert.deepEqual(closes, [{ code: 1000, wasOpen: true }]);
  // The socket's own close comes later, and is not reported again.
  await settled(20);
  assert.deepEqual(companion.events.slice(-3), ['open', 'record', 'close']);
});
