// The site's page in a real browser: Debian's Chromium loads the companion kit from a page served as the
// site, opens the channel to the program, joins a room, and is turned away when served from another origin or
// when the player refuses the site access to the device. (The kit's other refusals, and its reconnecting, are
// tested against the fake program in demo/kit.test.mjs.)
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { chromium } from 'playwright-core';
import { startProgram, SITE, SLOW } from './lib/program.mjs';

const TIMEOUT = 20000 * SLOW;
const OTHER = 'https://rooms.other.example';
// Chromium asks before a public site may reach 127.0.0.1 (Local Network Access); Playwright grants it by this name.
const LOCAL_ACCESS = 'local-network-access';
const kit = await readFile(new URL('../../web/nimbrel-companion.js', import.meta.url), 'utf8');
const html = `<!doctype html><meta charset="utf-8"><title>Rooms</title>
<script type="module">
  import * as kit from './nimbrel-companion.js';
  window.kit = kit;
  const plain = (value) => JSON.parse(JSON.stringify(value ?? null, (k, v) => (v instanceof Uint8Array ? Array.from(v) : v)));
  // A companion whose events land in the given list.
  window.watched = (companion, events) => (['open', 'record', 'close', 'refused', 'reconnecting'].forEach((type) =>
    companion.addEventListener(type, (event) => events.push({ type, detail: plain(event.detail) }))), companion);
  window.companion = window.watched(new kit.NimbrelCompanion(), window.events = []);
  window.kitLoaded = true;
</script>`;

let program, browser, context;
before(async () => {
  program = await startProgram();
  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', timeout: TIMEOUT, args: ['--headless',
    '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-quic', '--no-first-run',
    '--disable-component-update', '--disable-sync'] });
  context = await browser.newContext();
  // The kit's page on any origin, served by request interception.
  await context.route(/^https:/, (route) => {
    const path = new URL(route.request().url()).pathname;
    const body = { '/': html, '/nimbrel-companion.js': kit }[path];
    return route.fulfill(body === undefined ? { status: 404, body: '' }
      : { status: 200, contentType: path === '/' ? 'text/html' : 'text/javascript', body });
  });
});
after(async () => {
  await browser?.close();
  await program?.stop();
});

// A page of `origin` with the kit loaded, and its companion's connect() tried: 'open' or 'refused: <reason>'.
async function sitePage(origin) {
  const page = await context.newPage();
  page.setDefaultTimeout(TIMEOUT);
  await page.goto(`${origin}/`);
  await page.waitForFunction(() => window.kitLoaded === true);
  const outcome = await page.evaluate(() => window.companion.connect().then(() => 'open', (e) => `refused: ${e.reason}`));
  return { page, outcome };
}
async function untilEvents(page, type, count) {
  await page.waitForFunction(([wanted, n]) => window.events.filter((e) => e.type === wanted).length >= n, [type, count]);
  return page.evaluate((wanted) => window.events.filter((e) => e.type === wanted), type);
}

test('a player\'s refusal of local network access is reported; once allowed, the site\'s page opens the channel and ' +
  'sees its joins and leave echoed; from another origin it is refused by the program', { timeout: 8 * TIMEOUT }, async () => {
  // The player's "Block" answer to the prompt, as the browser stores it. Playwright
  // only grants, so the refusal goes through the DevTools protocol.
  const session = await context.newCDPSession(await context.newPage());
  const { targetInfo } = await session.send('Target.getTargetInfo');
  await session.send('Browser.setPermission', { permission: { name: LOCAL_ACCESS }, setting: 'denied', origin: SITE,
    browserContextId: targetInfo.browserContextId });
  let since = program.mark();
  assert.equal((await sitePage(SITE)).outcome, 'refused: permission-denied');
  assert.ok(!program.linesSince(since).some((line) => line.startsWith('[WS] packet')),
    `the request reached the program:\n${program.describe(since)}`);

  for (const origin of [SITE, OTHER]) await context.grantPermissions([LOCAL_ACCESS], { origin });
  const { page, outcome } = await sitePage(SITE);
  assert.equal(outcome, 'open');
  assert.deepEqual((await untilEvents(page, 'record', 1))[0].detail, { joined: false }, 'the record on opening');
  const room = { roomName: 'Sky Lobby', ownerName: 'Ann', nick: 'Bob', address: '192.0.2.10', port: 25570 };
  await page.evaluate(async (room) => {
    await window.companion.join({ siteData: 'listing-42', ...room });
    await window.companion.join({ ...room, address: '2001:db8::7' });
    await window.companion.leave();
  }, room);
  const [, { detail: { siteData, ...fields } }, six, left] = await untilEvents(page, 'record', 4);
  assert.deepEqual(fields, { joined: true, family: 'ipv4', ...room });
  assert.equal(Buffer.from(siteData).toString('latin1'), 'listing-42\0\0\0\0\0\0');
  assert.deepEqual([six.detail.address, left.detail], ['2001:db8::7', { joined: false }], 'the echoes');

  // The same page from another origin: the browser lets it through, the program refuses it.
  since = program.mark();
  assert.equal((await sitePage(OTHER)).outcome, 'refused: unreachable');
  await program.waitForLine(`[WS] [ORIGIN: ${OTHER}]`, { since });
  await program.waitForLine('[WS] origin error', { since });
});

test('against the program: bad calls reject as promises, an aborted join still lands, close() is followed by ' +
  'connect() at once, and a command to a frozen program times out', { timeout: 4 * TIMEOUT }, async () => {
  await context.grantPermissions([LOCAL_ACCESS], { origin: SITE });
  const { page } = await sitePage(SITE);
  const since = program.mark();
  const room = { roomName: 'Lobby', ownerName: 'Ann', nick: 'Bob', address: '192.0.2.1', port: 25565 };
  assert.deepEqual(await page.evaluate(async (room) => {
    const { companion, kit } = window;
    const reason = (promise) => promise.then(() => 'resolved', (e) => (e instanceof kit.NimbrelError ? e.reason : e.name));
    const fresh = new kit.NimbrelCompanion();
    const bad = await Promise.all([fresh.join({ ...room, nick: 'bad name!' }), fresh.join({ ...room, port: '25565x' }),
      fresh.join(room), companion.join({ ...room, nick: 'A'.repeat(17) })].map(reason));
    // Aborted once sent: the call rejects with the signal's reason, the program still takes it.
    const controller = new AbortController();
    const join = companion.join({ ...room, port: '25571' }, { signal: controller.signal });
    controller.abort();
    const aborted = [await reason(join), await reason(companion.leave()), window.events.at(-2).detail.port];
    companion.close();
    return [bad, aborted, companion.state, await companion.connect(), companion.state,
      window.events.filter((e) => e.type === 'close').map((e) => e.detail.code)];
  }, room), [['invalid-name', 'invalid-room', 'not-connected', 'invalid-name'], ['AbortError', 'resolved', 25571],
    'closed', { joined: false }, 'open', [1000]]);

  // A program that hangs: stopped by the system, it takes the command into its socket and never answers.
  program.child.kill('SIGSTOP');
  try {
    assert.deepEqual(await page.evaluate((room) => window.companion.join(room, { timeoutMs: 500 })
      .catch((e) => [e.reason, window.companion.state]), room), ['timeout', 'closed']);
  } finally {
    program.child.kill('SIGCONT');
  }
  await program.waitForLine('[WS] join room (ipv4)', { since });
});
