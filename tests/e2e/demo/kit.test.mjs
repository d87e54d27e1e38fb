// The kit against the fake program, in Node: the fake reaches every reason a connection or a command fails with;
// echoes reach every page; close() and time-outs settle what waits. (The same calls against the real program are in
// browser.test.mjs.)
import { test, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { NimbrelCompanion, NimbrelError } from '../../../web/nimbrel-companion.js';
import { FakeCompanion } from '../../../web/testing/fake-companion.js';

const room = { roomName: 'Lobby', ownerName: 'Ann', nick: 'Bob', address: '::ffff:192.0.2.1', port: '25565' };
let fake;
const companions = [];
const companion = (options = {}) => companions[companions.push(new NimbrelCompanion({ timeoutMs: 100,
  commandTimeoutMs: 100, ...options })) - 1];
const reason = (promise) => promise.then(() => 'resolved', (e) => (e instanceof NimbrelError ? e.reason : `not a NimbrelError: ${e}`));
const event = (target, type) => new Promise((resolve) => target.addEventListener(type, (e) => resolve(e.detail), { once: true }));
afterEach(() => {
  companions.splice(0).forEach((c) => c.close());
  fake?.uninstall();
});

test('the fake program brings every refusal, in the rejection and in the refused event', async () => {
  const outcomes = [];
  for (const setting of [{ running: false }, { permission: 'denied' }, { permission: 'prompt' }, { frozen: true },
    { greeting: '2' }]) {
    fake = Object.assign(new FakeCompanion().install(), setting);
    const page = companion();
    const refused = event(page, 'refused');
    outcomes.push([await reason(page.connect()), (await refused).error.reason]);
    fake.uninstall();
  }
  assert.deepEqual(outcomes, ['unreachable', 'permission-denied', 'permission-prompt', 'timeout', 'incompatible']
    .map((refusal) => [refusal, refusal]));

  // The player answers the prompt, and the attempt goes through; a 17th page is turned away.
  fake = Object.assign(new FakeCompanion().install(), { permission: 'prompt' });
  const prompted = companion();
  await reason(prompted.connect());
  fake.answerPrompt('granted');
  assert.deepEqual(await event(prompted, 'record'), { joined: false });
  const reasons = await Promise.all(Array.from({ length: 16 }, () => reason(companion().connect())));
  assert.deepEqual([reasons.indexOf('unreachable'), reasons.lastIndexOf('resolved')], [15, 14]);
});

test('connect() resolves with the record; every page sees each echo; a command without an echo times out, ending ' +
  'the connection; close() rejects what waits, and connect() may follow at once', async () => {
  fake = new FakeCompanion().install();
  const [first, second] = [companion(), companion({ reconnect: { initialDelayMs: 10 } })];
  assert.deepEqual([await first.connect(), first.state, await second.connect()], [{ joined: false }, 'open', { joined: false }]);
  const seen = event(second, 'record');
  const joined = await first.join(room);
  assert.deepEqual([joined.address, joined.port, (await seen).nick, fake.room.roomName], ['::ffff:192.0.2.1', 25565, 'Bob', 'Lobby']);

  fake.frozen = true;
  assert.deepEqual(await Promise.all([second.leave(), second.leave({ timeoutMs: 1000 })].map(reason)), ['timeout', 'closed']);
  assert.equal(second.state, 'reconnecting');
  fake.frozen = false;
  await event(second, 'open');
  fake.permission = 'prompt';
  first.close();
  const pending = reason(first.connect({ timeoutMs: 5000 }));
  first.close();
  fake.permission = 'granted';
  assert.deepEqual([await pending, first.state, await first.connect().then((r) => r.roomName)], ['closed', 'closed', 'Lobby']);
  const [dropped, closed] = [reason(first.leave()), event(first, 'close')];
  fake.stop();
  assert.deepEqual([await dropped, await closed], ['closed', { code: 1006, wasOpen: true }]);
});

test('bad calls reject as promises with their reason; an aborted join rejects with the signal\'s reason, yet lands',
  async () => {
    fake = new FakeCompanion().install();
    const [fresh, page] = [companion(), companion()];
    await page.connect();
    const bad = [fresh.join({ ...room, nick: 'bad name!' }), fresh.join({ ...room, port: '25565x' }), fresh.join(room),
      page.join({ ...room, nick: 'A'.repeat(17) })];
    const [controller, landed] = [new AbortController(), event(page, 'record')];
    const join = page.join({ ...room, port: 25571 }, { signal: controller.signal });
    controller.abort();
    assert.deepEqual([await Promise.all(bad.map(reason)), await join.catch((e) => e.name), (await landed).port],
      [['invalid-name', 'invalid-room', 'not-connected', 'invalid-name'], 'AbortError', 25571]);
  });

test('reconnecting waits twice as long after each failure, up to its bound, and starts over after an opening', async () => {
  fake = new FakeCompanion().install();
  fake.stop();
  const page = companion({ reconnect: { initialDelayMs: 10, maxDelayMs: 40 } });
  const seen = [];
  for (const type of ['reconnecting', 'open']) page.addEventListener(type, (e) => seen.push(e.detail?.delayMs ?? type));
  await reason(page.connect());
  while (seen.length < 4) await event(page, 'reconnecting');
  fake.start();
  await event(page, 'open');
  fake.stop();
  fake.start();
  await event(page, 'open');
  assert.deepEqual([seen.slice(0, 4), seen.slice(-3)], [[10, 20, 40, 40], ['open', 10, 'open']]);
});
